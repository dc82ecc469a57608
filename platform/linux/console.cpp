#include "platform/console.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// One of our standard streams. A terminal or pipe gets a description of its
// own opened in non-blocking mode (setting O_NONBLOCK on the one we inherited
// would change it for the shell that shares it too); a socket is sent to
// without waiting; a file never holds a write up. Where none of that works, a
// small write is made only when poll says there is room.
class console {
public:
    explicit console(int fd) : standard_fd_(fd), fd_(fd) {}

    // From now on the stream is written through fd (a copy of the standard one).
    void move_to(int fd)
    {
        const std::lock_guard lock(mutex_);
        if (fd_ != standard_fd_)
            ::close(fd_);
        standard_fd_ = fd_ = fd;
        seen_ = {};
        kind_ = kind::file;
    }

    // Records: whole lines or nothing; a write the stream cannot take now is
    // tried again later, a disk that is full included.
    void write_record(std::string_view line)
    {
        const std::lock_guard lock(mutex_);
        records_ = true;
        open();
        if (backlog_.size() + line.size() <= console_backlog)
            backlog_.append(line);
        else
            ++lost_;
        flush();
    }

    void flush_records()
    {
        const std::lock_guard lock(mutex_);
        open();
        flush();
    }

    // Whether everything kept is written; otherwise waits until the stream
    // may take more, or at most wait.
    bool drained(std::chrono::milliseconds wait)
    {
        int fd = -1;
        bool poll_it = false;
        {
            const std::lock_guard lock(mutex_);
            open();
            flush();
            if (backlog_.empty())
                return true;
            fd = fd_;
            poll_it = kind_ != kind::file;
        }
        wait = std::min(wait, std::chrono::milliseconds(100));
        if (poll_it) {
            pollfd watched{fd, POLLOUT, 0};
            ::poll(&watched, 1, static_cast<int>(wait.count()));
        } else {
            ::poll(nullptr, 0, static_cast<int>(wait.count()));
        }
        return false;
    }

    // Gives up on the records still kept; returns how many were not written whole.
    std::size_t give_up()
    {
        const std::lock_guard lock(mutex_);
        lost_ += static_cast<std::size_t>(std::count(backlog_.begin(), backlog_.end(), '\n'));
        backlog_.clear();
        return lost_;
    }

    void write(std::string_view text)
    {
        const std::lock_guard lock(mutex_);
        open();
        if (backlog_.size() + text.size() <= console_backlog)
            backlog_.append(text);
        else
            dropped_ += text.size();
        flush();
        if (dropped_ > 0 && backlog_.empty()) {
            backlog_ = "[" + std::to_string(dropped_) + " bytes of output not shown: the terminal did not take them]\n";
            dropped_ = 0;
            flush();
        }
    }

private:
    enum class kind { file, own_non_blocking, socket, polled };

    // Looks at what the stream is now (it may have been redirected since the
    // last write), and opens a description of our own for it when needed.
    void open()
    {
        struct stat status {};
        if (::fstat(standard_fd_, &status) != 0)
            status = {};
        if (status.st_dev == seen_.st_dev && status.st_ino == seen_.st_ino && status.st_mode == seen_.st_mode)
            return;
        seen_ = status;
        if (fd_ != standard_fd_)
            ::close(fd_);
        fd_ = standard_fd_;
        if (status.st_mode == 0 || S_ISREG(status.st_mode) || S_ISBLK(status.st_mode)) {
            kind_ = kind::file;
            return;
        }
        if (S_ISSOCK(status.st_mode)) {
            kind_ = kind::socket;
            return;
        }
        const std::string path = "/proc/self/fd/" + std::to_string(standard_fd_);
        const int own = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (own >= 0) {
            fd_ = own;
            kind_ = kind::own_non_blocking;
        } else {
            kind_ = kind::polled;
        }
    }

    // Writes what can be written now.
    void flush()
    {
        while (!backlog_.empty()) {
            std::size_t size = backlog_.size();
            if (kind_ == kind::polled) {
                pollfd watched{fd_, POLLOUT, 0};
                if (::poll(&watched, 1, 0) != 1 || (watched.revents & POLLOUT) == 0)
                    return;
                size = std::min<std::size_t>(size, 512);  // fits in the room poll reported
            }
            const ssize_t written = kind_ == kind::socket
                                        ? ::send(fd_, backlog_.data(), size, MSG_DONTWAIT | MSG_NOSIGNAL)
                                        : ::write(fd_, backlog_.data(), size);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0) {
                const int error = written < 0 ? errno : ENOSPC;
                if (error == EAGAIN || error == EWOULDBLOCK)
                    return;
                if (records_ && (error == ENOSPC || error == EDQUOT))
                    return;  // a full disk: the rest goes out once there is room
                // Gone for good: nothing to keep it for.
                if (records_)
                    lost_ += static_cast<std::size_t>(std::count(backlog_.begin(), backlog_.end(), '\n'));
                backlog_.clear();
                return;
            }
            backlog_.erase(0, static_cast<std::size_t>(written));
        }
    }

    std::mutex mutex_;
    int standard_fd_;  // guarded by mutex_, as is everything below
    int fd_;
    struct stat seen_ {};
    kind kind_ = kind::file;
    std::string backlog_;
    std::size_t dropped_ = 0;
    bool records_ = false;  // the backlog holds whole records
    std::size_t lost_ = 0;  // records not written whole
};

std::atomic<bool> output_for_records = false;

console& console_for(console_stream stream)
{
    static console output(STDOUT_FILENO);
    static console error(STDERR_FILENO);
    return stream == console_stream::output ? output : error;
}

}  // namespace

void write_console(console_stream stream, std::string_view text)
{
    if (output_for_records)
        stream = console_stream::error;
    try {
        console_for(stream).write(text);
    } catch (...) {
        // Out of memory for the backlog: the text is not shown.
    }
}

bool write_output_whole(std::string_view text)
{
    while (!text.empty()) {
        const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
        if (written > 0) {
            text.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A descriptor made non-blocking by whoever shares it: wait for room.
            pollfd watched{STDOUT_FILENO, POLLOUT, 0};
            if (::poll(&watched, 1, -1) < 0 && errno != EINTR)
                return false;
            continue;
        }
        return false;
    }
    return true;
}

void keep_output_for_records()
{
    output_for_records = true;
    // Records go out through a descriptor of their own, and standard output
    // becomes a second standard error: whatever else writes to descriptor 1
    // (a library, a program we start) cannot get between the records.
    const int records = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (records < 0)
        return;
    console_for(console_stream::output).move_to(records);
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
}

void write_record(std::string_view line)
{
    try {
        console_for(console_stream::output).write_record(line);
    } catch (...) {
        // Out of memory: the record is not shown here (it is in the record file).
    }
}

void flush_records()
{
    try {
        console_for(console_stream::output).flush_records();
    } catch (...) {
    }
}

std::size_t drain_records(std::chrono::milliseconds limit)
{
    console& output = console_for(console_stream::output);
    const auto give_up_at = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up_at - std::chrono::steady_clock::now());
        if (left.count() <= 0 || output.drained(left))
            break;
    }
    return output.give_up();
}

}  // namespace platform
