#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <httplib.h>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

// What the station page shows: one JSON document that the station replaces
// whenever anything changes, and that each station stream sends whole, at
// once when it connects and then on every change. A page that connects late,
// or reloads, loses nothing.
//
// The document (one line, no line breaks):
//   {"firmware": "blink.ino.bin",        the application image, "" when none
//    "state": "running",                 "running", "closing" (first stop:
//                                        no new flash starts), "stopped" (every
//                                        flash has ended after a stop),
//                                        "no firmware" (nothing is flashed)
//                                        "no record" (the record cannot be
//                                        written: no new flash starts)
//    "message": "...",                   a sentence for the top of the page
//    "record": "...",                    where the records go ("" untold)
//    "totals": {"flashed": 1, "failed": 0, "in_progress": 2, "waiting": 1,
//               "earlier": 0},           finished boards beyond the last 100,
//                                        counted in the totals, not listed
//    "boards": [                          oldest first
//      {"serial": "F4:12:FA:00:00:02",   "" when the board reports none
//       "port": "/dev/ttyACM1",
//       "stage": "firmware",             "waiting", "firmware", "file_system",
//                                        "flashed", "failed"
//       "percent": 42,                   of the current run; 0 before it
//       "reason": "...",                 esptool's own reason, for "failed"
//       "seconds": 21.4,                 so far, or the whole flash once ended
//       "attempts": 1,                   flashes started for this board
//       "present": true,                 whether it is plugged in now
//       "note": "..."}]}                 e.g. "flashed already: unplug it"
// Every text in it is plain text (the page shows it as text, never as markup).
class station_feed {
public:
    // Replaces the document. Any thread.
    void publish(std::string document);

    // Waits at most timeout for a document other than the one numbered seen
    // (0: none seen yet), and returns the latest with its number (documents
    // published in between are skipped); nothing when the timeout passes
    // first. Once the feed has closed it waits no more: the latest document if
    // it is not the one seen, else nothing at once. Any thread.
    std::optional<std::pair<std::uint64_t, std::string>> next(std::uint64_t seen, std::chrono::milliseconds timeout);

    // At shutdown: every stream ends after sending the latest document, and a
    // stream opened later sends it and ends. Any thread.
    void close();
    bool closed() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t number_ = 0;  // guarded by mutex_, as is everything below
    std::string document_;
    bool closed_ = false;
};

// Handler for GET "/station/event": a server-sent event stream of the feed's
// documents, one event each, behind the same guards as "/event" (another
// site's request: 403; the oldest stream gives way beyond max_open_streams).
// feed must outlive the server; port is the one the server listens on.
httplib::Server::Handler station_stream_handler(station_feed& feed, int port);
