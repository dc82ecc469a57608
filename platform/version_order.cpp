#include "platform/version_order.h"

#include <algorithm>
#include <string>
#include <vector>

namespace platform {
namespace {

// One part of a version: a number, or text (a pre-release tag such as "dev1").
struct version_part {
    bool number;
    std::string_view text;
};

std::vector<version_part> version_parts(std::string_view version)
{
    std::vector<version_part> parts;
    std::size_t start = 0;
    while (start <= version.size()) {
        std::size_t end = version.find_first_of(".-_+", start);
        if (end == std::string_view::npos)
            end = version.size();
        const std::string_view text = version.substr(start, end - start);
        const bool number = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (!text.empty())
            parts.push_back({number, text});
        start = end + 1;
    }
    return parts;
}

// <0, 0, >0 as a is older than, as old as, newer than b; numbers compare by
// value (with any length of digits), text is older than any number.
int compare_parts(const version_part& a, const version_part& b)
{
    if (a.number != b.number)
        return a.number ? 1 : -1;
    if (!a.number)
        return a.text.compare(b.text);
    const auto significant = [](std::string_view digits) {
        const std::size_t first = digits.find_first_not_of('0');
        return first == std::string_view::npos ? std::string_view() : digits.substr(first);
    };
    const std::string_view x = significant(a.text), y = significant(b.text);
    if (x.size() != y.size())
        return x.size() < y.size() ? -1 : 1;
    return x.compare(y);
}

}  // namespace

bool older_version(std::string_view a, std::string_view b)
{
    const std::vector<version_part> x = version_parts(a), y = version_parts(b);
    for (std::size_t i = 0; i < std::max(x.size(), y.size()); ++i) {
        if (i == x.size())  // "5.0" is newer than "5.0.dev1", older than "5.0.1"
            return y[i].number;
        if (i == y.size())
            return !x[i].number;
        if (const int order = compare_parts(x[i], y[i]); order != 0)
            return order < 0;
    }
    return false;
}

}  // namespace platform
