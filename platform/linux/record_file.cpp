#include "platform/record_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/file_names.h"

namespace platform {

std::optional<std::filesystem::path> records_folder()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/')
        return std::filesystem::path(state) / "vornhale" / "records";
    const std::optional<std::filesystem::path> home = home_folder();
    if (!home)
        return std::nullopt;
    return *home / ".local" / "state" / "vornhale" / "records";
}

namespace {

bool refused(const struct stat& status)
{
    return S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || S_ISDIR(status.st_mode);
}

// What path's last name is: no link (or nothing), a link this user made, or
// another user's, which is never followed, in a sticky folder or not (as the
// kernel's protected_symlinks would in one).
enum class last_name { plain, own_link, foreign_link };
last_name last_name_of(const std::filesystem::path& path)
{
    struct stat named {};
    if (::lstat(path.c_str(), &named) != 0 || !S_ISLNK(named.st_mode))
        return last_name::plain;
    return named.st_uid == ::geteuid() ? last_name::own_link : last_name::foreign_link;
}

}  // namespace

std::optional<std::string_view> record_path_refusal(const std::filesystem::path& path)
{
    if (last_name_of(path) == last_name::foreign_link)
        return not_followed;
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && refused(status))
        return not_a_regular_file;
    return std::nullopt;
}

record_file::~record_file()
{
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
}

std::string record_file::open(const std::filesystem::path& path, bool only_new)
{
    const last_name named = last_name_of(path);
    if (named == last_name::foreign_link)
        return std::string(not_followed);
    // Without waiting: a FIFO nobody reads would hold the open (and the
    // station's start) for good, a device its writes. Never through a last
    // link this user did not make, not even one put there since the look.
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (only_new ? O_EXCL : 0)
                      | (named == last_name::own_link ? 0 : O_NOFOLLOW);
    const int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0 && errno == ELOOP && last_name_of(path) == last_name::foreign_link)
        return std::string(not_followed);
    if (fd < 0 && only_new && errno == EEXIST)
        return std::string(already_there);
    struct stat status {};
    if (fd < 0 && errno == ENXIO && ::stat(path.c_str(), &status) == 0 && refused(status))
        return std::string(not_a_regular_file);
    if (fd < 0)
        return std::strerror(errno);
    if (::fstat(fd, &status) != 0 || refused(status)) {
        ::close(fd);
        return std::string(not_a_regular_file);
    }
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
    handle_ = fd;
    // The file's name, too, must survive a crash.
    const int folder = ::open(path.parent_path().empty() ? "." : path.parent_path().c_str(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return {};
}

bool record_file::is_open() const { return handle_ >= 0; }

std::string record_file::append(std::string_view text, std::size_t& written)
{
    written = 0;
    const int fd = static_cast<int>(handle_);
    while (written < text.size()) {
        const ssize_t got = ::write(fd, text.data() + written, text.size() - written);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return std::strerror(got < 0 ? errno : ENOSPC);
        written += static_cast<std::size_t>(got);
    }
    while (::fsync(fd) != 0)
        if (errno != EINTR)
            return std::strerror(errno);
    return {};
}

}  // namespace platform

namespace platform {

std::string record_file::reserve(std::size_t bytes)
{
    const int fd = static_cast<int>(handle_);
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return std::strerror(errno);
    if (!S_ISREG(status.st_mode))
        return {};  // nothing to set aside: what it takes shows as it writes
    int result;
    while ((result = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, status.st_size, static_cast<off_t>(bytes))) != 0
           && errno == EINTR) {
    }
    if (result != 0 && errno != EOPNOTSUPP && errno != ENOSYS)
        return std::strerror(errno);
    struct statvfs space {};
    if (result != 0 && ::fstatvfs(fd, &space) == 0 && space.f_bavail * space.f_frsize < bytes)
        return std::strerror(ENOSPC);  // a file system that sets nothing aside: its free room, then
    while (::fsync(fd) != 0)
        if (errno != EINTR)
            return std::strerror(errno);
    return {};
}

}  // namespace platform
