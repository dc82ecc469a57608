#pragma once

#include "flash/flash_worker.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Flashing one board: the firmware run, then the file-system run when
// ./fs.bin exists, each told as it goes to a flash_report. The status page's
// flow and the station (several boards at once) both flash through this.

// What flashing one board tells as it goes, on the thread that flashes.
class flash_report {
public:
    enum class run { firmware, app };
    virtual ~flash_report() = default;

    virtual void starting(run r) = 0;
    // How far the run is, in whole percent: higher each time, 100 last when
    // the run succeeded and told its progress.
    virtual void progress(run r, int percent) = 0;
    virtual void finished(run r) = 0;
    // reason: the tool's own words, or ours; outside text, not yet made safe
    // for a page.
    virtual void failed(run r, const std::string& reason) = 0;
    // After the firmware run: there is no ./fs.bin.
    virtual void no_file_system() = 0;
    // The run was not started: Vornhale is closing.
    virtual void closing(run r) = 0;
};

// The status text that refuses port and base when a name would not reach the
// tool unchanged through either command line, else nothing. Both lines are
// checked before the first run, so that a port the second line cannot carry
// does not leave the board with only half of what the user meant to flash.
// as_markup: the names made safe for a page that inserts the text as HTML;
// otherwise the text is plain.
std::optional<std::string> refusal_of_names(std::string_view port, std::string_view base, bool as_markup = true);

// The board to flash: its port, and its USB serial number when known ("").
struct board_to_flash {
    std::string port;
    std::string serial;
};

// How long the second run waits for the board to come back after the first
// run's hard reset, and how long its port must stay put before it is used.
inline constexpr std::chrono::seconds board_return_limit{8};
inline constexpr std::chrono::milliseconds port_settle_time{300};

// Flashes board with the firmware set named after firmware_base, then with
// fs.bin when it exists, running esptool in folder, where the images are (the
// working folder when empty). Between the runs it finds the board again (by its
// serial number, else by its port) and waits until its port has settled,
// since the hard reset at the end of the first run can make it leave USB and
// come back, possibly under another port name. Starts no run once
// control.finish_asked; a run is stopped by control.tool_stop. pass_output:
// whether the tool's output goes on to our standard output. Returns whether
// everything there was to write was written. The names must have passed
// refusal_of_names.
bool flash_board(const board_to_flash& board, const std::string& firmware_base, const std::filesystem::path& folder,
                 flash_report& report, flash_control& control, bool pass_output = true);
