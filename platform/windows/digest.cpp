#include "platform/digest.h"

#include <windows.h>

#include <bcrypt.h>
#include <stdexcept>
#include <vector>

namespace platform {

std::string sha256_hex(std::string_view bytes)
{
    sha256_digest digest;
    digest.add(bytes);
    return digest.hex();
}

sha256_digest::sha256_digest()
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        throw std::runtime_error("no SHA-256 digest to be had");
    if (!BCRYPT_SUCCESS(::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
        ::BCryptCloseAlgorithmProvider(algorithm, 0);
        throw std::runtime_error("no SHA-256 digest to be had");
    }
    algorithm_ = algorithm;
    state_ = hash;
}

sha256_digest::~sha256_digest()
{
    ::BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(state_));
    ::BCryptCloseAlgorithmProvider(static_cast<BCRYPT_ALG_HANDLE>(algorithm_), 0);
}

void sha256_digest::add(std::string_view bytes)
{
    for (std::size_t at = 0; at < bytes.size();) {
        const ULONG part = static_cast<ULONG>(std::min<std::size_t>(bytes.size() - at, 1u << 30));
        if (!BCRYPT_SUCCESS(::BCryptHashData(static_cast<BCRYPT_HASH_HANDLE>(state_),
                                             reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data() + at)), part, 0)))
            throw std::runtime_error("no SHA-256 digest to be had");
        at += part;
    }
}

std::string sha256_digest::hex()
{
    unsigned char digest[32] = {};
    if (!BCRYPT_SUCCESS(::BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(state_), digest, sizeof digest, 0)))
        throw std::runtime_error("no SHA-256 digest to be had");
    constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : digest) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0xF];
    }
    return hex;
}

}  // namespace platform
