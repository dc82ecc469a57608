#pragma once

// Seam: where the Arduino IDE keeps its data. platform/linux/arduino_data.cpp (the home folder),
// platform/windows/arduino_data.cpp (%LOCALAPPDATA%).

#include <filesystem>
#include <optional>

namespace platform {

// The Arduino IDE's data folder, where its boards packages and tools go:
// ~/.arduino15 on Linux, %LOCALAPPDATA%\Arduino15 on Windows. Whether it
// exists is not looked at. Nothing when the user's folders cannot be told.
std::optional<std::filesystem::path> arduino_data_folder();

}  // namespace platform
