#include "flash/board_presence.h"

#include <algorithm>

namespace board_presence {

std::string key_of(const platform::usb_board& board)
{
    return board.serial.empty() ? "@" + board.location : board.serial;
}

std::optional<std::uint64_t> mac_value(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    std::uint64_t value = 0;
    int digits = 0;
    bool after_separator = false;
    for (const char c : text) {
        if (c == ':' || c == '-') {
            // Only between two pairs of digits.
            if (digits == 0 || digits % 2 != 0 || after_separator)
                return std::nullopt;
            after_separator = true;
            continue;
        }
        const int digit = c >= '0' && c <= '9' ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0 || digits == 12)
            return std::nullopt;
        value = value << 4 | static_cast<std::uint64_t>(digit);
        ++digits;
        after_separator = false;
    }
    if (digits != 12 || after_separator)
        return std::nullopt;
    return value;
}

bool same_mac(std::string_view serial, std::string_view mac)
{
    const std::optional<std::uint64_t> board = mac_value(serial);
    return board && board == mac_value(mac);
}

board_return::board_return(const platform::usb_board& board, clock::time_point ended)
    : key_(key_of(board)), first_port_(board.port), ended_(ended)
{
}

board_return::decision board_return::listed(clock::time_point now, const std::vector<platform::usb_board>& boards)
{
    std::optional<std::string> port;
    int matches = 0;
    for (const platform::usb_board& b : boards)
        if (key_of(b) == key_) {
            port = b.port;
            ++matches;
        }
    if (matches > 1)
        port.reset();  // two devices claim the board: neither is it
    if (!left_) {
        if (port == first_port_) {
            if (now - ended_ >= leave_limit)
                return {decision::kind::use, first_port_};  // it stays
            return {};
        }
        // Gone, or back already under another name: the port it had may now
        // be another board's.
        left_ = true;
        away_since_ = now;
        port_ = port;
        port_since_ = now;
        return {};
    }
    if (port != port_) {
        port_ = port;
        port_since_ = now;
    } else if (port_ && now - port_since_ >= port_settle_time) {
        return {decision::kind::use, *port_};
    }
    if (!port_ && now - std::max(away_since_, port_since_) >= return_limit)
        return {decision::kind::gone, {}};
    return {};
}

}  // namespace board_presence
