#include "platform/console.h"

#include <cstdio>
#include <mutex>

// Windows: written as it comes for now.
namespace platform {

void write_console(console_stream stream, std::string_view text)
{
    static std::mutex mutex;
    const std::lock_guard lock(mutex);
    std::FILE* file = stream == console_stream::output ? stdout : stderr;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fflush(file);
}

}  // namespace platform
