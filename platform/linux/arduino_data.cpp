#include "platform/arduino_data.h"

#include "platform/file_names.h"

namespace platform {

std::optional<std::filesystem::path> arduino_data_folder()
{
    if (const std::optional<std::filesystem::path> home = home_folder())
        return *home / ".arduino15";
    return std::nullopt;
}

}  // namespace platform
