#pragma once

#include <filesystem>
#include <optional>
#include <string>

// Start-up, on the main thread, after firmware discovery.

// What keeps the firmware set named after firmware_base from being flashed
// from the working folder, where esptool's command line names its images, in
// one status text ("Cannot upload firmware: ..."), or the empty text when
// nothing does (or firmware_base is empty):
// - firmware_base holds a control character (flash/page_text.h: first_control),
//   which esptool would print as it is: said alone;
// - the application image lies in image_folder below the working folder with
//   its bootloader and partition images beside it (as the Arduino IDE's
//   "Export compiled binary" leaves them), and those two are not both here:
//   "Open the folder F with Vornhale: B.ino.bootloader.bin and
//   B.ino.partitions.bin are there, not here.";
// - boot_app0.bin is not in the folder to flash from (this one, or F): says
//   to move it into F when it is here, else where the newest one the Arduino
//   IDE's ESP32 core installed is, else PlatformIO's, else where both keep it;
// - an image in that folder does not fit where it goes (flash/partition_table.h:
//   image_misfit): fs.bin where the partition table there has no file-system
//   partition where fs.bin is written, or one too small for it (says what the
//   maker can do instead); the application larger than its partition; any
//   image ending beyond the largest flash (all a table that cannot be read
//   tells).
// The flashing worker shows it instead of running esptool.
std::string firmware_set_trouble(const std::string& firmware_base, const std::filesystem::path& image_folder);

// The boot_app0.bin of the newest ESP32 core the Arduino IDE installed in its
// data folder arduino_data (packages/esp32/hardware/esp32/VERSION/
// tools/partitions/boot_app0.bin), versions compared as versions; nothing
// when no version folder holds one.
std::optional<std::filesystem::path> newest_boot_app0(const std::filesystem::path& arduino_data);
