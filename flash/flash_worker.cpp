#include "flash/flash_worker.h"

#include "app/status_queue.h"
#include "flash/board_flash.h"
#include "flash/flash_progress.h"
#include "flash/page_text.h"
#include "platform/console.h"
#include "platform/stop_signal.h"
#include "platform/usb_boards.h"

#include <fmt/core.h>

namespace {

// The status page's texts for one board's flash, pushed into the queue.
class status_texts final : public flash_report {
public:
    status_texts(status_queue& queue, const flash_control& control) : queue_(queue), control_(control) {}

    void starting(run r) override
    {
        queue_.push(r == run::firmware ? "<span aria-busy=\"true\">Uploading firmware...</span>"
                                       : "<span aria-busy=\"true\">Uploading app...</span>");
    }
    void progress(run r, int percent) override
    {
        queue_.push(progress_text(r == run::firmware ? "Uploading firmware" : "Uploading app", percent));
    }
    void finished(run r) override { queue_.push(r == run::firmware ? "Firmware upload done." : "App upload done."); }
    void failed(run r, const std::string& reason) override
    {
        if (control_.interrupted)
            platform::print_console(fmt::format("Vornhale: the {} upload was interrupted: {}; flash the board again.\n",
                                                r == run::file_system ? "app" : "firmware", reason));
        queue_.push(fmt::format("{} upload failed: {}", r == run::file_system ? "App" : "Firmware", page_text(reason)));
    }
    void no_file_system() override { queue_.push("'fs.bin' not found, not uploading app."); }
    void closing(run r) override
    {
        if (r == run::file_system)
            platform::print_console("Vornhale: fs.bin was not written (stopped before its run): the board has the "
                                    "firmware only.\n");
        queue_.push(fmt::format("Not uploading {}: Vornhale is closing.", r == run::file_system ? "app" : "firmware"));
    }

private:
    status_queue& queue_;
    const flash_control& control_;
};

// The board on port, with its USB serial number and where it is plugged in
// when the system lists it: how it is found again after the first run's reset.
board_to_flash board_at(const std::string& port)
{
    try {
        for (const platform::usb_board& board : platform::list_boards())
            if (board.port == port)
                return {port, board.serial, board.location};
    } catch (const std::exception&) {
    }
    return {port, {}, {}};
}

void flash(const std::optional<std::string>& board_port, const std::string& firmware_base,
           const std::string& firmware_trouble, status_queue& queue, flash_control& control)
{
    // What is wrong with the folder is told whether or not a board is there:
    // the maker can mend it before plugging in.
    if (!firmware_base.empty() && !firmware_trouble.empty()) {
        queue.push(board_port ? firmware_trouble : firmware_trouble + " No board was found either.");
        return;
    }
    if (!board_port || firmware_base.empty()) {
        queue.push("Cannot upload firmware: file not found, or board not connected.");
        return;
    }
    if (const auto refusal = refusal_of_names(*board_port, firmware_base)) {
        queue.push(*refusal);
        return;
    }
    status_texts texts(queue, control);
    if (!flash_board(board_at(*board_port), firmware_base, {}, texts, control).flashed)
        control.incomplete = true;
}

}  // namespace

void flash_worker(const std::optional<std::string>& board_port, const std::string& firmware_base,
                  const std::string& firmware_trouble, status_queue& queue, flash_control& control) noexcept
{
    // Nothing is expected to fail here but memory; if anything does, the
    // flashing ends and the program carries on.
    try {
        flash(board_port, firmware_base, firmware_trouble, queue, control);
    } catch (const std::exception& e) {
        control.incomplete = true;
        platform::print_console(fmt::format("Vornhale stopped flashing: {}\n", e.what()));
        try {
            // Replace a busy text the page may still show.
            queue.push("Flashing stopped: " + page_text(e.what()));
        } catch (...) {
        }
    } catch (...) {
        control.incomplete = true;
        platform::print_console("Vornhale stopped flashing\n");
    }
    control.done = true;
    platform::wake_stop_wait();
}

bool finish_flashing(flash_control& control, unsigned counted_stops)
{
    // Every stop request counts once: the first lets the current run finish
    // and starts no other, the second stops the tool. Requests that arrived
    // together, or while the window was closing, count all the same (what
    // one action of a user sends is one request: platform/stop_signal.h).
    const auto worker_done = [&control] { return control.done.load(); };
    const auto stops = [counted_stops] { return platform::stop_requests() + counted_stops; };
    const auto wait_for_stops = [counted_stops, &worker_done](unsigned count) {
        return platform::wait_for_stop_requests(count > counted_stops ? count - counted_stops : 0, worker_done);
    };
    if (stops() == 0 && !worker_done()) {
        // The user closed the window: the flash goes on to its end.
        platform::print_console("Vornhale: finishing the flash before ending; stop to end it after esptool's current run.\n");
        if (!wait_for_stops(1))
            return control.interrupted;
    }
    control.finish_asked = true;
    if (worker_done())
        return control.interrupted;
    if (stops() < 2) {
        if (control.flashing == 0)
            platform::print_console("Vornhale: nothing is flashing; ending.\n");
        else
            platform::print_console("Vornhale: letting esptool finish its run before ending, and starting no other; stop "
                                    "again (a second or more from now, or in another way) to interrupt it (the board "
                                    "would be left half-written).\n");
    }
    if (wait_for_stops(2)) {
        platform::print_console("Vornhale: stopping esptool.\n");
        control.tool_stop.request();
        while (!worker_done())
            platform::wait_for_stop_requests(platform::stop_requests() + 1, worker_done);
    }
    return control.interrupted;
}
