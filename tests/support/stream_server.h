#pragma once

// The "/event" route on a real server on an ephemeral loopback port, started
// and shut down in the same order as the program does it.

#include "app/host.h"
#include "app/status_queue.h"
#include "web/event_stream.h"

#include <atomic>
#include <httplib.h>
#include <stdexcept>
#include <string>
#include <thread>

struct stream_server {
    status_queue queue;
    httplib::Server server;
    std::atomic<bool> ended = false;
    std::thread thread;
    int port = 0;
    std::atomic<int> finished_requests = 0;  // counted as the server logs them

    stream_server()
    {
        port = server.bind_to_any_port("127.0.0.1");
        if (port <= 0)
            throw std::runtime_error("cannot bind a test port");
        server.Get("/event", event_stream_handler(queue, port));
        server.set_logger([this](const httplib::Request&, const httplib::Response&) { ++finished_requests; });
        thread = std::thread(serve, std::ref(server), std::ref(ended));
        server.wait_until_ready();
    }

    void shutdown()
    {
        stop_server(server, ended);
        queue.push(std::string(exit_text));
        thread.join();
    }

    ~stream_server()
    {
        if (thread.joinable())
            shutdown();
    }
};

inline std::string event_request(int port, const std::string& method = "GET", const std::string& extra_headers = "")
{
    return method + " /event HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
           "\r\nAccept: text/event-stream\r\n" + extra_headers + "\r\n";
}

// The chunk that carries one status text.
inline std::string event_chunk(const std::string& text)
{
    const std::string payload = "data: " + text + "\n\n";
    char size[32];
    std::snprintf(size, sizeof size, "%zx", payload.size());
    return std::string(size) + "\r\n" + payload + "\r\n";
}
