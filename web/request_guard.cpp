#include "web/request_guard.h"

#include <cctype>
#include <string>

namespace {

bool is_our_authority(const std::string& authority, int port)
{
    const std::string suffix = ":" + std::to_string(port);
    return authority == "127.0.0.1" + suffix || authority == "localhost" + suffix;
}

// Any sign of a body: a length other than 0, or a transfer coding, under any
// spelling of the header's name the library keeps (a blank before the colon
// among them).
bool carries_body(const httplib::Request& request)
{
    for (const auto& [name, value] : request.headers) {
        std::string key;
        for (const char c : name)
            if (c != ' ' && c != '\t')
                key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if ((key == "content-length" && value != "0") || key == "transfer-encoding")
            return true;
    }
    return false;
}

// A frame, an image, a script or a fetch asks for a page with another
// destination. Browsers that send no Sec-Fetch-Dest are judged by the rest.
bool is_top_level_document(const httplib::Request& request)
{
    return !request.has_header("Sec-Fetch-Dest") || request.get_header_value("Sec-Fetch-Dest") == "document";
}

}  // namespace

bool is_foreign_request(const httplib::Request& request, int port)
{
    if (request.has_header("Origin")) {
        const std::string origin = request.get_header_value("Origin");
        if (origin.rfind("http://", 0) != 0 || !is_our_authority(origin.substr(7), port))
            return true;
    }
    const std::string fetch_site = request.get_header_value("Sec-Fetch-Site");
    if (fetch_site == "cross-site" || fetch_site == "same-site")
        return true;
    return !is_our_authority(request.get_header_value("Host"), port);
}

void guard_requests(httplib::Server& server, page_load_counter& page_loads, int port)
{
    server.set_default_headers({{"X-Frame-Options", "DENY"}, {"Content-Security-Policy", "frame-ancestors 'none'"}});

    // A client that waits for our consent before sending its body is refused
    // at once.
    server.set_expect_100_continue_handler([](const httplib::Request&, httplib::Response& response) {
        response.status = httplib::StatusCode::PayloadTooLarge_413;
        return response.status;
    });

    server.set_pre_routing_handler([&page_loads, port](const httplib::Request& request, httplib::Response& response) {
        if (request.get_header_value_count("Host") > 1) {
            response.status = httplib::StatusCode::BadRequest_400;
            return httplib::Server::HandlerResponse::Handled;
        }
        // No route takes a body, and none is ever read: any other method is
        // refused before the library would read one.
        if (request.method != "GET" && request.method != "HEAD") {
            response.status = httplib::StatusCode::MethodNotAllowed_405;
            response.set_header("Allow", "GET, HEAD");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (carries_body(request)) {
            response.status = httplib::StatusCode::PayloadTooLarge_413;
            return httplib::Server::HandlerResponse::Handled;
        }
        // Our pages are shown only as top-level documents of our own.
        if (request.path == "/" || request.path == "/station") {
            if (!is_top_level_document(request) || is_foreign_request(request, port)) {
                response.status = httplib::StatusCode::Forbidden_403;
                return httplib::Server::HandlerResponse::Handled;
            }
            if (request.path == "/" && request.method == "GET")
                ++page_loads;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
}
