#pragma once

// Seam: file names as UTF-8 text. platform/linux/file_names.cpp, platform/windows/file_names.cpp (UTF-16 at every
// call).

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The last element of path as UTF-8 text, whatever the system's own form of
// names is. Returns a view into path or into buffer; valid while both are.
std::string_view utf8_file_name(const std::filesystem::path& path, std::string& buffer);

// The whole path as UTF-8 text, for messages.
std::string utf8_path(const std::filesystem::path& path);

// The path named by UTF-8 text (a name read with utf8_file_name, say).
std::filesystem::path path_from_utf8(std::string_view text);

// The user's home folder, or nothing when it cannot be told.
std::optional<std::filesystem::path> home_folder();

}  // namespace platform
