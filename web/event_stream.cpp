#include "web/event_stream.h"

#include "app/status_queue.h"

#include <chrono>
#include <optional>
#include <string>

namespace {

// How long a stream waits for a text before it lets the server check whether
// its client is still there (and whether the server is stopping).
constexpr std::chrono::milliseconds wait_limit{500};

bool is_our_origin(const std::string& origin, int port)
{
    const std::string suffix = ":" + std::to_string(port);
    return origin == "http://127.0.0.1" + suffix || origin == "http://localhost" + suffix;
}

bool is_our_host(const std::string& host, int port)
{
    const std::string suffix = ":" + std::to_string(port);
    return host == "127.0.0.1" + suffix || host == "localhost" + suffix;
}

// A web page elsewhere can make the browser open our stream (or, through DNS
// rebinding, even read it). Every text it took would be lost to our window.
bool is_cross_site(const httplib::Request& request, int port)
{
    if (request.has_header("Origin") && !is_our_origin(request.get_header_value("Origin"), port))
        return true;
    const std::string fetch_site = request.get_header_value("Sec-Fetch-Site");
    if (fetch_site == "cross-site" || fetch_site == "same-site")
        return true;
    return !is_our_host(request.get_header_value("Host"), port);
}

}  // namespace

void count_page_loads(httplib::Server& server, page_load_counter& page_loads)
{
    server.set_pre_routing_handler([&page_loads](const httplib::Request& request, httplib::Response&) {
        if (request.method == "GET" && request.path == "/")
            ++page_loads;
        return httplib::Server::HandlerResponse::Unhandled;
    });
}

httplib::Server::Handler event_stream_handler(status_queue& queue, const page_load_counter& page_loads, int port)
{
    return [&queue, &page_loads, port](const httplib::Request& request, httplib::Response& response) {
        if (is_cross_site(request, port)) {
            response.status = httplib::StatusCode::Forbidden_403;
            return;
        }
        const unsigned long opened_after = page_loads.load();
        response.set_chunked_content_provider(
            "text/event-stream", [&queue, &page_loads, opened_after](size_t, httplib::DataSink& sink) {
                auto superseded = [&] { return page_loads.load() != opened_after; };
                if (superseded())
                    return false;
                std::optional<std::string> text = queue.take_for(wait_limit);
                if (!text)
                    return true;  // the server checks the connection, then asks again
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
                const std::string payload = "data: " + *text + "\n\n";
                if (!sink.is_writable() || !sink.write(payload.data(), payload.size())) {
                    if (!is_exit)
                        queue.push_front(*text);
                    return false;
                }
                return true;
            });
    };
}
