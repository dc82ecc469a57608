#include "flash/board_flash.h"

#include "flash/flash_progress.h"
#include "flash/page_text.h"
#include "flash/tool_reason.h"
#include "platform/process.h"
#include "platform/file_names.h"
#include "platform/usb_boards.h"

#include <chrono>
#include <filesystem>
#include <fmt/core.h>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr std::string_view interrupted_reason = "esptool was stopped before it finished";

// The two command lines: {0} or {} is the port, {1} the firmware base name.
constexpr std::string_view firmware_template =
    R"(.\esptool.exe --chip esp32s3 --port "{0}" --baud 921600  --before default_reset --after hard_reset write_flash  -z --flash_mode keep --flash_freq keep --flash_size keep 0x0 "{1}.ino.bootloader.bin" 0x8000 "{1}.ino.partitions.bin" 0xe000 "boot_app0.bin" 0x10000 "{1}.ino.bin")";
constexpr std::string_view file_system_template =
    R"(.\esptool.exe --chip esp32s3 --port {} --baud 921600 --before default_reset --after hard_reset write_flash -z --flash_mode dio --flash_freq 80m --flash_size detect 6750208 fs.bin)";

// Whether the template filled with port and base reaches the tool as the
// template's own arguments with the values put in, neither split nor joined
// nor changed by the argument rules.
bool reaches_tool_unchanged(std::string_view template_line, std::string_view port, std::string_view base)
{
    std::vector<std::string> intended = platform::split_command_line(template_line);
    for (std::string& argument : intended) {
        argument = fmt::format(fmt::runtime(argument), port, base);
        if (argument.find('\0') != std::string::npos)
            return false;  // a program's arguments end at a NUL
    }
    return platform::split_command_line(fmt::format(fmt::runtime(template_line), port, base)) == intended;
}

// What keeps a name from reaching the tool unchanged, said for the user. The
// port stands bare in the file-system line, where a blank or tab splits it.
std::string_view trouble_with(std::string_view name, bool is_port)
{
    constexpr auto npos = std::string_view::npos;
    if (name.find('\0') != npos)
        return "holds a NUL character";
    if (name.find('"') != npos)
        return "holds a double quote";
    if (is_port) {
        if (name.empty())
            return "is empty";
        if (name.find(' ') != npos)
            return "holds a blank";
        if (name.find('\t') != npos)
            return "holds a tab";
        if (name.ends_with('\\'))
            return "ends in a backslash";
    }
    return "holds characters the command line would change";
}

}  // namespace

std::optional<std::string> refusal_of_names(std::string_view port, std::string_view base, bool as_markup)
{
    constexpr std::string_view plain = "x";
    const auto refusal = [as_markup](std::string_view what, std::string_view name, std::string_view trouble) {
        return fmt::format("Cannot upload firmware: the {} \"{}\" {}, which esptool would not receive unchanged.",
                           what, as_markup ? page_text(name) : std::string(name), trouble);
    };
    if (!reaches_tool_unchanged(firmware_template, plain, base))
        return refusal("file name", std::string(base) + ".ino.bin", trouble_with(base, false));
    if (!reaches_tool_unchanged(firmware_template, port, plain) || !reaches_tool_unchanged(file_system_template, port, plain))
        return refusal("port name", port, trouble_with(port, true));
    if (!reaches_tool_unchanged(firmware_template, port, base) || !reaches_tool_unchanged(file_system_template, port, base))
        return refusal("port name", port, "holds characters the command line would change");
    return std::nullopt;
}

namespace {

// The images of a run, with their sizes as they are now (0 when unreadable).
std::vector<flash_progress::image> images_of(const std::filesystem::path& folder,
                                             const std::vector<std::pair<std::uint32_t, std::string>>& files)
{
    std::vector<flash_progress::image> images;
    for (const auto& [offset, name] : files) {
        std::error_code error;
        const std::uintmax_t size = std::filesystem::file_size(folder / platform::path_from_utf8(name), error);
        images.push_back({offset, error ? 0 : size});
    }
    return images;
}

// Runs one command line, telling report how far it is; returns nothing on
// success, or why it failed.
std::optional<std::string> run_tool(const std::string& command_line, flash_report::run run,
                                    std::vector<flash_progress::image> images, flash_control& control,
                                    flash_report& report, bool pass_output, const std::filesystem::path& folder)
{
    tool_reason reason;
    flash_progress progress(std::move(images));
    progress_pacer pacer;
    const platform::run_outcome outcome = platform::run_command_line(
        command_line,
        [&](std::string_view line) {
            reason.feed(line);
            if (const auto figure = progress.feed(line))
                if (const auto shown = pacer.offer(*figure))
                    report.progress(run, *shown);
        },
        &control.tool_stop, pass_output, folder);
    const std::optional<std::string>& last_error = reason.reason();

    using kind = platform::run_outcome::kind;
    switch (outcome.how) {
    case kind::exited:
        if (outcome.code == 0) {
            if (const auto last = pacer.finish(progress.started()))
                report.progress(run, *last);
            return std::nullopt;
        }
        return last_error ? *last_error : fmt::format("esptool exited with code {}", outcome.code);
    case kind::signalled:
        return last_error ? *last_error : fmt::format("esptool was stopped by signal {}", outcome.code);
    case kind::not_found:
        return platform::tool_not_found_reason();
    case kind::not_started:
        return "esptool could not be started: " + std::system_category().message(outcome.code);
    case kind::stopped:
        control.interrupted = true;
        return std::string(interrupted_reason);
    }
    return std::string("esptool failed");
}

bool file_system_image_present(const std::filesystem::path& folder)
{
    // Any kind of entry counts, through links; a test that fails counts as absent.
    std::error_code error;
    return std::filesystem::exists((folder.empty() ? std::filesystem::path(".") : folder) / "fs.bin", error);
}

// Where the board is now: its entry in the device list, found by serial
// number, else by port name. Nothing when it is not listed, or the list
// cannot be read.
std::optional<platform::usb_board> find_board(const board_to_flash& board)
{
    try {
        for (platform::usb_board& listed : platform::list_boards())
            if (board.serial.empty() ? listed.port == board.port : listed.serial == board.serial)
                return std::move(listed);
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

// The port for the second run: the board's port once it has stayed the same
// for port_settle_time, waiting at most board_return_limit; nothing when the
// board has not come back by then.
std::optional<std::string> port_after_reset(const board_to_flash& board, const flash_control& control)
{
    using clock = std::chrono::steady_clock;
    const clock::time_point give_up = clock::now() + board_return_limit;
    std::optional<std::string> seen;
    clock::time_point seen_since = clock::now();
    while (clock::now() < give_up && !control.tool_stop.requested()) {
        const std::optional<platform::usb_board> now = find_board(board);
        const std::optional<std::string> port = now ? std::optional(now->port) : std::nullopt;
        if (port != seen) {
            seen = port;
            seen_since = clock::now();
        } else if (seen && clock::now() - seen_since >= port_settle_time) {
            return seen;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::nullopt;
}

}  // namespace

std::string firmware_command_line(std::string_view port, std::string_view base)
{
    return fmt::format(fmt::runtime(firmware_template), port, base);
}

std::string file_system_command_line(std::string_view port)
{
    return fmt::format(fmt::runtime(file_system_template), port);
}

bool flash_board(const board_to_flash& board, const std::string& firmware_base, const std::filesystem::path& folder,
                 flash_report& report, flash_control& control, bool pass_output)
{
    using run = flash_report::run;
    if (control.finish_asked) {
        report.closing(run::firmware);
        return false;
    }
    // Only a board the system lists can be looked for again after the reset.
    const bool listed = find_board(board).has_value();
    report.starting(run::firmware);
    const std::vector<flash_progress::image> firmware_images =
        images_of(folder, {{0x0, firmware_base + ".ino.bootloader.bin"},
                   {0x8000, firmware_base + ".ino.partitions.bin"},
                   {0xe000, "boot_app0.bin"},
                   {0x10000, firmware_base + ".ino.bin"}});
    if (const auto failure = run_tool(firmware_command_line(board.port, firmware_base), run::firmware,
                                      firmware_images, control, report, pass_output, folder)) {
        report.failed(run::firmware, *failure);
        return false;
    }
    report.finished(run::firmware);

    if (!file_system_image_present(folder)) {
        report.no_file_system();
        return true;
    }
    if (control.finish_asked) {
        report.closing(run::app);
        return false;
    }
    std::string port = board.port;
    if (listed) {
        const std::optional<std::string> back = port_after_reset(board, control);
        if (!back) {
            report.failed(run::app, control.tool_stop.requested()
                                        ? std::string(interrupted_reason)
                                        : "the board did not come back on USB after the firmware was written");
            return false;
        }
        port = *back;
        if (port != board.port && refusal_of_names(port, firmware_base)) {
            report.failed(run::app, "the board came back on a port esptool would not receive unchanged");
            return false;
        }
    }
    report.starting(run::app);
    if (const auto failure = run_tool(file_system_command_line(port), run::app,
                                      images_of(folder, {{6750208, "fs.bin"}}), control, report, pass_output, folder)) {
        report.failed(run::app, *failure);
        return false;
    }
    report.finished(run::app);
    return true;
}
