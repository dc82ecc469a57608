#pragma once

#include "station/image_set.h"
#include "station/station.h"
#include "platform/record_file.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

// The station's production log: one JSON line per finished board, appended
// to the record file and on stable storage before keep returns, and written
// to standard output too (platform/console.h). A record that cannot go to the
// file now (a full disk, no permission) is kept in memory, in order, and
// written by a thread of the keeper's own as soon as the file takes it again;
// meanwhile trouble says why. The file appears when the first flash is about
// to start (ready) or with the first record, never before.
class record_log {
public:
    // file: the record file (appended to; created when needed, but no
    // folder); session_start: where the records go by default, one file per
    // session named after session_start (a new one, folders too), when file
    // is empty. images: what every board gets, named in each record.
    record_log(const std::filesystem::path& file, std::chrono::system_clock::time_point session_start,
               const image_set* images);
    // Stops the keeper's thread; what is still not kept is lost (say it with
    // finish first).
    ~record_log();
    record_log(const record_log&) = delete;
    record_log& operator=(const record_log&) = delete;

    // Keeps one record: the empty text once it is in the file on stable
    // storage, else why it is not (it is kept and written later). Any thread.
    std::string keep(const board_record& record);

    // Why records are not being kept now, or the empty text when every record
    // so far is in the file. Any thread.
    std::string trouble() const;

    // Before a flash starts: opens the record file (its folders too, for the
    // default place) and proves that records can be appended to it (room set
    // aside, on stable storage). Returns the empty text, or why not, which
    // trouble says from now on and standard error once; the keeper's thread
    // tries again until it can. Any thread.
    std::string ready();

    // Where the records go, for the user (the file's path, as UTF-8).
    const std::string& place() const { return place_; }

    // At the exit: a last try at the file, and at most drain for standard
    // output to take what it holds back. Says on standard error how many
    // records were not written whole, and where. Returns whether every record
    // was. Main thread, once no more records come.
    bool finish(std::chrono::milliseconds drain);

private:
    void retry_loop() noexcept;
    // mutex_ held, all three:
    bool open_file();
    void write_pending();
    void prove();

    std::filesystem::path path_;
    bool create_folder_ = false;  // the default place: its folders are made when missing, and the file is new
    std::filesystem::path first_name_;  // the default place: the session's name, before any "-2"
    std::string place_;
    const image_set* images_;
    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable wake_;
    platform::record_file file_;
    std::deque<std::string> pending_;  // lines not yet in the file, oldest first
    std::size_t written_of_first_ = 0;  // of pending_.front(), already in the file
    std::string trouble_;
    std::string told_;  // the trouble ready told last
    bool unproven_ = false;  // the last ready failed: the keeper's thread tries again
    bool ending_ = false;
    std::thread retry_thread_;
};

// A board's record, one JSON line without its line end: time, port, serial,
// result ("flashed" or "failed"), reason (when failed), seconds, attempt,
// chip, mac, esptool, rom_loader (whether esptool wrote through the chip's ROM
// loader, having no flasher stub), application, the SHA-256 of each image of images, and
// for each of them whether esptool verified it after writing it.
std::string record_line(const board_record& record, const image_set* images);

// The file a session that started at start records in by default:
// "2026-12-08T09-12-03Z.jsonl" in folder (UTC).
std::filesystem::path session_record_file(const std::filesystem::path& folder,
                                          std::chrono::system_clock::time_point start);
