// Whatever text a stream is given, its event is "data: ", then the text with
// every control character replaced, then the two line feeds that end it: no
// input can end the event early or add a field of its own.

#include "web/event_stream.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string payload = event_payload(text);

    require(payload.size() >= 8);
    require(payload.compare(0, 6, "data: ") == 0);
    require(payload.compare(payload.size() - 2, 2, "\n\n") == 0);
    const std::string_view body = std::string_view(payload).substr(6, payload.size() - 8);
    size_t controls = 0;
    for (const char c : text)
        controls += static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    for (const char c : body)
        require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    require(body.size() == text.size() + 2 * controls);
    // A text without control characters goes out unchanged.
    if (controls == 0)
        require(body == text);
    return 0;
}
