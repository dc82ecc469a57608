#include "platform/socket_options.h"

#include "platform/windows/windows_text.h"

namespace platform {

// Windows' SO_REUSEADDR (the library's default) would let another program
// bind the port over ours; SO_EXCLUSIVEADDRUSE keeps it ours alone.
void exclusive_listen_socket(socket_t sock)
{
    BOOL on = TRUE;
    setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
}

void clear_socket_error() { ::WSASetLastError(0); }

socket_failure last_socket_failure()
{
    const int error = ::WSAGetLastError();
    return {error == WSAEADDRINUSE || error == WSAEACCES,
            error != 0 ? windows::error_message(static_cast<DWORD>(error)) : "unknown error"};
}

// Windows sets no per-process limit on sockets that the server could reach.
void raise_descriptor_limit() noexcept {}

// Winsock has no small table of sockets a process may hold.
std::size_t descriptor_limit() noexcept { return 1 << 20; }

int poll_sockets(pollfd* sockets, std::size_t count, int timeout_ms) noexcept
{
    // httplib's own poll is a macro it takes back at the end of its header.
    return ::WSAPoll(sockets, static_cast<ULONG>(count), static_cast<INT>(timeout_ms));
}

}  // namespace platform
