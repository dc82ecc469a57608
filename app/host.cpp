#include "app/host.h"

#include "platform/socket_options.h"

#include <chrono>
#include <cstdio>
#include <fmt/core.h>
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

// Set on a pool thread when the response it writes refuses the request; read by
// the same thread once the request is done.
thread_local bool refused_request = false;

}  // namespace

status_server::status_server()
{
    new_task_queue = [] { return new httplib::ThreadPool(server_threads, waiting_connections_max); };
    set_post_routing_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.status >= 400) {
            refused_request = true;
            response.headers.erase("Keep-Alive");
            response.set_header("Connection", "close");
        }
    });
}

bool status_server::set_state(socket_t sock, connection_state state)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ && state == connection_state::waiting)
        return false;
    connections_[sock] = state;
    return true;
}

bool status_server::process_and_close_socket(socket_t sock)
{
    bool ret = false;
    if (set_state(sock, connection_state::waiting)) {
        std::string remote_addr;
        int remote_port = 0;
        httplib::detail::get_remote_ip_and_port(sock, remote_addr, remote_port);
        std::string local_addr;
        int local_port = 0;
        httplib::detail::get_local_ip_and_port(sock, local_addr, local_port);

        ret = httplib::detail::process_server_socket(
            svr_sock_, sock, keep_alive_max_count_, keep_alive_timeout_sec_, read_timeout_sec_, read_timeout_usec_,
            write_timeout_sec_, write_timeout_usec_,
            [&](httplib::Stream& stream, bool close_connection, bool& connection_closed) {
                if (!set_state(sock, connection_state::waiting))
                    return false;
                bool parsed = false;
                refused_request = false;
                const bool ok = process_request(stream, remote_addr, remote_port, local_addr, local_port,
                                                close_connection, connection_closed, [&](httplib::Request&) {
                                                    parsed = true;
                                                    set_state(sock, connection_state::handling);
                                                });
                if (!parsed || refused_request)
                    connection_closed = true;
                return ok;
            });
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        connections_.erase(sock);
    }
    httplib::detail::shutdown_socket(sock);
    httplib::detail::close_socket(sock);
    return ret;
}

void status_server::stop_connections()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (const auto& [sock, state] : connections_) {
        if (state == connection_state::waiting)
            httplib::detail::shutdown_socket(sock);
    }
}

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

void serve(status_server& server, std::atomic<bool>& ended) noexcept
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

void stop_server(status_server& server, const std::atomic<bool>& ended)
{
    while (!server.is_running() && !ended)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server.stop();
    server.stop_connections();
}
