#include "platform/arduino_data.h"

#include <cstdlib>

namespace platform {

std::optional<std::filesystem::path> arduino_data_folder()
{
    if (const wchar_t* local = ::_wgetenv(L"LOCALAPPDATA"); local != nullptr && *local != L'\0')
        return std::filesystem::path(local) / L"Arduino15";
    return std::nullopt;
}

}  // namespace platform
