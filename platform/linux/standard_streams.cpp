#include "platform/standard_streams.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

void open_missing_standard_streams() noexcept
{
    // Descriptors are handed out lowest first: each one opened here fills the
    // lowest closed standard one.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

}  // namespace platform
