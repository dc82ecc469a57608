#include "platform/process.h"

#include "platform/esptool_lookup.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <optional>
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

run_outcome wait_for(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return {run_outcome::kind::not_started, errno};
    }
    if (WIFSIGNALED(status))
        return {run_outcome::kind::signalled, WTERMSIG(status)};
    return {run_outcome::kind::exited, WEXITSTATUS(status)};
}

}  // namespace

run_outcome run_command_line(std::string_view command_line, const line_observer& on_line)
{
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
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

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

    // Until the program closes its output. The program is waited for even when
    // on_line throws, so that no child is left behind.
    std::exception_ptr observer_failure;
    std::string line;
    auto deliver = [&] {
        if (!line.empty() && !observer_failure) {
            try {
                if (on_line)
                    on_line(line);
            } catch (...) {
                observer_failure = std::current_exception();
            }
        }
        line.clear();
    };
    char buffer[4096];
    while (true) {
        const ssize_t got = ::read(read_end.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        write_all(STDOUT_FILENO, buffer, static_cast<std::size_t>(got));
        for (ssize_t i = 0; i < got; ++i) {
            const char c = buffer[i];
            if (c == '\n' || c == '\r')
                deliver();
            else
                line += c;
        }
    }
    deliver();
    read_end.reset();
    const run_outcome outcome = wait_for(pid);
    if (observer_failure)
        std::rethrow_exception(observer_failure);
    return outcome;
}

}  // namespace platform
