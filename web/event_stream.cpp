#include "web/event_stream.h"

#include "app/status_queue.h"
#include "web/open_streams.h"
#include "web/request_guard.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace {

// What a control character in a text becomes on the wire: U+FFFD.
constexpr std::string_view replacement = "\xEF\xBF\xBD";

}  // namespace

std::string event_payload(std::string_view text)
{
    std::string payload = "data: ";
    payload.reserve(text.size() + 8);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            payload += replacement;
        else
            payload += c;
    }
    payload += "\n\n";
    return payload;
}

httplib::Server::Handler event_stream_handler(status_queue& queue, const page_load_counter& page_loads, int port)
{
    auto streams = std::make_shared<open_streams>();
    return [&queue, &page_loads, port, streams](const httplib::Request& request, httplib::Response& response) {
        if (is_foreign_request(request, port)) {
            response.status = httplib::StatusCode::Forbidden_403;
            return;
        }
        const unsigned long opened_after = page_loads.load();
        // The stream counts as open from its answer on, before its headers go
        // out, so streams are ordered as their requests were answered. It is
        // closed when the response goes, whether or not the stream ever ran.
        const auto gives_way = streams->open();
        auto release = [streams, gives_way](bool) { streams->close(gives_way); };

        // The whole stream runs in one call of the provider: it writes one
        // event at a time and returns only to end the stream, so that nothing
        // but its own reasons (its client gone, a newer page, the exit text)
        // ends it.
        auto provider = [&queue, &page_loads, opened_after, gives_way](size_t, httplib::DataSink& sink) {
            auto superseded = [&] { return gives_way->load() || page_loads.load() != opened_after; };

            while (!superseded()) {
                std::optional<std::string> text = queue.take_for(stream_wait_limit);
                if (!text) {
                    if (!sink.is_writable())
                        return false;
                    continue;
                }
                if (superseded()) {
                    queue.push_front(*text);
                    return false;
                }

                // The exit text is for every stream that is still open: hand it
                // on to the next waiting one before writing it here.
                const bool is_exit = *text == exit_text;
                if (is_exit)
                    queue.push_front(*text);

                // A text that cannot be delivered goes back to the front of the
                // queue for the next stream, ahead of everything else. A peer
                // that has gone away may still accept a write locally: check first.
                const std::string payload = event_payload(*text);
                if (!sink.is_writable() || !sink.write(payload.data(), payload.size())) {
                    if (!is_exit)
                        queue.push_front(*text);
                    return false;
                }
                if (is_exit)
                    return false;
            }
            return false;
        };

        set_event_stream(request, response, std::move(provider), std::move(release));
    };
}
