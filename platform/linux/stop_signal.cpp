#include "platform/stop_signal.h"

#include "platform/console.h"
#include "platform/linux/started_programs.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <fmt/core.h>
#include <glib-unix.h>
#include <glib.h>
#include <initializer_list>
#include <optional>
#include <string>
#include <unistd.h>

// The signal handler counts the signal and writes one byte into a pipe that
// wakes the main loop, which takes the count: every signal is looked at once,
// however many arrive before the loop looks (GLib's own signal sources fold
// repeats of one signal into one, and take no SIGQUIT). Only the handler's
// count is a stop: a byte that reaches the pipe some other way (a stray write
// to a descriptor number the pipe took over) only wakes the loop. The
// handler also keeps what the system tells of each signal's sender, and when
// the signal came; the loop says it on standard error. What one action of a
// user sends together is one stop request (see one_action_ms). A stop signal
// that was ignored when we started stays ignored.
namespace platform {
namespace {

constexpr std::array stop_signals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// One action of a user can send a stop signal twice, or two of them, which
// reach us one after the other: timeout signals its child and then its own
// process group, which holds us; a program that passes its signals on to its
// child (umockdev-run, a wrapper script) passes on the Ctrl+C that reached us
// too; a closing terminal hangs up, its shell passes SIGHUP on, and su sends
// SIGTERM. So the same signal again, or SIGHUP and SIGTERM together, within
// this time of a request's first signal are that request. A second request
// meant as one comes later, or as another signal (Ctrl+\ after Ctrl+C).
constexpr std::int64_t one_action_ms = 1000;
int action_of(int sig) { return sig == SIGTERM ? SIGHUP : sig; }

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
    std::atomic<std::int64_t> at_ms = 0;  // when the handler ran
    std::atomic<int> signal = 0;
    std::atomic<int> code = 0;
    std::atomic<pid_t> pid = 0;
    std::atomic<bool> ours = false;  // sent by a program we started
    char name[17] = {};              // the sender's command name
};
std::array<sender, 32> senders;
std::atomic<unsigned> senders_taken = 0;
static_assert(std::atomic<pid_t>::is_always_lock_free);

// Main thread only: the signals the loop has taken, and of those the stop
// requests; the latest request's first signal, as action_of, and when it came.
unsigned signals_taken = 0;
unsigned signals_arrived = 0;
int request_action = 0;
std::int64_t request_at_ms = 0;
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
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    from.at_ms = static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
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

// Where signal number came from, for standard error; nothing for a signal
// that is no user's request (one that a program we started sent us), which is
// said and ignored.
std::optional<std::string> sender_of(unsigned number)
{
    const sender& from = senders[number % senders.size()];
    const int sig = from.signal;
    const int code = from.code;
    const pid_t pid = from.pid;
    if (from.ready != number + 1)
        return "a stop signal (too many at once to tell which)";
    const char* name = sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : sig == SIGHUP ? "SIGHUP" : "SIGQUIT";
    const std::string sender_name = from.name[0] != '\0' ? std::string(from.name) : "no longer running";
    if (from.ours) {
        print_console(fmt::format("Vornhale: ignored {} from process {} ({}), which Vornhale started: only a "
                                  "user's request stops it.\n",
                                  name, pid, sender_name));
        return std::nullopt;
    }
    if (code == SI_USER || code == SI_QUEUE || code == SI_TKILL)
        return pid == ::getpid() ? fmt::format("{} from Vornhale itself", name)
                                 : fmt::format("{} from process {} ({})", name, pid, sender_name);
    if (code == SI_KERNEL && sig == SIGHUP)
        return "SIGHUP from the system: the terminal Vornhale runs in was closed";
    if (code == SI_KERNEL && sig == SIGINT)
        return "SIGINT from the terminal (Ctrl+C)";
    if (code == SI_KERNEL && sig == SIGQUIT)
        return "SIGQUIT from the terminal (Ctrl+\\)";
    return fmt::format("{} from the system (code {})", name, code);
}

gboolean on_signal_bytes(gint fd, GIOCondition, gpointer)
{
    char bytes[64];
    ssize_t got;
    while ((got = ::read(fd, bytes, sizeof bytes)) > 0) {
    }
    while (signals_taken < signals_caught.load()) {
        const unsigned number = signals_taken++;
        const std::optional<std::string> where = sender_of(number);
        if (!where)
            continue;
        const sender& from = senders[number % senders.size()];
        const bool known = from.ready == number + 1;
        const int action = known ? action_of(from.signal) : 0;
        const std::int64_t at = from.at_ms;
        if (known && signals_arrived > 0 && action == request_action && at - request_at_ms < one_action_ms) {
            print_console(fmt::format("Vornhale: {}, with stop request {}: the same request.\n", *where,
                                      signals_arrived));
            continue;
        }
        ++signals_arrived;
        request_action = action;
        request_at_ms = at;
        print_console(fmt::format("Vornhale: stop request {}: {}.\n", signals_arrived, *where));
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
    for (const int sig : stop_signals) {
        // Ignored when we started (nohup's SIGHUP; SIGINT and SIGQUIT for a
        // shell's background job without job control): it stays so.
        struct sigaction given {};
        if (::sigaction(sig, nullptr, &given) == 0 && given.sa_handler == SIG_IGN)
            continue;
        ::sigaction(sig, &action, nullptr);
    }
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
