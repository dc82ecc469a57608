#pragma once

// Seam: SHA-256 digests from the system's own library. platform/linux/digest.cpp (GLib's GChecksum),
// platform/windows/digest.cpp (BCrypt).

#include <string>
#include <string_view>

namespace platform {

// The SHA-256 digest of bytes, as 64 lower-case hexadecimal digits, from the
// system's own library. Throws std::runtime_error when it cannot be had.
std::string sha256_hex(std::string_view bytes);

}  // namespace platform
