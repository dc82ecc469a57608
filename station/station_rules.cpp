#include "station/station_rules.h"

#include "flash/esptool_output.h"

#include <algorithm>
#include <fmt/core.h>
#include <map>

namespace station_rules {

const char* stage_name(stage s)
{
    switch (s) {
    case stage::waiting: return "waiting";
    case stage::firmware: return "firmware";
    case stage::file_system: return "file_system";
    case stage::flashed: return "flashed";
    case stage::failed: return "failed";
    }
    return "waiting";
}

board_card* rules::find(const std::string& key)
{
    for (board_card& c : cards_)
        if (c.key == key)
            return &c;
    return nullptr;
}

board_card& rules::fresh(const platform::usb_board& board, std::string key)
{
    board_card card;
    card.key = std::move(key);
    card.serial = board.serial;
    card.port = board.port;
    card.location = board.location;
    cards_.push_back(std::move(card));
    return cards_.back();
}

// What happens next to a finished board, for its card.
void rules::tell(board_card& card) const
{
    if (card.where == stage::flashed) {
        card.note = std::string(card.firmware_only ? "There is no fs.bin: only the firmware was written. " : "")
                    + "Flashed in this session: not flashed again.";
    } else if (card.where == stage::failed) {
        if (card.attempts >= attempts_)
            card.note = fmt::format("Failed {} times: not flashed again in this session.", card.attempts);
        else if (card.reset_since)
            card.note = "Wait until this card says what to do: esptool is resetting the board.";
        else if (!card.present)
            card.note = "Unplugged: plug it in again to flash it again.";
        else if (const std::string hint = not_answering_hint(card.reason, true); !hint.empty())
            card.note = hint;
        else
            card.note = "Unplug it and plug it in again to flash it again.";
    }
}

void rules::returned(board_card& card, clock::time_point now)
{
    // Back within the return limit after leaving mid-flash or in the reset
    // after it: esptool's own reset, never a new plug.
    const bool own_reset = card.away_since && now - *card.away_since <= return_limit;
    card.away_since.reset();
    card.reset_since.reset();
    if (is_flashing(card.where))
        return;
    if (card.where == stage::waiting) {
        if (allowed_) {
            card.note.clear();
            queue_.push_back(card.key);
        }
    } else if (card.where == stage::failed && !own_reset && card.attempts < attempts_) {
        if (allowed_) {
            card.where = stage::waiting;
            card.note = "Plugged in again: flashing it again.";
            queue_.push_back(card.key);
        } else {
            card.note = "Not flashed again: Vornhale is not starting new flashes.";
        }
    } else {
        tell(card);
    }
}

void rules::allow_starts(bool allowed)
{
    // Boards that came while starts were held (the record could not be
    // written) take their turns now, in the order they came.
    if (allowed && !allowed_)
        for (board_card& card : cards_)
            if (card.present && card.where == stage::waiting
                && std::find(queue_.begin(), queue_.end(), card.key) == queue_.end()) {
                card.note.clear();
                queue_.push_back(card.key);
            }
    allowed_ = allowed;
}

std::vector<board_card> rules::listed(clock::time_point now, const std::vector<platform::usb_board>& boards)
{
    look(now);
    std::map<std::string, int> reported;  // how many devices report each serial number
    for (const platform::usb_board& b : boards)
        if (!b.serial.empty())
            ++reported[b.serial];

    std::vector<board_card> duplicates;
    std::vector<bool> seen(cards_.size(), false);
    const auto see = [&](board_card& card) {
        const auto i = static_cast<std::size_t>(&card - cards_.data());
        if (i >= seen.size())
            seen.resize(i + 1, false);
        seen[i] = true;
    };
    for (const platform::usb_board& board : boards) {
        const std::string key = key_of(board);
        const std::string twin_key = key + "@" + board.location;
        board_card* twin = board.serial.empty() ? nullptr : find(twin_key);
        if (board.serial.empty() || (reported[board.serial] < 2 && (twin == nullptr || !twin->present))) {
            board_card* card = find(key);
            if (card == nullptr) {
                card = &fresh(board, key);
                if (allowed_)
                    queue_.push_back(key);
                else
                    card->note = "Not flashed: Vornhale is not starting new flashes.";
            } else {
                card->port = board.port;
                card->location = board.location;
                if (!card->present) {
                    card->present = true;
                    returned(*card, now);
                }
            }
            see(*card);
            continue;
        }
        // A serial number another device reports too (or did, while both were
        // there): which of them a run reaches cannot be told, so neither is
        // flashed under it. Each fails once a time it is plugged in.
        if (board_card* shared = find(key); shared != nullptr && shared->where == stage::waiting) {
            queue_.erase(std::remove(queue_.begin(), queue_.end(), key), queue_.end());
            see(*shared);
            shared->present = false;
        }
        if (twin == nullptr)
            twin = &fresh(board, twin_key);
        twin->port = board.port;
        if (!twin->present || twin->where != stage::failed) {
            twin->present = true;
            twin->where = stage::failed;
            twin->reason = fmt::format("two boards report the serial number {}: unplug one", board.serial);
            twin->note = "Neither is flashed while both are plugged in.";
            twin->finished = ++finished_;
            duplicates.push_back(*twin);
        }
        see(*twin);
    }

    for (std::size_t i = 0; i < cards_.size(); ++i) {
        board_card& card = cards_[i];
        if ((i < seen.size() && seen[i]) || !card.present)
            continue;
        card.present = false;
        if (is_flashing(card.where) || card.reset_since) {
            card.away_since = now;  // esptool's reset
        } else if (card.where == stage::waiting) {
            queue_.erase(std::remove(queue_.begin(), queue_.end(), card.key), queue_.end());
            card.note = "Unplugged before its turn.";
        } else if (card.attempts == 0) {
            card.note = "Unplugged.";  // one of two boards that report one serial number
        } else {
            tell(card);
        }
    }
    return duplicates;
}

bool rules::look(clock::time_point now)
{
    bool changed = false;
    for (board_card& card : cards_) {
        if (is_flashing(card.where))
            continue;
        // It stayed, or it has gone for good: its reset is over.
        const bool stayed = card.reset_since && !card.away_since && now - *card.reset_since > own_reset_window;
        const bool gone = card.away_since && !card.present && now - *card.away_since > return_limit;
        if (!stayed && !gone)
            continue;
        card.reset_since.reset();
        card.away_since.reset();
        tell(card);
        changed = true;
    }
    return changed;
}

bool rules::held(const board_card& card) const
{
    return std::any_of(cards_.begin(), cards_.end(), [&](const board_card& other) {
        return &other != &card && is_flashing(other.where) && !other.present && other.port == card.port;
    });
}

std::vector<flash_start> rules::starts(clock::time_point now)
{
    std::vector<flash_start> result;
    for (auto it = queue_.begin(); allowed_ && running_ < parallel_ && it != queue_.end();) {
        board_card* card = find(*it);
        if (card != nullptr && card->present && card->where == stage::waiting && held(*card)) {
            ++it;  // its turn stays
            continue;
        }
        const std::string key = *it;
        it = queue_.erase(it);
        if (card == nullptr || !card->present || card->where != stage::waiting)
            continue;
        ++card->attempts;
        card->where = stage::firmware;
        card->percent = 0;
        card->reason.clear();
        card->note.clear();
        card->firmware_only = false;
        card->started = now;
        card->reset_since.reset();
        card->away_since.reset();
        ++running_;
        result.push_back({key, {card->serial, card->port, card->location}, card->attempts});
    }
    return result;
}

bool rules::start_due() const
{
    if (!allowed_ || running_ >= parallel_)
        return false;
    return std::any_of(queue_.begin(), queue_.end(), [this](const std::string& key) {
        const auto card = std::find_if(cards_.begin(), cards_.end(), [&](const board_card& c) { return c.key == key; });
        return card != cards_.end() && card->present && card->where == stage::waiting && !held(*card);
    });
}

void rules::ended(const std::string& key, clock::time_point now, bool flashed, std::string reason, bool resets)
{
    board_card* card = find(key);
    if (card == nullptr || !is_flashing(card->where))
        return;
    card->where = flashed ? stage::flashed : stage::failed;
    card->reason = flashed ? std::string() : std::move(reason);
    if (flashed)
        card->percent = 100;
    card->seconds = std::chrono::duration<double>(now - card->started).count();
    card->finished = ++finished_;
    if (resets)
        card->reset_since = now;
    else
        card->away_since.reset();  // it left by a hand, if at all
    tell(*card);
    --running_;
}

}  // namespace station_rules
