#include "platform/socket_options.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/resource.h>

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

void raise_descriptor_limit() noexcept
{
    // Enough for every connection the server keeps and plenty besides; not the
    // whole hard limit, which can be a million.
    constexpr rlim_t wanted = 8192;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < wanted) {
        limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::size_t descriptor_limit() noexcept
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 1 << 20;
    return static_cast<std::size_t>(limit.rlim_cur);
}

int poll_sockets(pollfd* sockets, std::size_t count, int timeout_ms) noexcept
{
    return ::poll(sockets, static_cast<nfds_t>(count), timeout_ms);
}

}  // namespace platform
