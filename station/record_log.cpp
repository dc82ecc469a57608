#include "station/record_log.h"

#include "platform/console.h"
#include "platform/file_names.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <fmt/chrono.h>
#include <fmt/core.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// How often the keeper's thread tries again what is held back.
constexpr std::chrono::milliseconds retry_interval{250};

// The room set aside in the record file before a flash starts: the records of
// a few boards.
constexpr std::size_t reserved_room = 64 * 1024;

constexpr const char* no_place = "Records cannot be kept: the system does not say where the user's files go; start "
                                 "the station with --record FILE";

// Whether the file exists and its last byte is not a line end (a record cut
// by a crash, say): the next record then starts on a line of its own.
bool ends_mid_line(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in || in.tellg() <= 0)
        return false;
    in.seekg(-1, std::ios::end);
    char last = '\n';
    in.get(last);
    return in && last != '\n';
}

}  // namespace

std::string record_line(const board_record& record, const image_set* images)
{
    using json = nlohmann::ordered_json;
    const auto text_or_null = [](const std::string& text) { return text.empty() ? json(nullptr) : json(text); };
    json line;
    line["time"] = record.time;
    line["port"] = record.port;
    line["serial"] = record.serial;
    line["result"] = record.flashed ? "flashed" : "failed";
    if (!record.flashed)
        line["reason"] = record.reason;
    line["seconds"] = std::round(record.seconds * 10) / 10;
    line["attempt"] = record.attempt > 0 ? json(record.attempt) : json(nullptr);
    line["chip"] = text_or_null(record.chip);
    line["mac"] = text_or_null(record.mac);
    line["esptool"] = text_or_null(record.esptool_version);
    line["rom_loader"] = record.rom_loader;
    std::string application = record.application;
    json digests = json::object();
    json verified = json::object();
    if (images != nullptr)
        for (const image_set::image& image : images->images()) {
            digests[image.name] = image.sha256;
            verified[image.name] = std::find(record.verified.begin(), record.verified.end(), image.name)
                                   != record.verified.end();
            const std::string_view name = image.name;
            if (application.empty() && name.ends_with(".ino.bin") && !name.ends_with(".ino.bootloader.bin")
                && !name.ends_with(".ino.partitions.bin"))
                application = image.name;
        }
    line["application"] = text_or_null(application);
    line["sha256"] = std::move(digests);
    line["verified"] = std::move(verified);
    // Text that is not UTF-8 (a serial number, esptool's words) shows as U+FFFD.
    return line.dump(-1, ' ', false, json::error_handler_t::replace);
}

fs::path session_record_file(const fs::path& folder, std::chrono::system_clock::time_point start)
{
    const std::tm utc = fmt::gmtime(std::chrono::system_clock::to_time_t(start));
    return folder / fmt::format("{:%Y-%m-%dT%H-%M-%S}Z.jsonl", utc);
}

record_log::record_log(const fs::path& file, std::chrono::system_clock::time_point session_start,
                       const image_set* images)
    : images_(images)
{
    // Nothing is made yet: the file and its folders appear when the first
    // flash is about to start (ready), so that a session that flashes
    // nothing leaves nothing behind.
    std::error_code error;
    if (!file.empty()) {
        path_ = file;
    } else if (const std::optional<fs::path> folder = platform::records_folder()) {
        // A file of the session's own: another session that started in the
        // same second has another.
        create_folder_ = true;
        first_name_ = session_record_file(*folder, session_start);
        path_ = first_name_;
        for (int n = 2; fs::exists(path_, error) && n < 100; ++n)
            path_ = *folder
                    / platform::path_from_utf8(fmt::format("{}-{}.jsonl", platform::utf8_path(first_name_.stem()), n));
    }
    const fs::path absolute = path_.empty() ? path_ : fs::absolute(path_, error);
    place_ = platform::utf8_path(error ? path_ : absolute);
    if (path_.empty())
        trouble_ = no_place;
    retry_thread_ = std::thread(&record_log::retry_loop, this);
}

record_log::~record_log()
{
    {
        const std::lock_guard lock(mutex_);
        ending_ = true;
    }
    wake_.notify_all();
    if (retry_thread_.joinable())
        retry_thread_.join();
}

bool record_log::open_file()
{
    if (file_.is_open())
        return true;
    if (path_.empty()) {
        trouble_ = no_place;
        return false;
    }
    std::error_code error;
    if (create_folder_ && !fs::is_directory(path_.parent_path(), error)) {
        fs::create_directories(path_.parent_path(), error);
        if (error) {
            trouble_ = fmt::format("The record file {} cannot be written: {}", place_, error.message());
            return false;
        }
    }
    const bool cut = !create_folder_ && ends_mid_line(path_);
    // A session's own file is made by this open, never one another session
    // made meanwhile (both started in the same second): the next name then.
    std::string why = file_.open(path_, create_folder_);
    for (int n = 2; why == platform::record_file::already_there && n < 100; ++n) {
        path_ = path_.parent_path()
                / platform::path_from_utf8(fmt::format("{}-{}.jsonl", platform::utf8_path(first_name_.stem()), n));
        place_ = platform::utf8_path(fs::absolute(path_, error));
        why = file_.open(path_, true);
    }
    if (!why.empty()) {
        trouble_ = fmt::format("The record file {} cannot be written: {}", place_, why);
        return false;
    }
    if (cut)
        pending_.push_front("\n");
    return true;
}

void record_log::write_pending()
{
    if (!open_file())
        return;
    while (!pending_.empty()) {
        const std::string& line = pending_.front();
        std::size_t written = 0;
        const std::string why = file_.append(std::string_view(line).substr(written_of_first_), written);
        written_of_first_ += written;
        if (!why.empty()) {
            trouble_ = fmt::format("The record file {} cannot be written: {}", place_, why);
            return;
        }
        pending_.pop_front();
        written_of_first_ = 0;
    }
    unproven_ = false;
    trouble_.clear();
}

void record_log::prove()
{
    unproven_ = true;
    if (!open_file())
        return;
    if (const std::string why = file_.reserve(reserved_room); !why.empty()) {
        trouble_ = fmt::format("The record file {} cannot be written: {}", place_, why);
        return;
    }
    write_pending();
}

std::string record_log::ready()
{
    std::string trouble;
    bool new_trouble = false;
    {
        const std::lock_guard lock(mutex_);
        prove();
        trouble = trouble_;
        new_trouble = !trouble.empty() && trouble != told_;
        told_ = trouble;
    }
    if (new_trouble)
        platform::print_console("Vornhale: " + trouble + ": no new flash starts until it can be.\n");
    return trouble;
}

std::string record_log::keep(const board_record& record)
{
    std::string line = record_line(record, images_) + "\n";
    platform::write_record(line);
    const std::lock_guard lock(mutex_);
    pending_.push_back(std::move(line));
    write_pending();
    return trouble_;
}

std::string record_log::trouble() const
{
    const std::lock_guard lock(mutex_);
    return trouble_;
}

void record_log::retry_loop() noexcept
{
    try {
        std::unique_lock lock(mutex_);
        while (!ending_) {
            wake_.wait_for(lock, retry_interval, [this] { return ending_; });
            if (ending_)
                break;
            if (unproven_)
                prove();
            else if (!pending_.empty())
                write_pending();
            lock.unlock();
            platform::flush_records();
            lock.lock();
        }
    } catch (...) {
        // Out of memory: what is held back is tried again at the end (finish).
    }
}

bool record_log::finish(std::chrono::milliseconds drain)
{
    std::size_t not_in_file = 0;
    std::string lines;
    std::string why;
    {
        const std::lock_guard lock(mutex_);
        ending_ = true;
        if (!pending_.empty())
            write_pending();
        for (const std::string& line : pending_)
            if (line != "\n") {
                ++not_in_file;
                lines += line;
            }
        why = trouble_;
    }
    wake_.notify_all();
    if (retry_thread_.joinable())
        retry_thread_.join();
    const std::size_t not_on_output = platform::drain_records(drain);
    if (not_in_file > 0)
        platform::print_console(fmt::format("Vornhale: {} record(s) could not be kept. {}. They follow here:\n{}",
                                            not_in_file, why, lines));
    if (not_on_output > 0)
        platform::print_console(fmt::format("Vornhale: {} record(s) could not be written whole to standard output{}.\n",
                                            not_on_output, not_in_file == 0 ? "; the record file " + place_ + " has them"
                                                                            : std::string()));
    return not_in_file == 0 && not_on_output == 0;
}
