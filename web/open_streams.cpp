#include "web/open_streams.h"

#include "web/event_stream.h"

open_streams::give_way_flag open_streams::open()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (streams_.size() >= max_open_streams) {
        streams_.front()->store(true);
        streams_.pop_front();
    }
    streams_.push_back(std::make_shared<std::atomic<bool>>(false));
    return streams_.back();
}

void open_streams::close(const give_way_flag& flag)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = streams_.begin(); it != streams_.end(); ++it) {
        if (*it == flag) {
            streams_.erase(it);
            return;
        }
    }
}

void set_event_stream(const httplib::Request& request, httplib::Response& response,
                      httplib::ContentProviderWithoutLength provider, httplib::ContentProviderResourceReleaser release)
{
    if (request.version == "HTTP/1.0")
        response.set_content_provider("text/event-stream", std::move(provider), std::move(release));
    else
        response.set_chunked_content_provider("text/event-stream", std::move(provider), std::move(release));
}
