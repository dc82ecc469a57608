#include "platform/standard_streams.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace platform {

// A program started without standard streams (from Explorer, or with one
// closed) has none at descriptors 0, 1 and 2: each gets the null device, so
// that what is written there goes nowhere instead of into a file opened later.
void open_missing_standard_streams() noexcept
{
    for (int fd = 0; fd <= 2; ++fd) {
        const intptr_t handle = ::_get_osfhandle(fd);
        if (handle != -1 && handle != -2 && handle != 0)
            continue;
        const int null = ::_wopen(L"NUL", (fd == 0 ? _O_RDONLY : _O_WRONLY) | _O_BINARY);
        if (null >= 0 && null != fd) {
            ::_dup2(null, fd);
            ::_close(null);
        }
    }
}

}  // namespace platform
