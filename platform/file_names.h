#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

// The last element of path as UTF-8 text, whatever the system's own form of
// names is. Returns a view into path or into buffer; valid while both are.
std::string_view utf8_file_name(const std::filesystem::path& path, std::string& buffer);

}  // namespace platform
