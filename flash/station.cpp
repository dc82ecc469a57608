#include "flash/station.h"

#include "flash/board_flash.h"
#include "flash/page_text.h"
#include "flash/tool_reason.h"
#include "platform/stop_signal.h"
#include "platform/usb_boards.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <deque>
#include <fmt/chrono.h>
#include <fmt/core.h>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

using clock = std::chrono::steady_clock;

// How often the station looks at main's requests when nothing else wakes it,
// and re-reads the device list as a safety net for a missed change.
constexpr std::chrono::milliseconds look_interval{250};
constexpr std::chrono::seconds relist_interval{5};

enum class stage { waiting, firmware, app, flashed, failed };

const char* stage_name(stage s)
{
    switch (s) {
    case stage::waiting: return "waiting";
    case stage::firmware: return "firmware";
    case stage::app: return "app";
    case stage::flashed: return "flashed";
    case stage::failed: return "failed";
    }
    return "waiting";
}

bool is_flashing(stage s) { return s == stage::firmware || s == stage::app; }

struct board_card {
    std::string key;  // the serial number, or "@" and where it is plugged in
    std::string serial;
    std::string port;
    stage where = stage::waiting;
    int percent = 0;
    std::string reason;
    std::string note;
    int attempts = 0;
    clock::time_point started{};
    double seconds = 0;
    bool present = true;
};

std::string utc_now()
{
    return fmt::format("{:%Y-%m-%dT%H:%M:%SZ}", fmt::gmtime(std::time(nullptr)));
}

class station {
public:
    station(const std::string& firmware_base, const std::string& firmware_trouble, const station_output& output,
            flash_control& control, const station_settings& settings)
        : base_(firmware_base), trouble_(firmware_trouble), output_(output), control_(control), settings_(settings)
    {
    }

    ~station()
    {
        for (worker& w : workers_)
            if (w.thread.joinable())
                w.thread.join();
    }

    void run()
    {
        std::unique_ptr<platform::board_watch> watch;
        try {
            watch = std::make_unique<platform::board_watch>();
        } catch (const std::exception& e) {
            watch_trouble_ = std::string("Vornhale cannot watch USB for boards (") + e.what()
                             + "): it looks for them every second instead.";
        }
        watch_ = watch.get();
        // A file name esptool would not receive unchanged is refused for every board at once.
        if (trouble_.empty() && !base_.empty())
            if (const auto refusal = refusal_of_names("x", base_, false))
                refusal_ = *refusal;
        const bool can_flash = !base_.empty() && trouble_.empty() && refusal_.empty();

        clock::time_point listed_at{};
        bool changed = true;
        for (;;) {
            if (control_.tool_stop.requested() && !boards_.tool_stop.requested())
                boards_.tool_stop.request();
            const bool closing = control_.finish_asked.load();
            if (changed || clock::now() - listed_at >= relist_interval) {
                listed_at = clock::now();
                reconcile(can_flash && !closing);
            }
            if (can_flash && !closing)
                start_flashes();
            join_finished();
            publish(can_flash, closing);
            {
                const std::lock_guard lock(mutex_);
                if (closing && running_ == 0)
                    break;
            }
            if (watch != nullptr) {
                changed = watch->wait(look_interval);
            } else {
                std::this_thread::sleep_for(look_interval);
                changed = clock::now() - listed_at >= std::chrono::seconds(1);
            }
        }
        // Every flash has ended; their threads go before the watch they wake.
        for (worker& w : workers_)
            w.thread.join();
        workers_.clear();
        if (boards_.interrupted)
            control_.interrupted = true;
        watch_ = nullptr;
    }

private:
    struct worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    // A board's flash, told to its card.
    class card_report final : public flash_report {
    public:
        card_report(station& s, std::string key) : s_(s), key_(std::move(key)) {}
        void starting(run r) override
        {
            update([&](board_card& c) {
                c.where = r == run::firmware ? stage::firmware : stage::app;
                c.percent = 0;
            });
        }
        void progress(run, int percent) override { update([&](board_card& c) { c.percent = percent; }); }
        void finished(run) override {}
        void failed(run r, const std::string& reason) override
        {
            update([&](board_card& c) {
                c.reason = fmt::format("{}: {}", r == run::firmware ? "Firmware" : "App", reason);
            });
        }
        void no_file_system() override
        {
            update([&](board_card& c) { c.note = "There is no fs.bin: only the firmware was written."; });
        }
        void closing(run) override { update([&](board_card& c) { c.reason = "Vornhale was closing"; }); }

    private:
        template <typename F>
        void update(F change)
        {
            {
                const std::lock_guard lock(s_.mutex_);
                if (board_card* c = s_.find(key_))
                    change(*c);
                s_.dirty_ = true;
            }
            s_.wake();
        }
        station& s_;
        std::string key_;
    };

    board_card* find(const std::string& key)  // mutex_ held
    {
        for (board_card& c : cards_)
            if (c.key == key)
                return &c;
        return nullptr;
    }

    void wake()
    {
        if (platform::board_watch* w = watch_)
            w->wake();
    }

    // Takes in the boards present now: new ones wait for their flash, a failed
    // one plugged in again waits for another, a flashed one never flashes again.
    void reconcile(bool may_queue)
    {
        std::vector<platform::usb_board> present;
        try {
            present = platform::list_boards();
        } catch (const std::exception& e) {
            const std::lock_guard lock(mutex_);
            if (list_trouble_ != e.what()) {
                list_trouble_ = e.what();
                dirty_ = true;
            }
            return;
        }
        const std::lock_guard lock(mutex_);
        if (!list_trouble_.empty()) {
            list_trouble_.clear();
            dirty_ = true;
        }
        std::vector<bool> seen(cards_.size(), false);
        for (const platform::usb_board& board : present) {
            const std::string key = board.serial.empty() ? "@" + board.location : board.serial;
            board_card* card = find(key);
            if (card == nullptr) {
                board_card fresh;
                fresh.key = key;
                fresh.serial = board.serial;
                fresh.port = board.port;
                if (!may_queue)
                    fresh.note = "Not flashed: Vornhale is closing, or has nothing to flash.";
                cards_.push_back(std::move(fresh));
                seen.push_back(true);
                if (may_queue)
                    queue_.push_back(key);
                dirty_ = true;
                continue;
            }
            seen[static_cast<std::size_t>(card - cards_.data())] = true;
            if (!is_flashing(card->where))
                card->port = board.port;
            if (card->present)
                continue;
            card->present = true;
            dirty_ = true;
            if (card->where == stage::flashed) {
                card->note = "Flashed in this session: not flashed again.";
            } else if (card->where == stage::failed) {
                if (card->attempts < settings_.attempts && may_queue) {
                    card->where = stage::waiting;
                    card->note = "Plugged in again: flashing it again.";
                    queue_.push_back(key);
                } else if (card->attempts >= settings_.attempts) {
                    card->note = fmt::format("Failed {} times: not flashed again in this session.", card->attempts);
                }
            }
        }
        for (std::size_t i = 0; i < cards_.size(); ++i) {
            board_card& card = cards_[i];
            if (seen[i] || !card.present)
                continue;
            card.present = false;
            dirty_ = true;
            if (card.where == stage::waiting) {
                // Unplugged before its turn: it waits again when it comes back.
                queue_.erase(std::remove(queue_.begin(), queue_.end(), card.key), queue_.end());
                card.where = card.attempts > 0 ? stage::failed : stage::waiting;
                card.note = "Unplugged before its turn.";
            }
        }
    }

    void start_flashes()
    {
        const std::lock_guard lock(mutex_);
        while (running_ < settings_.parallel && !queue_.empty()) {
            const std::string key = queue_.front();
            queue_.pop_front();
            board_card* card = find(key);
            if (card == nullptr || !card->present || card->where != stage::waiting)
                continue;
            if (const auto refusal = refusal_of_names(card->port, base_, false)) {
                card->where = stage::failed;
                card->reason = *refusal;
                dirty_ = true;
                continue;
            }
            ++card->attempts;
            card->where = stage::firmware;
            card->percent = 0;
            card->reason.clear();
            card->note.clear();
            card->started = clock::now();
            ++running_;
            dirty_ = true;
            auto done = std::make_shared<std::atomic<bool>>(false);
            workers_.push_back({std::thread(&station::flash_one, this, key, platform_board(*card), done), done});
        }
    }

    static board_to_flash platform_board(const board_card& card) { return {card.port, card.serial}; }

    void flash_one(std::string key, board_to_flash board, std::shared_ptr<std::atomic<bool>> done) noexcept
    {
        bool flashed = false;
        std::string failure;
        try {
            card_report report(*this, key);
            flashed = flash_board(board, base_, report, boards_, false);
        } catch (const std::exception& e) {
            failure = e.what();
        }
        std::optional<board_record> record;
        {
            const std::lock_guard lock(mutex_);
            if (board_card* card = find(key)) {
                card->where = flashed ? stage::flashed : stage::failed;
                if (!flashed && card->reason.empty())
                    card->reason = failure.empty() ? "esptool failed" : failure;
                if (!flashed)
                    card->note = not_answering_hint(card->reason, card->attempts < settings_.attempts);
                card->seconds = std::chrono::duration<double>(clock::now() - card->started).count();
                if (flashed)
                    card->percent = 100;
                record = board_record{utc_now(), card->port, card->serial, flashed, flashed ? std::string() : card->reason,
                                      card->seconds};
            }
            --running_;
            dirty_ = true;
        }
        try {
            if (record && output_.record)
                output_.record(*record);
        } catch (...) {
        }
        *done = true;
        wake();
    }

    void join_finished()
    {
        for (auto it = workers_.begin(); it != workers_.end();) {
            if (*it->done) {
                it->thread.join();
                it = workers_.erase(it);
            } else {
                ++it;
            }
        }
    }

    void publish(bool can_flash, bool closing)
    {
        std::string document;
        {
            const std::lock_guard lock(mutex_);
            if (!dirty_ && published_closing_ == closing && published_)
                return;
            dirty_ = false;
            published_ = true;
            published_closing_ = closing;
            document = document_of(can_flash, closing);
        }
        if (output_.publish)
            output_.publish(std::move(document));
    }

    std::string document_of(bool can_flash, bool closing) const  // mutex_ held
    {
        int flashed = 0, failed = 0, in_progress = 0, waiting = 0;
        std::string boards;
        const clock::time_point now = clock::now();
        for (const board_card& c : cards_) {
            flashed += c.where == stage::flashed;
            failed += c.where == stage::failed;
            in_progress += is_flashing(c.where);
            waiting += c.where == stage::waiting && c.present;
            const double seconds =
                is_flashing(c.where) ? std::chrono::duration<double>(now - c.started).count() : c.seconds;
            boards += fmt::format(
                "{}{{\"serial\": {}, \"port\": {}, \"stage\": \"{}\", \"percent\": {}, \"reason\": {}, "
                "\"seconds\": {:.1f}, \"attempts\": {}, \"note\": {}}}",
                boards.empty() ? "" : ", ", json_string(c.serial), json_string(c.port), stage_name(c.where),
                c.percent, json_string(c.reason), seconds, c.attempts, json_string(c.note));
        }
        std::string state = "running";
        std::string message = "Plug boards in: each is flashed once.";
        if (!can_flash) {
            state = "no firmware";
            message = base_.empty()      ? "No firmware found here (NAME.ino.bin): nothing is flashed."
                      : !trouble_.empty() ? trouble_ + " Nothing is flashed."
                                          : refusal_ + " Nothing is flashed.";
        } else if (closing && in_progress > 0) {
            state = "closing";
            message = "Closing: the flashes under way finish, no other starts.";
        } else if (closing) {
            state = "stopped";
            message = "Stopped.";
        }
        if (!list_trouble_.empty())
            message += " Vornhale cannot list the USB devices: " + list_trouble_;
        else if (!watch_trouble_.empty())
            message += " " + watch_trouble_;
        return fmt::format("{{\"firmware\": {}, \"state\": \"{}\", \"message\": {}, \"totals\": {{\"flashed\": {}, "
                           "\"failed\": {}, \"in_progress\": {}, \"waiting\": {}}}, \"boards\": [{}]}}",
                           json_string(base_.empty() ? "" : base_ + ".ino.bin"), state, json_string(message),
                           flashed, failed, in_progress, waiting, boards);
    }

    const std::string& base_;
    const std::string& trouble_;
    const station_output& output_;
    flash_control& control_;
    const station_settings settings_;
    flash_control boards_;  // the boards' flashes: never told to finish early, only stopped

    std::atomic<platform::board_watch*> watch_{nullptr};
    std::string watch_trouble_;  // the station's thread only, as is refusal_
    std::string refusal_;

    std::mutex mutex_;
    std::vector<board_card> cards_;   // guarded by mutex_, as is everything below; oldest first
    std::deque<std::string> queue_;   // keys of the boards waiting for a flash
    std::size_t running_ = 0;
    bool dirty_ = true;
    bool published_ = false;
    bool published_closing_ = false;
    std::string list_trouble_;

    std::vector<worker> workers_;  // the station's thread only
};

}  // namespace

std::string json_string(std::string_view text)
{
    const std::string valid = repaired_utf8(text);
    std::string out = "\"";
    for (const char c : valid) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\')
            out += {'\\', c};
        else if (byte < 0x20 || byte == 0x7F)
            out += fmt::format("\\u{:04x}", byte);
        else
            out += c;
    }
    return out + "\"";
}

std::string station_record(const board_record& r)
{
    return fmt::format("{{\"time\": {}, \"port\": {}, \"serial\": {}, \"result\": \"{}\"{}, \"seconds\": {:.1f}}}",
                       json_string(r.time), json_string(r.port), json_string(r.serial), r.flashed ? "flashed" : "failed",
                       r.flashed ? std::string() : ", \"reason\": " + json_string(r.reason), r.seconds);
}

void station_worker(const std::string& firmware_base, const std::string& firmware_trouble,
                    const station_output& output, flash_control& control, const station_settings& settings) noexcept
{
    try {
        station s(firmware_base, firmware_trouble, output, control, settings);
        s.run();
    } catch (const std::exception& e) {
        try {
            if (output.publish)
                output.publish(fmt::format("{{\"firmware\": \"\", \"state\": \"stopped\", \"message\": {}, "
                                           "\"totals\": {{\"flashed\": 0, \"failed\": 0, \"in_progress\": 0, "
                                           "\"waiting\": 0}}, \"boards\": []}}",
                                           json_string(std::string("Flashing stopped: ") + e.what())));
        } catch (...) {
        }
    } catch (...) {
    }
    control.done = true;
    platform::wake_stop_wait();
}
