#include "platform/esptool_lookup.h"

#include "platform/windows/windows_text.h"

#include <filesystem>
#include <system_error>
#include <windows.h>

// The runner starts ".\esptool.exe" as Windows does: from the working folder
// alone.
namespace platform {

std::optional<found_tool> locate_esptool()
{
    std::error_code error;
    const std::filesystem::path path = std::filesystem::absolute(L"esptool.exe", error);
    if (error)
        return std::nullopt;
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return std::nullopt;
    return found_tool{windows::to_utf8(path.wstring()), "in this folder"};
}

std::string esptool_places() { return "  this folder: esptool.exe\n"; }

}  // namespace platform
