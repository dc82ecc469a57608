#include "flash/discovery.h"

#include "app/status_queue.h"
#include "flash/page_text.h"
#include "platform/console.h"
#include "platform/file_names.h"
#include "platform/usb_boards.h"

#include <filesystem>
#include <fmt/core.h>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

void print_line(std::string_view message)
{
    platform::write_console(platform::console_stream::output, std::string(message) + "\n");
}

// Outside text (a folder's name) for a line of its own: a control character
// shows as \xNN, so the text cannot end the line or start another.
std::string one_line(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            out += fmt::format("\\x{:02x}", byte);
        else
            out += c;
    }
    return out;
}

// "the home folder" or "the root folder" when the working folder is one of
// them: a build folder never is, and a scan of either walks everything the
// user has.
std::optional<std::string> too_wide_to_scan()
{
    std::error_code error;
    if (fs::equivalent(".", "/", error))
        return "the root folder";
    const std::optional<fs::path> home = platform::home_folder();
    if (home && fs::equivalent(".", *home, error))
        return "the home folder";
    return std::nullopt;
}

}  // namespace

std::string unsearched_folder_note(std::string_view opener)
{
    if (const std::optional<std::string> folder = too_wide_to_scan())
        return fmt::format("Not searching {} for firmware: open a build folder with {}.", *folder, opener);
    return {};
}

void discover_board(std::optional<std::string>& board_port, status_queue& queue)
{
    board_port.reset();

    // A device list that cannot be read counts as no board. With several
    // boards, the first one listed is the board, named port or not.
    std::vector<platform::usb_board_entry> boards;
    try {
        boards = platform::list_board_entries();
    } catch (const std::exception& e) {
        print_line(e.what());
    }

    if (boards.empty())
        queue.push("The board is not connected.");
    else if (boards.front().port_trouble.empty())
        board_port = std::move(boards.front().board.port);
    else
        print_line(boards.front().port_trouble.c_str());

    queue.push("Device port: " + (board_port ? page_text(*board_port) : std::string("not found")));
}

void discover_firmware(std::string& firmware_base, status_queue& queue, fs::path* firmware_folder)
{
    firmware_base.clear();
    if (firmware_folder)
        firmware_folder->clear();
    if (std::string note = unsearched_folder_note("Vornhale"); !note.empty()) {
        queue.push(std::move(note));
        return;
    }

    // The default walk: every entry, and a folder's contents right after the
    // folder; links to folders are visited but not entered. A folder we may not
    // read is skipped silently; any other error is said on standard output and
    // the walk goes on with what it can still reach. Each entry is read where
    // the listing holds it: only folders to enter and images are copied out.
    struct open_folder {
        fs::directory_iterator listing;
        fs::path path;
    };
    std::vector<open_folder> open_folders;  // the innermost last
    std::string name_buffer;
    const auto report = [](const fs::path& folder, const std::error_code& error) {
        print_line(fmt::format("Cannot search {} for firmware: {}", one_line(platform::utf8_path(folder)), error.message()));
    };
    const auto enter = [&](fs::path folder) {
        std::error_code error;
        fs::directory_iterator listing(folder, fs::directory_options::skip_permission_denied, error);
        if (error)
            report(folder, error);
        else if (listing != fs::directory_iterator())
            open_folders.push_back({std::move(listing), std::move(folder)});
    };
    enter("./");
    fs::path inner_folder;
    while (!open_folders.empty()) {
        open_folder& current = open_folders.back();
        if (current.listing == fs::directory_iterator()) {
            open_folders.pop_back();
            continue;
        }
        const fs::directory_entry& entry = *current.listing;

        // The name's extension is ".bin" and its stem's extension ".ino": the
        // name ends in ".ino.bin" with at least one character before it (a
        // stem ".ino", whose only dot is its first character, has no
        // extension). Read off the name as UTF-8: no path objects per entry.
        const std::string_view name = platform::utf8_file_name(entry.path(), name_buffer);
        constexpr std::string_view image_suffix = ".ino.bin";
        if (name.size() > image_suffix.size() && name.ends_with(image_suffix)) {
            firmware_base.assign(name.substr(0, name.size() - image_suffix.size()));
            if (firmware_folder)
                *firmware_folder = current.path;
        }

        std::error_code error;
        const bool descend = !entry.is_symlink(error) && !error && entry.is_directory(error);
        if (descend)
            inner_folder = entry.path();
        current.listing.increment(error);  // entry is gone from here on
        if (error) {
            report(current.path, error);
            open_folders.pop_back();
        }
        if (descend)
            enter(std::move(inner_folder));
    }

    queue.push("Firmware file found: " + page_text(firmware_base) + ".ino.bin");
}
