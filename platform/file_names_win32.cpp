#include "platform/file_names.h"

#include "platform/windows_text.h"

namespace platform {

// Names are UTF-16 here. They are converted as UTF-8, not through the
// process's code page, which would turn every character outside it into
// something else and so name a file that does not exist.
std::string_view utf8_file_name(const std::filesystem::path& path, std::string& buffer)
{
    const std::wstring& native = path.native();
    const std::size_t slash = native.find_last_of(L"\\/");
    buffer = windows::to_utf8(std::wstring_view(native).substr(slash == std::wstring::npos ? 0 : slash + 1));
    return buffer;
}

}  // namespace platform
