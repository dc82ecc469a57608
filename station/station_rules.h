#pragma once

#include "flash/board_presence.h"
#include "platform/usb_boards.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The station's rules about boards, apart from threads and devices: which
// board is which, whether a board that left USB and came back was our own
// reset or a hand that plugged it in again, how many attempts a board gets,
// what starts next, and what to do with a serial number two devices report.
// The station feeds them what it sees (the boards listed now, a flash that
// ended) with the time it saw it, and carries out what they decide.
namespace station_rules {

using board_presence::clock;
using board_presence::key_of;
using board_presence::return_limit;

// After a run that reached esptool's hard reset, the board's first leave and
// return within this time after its flash ended is that reset, not a hand
// that plugged it in again: the station's whole return window, so that a
// board that leaves later than ESP32-S3 boards are meant to (seconds after its
// reset, or during its file-system run) and a station slow to list the devices
// never take the reset for a hand. Its card says to wait meanwhile. A run that
// ended before esptool's reset (the board did not answer, was unplugged, or
// the run was stopped) has no reset to come: every return is a hand's.
inline constexpr std::chrono::milliseconds own_reset_window = return_limit;

enum class stage { waiting, firmware, file_system, flashed, failed };
const char* stage_name(stage s);
inline bool is_flashing(stage s) { return s == stage::firmware || s == stage::file_system; }

struct board_card {
    std::string key;  // key_of; with "@" and the location added for a serial reported twice
    std::string serial;
    std::string port;  // the port it has now, or had last
    std::string location;
    stage where = stage::waiting;
    bool present = true;
    int attempts = 0;  // flashes started
    int percent = 0;
    std::string reason;  // why it failed
    std::string note;    // what happens next, for the operator
    bool firmware_only = false;  // flashed without a file system: there is no fs.bin
    clock::time_point started{};
    double seconds = 0;
    std::size_t finished = 0;  // the how-manieth board to finish (0: not yet)

    // Our own reset after the flash ended (when its last run reached it):
    // since when, and whether the board has left for it.
    std::optional<clock::time_point> reset_since;
    std::optional<clock::time_point> away_since;
};

// A board to flash now.
struct flash_start {
    std::string key;
    platform::usb_board board;  // as listed last
    int attempt = 0;
};

class rules {
public:
    explicit rules(std::size_t parallel = 8, int attempts = 3) : parallel_(parallel), attempts_(attempts) {}

    // Whether new flashes may start (false once the station is closing, has
    // nothing to flash, or cannot keep records). Boards that came while they
    // were not take their turns once they are.
    void allow_starts(bool allowed);

    // The boards on USB now. Returns the records to write: devices that report
    // a serial number another device present reports too, which fail.
    std::vector<board_card> listed(clock::time_point now, const std::vector<platform::usb_board>& boards);

    // Boards to flash now, in the order they came, at most as many as may run
    // at once; each counts an attempt and is flashing from now on.
    std::vector<flash_start> starts(clock::time_point now);
    // Whether starts would start a flash now. A board on the port of a board
    // whose flash goes on while it is away (unplugged, or in its reset) waits
    // until that flash has ended: its esptool may still hold the port.
    bool start_due() const;

    // A flash has ended: the board is flashed or failed from now on. resets:
    // its last run reached esptool's hard reset, so the board leaves USB and
    // comes back by itself; otherwise a leave it made during the flash was
    // a hand's.
    void ended(const std::string& key, clock::time_point now, bool flashed, std::string reason = {},
               bool resets = true);

    // Time passes: a reset that did not come, or a board that did not come
    // back from it, is over. Returns whether a card changed.
    bool look(clock::time_point now);

    // Whether the page lists the card: every board not finished yet, and the
    // last finished_shown to finish; the others count in the totals only.
    static constexpr std::size_t finished_shown = 100;
    bool on_page(const board_card& card) const
    {
        return card.finished == 0 || card.finished + finished_shown > finished_;
    }

    std::size_t running() const { return running_; }
    board_card* find(const std::string& key);
    const std::vector<board_card>& cards() const { return cards_; }

private:
    board_card& fresh(const platform::usb_board& board, std::string key);
    void returned(board_card& card, clock::time_point now);
    void tell(board_card& card) const;
    bool held(const board_card& card) const;

    std::size_t parallel_;
    int attempts_;
    bool allowed_ = true;
    std::vector<board_card> cards_;  // oldest first
    std::deque<std::string> queue_;  // keys of the boards waiting for a flash
    std::size_t running_ = 0;
    std::size_t finished_ = 0;
};

}  // namespace station_rules
