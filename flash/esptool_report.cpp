#include "flash/esptool_report.h"

#include "flash/esptool_output.h"
#include "platform/esptool_lookup.h"
#include "platform/process.h"

#include <condition_variable>
#include <fmt/core.h>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace {

// Runs the tool with "version", stopping it once limit has passed.
platform::run_outcome ask_version(esptool_output& said, std::string& last_line, std::chrono::milliseconds limit)
{
    platform::run_stop stop(std::chrono::milliseconds(500));
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::thread timer([&] {
        std::unique_lock lock(mutex);
        if (!ended.wait_for(lock, limit, [&] { return done; }))
            stop.request();
    });
    platform::run_outcome outcome;
    try {
        outcome = platform::run_command_line(
            R"(.\esptool.exe version)",
            [&](std::string_view line) {
                said.feed(line);
                if (line.find_first_not_of(" \t") != std::string_view::npos)
                    last_line.assign(line.substr(0, 200));
            },
            &stop, false);
    } catch (const std::exception& e) {
        outcome = {platform::run_outcome::kind::not_started, 0};
        last_line = e.what();
    }
    {
        const std::lock_guard lock(mutex);
        done = true;
    }
    ended.notify_one();
    timer.join();
    return outcome;
}

}  // namespace

std::string esptool_report(std::chrono::milliseconds limit)
{
    const std::optional<platform::found_tool> tool = platform::locate_esptool();
    if (!tool)
        return "esptool: none found. Looked in this order:\n" + platform::esptool_places();
    esptool_output said;
    std::string last_line;
    platform::run_outcome outcome;
    try {
        outcome = ask_version(said, last_line, limit);
    } catch (const std::exception& e) {  // no thread for the timer
        outcome = {platform::run_outcome::kind::not_started, 0};
        last_line = e.what();
    }
    const std::string where = fmt::format("{} ({})", tool->path, tool->place);
    if (!said.version().empty())
        return fmt::format("esptool {}: {}\n", said.version(), where);
    using kind = platform::run_outcome::kind;
    std::string why;
    if (outcome.how == kind::stopped)
        why = fmt::format(" within {} s", limit.count() / 1000);
    else if (said.reason())
        why = ": " + *said.reason();
    else if (!last_line.empty())
        why = ": " + last_line;
    else if (outcome.how == kind::not_started)
        why = ": it could not be started: " + std::system_category().message(outcome.code);
    else
        why = fmt::format(": it ended with {} {}", outcome.how == kind::signalled ? "signal" : "code", outcome.code);
    return fmt::format("esptool: {}, which did not say its version{}\n", where, why);
}
