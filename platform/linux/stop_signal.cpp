#include "platform/stop_signal.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>

// The signal handler only writes one byte a signal into a pipe; the main
// loop reads them, so every signal counts once, however many arrive before
// the loop looks (GLib's own signal sources fold repeats of one signal into
// one, and take no SIGQUIT).
namespace platform {
namespace {

constexpr std::array stop_signals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

int signal_pipe[2] = {-1, -1};

// Main thread only.
unsigned signals_arrived = 0;
std::function<void()> stop_action;

void on_signal(int)
{
    const int saved = errno;
    const char byte = 1;
    // A full pipe holds thousands of requests not yet counted: enough.
    [[maybe_unused]] const ssize_t written = ::write(signal_pipe[1], &byte, 1);
    errno = saved;
}

gboolean on_signal_bytes(gint fd, GIOCondition, gpointer)
{
    char bytes[64];
    ssize_t got;
    while ((got = ::read(fd, bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < got; ++i) {
            ++signals_arrived;
            if (stop_action)
                stop_action();
        }
    }
    return G_SOURCE_CONTINUE;
}

}  // namespace

void catch_stop_signals()
{
    if (signal_pipe[0] >= 0)
        return;
    if (!g_unix_open_pipe(signal_pipe, FD_CLOEXEC, nullptr))
        return;
    g_unix_set_fd_nonblocking(signal_pipe[0], TRUE, nullptr);
    g_unix_set_fd_nonblocking(signal_pipe[1], TRUE, nullptr);
    g_unix_fd_add(signal_pipe[0], G_IO_IN, on_signal_bytes, nullptr);

    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int sig : stop_signals)
        ::sigaction(sig, &action, nullptr);
    // Our output may be a pipe or terminal that has gone: a failed write is
    // handled where it happens, never a reason to end the process.
    std::signal(SIGPIPE, SIG_IGN);
}

void on_stop_signal(std::function<void()> action)
{
    stop_action = std::move(action);
    if (signals_arrived > 0 && stop_action)
        stop_action();
}

void wait_for_stop_signal()
{
    wait_for_stop_requests(1, [] { return false; });
}

unsigned stop_requests() { return signals_arrived; }

bool wait_for_stop_requests(unsigned count, const std::function<bool()>& finished)
{
    while (signals_arrived < count && !finished())
        g_main_context_iteration(nullptr, TRUE);
    return signals_arrived >= count;
}

void wake_stop_wait() { g_main_context_wakeup(nullptr); }

}  // namespace platform
