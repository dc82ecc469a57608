#pragma once

// Helpers for tests that read the event stream byte for byte.

#include "support/page_server.h"

#include <cstdio>
#include <string>

using stream_server = page_server;

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
