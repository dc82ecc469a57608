#include "flash/firmware_set.h"

#include "flash/page_text.h"
#include "flash/partition_table.h"
#include "platform/arduino_data.h"
#include "platform/file_names.h"
#include "platform/version_order.h"

#include <fmt/core.h>
#include <string_view>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Any kind of entry counts, through links; a test that fails counts as absent,
// as esptool could not open it either.
bool present(const fs::path& path)
{
    std::error_code error;
    return fs::exists(path, error);
}

// Why an image of the set in folder cannot be flashed where it goes, under
// the partition table at table_path (table_name, as the page shows it), or
// the empty text: fs.bin against the table's file-system partition, the
// application against its partition, each against the largest flash. A
// table that is missing or unreadable cannot tell where anything goes but
// for the flash's size; the rest is left to esptool and the board.
std::string images_trouble(const fs::path& folder, const std::string& base, const fs::path& table_path,
                           std::string_view table_name)
{
    const std::optional<std::vector<partition>> partitions = read_partition_table(folder / table_path);
    const std::pair<std::string, std::uint32_t> images[] = {
        {base + ".ino.bootloader.bin", 0x0}, {base + ".ino.partitions.bin", 0x8000}, {"boot_app0.bin", 0xe000},
        {base + ".ino.bin", application_image_offset}, {"fs.bin", file_system_image_offset}};
    for (const auto& [name, offset] : images) {
        const fs::path image = folder / platform::path_from_utf8(name);
        if (!present(image))
            continue;
        std::error_code error;
        std::optional<std::uintmax_t> size;
        if (fs::is_regular_file(image, error))
            if (const std::uintmax_t bytes = fs::file_size(image, error); !error)
                size = bytes;
        if (std::string misfit = image_misfit(page_text(name), offset, size,
                                              partitions ? &*partitions : nullptr, table_name);
            !misfit.empty())
            return misfit;
    }
    return {};
}

// Where to copy boot_app0.bin from: the newest one the Arduino IDE's ESP32
// core installed, else PlatformIO's (its ESP32 Arduino framework), else where
// each of them keeps it once installed.
std::string boot_app0_source()
{
    const std::optional<fs::path> data = platform::arduino_data_folder();
    if (const std::optional<fs::path> found = data ? newest_boot_app0(*data) : std::nullopt)
        return platform::utf8_path(*found);
    const std::optional<fs::path> home = platform::home_folder();
    if (!data || !home)
        return "the Arduino IDE's ESP32 core (packages/esp32/hardware/esp32/VERSION/tools/partitions/ in its data "
               "folder)";
    const fs::path platformio =
        *home / ".platformio" / "packages" / "framework-arduinoespressif32" / "tools" / "partitions";
    if (present(platformio / "boot_app0.bin"))
        return platform::utf8_path(platformio / "boot_app0.bin");
    const fs::path core = *data / "packages" / "esp32" / "hardware" / "esp32" / "VERSION" / "tools" / "partitions" / "";
    return fmt::format("the Arduino IDE's ESP32 core, once installed ({}), or PlatformIO's ({})",
                       platform::utf8_path(core), platform::utf8_path(platformio / ""));
}

}  // namespace

std::optional<fs::path> newest_boot_app0(const fs::path& arduino_data)
{
    std::optional<fs::path> newest;
    std::string newest_version;
    std::string buffer;
    std::error_code error;
    for (fs::directory_iterator version(arduino_data / "packages" / "esp32" / "hardware" / "esp32", error);
         !error && version != fs::directory_iterator(); version.increment(error)) {
        const std::string name(platform::utf8_file_name(version->path(), buffer));
        fs::path candidate = version->path() / "tools" / "partitions" / "boot_app0.bin";
        std::error_code ignored;
        if (fs::is_regular_file(candidate, ignored) && (!newest || platform::older_version(newest_version, name))) {
            newest = std::move(candidate);
            newest_version = name;
        }
    }
    return newest;
}

std::string firmware_set_trouble(const std::string& firmware_base, const fs::path& image_folder)
{
    if (firmware_base.empty())
        return {};
    // esptool 5 prints each image's name as it is, where a line break makes
    // it look like esptool's own words and a C1 control moves a terminal's cursor.
    if (const std::optional<std::string> control = first_control(firmware_base))
        return fmt::format("Cannot upload firmware: the file name \"{}.ino.bin\" holds a control character ({}), which "
                           "esptool would print as it is: rename the sketch without it and export again.",
                           page_text(firmware_base), *control);
    std::vector<std::string> trouble;
    const fs::path bootloader = platform::path_from_utf8(firmware_base + ".ino.bootloader.bin");
    const fs::path partitions = platform::path_from_utf8(firmware_base + ".ino.partitions.bin");
    const fs::path folder = image_folder.lexically_normal();
    const bool image_here = folder.empty() || folder == "." || folder == "./";

    // The folder esptool would find everything in: this one, or the image's.
    bool flash_here = true;
    if (!image_here && !(present(bootloader) && present(partitions)) && present(folder / bootloader) &&
        present(folder / partitions)) {
        trouble.push_back(fmt::format("Open the folder {0} with Vornhale: {1}.ino.bootloader.bin and "
                                      "{1}.ino.partitions.bin are there, not here.",
                                      page_text(platform::utf8_path(folder)), page_text(firmware_base)));
        flash_here = false;
    }

    if (!present(flash_here ? fs::path("boot_app0.bin") : folder / "boot_app0.bin")) {
        const std::string shown_folder = page_text(platform::utf8_path(folder));
        if (flash_here)
            trouble.push_back(fmt::format("boot_app0.bin is not in this folder: copy it here from {}.",
                                          page_text(boot_app0_source())));
        else if (present("boot_app0.bin"))
            trouble.push_back(fmt::format("boot_app0.bin is here, not in {}: move it there.", shown_folder));
        else
            trouble.push_back(fmt::format("boot_app0.bin is not in {} either: copy it there from {}.", shown_folder,
                                          page_text(boot_app0_source())));
    }
    const fs::path flash_folder = flash_here ? fs::path(".") : folder;
    if (std::string misfit = images_trouble(flash_folder, firmware_base, partitions,
                                            page_text(firmware_base) + ".ino.partitions.bin");
        !misfit.empty())
        trouble.push_back(std::move(misfit));
    if (trouble.empty())
        return {};
    std::string text = "Cannot upload firmware:";
    for (const std::string& sentence : trouble)
        text += " " + sentence;
    return text;
}
