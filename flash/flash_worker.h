#pragma once

#include <optional>
#include <string>
#include <string_view>

class status_queue;

// The flashing tool's command line for the firmware set: bootloader,
// partition table, boot_app0.bin and the application image, named after base.
std::string firmware_command_line(std::string_view port, std::string_view base);

// The flashing tool's command line for the file-system image fs.bin.
std::string file_system_command_line(std::string_view port);

// Thread body: flashes the board at board_port with the firmware set named
// after firmware_base, then with ./fs.bin when that exists, and pushes a
// status text before and after each stage. Refuses (one text) when either
// input is missing; stops after a failed stage with the tool's reason. Reads
// board_port and firmware_base without a lock: both must be final before the
// thread starts and outlive it, as must queue. Never throws.
void flash_worker(const std::optional<std::string>& board_port, const std::string& firmware_base,
                  status_queue& queue) noexcept;
