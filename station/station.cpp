#include "station/station.h"

#include "flash/board_flash.h"
#include "flash/page_text.h"
#include "station/station_rules.h"
#include "station/summary.h"
#include "platform/stop_signal.h"
#include "platform/usb_boards.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <deque>
#include <fmt/chrono.h>
#include <fmt/core.h>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>
#include <vector>

namespace {

using clock = station_rules::clock;
using station_rules::stage;

// How often the station looks at main's requests when nothing else wakes it,
// and re-reads the device list as a safety net for a missed change.
constexpr std::chrono::milliseconds look_interval{250};
constexpr std::chrono::seconds relist_interval{5};
// The most frequent failure reasons the page shows.
constexpr std::size_t reasons_shown = 3;

std::string utc_now()
{
    return fmt::format("{:%Y-%m-%dT%H:%M:%SZ}", fmt::gmtime(std::time(nullptr)));
}

// The threaded shell around the station's rules: it lists the boards when USB
// changes, starts a thread for each flash the rules start, keeps each
// finished board's record before its card shows the result, and publishes
// the page's document.
using json = nlohmann::ordered_json;

// The document as text: names in the order given, text that is not UTF-8 mended.
std::string text_of(const json& document)
{
    return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

double tenths(double seconds) { return std::round(seconds * 10) / 10; }

json totals(int flashed, int failed, int in_progress, int waiting, std::size_t earlier)
{
    return {{"flashed", flashed}, {"failed", failed}, {"in_progress", in_progress}, {"waiting", waiting},
            {"earlier", earlier}};
}

class station {
public:
    station(const std::string& firmware_base, const std::string& firmware_trouble, const station_output& output,
            flash_control& control, const station_settings& settings)
        : base_(firmware_base), trouble_(firmware_trouble), output_(output), control_(control),
          rules_(settings.parallel, settings.attempts)
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
            // Only main's request counts as closing: nothing the boards do ends the station.
            const bool closing = control_.finish_asked.load();
            // The keeper says when records are kept again (or no longer); the
            // build folder's images may have changed. Asked outside the lock.
            const std::string record_trouble = output_.record_trouble ? output_.record_trouble() : record_trouble_now();
            const std::string images_note = output_.images_note ? output_.images_note() : std::string();
            {
                const std::lock_guard lock(mutex_);
                if (record_trouble != record_trouble_ || images_note != images_note_) {
                    record_trouble_ = record_trouble;
                    images_note_ = images_note;
                    dirty_ = true;
                }
                rules_.allow_starts(can_flash && !closing && record_trouble_.empty());
                if (rules_.look(clock::now()))
                    dirty_ = true;  // a card says what to do now that a reset is over
            }
            if (changed || clock::now() - listed_at >= relist_interval) {
                listed_at = clock::now();
                reconcile();
            }
            start_flashes();
            join_finished();
            publish(can_flash, closing);
            {
                const std::lock_guard lock(mutex_);
                if (closing && rules_.running() == 0)
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
            update([&](station_rules::board_card& c) {
                c.where = r == run::firmware ? stage::firmware : stage::file_system;
                c.percent = 0;
            });
        }
        void progress(run, int percent) override
        {
            update([&](station_rules::board_card& c) { c.percent = percent; });
        }
        void finished(run) override {}
        void failed(run r, const std::string& reason) override
        {
            update([&](station_rules::board_card& c) {
                c.reason = fmt::format("{}: {}", r == run::firmware ? "Firmware" : "File system", reason);
            });
        }
        void no_file_system() override
        {
            update([&](station_rules::board_card& c) {
                c.firmware_only = true;
                c.note = "There is no fs.bin: only the firmware was written.";
            });
        }
        void closing(run) override
        {
            update([&](station_rules::board_card& c) { c.reason = "Vornhale was closing"; });
        }

    private:
        template <typename F>
        void update(F change)
        {
            {
                const std::lock_guard lock(s_.mutex_);
                if (station_rules::board_card* c = s_.rules_.find(key_))
                    change(*c);
                s_.dirty_ = true;
            }
            s_.wake();
        }
        station& s_;
        std::string key_;
    };

    void wake()
    {
        if (platform::board_watch* w = watch_)
            w->wake();
    }

    // Why records are not kept, as the station saw it last (a keeper that
    // cannot say it again keeps it so).
    std::string record_trouble_now() const
    {
        const std::lock_guard lock(mutex_);
        return record_trouble_;
    }

    // Keeps a record; a keeper that cannot keep it stops new flashes, and
    // the page says why.
    void keep(const board_record& record)
    {
        std::string trouble;
        try {
            if (output_.record)
                trouble = output_.record(record);
        } catch (const std::exception& e) {
            trouble = e.what();
        }
        const std::lock_guard lock(mutex_);
        count_in_batch(record);
        if (trouble.empty())
            return;
        if (record_trouble_.empty()) {
            record_trouble_ = trouble;
            rules_.allow_starts(false);
            dirty_ = true;
        }
    }

    // The session's figures for the page: every finished board, as its
    // record tells it, whether or not the record could be kept yet.
    void count_in_batch(const board_record& record)  // mutex_ held
    {
        batch::record r;
        r.at = batch::parse_time(record.time).value_or(0);
        r.port = record.port;
        r.serial = record.serial;
        r.mac = record.mac;
        r.flashed = record.flashed;
        r.reason = record.reason;
        r.seconds = record.seconds;
        batch_.add(r);
        dirty_ = true;
    }

    json batch_of() const  // mutex_ held
    {
        json reasons = json::array();
        for (const auto& [reason, count] : batch_.reasons(reasons_shown))
            reasons.push_back({{"reason", reason}, {"count", count}});
        return {{"pace", batch::pace_text(batch_)}, {"reasons", std::move(reasons)}};
    }

    static board_record record_of(const station_rules::board_card& card, bool flashed, double seconds)
    {
        board_record r;
        r.time = utc_now();
        r.port = plain_text(card.port);
        r.serial = plain_text(card.serial);
        r.flashed = flashed;
        r.reason = flashed ? std::string() : plain_text(card.reason);
        r.seconds = seconds;
        r.attempt = card.attempts;
        return r;
    }

    // Takes in the boards present now; a serial number two devices report is
    // recorded as a failure for each of them.
    void reconcile()
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
        std::vector<station_rules::board_card> twins;
        {
            const std::lock_guard lock(mutex_);
            list_trouble_.clear();
            twins = rules_.listed(clock::now(), present);
            dirty_ = true;
        }
        for (const station_rules::board_card& twin : twins)
            keep(record_of(twin, false, 0));
    }

    void start_flashes()
    {
        bool due = false;
        {
            const std::lock_guard lock(mutex_);
            due = rules_.start_due();
        }
        // No flash starts whose record could not be kept.
        if (due && output_.record_ready) {
            std::string trouble;
            try {
                trouble = output_.record_ready();
            } catch (const std::exception& e) {
                trouble = e.what();
            }
            if (!trouble.empty()) {
                const std::lock_guard lock(mutex_);
                record_trouble_ = trouble;
                rules_.allow_starts(false);
                dirty_ = true;
                return;
            }
        }
        std::vector<station_rules::flash_start> starts;
        {
            const std::lock_guard lock(mutex_);
            starts = rules_.starts(clock::now());
            if (!starts.empty())
                dirty_ = true;
        }
        for (station_rules::flash_start& start : starts) {
            if (const auto refusal = refusal_of_names(start.board.port, base_, false)) {
                finish(start.key, {}, *refusal);
                continue;
            }
            auto done = std::make_shared<std::atomic<bool>>(false);
            workers_.push_back({std::thread(&station::flash_one, this, start.key,
                                            board_to_flash{start.board.port, start.board.serial, start.board.location},
                                            done),
                                done});
        }
    }

    // A flash has ended: its record is kept first, then its card shows the result.
    void finish(const std::string& key, const flash_outcome& outcome, const std::string& failure)
    {
        std::optional<board_record> record;
        {
            const std::lock_guard lock(mutex_);
            if (station_rules::board_card* card = rules_.find(key)) {
                if (!outcome.flashed && card->reason.empty())
                    card->reason = failure.empty() ? "esptool failed" : failure;
                record = record_of(*card, outcome.flashed,
                                   std::chrono::duration<double>(clock::now() - card->started).count());
                record->chip = plain_text(outcome.facts.chip);
                record->mac = plain_text(outcome.facts.mac);
                record->esptool_version = plain_text(outcome.facts.esptool_version);
                record->verified = outcome.verified;
                record->rom_loader = outcome.rom_loader;
            }
        }
        if (record)
            keep(*record);
        const std::lock_guard lock(mutex_);
        const station_rules::board_card* card = rules_.find(key);
        rules_.ended(key, clock::now(), outcome.flashed, card != nullptr ? card->reason : std::string(),
                     outcome.resets);
        dirty_ = true;
    }

    void flash_one(std::string key, board_to_flash board, std::shared_ptr<std::atomic<bool>> done) noexcept
    {
        flash_outcome outcome;
        std::string failure;
        try {
            card_report report(*this, key);
            outcome = flash_board(board, base_, output_.image_folder, report, boards_, {.pass_output = false, .strict = true});
        } catch (const std::exception& e) {
            failure = e.what();
        }
        try {
            finish(key, outcome, failure);
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
            // Counted with the document built from the same state: a stop that
            // follows what the page shows finds the count the page had.
            control_.flashing = static_cast<unsigned>(rules_.running());
            if (!dirty_ && published_closing_ == closing && published_)
                return;
            dirty_ = false;
            published_ = true;
            published_closing_ = closing;
            document = document_of(can_flash, closing);
            if (document == published_document_)
                return;  // a look at the devices that changed nothing
            published_document_ = document;
        }
        if (output_.publish)
            output_.publish(std::move(document));
    }

    std::string document_of(bool can_flash, bool closing) const  // mutex_ held
    {
        int flashed = 0, failed = 0, in_progress = 0, waiting = 0;
        std::size_t earlier = 0;
        json boards = json::array();
        const clock::time_point now = clock::now();
        for (const station_rules::board_card& c : rules_.cards()) {
            flashed += c.where == stage::flashed;
            failed += c.where == stage::failed;
            in_progress += station_rules::is_flashing(c.where);
            waiting += c.where == stage::waiting && c.present;
            if (!rules_.on_page(c)) {
                ++earlier;
                continue;
            }
            const double seconds = station_rules::is_flashing(c.where)
                                       ? std::chrono::duration<double>(now - c.started).count()
                                       : c.seconds;
            boards.push_back({{"serial", plain_text(c.serial)},
                              {"port", plain_text(c.port)},
                              {"stage", station_rules::stage_name(c.where)},
                              {"percent", c.percent},
                              {"reason", plain_text(c.reason)},
                              {"seconds", tenths(seconds)},
                              {"attempts", c.attempts},
                              {"present", c.present},
                              {"note", c.note}});
        }
        std::string state = "running";
        std::string message = "Plug boards in: each is flashed once.";
        if (!can_flash) {
            state = "no firmware";
            message = !trouble_.empty() ? trouble_ + " Nothing is flashed."
                      : base_.empty()     ? "No firmware found here (NAME.ino.bin): nothing is flashed."
                                          : refusal_ + " Nothing is flashed.";
        } else if (closing && in_progress > 0) {
            state = "closing";
            message = "Closing: the flashes under way finish, no other starts.";
        } else if (closing) {
            state = "stopped";
            message = "Stopped.";
        } else if (!record_trouble_.empty()) {
            state = "no record";
            message = fmt::format("No new flash starts: the record cannot be written ({}).{}", record_trouble_,
                                  in_progress > 0 ? " The flashes under way finish." : "");
        }
        if (!images_note_.empty())
            message += " " + images_note_;
        if (!list_trouble_.empty())
            message += " Vornhale cannot list the USB devices: " + list_trouble_;
        else if (!watch_trouble_.empty())
            message += " " + watch_trouble_;
        return text_of(json{{"firmware", base_.empty() ? "" : base_ + ".ino.bin"},
                            {"state", state},
                            {"message", message},
                            {"record", output_.record_place},
                            {"totals", totals(flashed, failed, in_progress, waiting, earlier)},
                            {"batch", batch_of()},
                            {"boards", std::move(boards)}});
    }

    const std::string& base_;
    const std::string& trouble_;
    const station_output& output_;
    flash_control& control_;
    flash_control boards_;  // the boards' flashes: never told to finish early, only stopped

    std::atomic<platform::board_watch*> watch_{nullptr};
    std::string watch_trouble_;  // the station's thread only, as is refusal_
    std::string refusal_;

    mutable std::mutex mutex_;
    station_rules::rules rules_;  // guarded by mutex_, as is everything below
    bool dirty_ = true;
    bool published_ = false;
    bool published_closing_ = false;
    std::string published_document_;
    std::string list_trouble_;
    std::string record_trouble_;  // why the last record could not be kept; no flash starts then
    std::string images_note_;     // the build folder's images changed since the start
    batch::figures batch_;        // every result of the session

    std::vector<worker> workers_;  // the station's thread only
};

}  // namespace

void station_worker(const std::string& firmware_base, const std::string& firmware_trouble,
                    const station_output& output, flash_control& control, const station_settings& settings) noexcept
{
    try {
        station s(firmware_base, firmware_trouble, output, control, settings);
        s.run();
    } catch (const std::exception& e) {
        try {
            if (output.publish)
                output.publish(text_of(json{{"firmware", ""},
                                            {"state", "stopped"},
                                            {"message", std::string("Flashing stopped: ") + e.what()},
                                            {"record", output.record_place},
                                            {"totals", totals(0, 0, 0, 0, 0)},
                                            {"batch", {{"pace", ""}, {"reasons", json::array()}}},
                                            {"boards", json::array()}}));
        } catch (...) {
        }
    } catch (...) {
    }
    control.done = true;
    platform::wake_stop_wait();
}
