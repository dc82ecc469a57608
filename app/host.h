#pragma once

#include "app/request_gate.h"

#include <atomic>
#include <chrono>
#include <httplib.h>
#include <optional>
#include <string>
#include <thread>

// Where the status page is served. Fixed: there is no configuration.
inline constexpr const char* status_host = "127.0.0.1";
inline constexpr int status_port = 5000;
inline constexpr const char* status_url = "http://127.0.0.1:5000";
inline constexpr const char* station_url = "http://127.0.0.1:5000/station";

// Why the status page cannot be served, as told to the user.
struct bind_failure {
    std::string console_line;  // one line for standard error, without line end
    std::string page;          // a whole HTML document for the window
};

// How many requests are served at once. Connections that wait for a request
// hold no thread (app/request_gate.h).
inline constexpr size_t server_threads = 16;

// The HTTP server of the status page. Over the library's own server it
// - lets connections wait for their request heads in a request_gate, and
//   serves each whole request on one of server_threads;
// - ends a connection after any response with an error status (4xx, 5xx) and
//   after a request it could not parse, so that a refused body or header flood
//   is never read on as further requests;
// - on stop_connections, ends every connection that is waiting for a request
//   (however slowly its client sends), so that no client can hold up the end
//   of listening; handlers end by themselves (the event streams on the exit
//   text), or when end_connections ends their connections too.
class status_server : public httplib::Server {
public:
    status_server();
    ~status_server() override;

    // Called after stop(): see above. Later connections end as they start.
    void stop_connections();

    // Ends every connection, those inside a handler too.
    void end_connections();

private:
    bool process_and_close_socket(socket_t sock) override;
    bool serve_request(request_gate::connection& c);

    request_gate gate_;
};

// Binds the server's listening socket to the status address on the calling
// thread, so that a taken port is known before the window opens. Another
// program cannot share the port with us, and we cannot share its port.
std::optional<bind_failure> bind_status_server(httplib::Server& server);

// Thread body: serves connections on the bound server until stop_server is
// called, then sets ended. Never throws.
void serve(status_server& server, std::atomic<bool>& ended) noexcept;

// Closes the listening socket of a server whose thread runs serve(), then ends
// every connection that is not inside a route handler. A stop that comes
// before the thread has begun listening waits for it, so that the thread never
// listens afterwards with nobody left to stop it.
void stop_server(status_server& server, const std::atomic<bool>& ended);

// After stop_server (and the exit text, which ends the event streams): waits
// for serve() to end, at most handler_grace, then ends every connection still
// served (a client that does not read what it asked for), and waits for it.
inline constexpr std::chrono::milliseconds handler_grace{1000};
void end_server(status_server& server, std::thread& server_thread, const std::atomic<bool>& ended);
