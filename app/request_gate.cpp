#include "app/request_gate.h"

#include "platform/socket_options.h"

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

constexpr const char* bare_line_feed =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
constexpr const char* head_too_long =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

}  // namespace

request_gate::request_gate(std::size_t threads, serve_function serve)
    : serve_(std::move(serve)), waiting_share_(waiting_share(platform::descriptor_limit(), threads)),
      least_waiting_(least_waiting(platform::descriptor_limit())), wake_socket_(make_wake_socket())
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

request_gate::head request_gate::examine_head(const std::string& text, std::size_t examined, std::size_t& length)
{
    // Only the line feeds that arrived since the last look: the bytes before
    // each are there already.
    for (std::size_t at = text.find('\n', examined); at != std::string::npos; at = text.find('\n', at + 1)) {
        if (at == 0 || text[at - 1] != '\r')
            return head::malformed;
        // An empty line ends the head; one that opens the text ends the
        // request line, which the parser then refuses.
        if (at == 1 || (at >= 3 && text.compare(at - 3, 2, "\r\n") == 0)) {
            length = at + 1;
            return length > longest_head ? head::too_long : head::whole;
        }
    }
    return text.size() >= longest_head ? head::too_long : head::partial;
}

std::size_t request_gate::waiting_share(std::size_t descriptors, std::size_t threads)
{
    // Never more than the limit allows: with a low one, silent connections
    // that were kept beyond it would take every descriptor, and new ones,
    // the page's among them, would stay unaccepted until a head deadline.
    const std::size_t ours = descriptors / 2;
    const std::size_t busy = max_admitted + threads;
    return std::max(ours > busy ? ours - busy : 0, least_waiting(descriptors));
}

std::size_t request_gate::least_waiting(std::size_t descriptors)
{
    // Never more than a quarter of the limit: under a low one (ulimit -n 24)
    // the program's own descriptors and a page's connection still fit.
    return std::min(min_waiting, descriptors / 4);
}

void request_gate::refuse(socket_t sock, const char* response)
{
    httplib::detail::send_socket(sock, response, std::char_traits<char>::length(response), 0);
    close(sock);
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
        std::unique_lock lock(mutex_);
        if (c.requests == 0)
            admitted_taken_.wait(lock, [this] { return closing_ || admitted_.size() < max_admitted; });
        if (!closing_) {
            // A request that arrived with the previous one needs no waiting.
            std::size_t length = 0;
            if (examine_head(c.received, 0, length) == head::whole)
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
        admitted_taken_.notify_all();
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
        admitted_taken_.notify_all();
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
    if (ready_.size() >= std::min(max_ready, waiting_share_)) {
        close(c.sock);
        return;
    }
    ready_.push_back(std::move(c));
    ready_changed_.notify_one();
}

bool request_gate::settle(waiting& w)
{
    std::size_t length = 0;
    switch (examine_head(w.c.received, w.examined, length)) {
    case head::whole: {
        const std::lock_guard lock(mutex_);
        dispatch(std::move(w.c));
        return true;
    }
    case head::malformed:
        refuse(w.c.sock, bare_line_feed);
        return true;
    case head::too_long:
        refuse(w.c.sock, head_too_long);
        return true;
    case head::partial:
        break;
    }
    w.examined = w.c.received.size();
    return false;
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
    return settle(w);
}

void request_gate::evict_one()
{
    // 0: nothing sent since it was accepted; 1: a head begun; 2: kept alive.
    auto rank = [](const connection& c) { return !c.received.empty() ? 1 : c.requests == 0 ? 0 : 2; };
    auto victim = waiting_.begin();
    for (auto it = waiting_.begin(); it != waiting_.end() && rank(victim->c) > 0; ++it)
        if (rank(it->c) < rank(victim->c))
            victim = it;
    close(victim->c.sock);
    waiting_.erase(victim);
}

void request_gate::watch()
{
    std::vector<pollfd> watched;
    for (;;) {
        bool closing = false;
        std::size_t most_waiting = 0;
        {
            const std::lock_guard lock(mutex_);
            closing = closing_;
            // The heads that wait for a serving thread count in the share too.
            const std::size_t ready = std::min(ready_.size(), waiting_share_);
            most_waiting = std::clamp(waiting_share_ - ready, least_waiting_, max_waiting);
            for (connection& c : admitted_)
                waiting_.push_back({std::move(c), steady::now() + head_deadline});
            admitted_.clear();
            admitted_taken_.notify_all();
        }
        if (closing) {
            for (const waiting& w : waiting_)
                close(w.c.sock);
            waiting_.clear();
            return;
        }

        // Connections past their deadline go; the nearest deadline bounds the
        // wait. One kept alive with the start of its next request settles now.
        const steady::time_point now = steady::now();
        steady::time_point next = now + std::chrono::hours(1);
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            if (it->deadline <= now) {
                close(it->c.sock);
                it = waiting_.erase(it);
            } else if (it->examined < it->c.received.size() && settle(*it)) {
                it = waiting_.erase(it);
            } else {
                next = std::min(next, it->deadline);
                ++it;
            }
        }

        // One too many: read first what has come, so that a connection whose
        // head is there is never taken for a silent one, then make room.
        watched.clear();
        if (wake_socket_ != INVALID_SOCKET)
            watched.push_back({wake_socket_, POLLIN, 0});
        for (const waiting& w : waiting_)
            watched.push_back({w.c.sock, POLLIN, 0});
        auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(next - now) + std::chrono::milliseconds(1);
        if (wake_socket_ == INVALID_SOCKET)
            timeout = std::min<std::chrono::milliseconds>(timeout, unwoken_interval);
        if (waiting_.size() > most_waiting)
            timeout = std::chrono::milliseconds(0);
        const int ready = platform::poll_sockets(watched.data(), watched.size(), static_cast<int>(timeout.count()));
        if (ready > 0) {
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
        while (waiting_.size() > most_waiting)
            evict_one();
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
