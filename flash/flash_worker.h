#pragma once

#include "platform/process.h"

#include <atomic>
#include <optional>
#include <string>
#include <string_view>

class status_queue;

// The flashing tool's command line for the firmware set: bootloader,
// partition table, boot_app0.bin and the application image, named after base.
std::string firmware_command_line(std::string_view port, std::string_view base);

// The flashing tool's command line for the file-system image fs.bin.
std::string file_system_command_line(std::string_view port);

// How main asks the flashing worker to end: shared by reference between the
// two for the worker's whole life (THREADS.md).
struct flash_control {
    // Main: start no further run; a running one goes on to its end.
    std::atomic<bool> finish_asked = false;
    // Main: end the running tool as well (after finish_asked).
    platform::run_stop tool_stop;
    // Worker: boards being flashed now (flash_board counts itself).
    std::atomic<unsigned> flashing = 0;
    // Worker: a run was cut short by tool_stop.
    std::atomic<bool> interrupted = false;
    // Worker: a flash it started did not write everything it was started for
    // (a run failed, was stopped, or was not started because of finish_asked).
    std::atomic<bool> incomplete = false;
    // Worker, as its last act: it has pushed its last text.
    std::atomic<bool> done = false;
};

// Thread body: flashes the board at board_port with the firmware set named
// after firmware_base, then with ./fs.bin when that exists, and pushes a
// status text before and after each stage. Refuses (one text) with
// firmware_trouble when that is not empty (see firmware_set_trouble), adding
// that no board was found when none was; when either input is missing; or
// when a name would not reach the tool unchanged through its command line.
// Stops after a failed stage with the tool's reason, and before a stage once
// control.finish_asked. Reads board_port and
// firmware_base without a lock: both must be final before the thread starts
// and outlive it, as must queue and control. Never throws.
void flash_worker(const std::optional<std::string>& board_port, const std::string& firmware_base,
                  const std::string& firmware_trouble, status_queue& queue, flash_control& control) noexcept;

// Main thread, once the window has gone, with the stop requests handled: waits
// for the worker and says on standard error what it waits for. After the first
// stop request (before or meanwhile) a flash in progress ends after its
// current run, and the second stops the tool; when the user only closed the
// window, the flash goes on to its end. counted_stops: stops to count as
// arrived already (closing the window, where that is a stop). Returns whether
// a run was interrupted.
bool finish_flashing(flash_control& control, unsigned counted_stops = 0);
