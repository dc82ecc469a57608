#include "platform/stop_signal.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>

// The signal handler counts the signal and writes one byte into a pipe that
// wakes the main loop, which takes the count: every signal counts once,
// however many arrive before the loop looks (GLib's own signal sources fold
// repeats of one signal into one, and take no SIGQUIT). Only the handler's
// count is a stop: a byte that reaches the pipe some other way (a stray write
// to a descriptor number the pipe took over) only wakes the loop.
namespace platform {
namespace {

constexpr std::array stop_signals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

int signal_pipe[2] = {-1, -1};
std::atomic<unsigned> signals_caught = 0;
static_assert(std::atomic<unsigned>::is_always_lock_free);

// Main thread only.
unsigned signals_arrived = 0;
std::function<void()> stop_action;

void on_signal(int)
{
    const int saved = errno;
    signals_caught.fetch_add(1);
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
    }
    while (signals_arrived < signals_caught.load()) {
        ++signals_arrived;
        if (stop_action)
            stop_action();
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
