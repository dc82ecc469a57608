#pragma once

// A plain TCP client for tests that need the exact bytes on the wire.

#include <chrono>
#include <httplib.h>  // the system's socket headers, and portable socket calls
#include <stdexcept>
#include <string>

#ifndef MSG_NOSIGNAL  // Windows raises no signal for a closed peer
#define MSG_NOSIGNAL 0
#endif

class raw_client {
public:
    explicit raw_client(int port)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd_ == INVALID_SOCKET)
            throw std::runtime_error("socket failed");
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            httplib::detail::close_socket(fd_);
            throw std::runtime_error("connect failed");
        }
    }
    ~raw_client() { close(); }
    raw_client(const raw_client&) = delete;
    raw_client& operator=(const raw_client&) = delete;

    void close()
    {
        if (fd_ != INVALID_SOCKET)
            httplib::detail::close_socket(fd_);
        fd_ = INVALID_SOCKET;
    }

    void send(const std::string& bytes)
    {
        size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = httplib::detail::send_socket(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                throw std::runtime_error("send failed");
            sent += static_cast<size_t>(n);
        }
    }

    // Reads until `count` bytes have been received in total (since the last
    // take), the peer closes, or the timeout passes. Returns what has arrived.
    std::string read_at_least(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (buffer_.size() < count && !closed_) {
            if (!wait_readable(deadline))
                break;
            fill();
        }
        return buffer_;
    }

    // Reads exactly count bytes and keeps what follows for the next call;
    // returns what has arrived when the peer closes or the timeout passes first.
    std::string read_exactly(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        read_at_least(count, timeout);
        std::string head = buffer_.substr(0, count);
        buffer_.erase(0, head.size());
        return head;
    }

    // Reads until `marker` has arrived; returns everything up to and including it
    // and keeps the rest for the next call. Empty on timeout or close.
    std::string read_until(const std::string& marker, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            auto pos = buffer_.find(marker);
            if (pos != std::string::npos) {
                std::string head = buffer_.substr(0, pos + marker.size());
                buffer_.erase(0, pos + marker.size());
                return head;
            }
            if (closed_ || !wait_readable(deadline))
                return {};
            fill();
        }
    }

    // Everything until the peer closes the connection (or the timeout passes).
    std::string read_to_close(std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!closed_ && wait_readable(deadline))
            fill();
        std::string all = buffer_;
        buffer_.clear();
        return all;
    }

    bool peer_closed() const { return closed_; }
    std::string take_buffer()
    {
        std::string all = buffer_;
        buffer_.clear();
        return all;
    }

private:
    bool wait_readable(std::chrono::steady_clock::time_point deadline)
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        return httplib::detail::select_read(fd_, left.count() / 1000, left.count() % 1000 * 1000) > 0;
    }

    void fill()
    {
        char chunk[65536];
        ssize_t n = httplib::detail::read_socket(fd_, chunk, sizeof chunk, 0);
        if (n <= 0)
            closed_ = true;
        else
            buffer_.append(chunk, static_cast<size_t>(n));
    }

    socket_t fd_ = INVALID_SOCKET;
    bool closed_ = false;
    std::string buffer_;
};
