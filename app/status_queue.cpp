#include "status_queue.h"

void status_queue::push(const std::string& text)
{
    std::lock_guard lock(mutex_);
    texts_.push_back(text);
    not_empty_.notify_one();
}

void status_queue::push_front(const std::string& text)
{
    std::lock_guard lock(mutex_);
    texts_.push_front(text);
    not_empty_.notify_one();
}

std::string status_queue::take()
{
    std::unique_lock lock(mutex_);
    not_empty_.wait(lock, [this] { return !texts_.empty(); });
    std::string text = std::move(texts_.front());
    texts_.pop_front();
    return text;
}

std::optional<std::string> status_queue::take_for(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    if (!not_empty_.wait_for(lock, timeout, [this] { return !texts_.empty(); }))
        return std::nullopt;
    std::string text = std::move(texts_.front());
    texts_.pop_front();
    return text;
}
