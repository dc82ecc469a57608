#include "flash/discovery.h"

#include "app/status_queue.h"
#include "flash/page_text.h"
#include "platform/file_names.h"
#include "platform/usb.h"

#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr std::uint16_t board_vendor_id = 0x303A;
constexpr std::uint16_t board_product_id = 0x1001;

void print_line(const char* message) { std::cout << message << '\n' << std::flush; }

}  // namespace

void discover_board(std::optional<std::string>& board_port, status_queue& queue)
{
    board_port.reset();

    // A device list that cannot be read counts as no board.
    usb::device device;
    try {
        device = usb::find_device_with_vid_pid(board_vendor_id, board_product_id);
    } catch (const std::exception& e) {
        print_line(e.what());
    }

    if (!device) {
        queue.push("The board is not connected.");
    } else {
        std::optional<std::string> name;
        try {
            const usb::serial_port port(device, 0, true);
            name = port.get_name();
        } catch (const std::exception& e) {
            print_line(e.what());
        }
        board_port = std::move(name);
    }
    device = usb::device();

    queue.push("Device port: " + (board_port ? page_text(*board_port) : std::string("not found")));
}

void discover_firmware(std::string& firmware_base, status_queue& queue)
{
    firmware_base.clear();

    // Default traversal (directory links are visited but not entered), except
    // that a directory we may not read is skipped instead of ending the walk.
    // Any other error ends the walk with what was found so far.
    std::error_code error;
    fs::recursive_directory_iterator entry("./", fs::directory_options::skip_permission_denied, error);
    std::string name_buffer;
    for (; !error && entry != fs::recursive_directory_iterator(); entry.increment(error)) {
        // The name's extension is ".bin" and its stem's extension ".ino": the
        // name ends in ".ino.bin" with at least one character before it (a
        // stem ".ino", whose only dot is its first character, has no
        // extension). Read off the name as UTF-8: no path objects per entry.
        const std::string_view name = platform::utf8_file_name(entry->path(), name_buffer);
        constexpr std::string_view image_suffix = ".ino.bin";
        if (name.size() > image_suffix.size() && name.ends_with(image_suffix))
            firmware_base.assign(name.substr(0, name.size() - image_suffix.size()));
    }

    queue.push("Firmware file found: " + page_text(firmware_base) + ".ino.bin");
}
