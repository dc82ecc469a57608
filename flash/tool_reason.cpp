#include "flash/tool_reason.h"

#include <array>

namespace {

constexpr std::array<std::string_view, 2> message_markers = {"A fatal error occurred: ",
                                                             "A serial exception error occurred: "};
// Lines esptool prints after a message, not part of it.
constexpr std::array<std::string_view, 3> after_message = {"Hint: ", "Note: ", "For troubleshooting steps visit: "};
constexpr std::string_view usage_start = "usage: ";
constexpr std::string_view usage_error = ": error: ";
constexpr std::string_view traceback_start = "Traceback (most recent call last):";
// A tool that never ends its message does not fill the memory.
constexpr std::size_t longest_reason = 2000;

std::string_view trimmed(std::string_view line)
{
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return line.substr(first, line.find_last_not_of(" \t") - first + 1);
}

bool starts_with_any(std::string_view line, const auto& prefixes)
{
    for (const std::string_view prefix : prefixes)
        if (line.starts_with(prefix))
            return true;
    return false;
}

}  // namespace

void tool_reason::feed(std::string_view line)
{
    for (const std::string_view marker : message_markers) {
        if (const std::size_t at = line.find(marker); at != std::string_view::npos) {
            reason_ = std::string(trimmed(line.substr(at + marker.size())));
            state_ = reading::message;
            return;
        }
    }
    const bool indented = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    const std::string_view text = trimmed(line);
    if (text.starts_with(usage_start)) {
        state_ = reading::after_usage;
        return;
    }
    if (text == traceback_start) {
        state_ = reading::traceback;
        return;
    }

    switch (state_) {
    case reading::message:
        if (text.empty() || starts_with_any(text, after_message))
            state_ = reading::other;
        else if (reason_->size() + text.size() < longest_reason)
            *reason_ += " " + std::string(text);
        break;
    case reading::after_usage:
        if (const std::size_t at = text.find(usage_error); !indented && at != std::string_view::npos) {
            reason_ = std::string(text.substr(at + usage_error.size()));
            state_ = reading::other;
        }
        break;
    case reading::traceback:
        if (!indented && !text.empty()) {
            reason_ = std::string(text);
            state_ = reading::other;
        }
        break;
    case reading::other:
        break;
    }
}

std::string not_answering_hint(std::string_view reason, bool tried_again)
{
    if (reason.find("Failed to connect to ") == std::string_view::npos)
        return {};
    std::string hint = "The board did not answer: hold its BOOT button, press RESET, then release BOOT.";
    if (tried_again)
        hint += " It is flashed again when it comes back on USB.";
    return hint;
}
