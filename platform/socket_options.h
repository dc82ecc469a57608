#pragma once

// Seam: the listening socket. platform/linux/socket_options.cpp (POSIX), platform/windows/socket_options.cpp
// (Winsock).

#include <cstddef>
#include <httplib.h>
#include <string>

// The listening socket of the status page, the way each system needs it.
namespace platform {

// Makes a listening socket ours alone: while we hold the port no other
// program can bind it, and we cannot bind a port another program holds.
void exclusive_listen_socket(socket_t sock);

// Why the last socket call on this thread failed.
struct socket_failure {
    bool address_in_use = false;  // the port is held by another program
    std::string reason;           // the system's words
};

// Forgets the last socket error of this thread; call before the socket calls
// whose failure last_socket_failure explains.
void clear_socket_error();
socket_failure last_socket_failure();

// Raises the soft limit on open descriptors where the system has one, so that
// the connections the server holds never keep esptool from starting.
void raise_descriptor_limit() noexcept;

// How many descriptors (sockets among them) the process may have open at once.
std::size_t descriptor_limit() noexcept;

// poll for sockets: waits at most timeout_ms for one of them to be ready (-1:
// no limit); the count of those ready, 0 on timeout, -1 on failure.
int poll_sockets(pollfd* sockets, std::size_t count, int timeout_ms) noexcept;

}  // namespace platform
