#pragma once

// Shared by both systems: the order of version folder names (platform/version_order.cpp).

#include <string_view>

namespace platform {

// Whether version folder name a is older than b, as the Arduino IDE and
// PlatformIO name their version folders: "4.9" before "4.10", "4.10" before
// "4.10.1", "5.0.dev1" before "5.0.0", "3.0.0-rc1" before "3.0.0".
bool older_version(std::string_view a, std::string_view b);

}  // namespace platform
