#pragma once

#include "flash/flash_worker.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Flashing one board: the firmware run, then the file-system run when
// ./fs.bin exists, each told as it goes to a flash_report. The status page's
// flow and the station (several boards at once) both flash through this.

// What flashing one board tells as it goes, on the thread that flashes.
class flash_report {
public:
    enum class run { firmware, file_system };
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

// The board to flash: its port, its USB serial number and where it is plugged
// in (both "" when unknown).
struct board_to_flash {
    std::string port;
    std::string serial;
    std::string location;
};

// What esptool said about the chip it reached (flash/esptool_output.h):
// "4.7.0", "ESP32-S3 (QFN56) (revision v0.2)", "f4:12:fa:00:00:01". Those of
// the first run that told them.
struct tool_facts {
    std::string esptool_version;
    std::string chip;
    std::string mac;
};

struct flash_outcome {
    bool flashed = false;  // everything there was to write was written, onto this board
    tool_facts facts;
    std::vector<std::string> verified;  // the images whose hash esptool verified after writing them
    // The last run reached esptool's hard reset: the board leaves USB and
    // comes back by itself. Not so when it failed before (the board did not
    // answer), was stopped, or the board was unplugged.
    bool resets = false;
    // The board left USB during a run other than by esptool's reset: that run
    // was stopped at once.
    bool unplugged = false;
    // esptool had no flasher stub for the chip, and its runs went through the
    // chip's ROM loader instead (--no-stub after --chip).
    bool rom_loader = false;
};

// How a flash runs. pass_output: whether the tool's output goes on to our
// standard output. strict (the station, whose record vouches for each board):
// a run fails unless esptool named the chip's MAC, for a board with a serial
// number, and verified every image it wrote; otherwise such a run counts and
// our standard output says what could not be checked.
struct flash_options {
    bool pass_output = true;
    bool strict = false;
};

// Flashes board with the firmware set named after firmware_base, then with
// fs.bin when it exists, running esptool in folder, where the images are (the
// working folder when empty). Between the runs it waits until the board has left
// USB and come back after the first run's hard reset (or, when it stays, for
// longer than a board takes to leave), finds it again by its serial number or
// location, never by its port name, and uses the port it has then. An esptool
// without the ESP32-S3's flasher stub (Debian's) fails its first run after
// naming the chip and before writing: that run is made again, and the second
// run made, with --no-stub after --chip esp32s3, through the chip's ROM
// loader (flash_outcome::rom_loader; outside the station, our standard
// output says so). A chip whose flash esptool finds too small for the set
// fails the run in the maker's words (flash/partition_table.h), stopped as
// soon as esptool says so before writing. A board
// with a serial number must be the one each run reached: the MAC esptool
// names once connected must be its, else the run is stopped and fails (a
// board without one cannot be checked, nor one whose serial number is no MAC:
// strict, that board fails before any run); a run that names two MACs fails
// too. A board the system lists that leaves USB while a run writes to it,
// other than by esptool's reset, ends that run at once: esptool 4.8 and later
// would open the port name again and write on to whatever board is plugged
// in there next. Starts no run once control.finish_asked; a run is stopped by
// control.tool_stop. The names must have passed refusal_of_names.
flash_outcome flash_board(const board_to_flash& board, const std::string& firmware_base,
                          const std::filesystem::path& folder, flash_report& report, flash_control& control,
                          const flash_options& options = {});
