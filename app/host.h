#pragma once

#include <atomic>
#include <optional>
#include <string>

namespace httplib {
class Server;
}

// Where the status page is served. Fixed: there is no configuration.
inline constexpr const char* status_host = "127.0.0.1";
inline constexpr int status_port = 5000;
inline constexpr const char* status_url = "http://127.0.0.1:5000";

// Why the status page cannot be served, as told to the user.
struct bind_failure {
    std::string console_line;  // one line for standard error, without line end
    std::string page;          // a whole HTML document for the window
};

// Binds the server's listening socket to the status address on the calling
// thread, so that a taken port is known before the window opens. Another
// program cannot share the port with us, and we cannot share its port.
std::optional<bind_failure> bind_status_server(httplib::Server& server);

// Thread body: serves connections on the bound server until stop_server is
// called, then sets ended. Never throws.
void serve(httplib::Server& server, std::atomic<bool>& ended) noexcept;

// Closes the listening socket of a server whose thread runs serve(). A stop
// that comes before the thread has begun listening waits for it, so that the
// thread never listens afterwards with nobody left to stop it.
void stop_server(httplib::Server& server, const std::atomic<bool>& ended);
