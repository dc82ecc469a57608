#include "platform/socket_options.h"

#include <cerrno>
#include <cstring>

namespace platform {

// The library's default here (SO_REUSEPORT) would let a second program bind
// the same port and take half of our requests. SO_REUSEADDR alone only lets
// us bind while old connections of ours linger.
void exclusive_listen_socket(socket_t sock)
{
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

void clear_socket_error() { errno = 0; }

socket_failure last_socket_failure()
{
    const int error = errno;
    return {error == EADDRINUSE, error != 0 ? std::strerror(error) : "unknown error"};
}

}  // namespace platform
