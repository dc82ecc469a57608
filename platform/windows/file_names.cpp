#include "platform/file_names.h"

#include "platform/windows/windows_text.h"

#include <cstdlib>

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

std::string utf8_path(const std::filesystem::path& path) { return windows::to_utf8(path.native()); }

std::filesystem::path path_from_utf8(std::string_view text) { return std::filesystem::path(windows::to_utf16(text)); }

std::optional<std::filesystem::path> home_folder()
{
    if (const wchar_t* profile = ::_wgetenv(L"USERPROFILE"); profile != nullptr && *profile != L'\0')
        return std::filesystem::path(profile);
    return std::nullopt;
}

}  // namespace platform
