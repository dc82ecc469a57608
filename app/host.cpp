#include "app/host.h"

#include "platform/console.h"
#include "platform/socket_options.h"

#include <algorithm>
#include <chrono>
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

// Set on a serving thread when the response it writes refuses the request;
// read by the same thread once the request is done.
thread_local bool refused_request = false;

// The library's connections are handed to the gate on the accepting thread at
// once: the gate decides when a thread serves them.
class hand_over : public httplib::TaskQueue {
public:
    explicit hand_over(request_gate& gate) : gate_(gate) {}
    bool enqueue(std::function<void()> fn) override
    {
        fn();  // status_server::process_and_close_socket: admits the connection
        return true;
    }
    void shutdown() override { gate_.shutdown(); }

private:
    request_gate& gate_;
};

// A request's stream: first what the gate has read already, then the socket;
// written as the library writes its own sockets' streams.
class gate_stream final : public httplib::Stream {
public:
    gate_stream(request_gate::connection& c, time_t read_sec, time_t read_usec, time_t write_sec, time_t write_usec)
        : c_(c), read_sec_(read_sec), read_usec_(read_usec), write_sec_(write_sec), write_usec_(write_usec)
    {
    }

    // What the gate read beyond this request: the start of the next one.
    std::string unread() const { return c_.received.substr(taken_); }

    bool is_readable() const override
    {
        return taken_ < c_.received.size() || httplib::detail::select_read(c_.sock, read_sec_, read_usec_) > 0;
    }
    bool is_writable() const override
    {
        return httplib::detail::select_write(c_.sock, write_sec_, write_usec_) > 0
               && httplib::detail::is_socket_alive(c_.sock);
    }
    ssize_t read(char* ptr, size_t size) override
    {
        if (taken_ < c_.received.size()) {
            const size_t n = std::min(size, c_.received.size() - taken_);
            c_.received.copy(ptr, n, taken_);
            taken_ += n;
            return static_cast<ssize_t>(n);
        }
        if (httplib::detail::select_read(c_.sock, read_sec_, read_usec_) <= 0)
            return -1;
        return httplib::detail::read_socket(c_.sock, ptr, size, 0);
    }
    ssize_t write(const char* ptr, size_t size) override
    {
        if (!is_writable())
            return -1;
        return httplib::detail::send_socket(c_.sock, ptr, size, CPPHTTPLIB_SEND_FLAGS);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override
    {
        httplib::detail::get_remote_ip_and_port(c_.sock, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override
    {
        httplib::detail::get_local_ip_and_port(c_.sock, ip, port);
    }
    socket_t socket() const override { return c_.sock; }

private:
    request_gate::connection& c_;
    time_t read_sec_;
    time_t read_usec_;
    time_t write_sec_;
    time_t write_usec_;
    size_t taken_ = 0;
};

}  // namespace

status_server::status_server()
    : gate_(server_threads, [this](request_gate::connection& c) { return serve_request(c); })
{
    new_task_queue = [this] { return new hand_over(gate_); };
    set_post_routing_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.status >= 400) {
            refused_request = true;
            response.headers.erase("Keep-Alive");
            response.set_header("Connection", "close");
        }
    });
}

status_server::~status_server()
{
    gate_.close_waiting();
    gate_.shutdown();
}

bool status_server::process_and_close_socket(socket_t sock)
{
    gate_.admit({sock, {}, 0});
    return true;
}

bool status_server::serve_request(request_gate::connection& c)
{
    try {
        ++c.requests;
        std::string remote_addr;
        int remote_port = 0;
        httplib::detail::get_remote_ip_and_port(c.sock, remote_addr, remote_port);
        std::string local_addr;
        int local_port = 0;
        httplib::detail::get_local_ip_and_port(c.sock, local_addr, local_port);

        gate_stream stream(c, read_timeout_sec_, read_timeout_usec_, write_timeout_sec_, write_timeout_usec_);
        const bool last = c.requests >= keep_alive_max_count_;
        bool closed = false;
        bool parsed = false;
        refused_request = false;
        const bool ok = process_request(stream, remote_addr, remote_port, local_addr, local_port, last, closed,
                                        [&](httplib::Request&) { parsed = true; });
        if (!ok || !parsed || refused_request || closed || last)
            return false;
        c.received = stream.unread();
        return true;
    } catch (...) {
        return false;  // out of memory: the connection is given up
    }
}

void status_server::stop_connections() { gate_.close_waiting(); }

void status_server::end_connections() { gate_.end_served(); }

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
        platform::print_console(std::string("Vornhale stopped serving the status page: ") + e.what() + "\n");
    } catch (...) {
        platform::print_console("Vornhale stopped serving the status page\n");
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

void end_server(status_server& server, std::thread& server_thread, const std::atomic<bool>& ended)
{
    const auto give_up = std::chrono::steady_clock::now() + handler_grace;
    while (!ended && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!ended)
        server.end_connections();
    server_thread.join();
}
