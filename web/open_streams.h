#pragma once

// Shared by the stream handlers of web/: the streams one handler has open,
// oldest first, and the flag that tells each one to give way.

#include <atomic>
#include <chrono>
#include <httplib.h>
#include <deque>
#include <memory>
#include <mutex>

// How long a stream waits for something to send before it checks whether its
// client is still there and whether it has to give way.
inline constexpr std::chrono::milliseconds stream_wait_limit{500};

class open_streams {
public:
    using give_way_flag = std::shared_ptr<std::atomic<bool>>;

    // Registers a new stream; the oldest one gives way when max_open_streams
    // (web/event_stream.h) are open already.
    give_way_flag open();

    // The stream has ended: it no longer counts.
    void close(const give_way_flag& flag);

private:
    std::mutex mutex_;
    std::deque<give_way_flag> streams_;  // guarded by mutex_
};

// Makes response a server-sent event stream written by provider: chunked, or
// to an HTTP/1.0 client (which has no chunked encoding) without chunks until
// the connection closes.
void set_event_stream(const httplib::Request& request, httplib::Response& response,
                      httplib::ContentProviderWithoutLength provider, httplib::ContentProviderResourceReleaser release);
