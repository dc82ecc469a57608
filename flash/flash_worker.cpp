#include "flash/flash_worker.h"

#include "app/status_queue.h"
#include "flash/page_text.h"
#include "flash/tool_reason.h"
#include "platform/process.h"

#include <cstdio>
#include <filesystem>
#include <fmt/core.h>
#include <system_error>

namespace {

// Runs one command line; returns nothing on success, or why it failed.
std::optional<std::string> run_tool(const std::string& command_line)
{
    tool_reason reason;
    const platform::run_outcome outcome =
        platform::run_command_line(command_line, [&](std::string_view line) { reason.feed(line); });
    const std::optional<std::string>& last_error = reason.reason();

    using kind = platform::run_outcome::kind;
    switch (outcome.how) {
    case kind::exited:
        if (outcome.code == 0)
            return std::nullopt;
        return last_error ? *last_error : fmt::format("esptool exited with code {}", outcome.code);
    case kind::signalled:
        return last_error ? *last_error : fmt::format("esptool was stopped by signal {}", outcome.code);
    case kind::not_found:
        return std::string("esptool not found in this folder, on PATH, or among the Arduino IDE's and "
                           "PlatformIO's tools: see \"Getting esptool\" in Vornhale's README");
    case kind::not_started:
        return "esptool could not be started: " + std::system_category().message(outcome.code);
    }
    return std::string("esptool failed");
}

bool file_system_image_present()
{
    // Any kind of entry counts, through links; a test that fails counts as absent.
    std::error_code error;
    return std::filesystem::exists("./fs.bin", error);
}

void flash(const std::optional<std::string>& board_port, const std::string& firmware_base, status_queue& queue)
{
    if (!board_port || firmware_base.empty()) {
        queue.push("Cannot upload firmware: file not found, or board not connected.");
        return;
    }

    queue.push("<span aria-busy=\"true\">Uploading firmware...</span>");
    if (const auto failure = run_tool(firmware_command_line(*board_port, firmware_base))) {
        queue.push("Firmware upload failed: " + page_text(*failure));
        return;
    }
    queue.push("Firmware upload done.");

    if (!file_system_image_present()) {
        queue.push("'fs.bin' not found, not uploading app.");
        return;
    }

    queue.push("<span aria-busy=\"true\">Uploading app...</span>");
    if (const auto failure = run_tool(file_system_command_line(*board_port))) {
        queue.push("App upload failed: " + page_text(*failure));
        return;
    }
    queue.push("App upload done.");
}

}  // namespace

std::string firmware_command_line(std::string_view port, std::string_view base)
{
    return fmt::format(
        R"(.\esptool.exe --chip esp32s3 --port "{0}" --baud 921600  --before default_reset --after hard_reset write_flash  -z --flash_mode keep --flash_freq keep --flash_size keep 0x0 "{1}.ino.bootloader.bin" 0x8000 "{1}.ino.partitions.bin" 0xe000 "boot_app0.bin" 0x10000 "{1}.ino.bin")",
        port, base);
}

std::string file_system_command_line(std::string_view port)
{
    return fmt::format(
        R"(.\esptool.exe --chip esp32s3 --port {} --baud 921600 --before default_reset --after hard_reset write_flash -z --flash_mode dio --flash_freq 80m --flash_size detect 6750208 fs.bin)",
        port);
}

void flash_worker(const std::optional<std::string>& board_port, const std::string& firmware_base,
                  status_queue& queue) noexcept
{
    // Nothing is expected to fail here but memory; if anything does, the
    // flashing ends and the program carries on.
    try {
        flash(board_port, firmware_base, queue);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Vornhale stopped flashing: %s\n", e.what());
        try {
            // Replace a busy text the page may still show.
            queue.push("Flashing stopped: " + page_text(e.what()));
        } catch (...) {
        }
    } catch (...) {
        std::fprintf(stderr, "Vornhale stopped flashing\n");
    }
}
