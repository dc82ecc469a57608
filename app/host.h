#pragma once

#include <atomic>
#include <httplib.h>
#include <map>
#include <mutex>
#include <optional>
#include <string>

// Where the status page is served. Fixed: there is no configuration.
inline constexpr const char* status_host = "127.0.0.1";
inline constexpr int status_port = 5000;
inline constexpr const char* status_url = "http://127.0.0.1:5000";

// Why the status page cannot be served, as told to the user.
struct bind_failure {
    std::string console_line;  // one line for standard error, without line end
    std::string page;          // a whole HTML document for the window
};

// How many connections are served at once, and how many more wait for a
// thread. A connection accepted beyond both is closed at once, so that open
// connections stay far below the descriptor limit (esptool still starts).
inline constexpr size_t server_threads = 16;
inline constexpr size_t waiting_connections_max = 64;

// The HTTP server of the status page. Over the library's own server it
// - runs a pool of server_threads with at most waiting_connections_max
//   accepted connections waiting for a thread;
// - ends a connection after any response with an error status (4xx, 5xx) and
//   after a request it could not parse, so that a refused body or header flood
//   is never read on as further requests;
// - on stop_connections, ends every connection that is not inside a route
//   handler (waiting for or reading a request, however slowly), so that no
//   client can hold up the end of listening. Handlers end by themselves (the
//   event streams on the exit text).
class status_server : public httplib::Server {
public:
    status_server();

    // Called after stop(): see above. Later connections end as they start.
    void stop_connections();

private:
    bool process_and_close_socket(socket_t sock) override;

    enum class connection_state { waiting, handling };
    // Returns false when connections are being stopped.
    bool set_state(socket_t sock, connection_state state);

    std::mutex mutex_;
    std::map<socket_t, connection_state> connections_;  // guarded by mutex_
    bool stopping_ = false;                               // guarded by mutex_
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
