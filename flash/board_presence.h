#pragma once

#include "platform/usb_boards.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Which board is which, and where a board is after esptool's reset: what one
// board's flash needs between its two runs, and the station for every board.
namespace board_presence {

using clock = std::chrono::steady_clock;

// A board is known by its USB serial number (the ESP32-S3 reports its MAC
// there), or, when it reports none, by where it is plugged in (the system's
// path of the USB socket): never by its port name, which another board may
// take while this one resets.
std::string key_of(const platform::usb_board& board);

// The 48-bit value of a MAC however it is spelt: twelve hexadecimal digits in
// either case, with or without colons or dashes between them, blanks around
// ("F4:12:FA:00:00:01", "f412fa000001", "F4-12-FA-00-00-01"); nothing when
// the text is no MAC.
std::optional<std::uint64_t> mac_value(std::string_view text);

// Whether the MAC esptool printed ("f4:12:fa:00:00:01") is the one the board
// reports as its serial number: the same 48-bit value, whatever the spelling.
bool same_mac(std::string_view serial, std::string_view mac);

// After esptool's hard reset the ESP32-S3's USB-Serial/JTAG leaves USB 0.3 to
// 1.0 s after the tool has ended, stays away about 0.2 s, and comes back,
// often under another port name. A board that has not left within leave_limit
// (the latest leave and half a second for the system and us to notice it on a
// busy machine) stays. One away for longer than return_limit has gone for good.
inline constexpr std::chrono::milliseconds leave_limit{1500};
inline constexpr std::chrono::seconds return_limit{8};
// The port must stay the same this long after the board came back before a run
// opens it.
inline constexpr std::chrono::milliseconds port_settle_time{300};
// Between a board's two runs: where the board is now. Fed the boards listed
// (or nothing when the list could not be read), it says to wait, which port
// to use, or that the board did not come back.
class board_return {
public:
    // board: as it was when the first run started; ended: when that run ended.
    board_return(const platform::usb_board& board, clock::time_point ended);

    struct decision {
        enum class kind { wait, use, gone } what = kind::wait;
        std::string port;  // kind::use
    };
    decision listed(clock::time_point now, const std::vector<platform::usb_board>& boards);

private:
    std::string key_;
    std::string first_port_;
    clock::time_point ended_;
    bool left_ = false;
    clock::time_point away_since_{};
    std::optional<std::string> port_;  // as last seen; settled once unchanged for port_settle_time
    clock::time_point port_since_{};
};

}  // namespace board_presence
