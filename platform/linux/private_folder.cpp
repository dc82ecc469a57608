#include "platform/private_folder.h"

#include "platform/digest.h"
#include "platform/file_names.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fmt/core.h>
#include <set>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace platform {
namespace {

// mkdtemp's part of the name.
constexpr std::size_t own_characters = 6;

// Made in each folder once it is locked, and given the name of each file
// before that file is made: a folder left behind is removed only when its
// marker proves it a copy of ours and names everything else in it.
constexpr char marker_name[] = ".vornhale-copy";
constexpr std::string_view marker_start = "A private copy of Vornhale's; its files:\n";

std::string why() { return std::strerror(errno); }

// The temporary folder the environment names (TMPDIR, or the others the C++
// library reads), an empty value counting as unset; /tmp when none is set.
// Throws, naming the variable and its value, when that is no folder.
struct temporary_folder {
    fs::path path = "/tmp";
    std::string named_by;  // the variable, when one named it
};
temporary_folder find_temporary_folder()
{
    for (const char* variable : {"TMPDIR", "TMP", "TEMP", "TEMPDIR"}) {
        const char* value = std::getenv(variable);
        if (value == nullptr || *value == '\0')
            continue;
        std::error_code error;
        if (!fs::is_directory(value, error))
            throw std::runtime_error(fmt::format("cannot use {}={} as the temporary folder: {}; set {} to a folder of "
                                                 "yours, or unset it",
                                                 variable, value,
                                                 error ? error.message() : std::string("it is not a folder"), variable));
        return {value, variable};
    }
    return {};
}

class fd_closer {
public:
    explicit fd_closer(int fd) : fd_(fd) {}
    ~fd_closer()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    fd_closer(const fd_closer&) = delete;
    fd_closer& operator=(const fd_closer&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Writes all of bytes; false with errno when it cannot.
bool write_all(int fd, const char* bytes, std::size_t size)
{
    while (size > 0) {
        const ssize_t put = ::write(fd, bytes, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            if (put == 0)
                errno = ENOSPC;
            return false;
        }
        bytes += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

// Whether the folder (open as folder, at path) is provably a copy of ours:
// its marker is there and names each other entry, and each is a file.
bool only_a_copy(int folder, const fs::path& path)
{
    const fd_closer marker(::openat(folder, marker_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat status {};
    if (marker.get() < 0 || ::fstat(marker.get(), &status) != 0 || !S_ISREG(status.st_mode)
        || status.st_size > 64 * 1024)
        return false;
    std::string text(static_cast<std::size_t>(status.st_size), '\0');
    if (::pread(marker.get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())
        || !text.starts_with(marker_start))
        return false;
    std::set<std::string, std::less<>> names{marker_name};
    for (std::size_t at = marker_start.size(), end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        names.insert(text.substr(at, end - at));
    std::error_code error;
    for (fs::directory_iterator entry(path, error), end; entry != end; entry.increment(error)) {
        if (error || !names.contains(entry->path().filename().string())
            || !fs::is_regular_file(entry->symlink_status(error)) || error)
            return false;
    }
    return !error;
}

}  // namespace

private_folder::private_folder(std::string_view prefix)
{
    const temporary_folder found = find_temporary_folder();
    const fs::path& temporary = found.path;
    // mkdtemp makes it 0700 (or narrower, by the umask) at once.
    std::string name = (temporary / (std::string(prefix) + std::string(own_characters, 'X'))).string();
    if (::mkdtemp(name.data()) == nullptr)
        throw std::runtime_error(fmt::format("cannot make a folder in {}{}: {}", utf8_path(temporary),
                                             found.named_by.empty() ? "" : " (" + found.named_by + ")", why()));
    path_ = name;
    const int fd = ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || ::fchmod(fd, S_IRWXU) != 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const std::string reason = why();
        if (fd >= 0)
            ::close(fd);
        ::rmdir(name.c_str());
        throw std::runtime_error(fmt::format("cannot make a folder in {}: {}", utf8_path(temporary), reason));
    }
    lock_ = fd;
    marker_ = ::openat(fd, marker_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, S_IRUSR | S_IWUSR);
    if (marker_ < 0 || !write_all(static_cast<int>(marker_), marker_start.data(), marker_start.size())) {
        const std::string reason = why();
        std::error_code error;
        fs::remove_all(path_, error);
        if (marker_ >= 0)
            ::close(static_cast<int>(marker_));
        ::close(fd);
        throw std::runtime_error(fmt::format("cannot make a folder in {}: {}", utf8_path(temporary), reason));
    }
}

private_folder::~private_folder()
{
    std::error_code error;
    fs::remove_all(path_, error);
    ::close(static_cast<int>(marker_));
    ::close(static_cast<int>(lock_));
}

private_folder::copied private_folder::copy_in(const fs::path& source, std::string_view name, std::uintmax_t most,
                                               const std::atomic<bool>* stop) const
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos)
        throw std::runtime_error(fmt::format("cannot copy {}: not a file name", name));
    // Without waiting on a FIFO; only a regular file is copied.
    const fd_closer from(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat status {};
    if (from.get() < 0 || ::fstat(from.get(), &status) != 0)
        throw std::runtime_error(fmt::format("cannot read {}: {}", utf8_path(source), why()));
    if (!S_ISREG(status.st_mode))
        throw std::runtime_error(fmt::format("cannot read {}: it is not a regular file", utf8_path(source)));
    const std::string copy(name);
    const std::string listed = copy + "\n";
    if (!write_all(static_cast<int>(marker_), listed.data(), listed.size()))
        throw std::runtime_error(fmt::format("cannot copy {} to {}: {}", copy, utf8_path(path_), why()));
    const fd_closer to(::openat(static_cast<int>(lock_), copy.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, S_IRUSR | S_IWUSR));
    const auto cannot_copy = [&] {
        return std::runtime_error(fmt::format("cannot copy {} to {}: {}", copy, utf8_path(path_), why()));
    };
    if (to.get() < 0)
        throw cannot_copy();
    copied result;
    sha256_digest digest;
    char buffer[64 * 1024];
    while (true) {
        if (stop != nullptr && *stop)
            throw stopped();
        const std::size_t want = static_cast<std::size_t>(std::min<std::uintmax_t>(sizeof buffer, most - result.size));
        // One byte past the most tells whether there is more.
        const ssize_t got = ::read(from.get(), buffer, want > 0 ? want : 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw std::runtime_error(fmt::format("cannot read {}: {}", utf8_path(source), why()));
        if (got == 0)
            break;
        if (want == 0) {
            result.beyond = true;
            break;
        }
        digest.add(std::string_view(buffer, static_cast<std::size_t>(got)));
        if (!write_all(to.get(), buffer, static_cast<std::size_t>(got)))
            throw cannot_copy();
        result.size += static_cast<std::size_t>(got);
    }
    result.sha256 = digest.hex();
    return result;
}

void remove_left_private_folders(std::string_view prefix)
{
    fs::path temporary;
    try {
        temporary = find_temporary_folder().path;
    } catch (const std::runtime_error&) {
        return;  // said when the copy is made
    }
    std::error_code error;
    for (fs::directory_iterator entry(temporary, error), end; !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (!name.starts_with(prefix) || name.size() != prefix.size() + own_characters)
            continue;
        struct stat named {};
        if (::lstat(entry->path().c_str(), &named) != 0 || !S_ISDIR(named.st_mode) || named.st_uid != ::getuid()
            || (named.st_mode & (S_IRWXG | S_IRWXO)) != 0)
            continue;
        // The folder itself, never what a link names; in use while its maker holds the lock.
        const fd_closer folder(::open(entry->path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat opened {};
        if (folder.get() < 0 || ::fstat(folder.get(), &opened) != 0 || opened.st_ino != named.st_ino
            || opened.st_dev != named.st_dev || ::flock(folder.get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        std::error_code ignored;
        if (only_a_copy(folder.get(), entry->path()))
            fs::remove_all(entry->path(), ignored);
    }
}

}  // namespace platform
