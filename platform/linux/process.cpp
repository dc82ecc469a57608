#include "platform/process.h"

#include "platform/console.h"
#include "platform/esptool_lookup.h"
#include "platform/linux/started_programs.h"
#include "platform/output_lines.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <optional>
#include <linux/falloc.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {
namespace {

// Where a Windows program name points on this system; see run_command_line.
// Absolute, so that it is still found from another working folder.
std::optional<std::string> resolve_program(const std::string& name)
{
    std::optional<std::string> found = find_program(name);
    std::error_code error;
    if (found && !found->starts_with('/'))
        if (const std::filesystem::path absolute = std::filesystem::absolute(*found, error); !error)
            found = absolute.string();
    return found;
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

// The program's output: an in-memory file that the program writes (as its
// standard output and error) and we read as it grows. A write there never
// waits, whether or not we are still alive to read it, so a flash goes on to
// its end if we are killed. The file is sized most_tool_output from the start
// and sealed against growing: the system itself refuses a write beyond it, so
// the bound holds however late we read. Where the program has written up to
// is the file's offset, shared with the program's descriptors. What has been
// read is given back to the system.
class output_file {
public:
    output_file() : fd_(::memfd_create("esptool-output", MFD_CLOEXEC | MFD_ALLOW_SEALING)), size_(file_size_allowed() + 1)
    {
        if (fd_.get() >= 0
            && (::ftruncate(fd_.get(), static_cast<off_t>(size_)) != 0
                || ::fcntl(fd_.get(), F_ADD_SEALS, F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0)) {
            const int error = errno;
            fd_.reset();
            errno = error;
        }
    }
    int fd() const { return fd_.get(); }
    // The most the program may print: one byte more fills the file.
    std::size_t bound() const { return size_ - 1; }

    // Whether the program has written all the file takes: more than the bound.
    bool full() const { return written() >= size_; }

    // Passes on what the program has written since the last call, at most
    // most bytes of it, giving back to the system what has been read as it
    // goes. Returns whether more is there than it read.
    bool read_new(output_lines& lines, bool pass_output, std::size_t most = read_step)
    {
        const std::size_t end = std::min(written(), offset_ + most);
        char buffer[65536];
        while (offset_ < end) {
            const std::size_t want = std::min(sizeof buffer, end - offset_);
            const ssize_t got = ::pread(fd_.get(), buffer, want, static_cast<off_t>(offset_));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            offset_ += static_cast<std::size_t>(got);
            const std::string_view text = lines.clean(buffer, static_cast<std::size_t>(got));
            if (pass_output)
                write_console(console_stream::output, text);
            lines.feed(text);
            release_read();
        }
        return offset_ < written();
    }

    // What the program wrote before it ended, and no more: a child it left
    // behind may go on writing. Returns whether that filled the file.
    bool read_rest(output_lines& lines, bool pass_output)
    {
        const std::size_t end = written();
        while (offset_ < end && read_new(lines, pass_output, std::min(read_step, end - offset_)))
            ;
        return end >= size_;
    }

private:
    static constexpr std::size_t release_step = 64 * 1024;
    // How much one look reads before the runner looks at the program's end
    // and at a stop again.
    static constexpr std::size_t read_step = 1024 * 1024;

    // most_tool_output, or less where a limit on file sizes (ulimit -f, which
    // the program inherits) would refuse a file one byte larger.
    static std::size_t file_size_allowed()
    {
        rlimit limit{};
        if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur <= most_tool_output)
            return limit.rlim_cur > 0 ? static_cast<std::size_t>(limit.rlim_cur) - 1 : 0;
        return most_tool_output;
    }

    std::size_t written() const
    {
        const off_t at = ::lseek(fd_.get(), 0, SEEK_CUR);
        return at < 0 ? offset_ : std::min(static_cast<std::size_t>(at), size_);
    }

    void release_read()
    {
        if (offset_ - released_ < release_step)
            return;
        const std::size_t upto = offset_ / release_step * release_step;
        if (::fallocate(fd_.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(upto)) == 0)
            released_ = upto;
    }

    fd_owner fd_;
    std::size_t size_;  // what the file takes
    std::size_t offset_ = 0;    // read up to here
    std::size_t released_ = 0;  // given back up to here
};

// Our environment for the program, but with TERM saying the terminal is dumb:
// esptool 5 then prints plain text, without colours and cursor movements.
class tool_environment {
public:
    tool_environment()
    {
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
            if (!std::string_view(*entry).starts_with("TERM="))
                pointers_.push_back(*entry);
        pointers_.push_back(const_cast<char*>(dumb_terminal));
        pointers_.push_back(nullptr);
    }
    char* const* get() const { return pointers_.data(); }

private:
    static constexpr const char* dumb_terminal = "TERM=dumb";
    std::vector<char*> pointers_;
};

// Sleeps until the program ends or the interval has passed.
void wait_a_moment(int pidfd)
{
    pollfd watched{pidfd, POLLIN, 0};
    ::poll(&watched, pidfd >= 0 ? 1 : 0, static_cast<int>(check_interval.count()));
}

}  // namespace

run_outcome run_command_line(std::string_view command_line, const line_observer& on_line, const run_stop* stop,
                             bool pass_output, const std::filesystem::path& folder)
{
    if (stop != nullptr && stop->requested())
        return {run_outcome::kind::stopped, 0};
    const std::vector<std::string> args = split_command_line(command_line);
    if (args.empty())
        return {run_outcome::kind::not_found, 0};
    const std::optional<std::string> program = resolve_program(args.front());
    if (!program)
        return {run_outcome::kind::not_found, 0};

    output_file output;
    if (output.fd() < 0)
        return {run_outcome::kind::not_started, errno};

    spawn_setup setup;
    posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, output.fd(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, output.fd(), STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
    if (!folder.empty())
        posix_spawn_file_actions_addchdir_np(&setup.actions, folder.c_str());
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

    // A script whose interpreter the system cannot find runs under python3.
    const std::optional<std::string> python = python_for(*program);
    const std::string& started = python ? *python : *program;
    std::vector<char*> argv;
    if (python)
        argv.push_back(const_cast<char*>(python->c_str()));
    argv.push_back(const_cast<char*>(program->c_str()));
    for (std::size_t i = 1; i < args.size(); ++i)
        argv.push_back(const_cast<char*>(args[i].c_str()));
    argv.push_back(nullptr);

    // What we printed so far comes before what the program prints.
    std::cout.flush();
    std::fflush(stdout);

    pid_t pid = 0;
    const tool_environment environment;
    const int spawn_error =
        ::posix_spawn(&pid, started.c_str(), &setup.actions, &setup.attributes, argv.data(), environment.get());
    if (spawn_error != 0)
        return {run_outcome::kind::not_started, spawn_error};
    // Known as ours to the stop signals until a while after it has been waited for.
    linux_layer::program_started(pid);
    const struct program_end {
        pid_t pid;
        ~program_end() { linux_layer::program_ended(pid); }
    } end_of_program{pid};
    // Wakes us the moment the program ends; without it, we look every check_interval.
    const fd_owner ended_fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));

    // Until the program has ended. A stop asked for ends its process group:
    // SIGTERM, then SIGKILL after the grace period.
    output_lines lines(on_line);
    std::optional<steady::time_point> kill_at;
    bool killed = false;
    bool too_much = false;
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
        if (!too_much && output.full())
            too_much = true;
        if (((stop != nullptr && stop->requested()) || too_much) && !kill_at) {
            ::kill(-pid, SIGTERM);
            kill_at = steady::now() + (stop != nullptr ? stop->grace() : run_stop().grace());
        }
        if (kill_at && !killed && steady::now() >= *kill_at) {
            ::kill(-pid, SIGKILL);
            killed = true;
        }
        if (!output.read_new(lines, pass_output))
            wait_a_moment(ended_fd.get());
    }

    // Everything the program wrote is there once it has ended; a child it
    // left behind may go on writing, and is not waited for.
    if (output.read_rest(lines, pass_output))
        too_much = true;
    lines.deliver();
    lines.rethrow();

    if (wait_error != 0)
        return {run_outcome::kind::not_started, wait_error};
    if (too_much)
        return {run_outcome::kind::too_much_output, static_cast<int>(output.bound())};
    const run_outcome outcome = outcome_of(status);
    if (kill_at && !(outcome.how == run_outcome::kind::exited && outcome.code == 0))
        return {run_outcome::kind::stopped, outcome.code};
    return outcome;
}

}  // namespace platform
