#include "flash/page_text.h"

#include <fmt/core.h>

namespace {

// Length of the well-formed UTF-8 sequence at the start of s, or 0.
std::size_t utf8_sequence_length(std::string_view s)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    return length;
}

// Whether the UTF-8 sequence at the start of s, of the given length, is a
// control character: C0, DEL, C1, and the characters that change the
// direction or the lines of the text around them, which could make a name
// display as another (U+061C, U+200E, U+200F, U+2028 to U+202E, U+2066 to
// U+2069).
bool is_control(std::string_view s, std::size_t length)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    if (length == 1)
        return byte(0) < 0x20 || byte(0) == 0x7F;
    if (length == 2)
        return (byte(0) == 0xC2 && byte(1) <= 0x9F) || (byte(0) == 0xD8 && byte(1) == 0x9C);
    if (length == 3 && byte(0) == 0xE2 && byte(1) == 0x80)
        return byte(2) == 0x8E || byte(2) == 0x8F || (byte(2) >= 0xA8 && byte(2) <= 0xAE);
    if (length == 3 && byte(0) == 0xE2 && byte(1) == 0x81)
        return byte(2) >= 0xA6 && byte(2) <= 0xA9;
    return false;
}

}  // namespace

namespace {

std::string safe_text(std::string_view outside, bool as_markup)
{
    std::string result;
    result.reserve(outside.size());
    while (!outside.empty()) {
        const std::size_t length = utf8_sequence_length(outside);
        if (length == 0 || is_control(outside, length)) {
            result += "\xEF\xBF\xBD";
            outside.remove_prefix(length == 0 ? 1 : length);
            continue;
        }
        if (length == 1 && as_markup) {
            switch (outside[0]) {
            case '&': result += "&amp;"; break;
            case '<': result += "&lt;"; break;
            case '>': result += "&gt;"; break;
            case '"': result += "&quot;"; break;
            default: result += outside[0];
            }
        } else {
            result.append(outside.substr(0, length));
        }
        outside.remove_prefix(length);
    }
    return result;
}

}  // namespace

std::string page_text(std::string_view outside) { return safe_text(outside, true); }

std::string plain_text(std::string_view outside) { return safe_text(outside, false); }

std::string repaired_utf8(std::string_view outside)
{
    std::string result;
    result.reserve(outside.size());
    while (!outside.empty()) {
        const std::size_t length = utf8_sequence_length(outside);
        if (length == 0)
            result += "\xEF\xBF\xBD";
        else
            result.append(outside.substr(0, length));
        outside.remove_prefix(length == 0 ? 1 : length);
    }
    return result;
}

std::optional<std::string> first_control(std::string_view outside)
{
    while (!outside.empty()) {
        const std::size_t length = utf8_sequence_length(outside);
        const auto lead = static_cast<unsigned char>(outside[0]);
        if (length == 0 && lead >= 0x80 && lead <= 0x9F)
            return fmt::format("the byte 0x{:02X}", lead);
        if (length == 1 && (lead < 0x20 || lead == 0x7F))
            return fmt::format("U+{:04X}", lead);
        if (length == 2 && lead == 0xC2 && static_cast<unsigned char>(outside[1]) <= 0x9F)
            return fmt::format("U+{:04X}", static_cast<unsigned char>(outside[1]));
        outside.remove_prefix(length == 0 ? 1 : length);
    }
    return std::nullopt;
}
