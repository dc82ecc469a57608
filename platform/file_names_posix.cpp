#include "platform/file_names.h"

namespace platform {

// Names are bytes here, taken as they are (no path objects per entry: the
// firmware scan calls this for every entry of the tree).
std::string_view utf8_file_name(const std::filesystem::path& path, std::string&)
{
    const std::string& native = path.native();
    return std::string_view(native).substr(native.rfind('/') + 1);
}

}  // namespace platform
