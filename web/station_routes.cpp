#include "web/station_routes.h"

#include <cstddef>

// web_resources/station.html, generated at build time (embed_resources --array).
namespace embedded {
extern const char station_page[];
extern const std::size_t station_page_size;
}  // namespace embedded

void register_station_routes(httplib::Server& server, station_feed& feed, int port)
{
    server.Get("/station", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(embedded::station_page, embedded::station_page_size, "text/html");
    });
    server.Get("/station/event", station_stream_handler(feed, port));
}
