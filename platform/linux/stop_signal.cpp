#include "platform/stop_signal.h"

#include "platform/console.h"
#include "platform/linux/started_programs.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fmt/core.h>
#include <glib-unix.h>
#include <glib.h>
#include <initializer_list>
#include <string>
#include <unistd.h>

// The signal handler counts the signal and writes one byte into a pipe that
// wakes the main loop, which takes the count: every signal counts once,
// however many arrive before the loop looks (GLib's own signal sources fold
// repeats of one signal into one, and take no SIGQUIT). Only the handler's
// count is a stop: a byte that reaches the pipe some other way (a stray write
// to a descriptor number the pipe took over) only wakes the loop. The
// handler also keeps what the system tells of each signal's sender, and the
// loop says it on standard error.
namespace platform {
namespace {

constexpr std::array stop_signals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

int signal_pipe[2] = {-1, -1};
std::atomic<unsigned> signals_caught = 0;
static_assert(std::atomic<unsigned>::is_always_lock_free);

// Where the latest signals came from, as the handler found them. A sender
// that has ended stays readable in /proc until its parent takes its status;
// when that parent is our runner, which may do so on its own thread before
// the handler runs, the runner's list still knows the program. A slot is
// ready for the loop once its number is that of the signal it holds, plus one.
struct sender {
    std::atomic<unsigned> ready = 0;
    std::atomic<int> signal = 0;
    std::atomic<int> code = 0;
    std::atomic<pid_t> pid = 0;
    std::atomic<bool> ours = false;  // sent by a program we started
    char name[17] = {};              // the sender's command name
};
std::array<sender, 32> senders;
std::atomic<unsigned> senders_taken = 0;
static_assert(std::atomic<pid_t>::is_always_lock_free);

// Main thread only: the signals the loop has taken, and of those the stop requests.
unsigned signals_taken = 0;
unsigned signals_arrived = 0;
std::function<void()> stop_action;

// Async-signal-safe, as is everything the handler calls: what /proc/PID/FILE
// holds, up to size - 1 bytes; -1 when it cannot be read.
ssize_t read_proc(pid_t pid, const char* file, char* buffer, std::size_t size)
{
    char path[64] = "/proc/";
    std::size_t at = 6;
    char digits[16];
    std::size_t count = 0;
    for (auto value = static_cast<unsigned>(pid); value > 0 || count == 0; value /= 10)
        digits[count++] = static_cast<char>('0' + value % 10);
    while (count > 0)
        path[at++] = digits[--count];
    path[at++] = '/';
    for (const char* f = file; *f != '\0' && at + 1 < sizeof path; ++f)
        path[at++] = *f;
    path[at] = '\0';
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const ssize_t got = ::read(fd, buffer, size - 1);
    ::close(fd);
    return got;
}

// The parent and the process group of pid ("PID (NAME) STATE PARENT GROUP
// ..." in its stat); false when they cannot be read.
bool family_of(pid_t pid, pid_t& parent, pid_t& group)
{
    char stat[512];
    const ssize_t got = read_proc(pid, "stat", stat, sizeof stat);
    ssize_t at = got;
    while (at > 0 && stat[at - 1] != ')')
        --at;  // the name ends at the last parenthesis
    if (at <= 0 || at + 3 >= got)
        return false;
    at += 3;  // ") S "
    for (pid_t* field : {&parent, &group}) {
        *field = 0;
        for (; at < got && stat[at] >= '0' && stat[at] <= '9'; ++at)
            *field = *field * 10 + (stat[at] - '0');
        ++at;  // the space after it
    }
    return true;
}

// Whether pid descends from us (esptool, what it runs, the web view's
// processes), or from a program the runner started that ended before it:
// those stay in the program's process group.
bool started_by_us(pid_t pid)
{
    const pid_t self = ::getpid();
    for (int depth = 0; depth < 16 && pid > 1 && pid != self; ++depth) {
        pid_t parent = 0;
        pid_t group = 0;
        if (!family_of(pid, parent, group))
            return false;
        if (parent == self || linux_layer::started_by_runner(group))
            return true;
        pid = parent;
    }
    return false;
}

void on_signal(int sig, siginfo_t* info, void*)
{
    const int saved = errno;
    const unsigned number = senders_taken.fetch_add(1);
    sender& from = senders[number % senders.size()];
    const int code = info != nullptr ? info->si_code : SI_KERNEL;
    const pid_t pid = info != nullptr ? info->si_pid : 0;
    from.signal = sig;
    from.code = code;
    from.pid = pid;
    const bool sent = (code == SI_USER || code == SI_QUEUE || code == SI_TKILL) && pid > 0;
    const ssize_t named = sent ? read_proc(pid, "comm", from.name, sizeof from.name) : -1;
    from.name[named > 0 ? named - (from.name[named - 1] == '\n') : 0] = '\0';
    from.ours = sent && (linux_layer::started_by_runner(pid) || started_by_us(pid));
    from.ready = number + 1;
    signals_caught.fetch_add(1);
    const char byte = 1;
    // A full pipe holds thousands of requests not yet counted: enough.
    [[maybe_unused]] const ssize_t written = ::write(signal_pipe[1], &byte, 1);
    errno = saved;
}

// Says on standard error where signal number came from, as stop request
// request; returns false for a signal that is no user's request (one that a
// program we started sent us), which is ignored.
bool tell_sender(unsigned number, unsigned request)
{
    const sender& from = senders[number % senders.size()];
    const int sig = from.signal;
    const int code = from.code;
    const pid_t pid = from.pid;
    std::string where;
    if (from.ready != number + 1) {
        where = "a stop signal (too many at once to tell which)";
    } else {
        const char* name = sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : sig == SIGHUP ? "SIGHUP" : "SIGQUIT";
        const std::string sender_name = from.name[0] != '\0' ? std::string(from.name) : "no longer running";
        if (from.ours) {
            print_console(fmt::format("Vornhale: ignored {} from process {} ({}), which Vornhale started: only a "
                                      "user's request stops it.\n",
                                      name, pid, sender_name));
            return false;
        }
        if (code == SI_USER || code == SI_QUEUE || code == SI_TKILL) {
            where = pid == ::getpid() ? fmt::format("{} from Vornhale itself", name)
                                      : fmt::format("{} from process {} ({})", name, pid, sender_name);
        } else if (code == SI_KERNEL && sig == SIGHUP) {
            where = "SIGHUP from the system: the terminal Vornhale runs in was closed";
        } else if (code == SI_KERNEL && sig == SIGINT) {
            where = "SIGINT from the terminal (Ctrl+C)";
        } else if (code == SI_KERNEL && sig == SIGQUIT) {
            where = "SIGQUIT from the terminal (Ctrl+\\)";
        } else {
            where = fmt::format("{} from the system (code {})", name, code);
        }
    }
    print_console(fmt::format("Vornhale: stop request {}: {}.\n", request, where));
    return true;
}

gboolean on_signal_bytes(gint fd, GIOCondition, gpointer)
{
    char bytes[64];
    ssize_t got;
    while ((got = ::read(fd, bytes, sizeof bytes)) > 0) {
    }
    while (signals_taken < signals_caught.load()) {
        if (!tell_sender(signals_taken++, signals_arrived + 1))
            continue;
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
    action.sa_sigaction = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_SIGINFO;
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
