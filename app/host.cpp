#include "app/host.h"

#include "platform/socket_options.h"

#include <chrono>
#include <cstdio>
#include <fmt/core.h>
#include <httplib.h>
#include <thread>

namespace {

std::string page_with(const std::string& message)
{
    return fmt::format(
        "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>Vornhale</title>\n"
        "<style>body {{ font-family: system-ui, sans-serif; margin: 3rem; color: #373c44; }}"
        " p {{ font-size: 1.25rem; max-width: 40rem; }}</style>\n</head>\n"
        "<body>\n<p>{}</p>\n</body>\n</html>\n",
        message);
}

}  // namespace

std::optional<bind_failure> bind_status_server(httplib::Server& server)
{
    server.set_socket_options(platform::exclusive_listen_socket);
    platform::clear_socket_error();
    if (server.bind_to_port(status_host, status_port))
        return std::nullopt;
    const auto [in_use, reason] = platform::last_socket_failure();

    bind_failure failure;
    failure.console_line = fmt::format("Vornhale cannot listen on {}:{}: {}", status_host, status_port, reason);
    if (in_use) {
        failure.page = page_with(
            "Vornhale cannot start: port 5000 on 127.0.0.1 is in use by another program. "
            "Close that program and start Vornhale again.");
    } else {
        failure.page = page_with(fmt::format(
            "Vornhale cannot start: it cannot listen on port 5000 on 127.0.0.1 ({}).", reason));
    }
    return failure;
}

void serve(httplib::Server& server, std::atomic<bool>& ended) noexcept
{
    try {
        server.listen_after_bind();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Vornhale stopped serving the status page: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "Vornhale stopped serving the status page\n");
    }
    ended = true;
}

void stop_server(httplib::Server& server, const std::atomic<bool>& ended)
{
    while (!server.is_running() && !ended)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server.stop();
}
