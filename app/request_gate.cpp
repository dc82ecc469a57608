#include "app/request_gate.h"

#include <algorithm>

namespace {

using steady = std::chrono::steady_clock;

// A datagram socket on the loopback address, connected to itself: sending it
// a byte wakes the watching thread's poll on any system.
socket_t make_wake_socket()
{
    const socket_t sock = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (sock == INVALID_SOCKET)
        return sock;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(sock, reinterpret_cast<sockaddr*>(&address), length) != 0
        || ::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0
        || ::connect(sock, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        httplib::detail::close_socket(sock);
        return INVALID_SOCKET;
    }
    return sock;
}

// How long the watching thread sleeps when it cannot be woken.
constexpr std::chrono::milliseconds unwoken_interval{100};

constexpr const char* head_too_long =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

}  // namespace

request_gate::request_gate(std::size_t threads, serve_function serve)
    : serve_(std::move(serve)), wake_socket_(make_wake_socket())
{
    watcher_ = std::thread(&request_gate::watch, this);
    for (std::size_t i = 0; i < threads; ++i)
        servers_.emplace_back(&request_gate::serve_ready, this);
}

request_gate::~request_gate()
{
    close_waiting();
    shutdown();
    // Only now: any thread may wake the gate until it is destroyed.
    if (wake_socket_ != INVALID_SOCKET)
        httplib::detail::close_socket(wake_socket_);
}

bool request_gate::holds_whole_head(const std::string& text)
{
    return text.find("\n\r\n") != std::string::npos || text.find("\n\n") != std::string::npos;
}

void request_gate::close(socket_t sock)
{
    httplib::detail::shutdown_socket(sock);
    httplib::detail::close_socket(sock);
}

void request_gate::wake()
{
    if (wake_socket_ != INVALID_SOCKET) {
        const char byte = 0;
        httplib::detail::send_socket(wake_socket_, &byte, 1, 0);
    }
}

void request_gate::admit(connection c)
{
    {
        const std::lock_guard lock(mutex_);
        if (!closing_) {
            // A request that arrived with the previous one needs no waiting.
            if (holds_whole_head(c.received))
                dispatch(std::move(c));
            else
                admitted_.push_back(std::move(c));
            c.sock = INVALID_SOCKET;
        }
    }
    if (c.sock != INVALID_SOCKET)
        close(c.sock);
    else
        wake();
}

void request_gate::close_waiting()
{
    {
        const std::lock_guard lock(mutex_);
        closing_ = true;
    }
    wake();
}

void request_gate::end_served()
{
    const std::lock_guard lock(mutex_);
    ending_ = true;
    for (const socket_t sock : served_)
        httplib::detail::shutdown_socket(sock);
    ready_changed_.notify_all();
}

void request_gate::shutdown()
{
    {
        const std::lock_guard lock(mutex_);
        closing_ = true;
        ready_changed_.notify_all();
    }
    wake();
    for (std::thread& server : servers_)
        if (server.joinable())
            server.join();
    if (watcher_.joinable())
        watcher_.join();
}

void request_gate::dispatch(connection c)
{
    if (ready_.size() >= max_ready) {
        close(c.sock);
        return;
    }
    ready_.push_back(std::move(c));
    ready_changed_.notify_one();
}

bool request_gate::receive(waiting& w)
{
    char buffer[16 * 1024];
    const ssize_t got = httplib::detail::read_socket(w.c.sock, buffer, sizeof buffer, 0);
    if (got <= 0) {
        close(w.c.sock);  // the client has gone, or sent half a request and stopped
        return true;
    }
    w.c.received.append(buffer, static_cast<std::size_t>(got));
    if (holds_whole_head(w.c.received)) {
        const std::lock_guard lock(mutex_);
        dispatch(std::move(w.c));
        return true;
    }
    if (w.c.received.size() > longest_head) {
        httplib::detail::send_socket(w.c.sock, head_too_long, std::char_traits<char>::length(head_too_long), 0);
        close(w.c.sock);
        return true;
    }
    return false;
}

void request_gate::watch()
{
    std::vector<pollfd> watched;
    for (;;) {
        bool closing = false;
        {
            const std::lock_guard lock(mutex_);
            closing = closing_;
            for (connection& c : admitted_)
                waiting_.push_back({std::move(c), steady::now() + head_deadline});
            admitted_.clear();
        }
        if (closing) {
            for (const waiting& w : waiting_)
                close(w.c.sock);
            waiting_.clear();
            return;
        }
        while (waiting_.size() > max_waiting) {
            close(waiting_.front().c.sock);
            waiting_.pop_front();
        }

        // Connections past their deadline go; the nearest deadline bounds the wait.
        const steady::time_point now = steady::now();
        steady::time_point next = now + std::chrono::hours(1);
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            if (it->deadline <= now) {
                close(it->c.sock);
                it = waiting_.erase(it);
            } else {
                next = std::min(next, it->deadline);
                ++it;
            }
        }

        watched.clear();
        if (wake_socket_ != INVALID_SOCKET)
            watched.push_back({wake_socket_, POLLIN, 0});
        for (const waiting& w : waiting_)
            watched.push_back({w.c.sock, POLLIN, 0});
        auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(next - now) + std::chrono::milliseconds(1);
        if (wake_socket_ == INVALID_SOCKET)
            timeout = std::min<std::chrono::milliseconds>(timeout, unwoken_interval);
#ifdef _WIN32
        // httplib's own poll is a macro it takes back at the end of its header.
        const int ready = ::WSAPoll(watched.data(), static_cast<ULONG>(watched.size()), static_cast<INT>(timeout.count()));
#else
        const int ready = poll(watched.data(), static_cast<unsigned>(watched.size()), static_cast<int>(timeout.count()));
#endif
        if (ready <= 0)
            continue;

        std::size_t i = 0;
        if (wake_socket_ != INVALID_SOCKET) {
            if (watched[0].revents != 0) {
                char bytes[64];
                while (httplib::detail::select_read(wake_socket_, 0, 0) > 0
                       && httplib::detail::read_socket(wake_socket_, bytes, sizeof bytes, 0) > 0) {
                }
            }
            i = 1;
        }
        for (auto it = waiting_.begin(); it != waiting_.end(); ++i) {
            if (watched[i].revents != 0 && receive(*it))
                it = waiting_.erase(it);
            else
                ++it;
        }
    }
}

void request_gate::serve_ready()
{
    for (;;) {
        connection c;
        {
            std::unique_lock lock(mutex_);
            ready_changed_.wait(lock, [this] { return closing_ || !ready_.empty(); });
            if (closing_) {
                // Heads that wait for a thread now are not served.
                for (const connection& left : ready_)
                    close(left.sock);
                ready_.clear();
                return;
            }
            c = std::move(ready_.front());
            ready_.pop_front();
            served_.insert(c.sock);
            if (ending_)
                httplib::detail::shutdown_socket(c.sock);
        }
        const bool keep = serve_(c);
        {
            const std::lock_guard lock(mutex_);
            served_.erase(c.sock);
        }
        if (keep)
            admit(std::move(c));
        else
            close(c.sock);
    }
}
