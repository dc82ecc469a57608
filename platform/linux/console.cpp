#include "platform/console.h"

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
                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    backlog_.clear();  // gone for good: nothing to keep it for
                return;
            }
            backlog_.erase(0, static_cast<std::size_t>(written));
        }
    }

    std::mutex mutex_;
    const int standard_fd_;
    int fd_;  // guarded by mutex_, as is everything below
    struct stat seen_ {};
    kind kind_ = kind::file;
    std::string backlog_;
    std::size_t dropped_ = 0;
};

console& console_for(console_stream stream)
{
    static console output(STDOUT_FILENO);
    static console error(STDERR_FILENO);
    return stream == console_stream::output ? output : error;
}

}  // namespace

void write_console(console_stream stream, std::string_view text)
{
    try {
        console_for(stream).write(text);
    } catch (...) {
        // Out of memory for the backlog: the text is not shown.
    }
}

}  // namespace platform
