#include "flash/flash_worker.h"

#include "app/status_queue.h"
#include "flash/flash_progress.h"
#include "flash/page_text.h"
#include "flash/tool_reason.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/stop_signal.h"

#include <filesystem>
#include <fmt/core.h>
#include <system_error>
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

// The refusal text when a name would not reach the tool unchanged through
// either command line, else nothing. Both lines are checked before the first
// run, so that a port the second line cannot carry does not leave the board
// with only half of what the user meant to flash.
std::optional<std::string> refusal_of_names(std::string_view port, std::string_view base)
{
    constexpr std::string_view plain = "x";
    const auto refusal = [](std::string_view what, std::string_view name, std::string_view trouble) {
        return fmt::format("Cannot upload firmware: the {} \"{}\" {}, which esptool would not receive unchanged.",
                           what, page_text(name), trouble);
    };
    if (!reaches_tool_unchanged(firmware_template, plain, base))
        return refusal("file name", std::string(base) + ".ino.bin", trouble_with(base, false));
    if (!reaches_tool_unchanged(firmware_template, port, plain) || !reaches_tool_unchanged(file_system_template, port, plain))
        return refusal("port name", port, trouble_with(port, true));
    if (!reaches_tool_unchanged(firmware_template, port, base) || !reaches_tool_unchanged(file_system_template, port, base))
        return refusal("port name", port, "holds characters the command line would change");
    return std::nullopt;
}

// The images of a run, with their sizes as they are now (0 when unreadable).
std::vector<flash_progress::image> images_of(const std::vector<std::pair<std::uint32_t, std::string>>& files)
{
    std::vector<flash_progress::image> images;
    for (const auto& [offset, name] : files) {
        std::error_code error;
        const std::uintmax_t size = std::filesystem::file_size(name, error);
        images.push_back({offset, error ? 0 : size});
    }
    return images;
}

// Runs one command line, telling the page how far it is (stage: the run's busy
// text without its dots); returns nothing on success, or why it failed.
std::optional<std::string> run_tool(const std::string& command_line, std::string_view stage,
                                    std::vector<flash_progress::image> images, flash_control& control,
                                    status_queue& queue)
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
                    queue.push(progress_text(stage, *shown));
        },
        &control.tool_stop);
    const std::optional<std::string>& last_error = reason.reason();

    using kind = platform::run_outcome::kind;
    switch (outcome.how) {
    case kind::exited:
        if (outcome.code == 0) {
            if (const auto last = pacer.finish(progress.started()))
                queue.push(progress_text(stage, *last));
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

bool file_system_image_present()
{
    // Any kind of entry counts, through links; a test that fails counts as absent.
    std::error_code error;
    return std::filesystem::exists("./fs.bin", error);
}

// Whether the next run may start; says why not when main has asked the worker to end.
bool may_start(const char* what, const flash_control& control, status_queue& queue)
{
    if (!control.finish_asked)
        return true;
    queue.push(fmt::format("Not uploading {}: Vornhale is closing.", what));
    return false;
}

// stage: "Firmware" or "App".
void report_failure(std::string_view stage, const std::string& reason, const flash_control& control,
                    status_queue& queue)
{
    if (control.interrupted)
        platform::print_console(fmt::format("Vornhale: the {} upload was interrupted: {}; flash the board again.\n",
                                            stage == "App" ? "app" : "firmware", reason));
    queue.push(fmt::format("{} upload failed: {}", stage, page_text(reason)));
}

void flash(const std::optional<std::string>& board_port, const std::string& firmware_base, status_queue& queue,
           flash_control& control)
{
    if (!board_port || firmware_base.empty()) {
        queue.push("Cannot upload firmware: file not found, or board not connected.");
        return;
    }
    if (const auto refusal = refusal_of_names(*board_port, firmware_base)) {
        queue.push(*refusal);
        return;
    }

    if (!may_start("firmware", control, queue))
        return;
    queue.push("<span aria-busy=\"true\">Uploading firmware...</span>");
    const std::vector<flash_progress::image> firmware_images =
        images_of({{0x0, firmware_base + ".ino.bootloader.bin"},
                   {0x8000, firmware_base + ".ino.partitions.bin"},
                   {0xe000, "boot_app0.bin"},
                   {0x10000, firmware_base + ".ino.bin"}});
    if (const auto failure =
            run_tool(firmware_command_line(*board_port, firmware_base), "Uploading firmware", firmware_images, control, queue)) {
        report_failure("Firmware", *failure, control, queue);
        return;
    }
    queue.push("Firmware upload done.");

    if (!file_system_image_present()) {
        queue.push("'fs.bin' not found, not uploading app.");
        return;
    }

    if (!may_start("app", control, queue))
        return;
    queue.push("<span aria-busy=\"true\">Uploading app...</span>");
    if (const auto failure = run_tool(file_system_command_line(*board_port), "Uploading app",
                                      images_of({{6750208, "fs.bin"}}), control, queue)) {
        report_failure("App", *failure, control, queue);
        return;
    }
    queue.push("App upload done.");
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

void flash_worker(const std::optional<std::string>& board_port, const std::string& firmware_base,
                  status_queue& queue, flash_control& control) noexcept
{
    // Nothing is expected to fail here but memory; if anything does, the
    // flashing ends and the program carries on.
    try {
        flash(board_port, firmware_base, queue, control);
    } catch (const std::exception& e) {
        platform::print_console(fmt::format("Vornhale stopped flashing: {}\n", e.what()));
        try {
            // Replace a busy text the page may still show.
            queue.push("Flashing stopped: " + page_text(e.what()));
        } catch (...) {
        }
    } catch (...) {
        platform::print_console("Vornhale stopped flashing\n");
    }
    control.done = true;
    platform::wake_stop_wait();
}

bool finish_flashing(flash_control& control)
{
    // Every stop request counts once: the first lets the current run finish
    // and starts no other, the second stops the tool. Requests that arrived
    // together, or while the window was closing, count all the same.
    const auto worker_done = [&control] { return control.done.load(); };
    if (platform::stop_requests() == 0 && !worker_done()) {
        // The user closed the window: the flash goes on to its end.
        platform::print_console("Vornhale: finishing the flash before ending; stop to end it after esptool's current run.\n");
        if (!platform::wait_for_stop_requests(1, worker_done))
            return control.interrupted;
    }
    control.finish_asked = true;
    if (worker_done())
        return control.interrupted;
    if (platform::stop_requests() < 2)
        platform::print_console("Vornhale: letting esptool finish its run before ending, and starting no other; stop again to "
                                "interrupt it (the board would be left half-written).\n");
    if (platform::wait_for_stop_requests(2, worker_done)) {
        platform::print_console("Vornhale: stopping esptool.\n");
        control.tool_stop.request();
        while (!worker_done())
            platform::wait_for_stop_requests(platform::stop_requests() + 1, worker_done);
    }
    return control.interrupted;
}
