#include "web/station_feed.h"

#include "web/event_stream.h"
#include "web/open_streams.h"
#include "web/request_guard.h"

#include <memory>

void station_feed::publish(std::string document)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        document_ = std::move(document);
        ++number_;
    }
    changed_.notify_all();
}

std::optional<std::pair<std::uint64_t, std::string>> station_feed::next(std::uint64_t seen,
                                                                        std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    const bool newer = changed_.wait_for(lock, timeout, [&] { return closed_ || (number_ != 0 && number_ != seen); });
    if (!newer || number_ == 0 || number_ == seen)
        return std::nullopt;
    return std::make_pair(number_, document_);
}

void station_feed::close()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

bool station_feed::closed() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

httplib::Server::Handler station_stream_handler(station_feed& feed, int port)
{
    auto streams = std::make_shared<open_streams>();
    return [&feed, port, streams](const httplib::Request& request, httplib::Response& response) {
        if (is_foreign_request(request, port)) {
            response.status = httplib::StatusCode::Forbidden_403;
            return;
        }
        // Counts as open from its answer on, as the "/event" streams do.
        const auto gives_way = streams->open();
        auto release = [streams, gives_way](bool) { streams->close(gives_way); };

        // The whole stream runs in one call of the provider: the latest
        // document at once, then each newer one, until the feed closes, the
        // client goes, or a newer stream makes this one give way. Documents
        // that follow each other faster than the client reads are skipped:
        // each is whole, so only the latest matters.
        auto provider = [&feed, gives_way](size_t, httplib::DataSink& sink) {
            std::uint64_t seen = 0;
            while (!gives_way->load()) {
                const auto document = feed.next(seen, stream_wait_limit);
                if (!document) {
                    if (feed.closed() || !sink.is_writable())
                        return false;
                    continue;
                }
                seen = document->first;
                const std::string payload = event_payload(document->second);
                if (!sink.is_writable() || !sink.write(payload.data(), payload.size()))
                    return false;
            }
            return false;
        };

        set_event_stream(request, response, std::move(provider), std::move(release));
    };
}
