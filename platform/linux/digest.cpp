#include "platform/digest.h"

#include <glib.h>
#include <stdexcept>

namespace platform {

std::string sha256_hex(std::string_view bytes)
{
    gchar* digest = g_compute_checksum_for_data(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(bytes.data()),
                                                bytes.size());
    if (digest == nullptr)
        throw std::runtime_error("no SHA-256 digest to be had");
    std::string hex(digest);
    g_free(digest);
    return hex;
}

sha256_digest::sha256_digest() : state_(g_checksum_new(G_CHECKSUM_SHA256))
{
    if (state_ == nullptr)
        throw std::runtime_error("no SHA-256 digest to be had");
}

sha256_digest::~sha256_digest() { g_checksum_free(static_cast<GChecksum*>(state_)); }

void sha256_digest::add(std::string_view bytes)
{
    g_checksum_update(static_cast<GChecksum*>(state_), reinterpret_cast<const guchar*>(bytes.data()),
                      static_cast<gssize>(bytes.size()));
}

std::string sha256_digest::hex() { return g_checksum_get_string(static_cast<GChecksum*>(state_)); }

}  // namespace platform
