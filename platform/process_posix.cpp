#include "platform/process.h"

#include "platform/esptool_lookup.h"
#include "platform/output_lines.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {
namespace {

// Where a Windows program name points on this system; see run_command_line.
std::optional<std::string> resolve_program(const std::string& name) { return find_program(name); }

void write_all(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;  // our standard output is gone: the program still runs to its end
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

// Owns a file descriptor; closes it once.
class fd_owner {
public:
    explicit fd_owner(int fd = -1) : fd_(fd) {}
    ~fd_owner() { reset(); }
    fd_owner(const fd_owner&) = delete;
    fd_owner& operator=(const fd_owner&) = delete;
    int get() const { return fd_; }
    void reset()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

struct spawn_setup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    spawn_setup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~spawn_setup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    spawn_setup(const spawn_setup&) = delete;
    spawn_setup& operator=(const spawn_setup&) = delete;
};

run_outcome outcome_of(int status)
{
    if (WIFSIGNALED(status))
        return {run_outcome::kind::signalled, WTERMSIG(status)};
    return {run_outcome::kind::exited, WEXITSTATUS(status)};
}

using steady = std::chrono::steady_clock;

// How often a running program is looked at: its end, and a stop asked for.
constexpr std::chrono::milliseconds check_interval{50};

int milliseconds_until(steady::time_point when)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - steady::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Reads what is there (or waits at most timeout_ms for it) and passes it on.
// Returns false once the output has been closed by every writer.
bool read_output(int fd, int timeout_ms, output_lines& lines)
{
    pollfd watched{fd, POLLIN, 0};
    const int ready = ::poll(&watched, 1, timeout_ms);
    if (ready <= 0)
        return true;  // nothing yet, or interrupted
    char buffer[65536];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0)
        return errno == EINTR || errno == EAGAIN;
    if (got == 0)
        return false;
    write_all(STDOUT_FILENO, buffer, static_cast<std::size_t>(got));
    lines.feed(buffer, static_cast<std::size_t>(got));
    return true;
}

}  // namespace

run_outcome run_command_line(std::string_view command_line, const line_observer& on_line, const run_stop* stop)
{
    if (stop != nullptr && stop->requested())
        return {run_outcome::kind::stopped, 0};
    const std::vector<std::string> args = split_command_line(command_line);
    if (args.empty())
        return {run_outcome::kind::not_found, 0};
    const std::optional<std::string> program = resolve_program(args.front());
    if (!program)
        return {run_outcome::kind::not_found, 0};

    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0)
        return {run_outcome::kind::not_started, errno};
    fd_owner read_end(pipe_fds[0]);
    fd_owner write_end(pipe_fds[1]);

    spawn_setup setup;
    posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, write_end.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, write_end.get(), STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
    // Our stop signals are caught through the event loop and may be blocked on
    // this thread; the program gets the defaults.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&setup.attributes, &all);
    // A process group of its own: the terminal's Ctrl+C is for us, and we
    // decide whether the tool is stopped (never in the middle of a write
    // unless asked twice).
    posix_spawnattr_setpgroup(&setup.attributes, 0);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program->c_str()));
    for (std::size_t i = 1; i < args.size(); ++i)
        argv.push_back(const_cast<char*>(args[i].c_str()));
    argv.push_back(nullptr);

    // What we printed so far comes before what the program prints.
    std::cout.flush();
    std::fflush(stdout);

    pid_t pid = 0;
    const int spawn_error = ::posix_spawn(&pid, program->c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
    write_end.reset();
    if (spawn_error != 0)
        return {run_outcome::kind::not_started, spawn_error};

    // Until the program has ended, whether or not its output is still open. A
    // stop asked for ends its process group: SIGTERM, then SIGKILL after the
    // grace period.
    output_lines lines(on_line);
    bool output_open = true;
    std::optional<steady::time_point> kill_at;
    bool killed = false;
    int status = 0;
    int wait_error = 0;
    while (true) {
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        if (ended == pid)
            break;
        if (ended < 0 && errno != EINTR) {
            wait_error = errno;
            break;
        }
        if (stop != nullptr && stop->requested() && !kill_at) {
            ::kill(-pid, SIGTERM);
            kill_at = steady::now() + stop->grace();
        }
        if (kill_at && !killed && steady::now() >= *kill_at) {
            ::kill(-pid, SIGKILL);
            killed = true;
        }
        if (output_open)
            output_open = read_output(read_end.get(), static_cast<int>(check_interval.count()), lines);
        else
            ::poll(nullptr, 0, static_cast<int>(check_interval.count()));
    }

    // What is left in the pipe, for a short while: a child the program left
    // behind may keep it open for ever, and is not waited for.
    const steady::time_point leave_at = steady::now() + output_after_exit;
    while (output_open && steady::now() < leave_at)
        output_open = read_output(read_end.get(), milliseconds_until(leave_at), lines);
    read_end.reset();
    lines.deliver();
    lines.rethrow();

    if (wait_error != 0)
        return {run_outcome::kind::not_started, wait_error};
    const run_outcome outcome = outcome_of(status);
    if (kill_at && !(outcome.how == run_outcome::kind::exited && outcome.code == 0))
        return {run_outcome::kind::stopped, outcome.code};
    return outcome;
}

}  // namespace platform
