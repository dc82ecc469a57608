#include "platform/file_names.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace platform {

// Names are bytes here, taken as they are (no path objects per entry: the
// firmware scan calls this for every entry of the tree).
std::string_view utf8_file_name(const std::filesystem::path& path, std::string&)
{
    const std::string& native = path.native();
    return std::string_view(native).substr(native.rfind('/') + 1);
}

std::string utf8_path(const std::filesystem::path& path) { return path.native(); }

std::filesystem::path path_from_utf8(std::string_view text) { return std::filesystem::path(std::string(text)); }

std::optional<std::filesystem::path> home_folder()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return std::filesystem::path(home);
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr)
        return std::filesystem::path(entry->pw_dir);
    return std::nullopt;
}

}  // namespace platform
