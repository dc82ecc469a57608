#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// Pushed once at shutdown, after the server has stopped: every event stream
// still waiting passes it on to its page as its last event and ends.
inline constexpr std::string_view exit_text = R"({"event" : "exit"})";

// The one hand-over of status texts from the code that produces them (start-up,
// the flashing worker, shutdown) to the event streams that show them.
// Unbounded, first in first out; every text reaches exactly one taker.
// All members are safe to call from any thread.
class status_queue {
public:
    // Appends a copy of text at the back and wakes one waiting taker.
    void push(const std::string& text);

    // Puts text back at the front, ahead of every queued text, and wakes one
    // waiting taker. For a taker that could not deliver what it took.
    void push_front(const std::string& text);

    // Removes and returns the oldest text, waiting as long as the queue is empty.
    std::string take();

    // Like take, but gives up after timeout and returns nothing.
    std::optional<std::string> take_for(std::chrono::milliseconds timeout);

private:
    std::deque<std::string> texts_;  // guarded by mutex_
    std::mutex mutex_;
    std::condition_variable not_empty_;
};
