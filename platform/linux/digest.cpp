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

}  // namespace platform
