#pragma once

// Seam: SHA-256 digests from the system's own library. platform/linux/digest.cpp (GLib's GChecksum),
// platform/windows/digest.cpp (BCrypt).

#include <string>
#include <string_view>

namespace platform {

// The SHA-256 digest of bytes, as 64 lower-case hexadecimal digits, from the
// system's own library. Throws std::runtime_error when it cannot be had.
std::string sha256_hex(std::string_view bytes);

// The same digest taken part by part, as bytes pass (a file being copied).
// Throws std::runtime_error when it cannot be had.
class sha256_digest {
public:
    sha256_digest();
    ~sha256_digest();
    sha256_digest(const sha256_digest&) = delete;
    sha256_digest& operator=(const sha256_digest&) = delete;

    void add(std::string_view bytes);
    // The digest of all that was added, as sha256_hex gives it; once.
    std::string hex();

private:
    void* state_ = nullptr;
    void* algorithm_ = nullptr;  // Windows
};

}  // namespace platform
