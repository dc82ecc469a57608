#include "station/summary.h"

#include "flash/board_presence.h"
#include "flash/page_text.h"
#include "platform/console.h"
#include "platform/file_names.h"
#include "platform/record_file.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fmt/core.h>
#include <fstream>
#include <system_error>

namespace batch {
namespace {

constexpr std::size_t max_tenths = 36000;  // an hour
constexpr std::string_view ellipsis = "\u2026";

// Whether text at i starts a MAC spelt with colons or dashes between its six
// pairs of digits ("F4:12:FA:00:00:01"); its length when it does.
std::size_t mac_at(std::string_view text, std::size_t i)
{
    constexpr std::size_t length = 17;
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    // Twelve digits and five separators, none at either end: one between each two pairs.
    if (text.size() - i < length || blank(text[i]) || blank(text[i + length - 1]))
        return 0;
    return board_presence::mac_value(text.substr(i, length)) ? length : 0;
}

void replace_all(std::string& text, std::string_view what)
{
    if (what.size() < 3)
        return;  // too short to be sure it names the board
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + ellipsis.size()))
        text.replace(at, what.size(), ellipsis);
}

// text cut to at most bytes, at a character's start.
std::string cut(std::string text, std::size_t bytes)
{
    if (text.size() <= bytes)
        return text;
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    text.resize(end);
    return text + std::string(ellipsis);
}

// How many columns text takes: one a character.
std::size_t columns(std::string_view text)
{
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// text broken into lines of at most width columns at blanks (a word longer
// than a line is broken where the line ends), the first after first, the
// others after indent.
std::string wrapped(std::string_view text, std::string_view first, std::size_t indent, std::size_t width = 80)
{
    std::string out(first);
    std::size_t used = columns(first);
    const std::size_t room = width - indent;
    bool line_empty = true;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t blank = text.find(' ', i);
        std::string_view word = text.substr(i, blank == std::string_view::npos ? std::string_view::npos : blank - i);
        i = blank == std::string_view::npos ? text.size() : blank + 1;
        if (word.empty())
            continue;
        while (!word.empty()) {
            const std::size_t need = columns(word) + (line_empty ? 0 : 1);
            if (used + need <= width) {
                if (!line_empty)
                    out += ' ';
                out += word;
                used += need;
                line_empty = false;
                break;
            }
            if (!line_empty) {
                out += "\n" + std::string(indent, ' ');
                used = indent;
                line_empty = true;
                continue;
            }
            // A word wider than a whole line: as much of it as fits.
            std::size_t bytes = 0, taken = 0;
            while (bytes < word.size() && taken < room) {
                ++bytes;
                while (bytes < word.size() && (static_cast<unsigned char>(word[bytes]) & 0xC0) == 0x80)
                    ++bytes;
                ++taken;
            }
            out += word.substr(0, bytes);
            word.remove_prefix(bytes);
            used += taken;
            line_empty = false;
        }
    }
    return out + "\n";
}

std::string span_text(std::int64_t seconds)
{
    if (seconds < 60)
        return fmt::format("{} s", seconds);
    if (seconds < 3600)
        return fmt::format("{} min {} s", seconds / 60, seconds % 60);
    if (seconds < 86400)
        return fmt::format("{} h {} min", seconds / 3600, seconds % 3600 / 60);
    return fmt::format("{} d {} h", seconds / 86400, seconds % 86400 / 3600);
}

std::string rate_text(double per_hour)
{
    return per_hour >= 10 ? fmt::format("{:.0f}", per_hour) : fmt::format("{:.1f}", per_hour);
}

std::string count_text(std::size_t n, std::string_view one, std::string_view many)
{
    return fmt::format("{} {}", n, n == 1 ? one : many);
}

std::string csv_field(std::string_view raw)
{
    std::string text = plain_text(raw);
    // A spreadsheet takes a cell that starts so for a formula.
    if (!text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '-' || text[0] == '@'))
        text.insert(0, 1, '\'');
    if (text.find_first_of(",\"\r\n") == std::string::npos && (text.empty() || (text.front() != ' ' && text.back() != ' ')))
        return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

// The standard output of the summary: written in large parts, each as a
// whole; after the stream refused one, nothing more is.
class output {
public:
    void add(std::string_view text)
    {
        buffer_ += text;
        if (buffer_.size() >= 64 * 1024)
            flush();
    }
    bool flush()
    {
        if (open_ && !buffer_.empty())
            open_ = platform::write_output_whole(buffer_);
        buffer_.clear();
        return open_;
    }
    bool open() const { return open_; }

private:
    std::string buffer_;
    bool open_ = true;
};

// Reads the lines of one file, each at most max_line bytes (a longer one is
// read to its end and given as no record).
class line_reader {
public:
    static constexpr std::size_t max_line = 1024 * 1024;

    explicit line_reader(std::istream& in) : in_(in) {}

    // The next line without its line end; nothing at the end of the file.
    // too_long: the line was longer than max_line (line holds a part of it).
    std::optional<std::string_view> next(bool& too_long)
    {
        too_long = false;
        line_.clear();
        for (;;) {
            if (at_ == got_) {
                if (!in_)
                    break;
                in_.read(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
                got_ = static_cast<std::size_t>(in_.gcount());
                at_ = 0;
                if (got_ == 0)
                    break;
            }
            const char* start = buffer_.data() + at_;
            const char* end = static_cast<const char*>(std::memchr(start, '\n', got_ - at_));
            const std::size_t length = end ? static_cast<std::size_t>(end - start) : got_ - at_;
            if (line_.size() + length <= max_line)
                line_.append(start, length);
            else
                too_long = true;
            at_ += length;
            if (end) {
                ++at_;
                return finished();
            }
            any_ = true;
        }
        if (line_.empty() && !too_long && !any_)
            return std::nullopt;
        any_ = false;
        return finished();
    }

    bool failed() const { return in_.bad(); }

private:
    std::string_view finished()
    {
        any_ = false;
        if (!line_.empty() && line_.back() == '\r')
            line_.pop_back();
        return line_;
    }

    std::istream& in_;
    std::array<char, 64 * 1024> buffer_{};
    std::size_t at_ = 0, got_ = 0;
    std::string line_;
    bool any_ = false;  // a part of an unfinished line was read
};

}  // namespace

std::optional<std::int64_t> parse_time(std::string_view utc)
{
    if (utc.size() != 20 || utc[4] != '-' || utc[7] != '-' || utc[10] != 'T' || utc[13] != ':' || utc[16] != ':'
        || utc[19] != 'Z')
        return std::nullopt;
    const auto number = [&](std::size_t at, std::size_t digits) -> int {
        int value = 0;
        for (std::size_t i = at; i < at + digits; ++i) {
            if (utc[i] < '0' || utc[i] > '9')
                return -1;
            value = value * 10 + (utc[i] - '0');
        }
        return value;
    };
    const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
    const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    if (year < 0 || month < 0 || day < 0 || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0
        || second > 60)
        return std::nullopt;
    using namespace std::chrono;
    const year_month_day date{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                              std::chrono::day{static_cast<unsigned>(day)}};
    if (!date.ok())
        return std::nullopt;
    return sys_days{date}.time_since_epoch().count() * 86400LL + hour * 3600 + minute * 60 + second;
}

namespace {

// Reads one record line: JSON as the standard has it, the fields of the top
// object taken as it goes (the digests in "sha256", whether every value in
// "verified" is true), everything else checked and passed over. Made for
// the summary's pace: a string is copied in runs, not byte by byte.
class record_scan {
public:
    explicit record_scan(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

    // Fills r; false when the line is no JSON object.
    bool top_object(record& r, std::string& result, std::vector<std::pair<std::string, std::string>>& digests,
                    std::optional<bool>& verified)
    {
        blanks();
        if (!take('{'))
            return false;
        std::string key;
        if (!members([&](std::string& name) {
                // A name given twice holds what it is given last.
                if (name == "sha256" || name == "verified") {
                    blanks();
                    (name == "sha256" ? digests.clear() : verified.reset());
                    if (p_ < end_ && *p_ == '{')
                        return name == "sha256" ? digest_object(digests) : verified_object(verified);
                    return value(1);
                }
                if (std::string* field = field_named(r, result, name)) {
                    blanks();
                    field->clear();
                    if (p_ < end_ && *p_ == '"')
                        return string(*field);
                    return value(1);
                }
                if (name == "attempt" || name == "seconds") {
                    blanks();
                    (name == "seconds" ? r.seconds.reset() : r.attempt.reset());
                    std::optional<double> n;
                    if (p_ == end_ || (*p_ != '-' && (*p_ < '0' || *p_ > '9')))
                        return value(1);
                    if (!number(n))
                        return false;
                    if (n && name == "seconds" && std::isfinite(*n) && *n >= 0)
                        r.seconds = *n;
                    if (n && name == "attempt" && *n >= 0 && *n < 1000000 && *n == std::floor(*n))
                        r.attempt = static_cast<int>(*n);
                    return true;
                }
                return value(1);
            }))
            return false;
        blanks();
        return p_ == end_;
    }

private:
    static constexpr int max_depth = 64;

    static std::string* field_named(record& r, std::string& result, const std::string& key)
    {
        if (key == "time") return &r.time;
        if (key == "result") return &result;
        if (key == "port") return &r.port;
        if (key == "serial") return &r.serial;
        if (key == "mac") return &r.mac;
        if (key == "reason") return &r.reason;
        if (key == "chip") return &r.chip;
        if (key == "esptool") return &r.esptool;
        if (key == "application") return &r.application;
        return nullptr;
    }

    void blanks()
    {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r'))
            ++p_;
    }
    bool take(char c)
    {
        if (p_ == end_ || *p_ != c)
            return false;
        ++p_;
        return true;
    }
    bool word(std::string_view w)
    {
        if (static_cast<std::size_t>(end_ - p_) < w.size() || std::string_view(p_, w.size()) != w)
            return false;
        p_ += w.size();
        return true;
    }

    // After '{': the members up to '}', each value read by member (which
    // starts at the blank after the colon).
    template <typename F>
    bool members(F member)
    {
        blanks();
        if (take('}'))
            return true;
        std::string name;
        for (;;) {
            blanks();
            if (!string(name))
                return false;
            blanks();
            if (!take(':'))
                return false;
            if (!member(name))
                return false;
            blanks();
            if (take('}'))
                return true;
            if (!take(','))
                return false;
        }
    }

    bool digest_object(std::vector<std::pair<std::string, std::string>>& digests)
    {
        take('{');
        return members([&](std::string& name) {
            blanks();
            if (p_ < end_ && *p_ == '"') {
                std::string digest;
                if (!string(digest))
                    return false;
                digests.emplace_back(name, std::move(digest));
                return true;
            }
            return value(2);
        });
    }

    bool verified_object(std::optional<bool>& verified)
    {
        take('{');
        return members([&](std::string&) {
            blanks();
            const bool all = verified.value_or(true);
            if (word("true")) {
                verified = all;
                return true;
            }
            verified = false;
            return value(2);
        });
    }

    bool value(int depth)
    {
        blanks();
        if (p_ == end_ || depth > max_depth)
            return false;
        switch (*p_) {
        case '"': {
            std::string ignored;
            return string(ignored);
        }
        case '{':
            ++p_;
            return members([&](std::string&) { return value(depth + 1); });
        case '[':
            ++p_;
            blanks();
            if (take(']'))
                return true;
            for (;;) {
                if (!value(depth + 1))
                    return false;
                blanks();
                if (take(']'))
                    return true;
                if (!take(','))
                    return false;
            }
        case 't': return word("true");
        case 'f': return word("false");
        case 'n': return word("null");
        default: {
            std::optional<double> ignored;
            return number(ignored);
        }
        }
    }

    // A number as JSON spells it; n: its value.
    bool number(std::optional<double>& n)
    {
        const char* start = p_;
        const auto digits = [&] {
            const char* from = p_;
            while (p_ < end_ && *p_ >= '0' && *p_ <= '9')
                ++p_;
            return p_ > from;
        };
        take('-');
        if (take('0')) {
        } else if (!digits()) {
            return false;
        }
        if (take('.') && !digits())
            return false;
        if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            if (!take('+'))
                take('-');
            if (!digits())
                return false;
        }
        double value = 0;
        const auto [at, error] = std::from_chars(start, p_, value);
        n = error == std::errc() && at == p_ ? std::optional<double>(value) : std::nullopt;
        return true;
    }

    static int hex(char c)
    {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    }
    bool code_unit(unsigned& unit)
    {
        if (end_ - p_ < 4)
            return false;
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const int h = hex(*p_++);
            if (h < 0)
                return false;
            unit = unit << 4 | static_cast<unsigned>(h);
        }
        return true;
    }
    static void append_utf8(std::string& out, unsigned c)
    {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }

    // A string at p_, into out (escapes undone; a lone surrogate becomes U+FFFD).
    bool string(std::string& out)
    {
        out.clear();
        if (!take('"'))
            return false;
        for (;;) {
            const char* run = p_;
            while (p_ < end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20)
                ++p_;
            out.append(run, p_);
            if (p_ == end_ || static_cast<unsigned char>(*p_) < 0x20)
                return false;  // cut, or a raw control character
            if (*p_++ == '"')
                return true;
            if (p_ == end_)
                return false;
            const char escape = *p_++;
            switch (escape) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned unit = 0;
                if (!code_unit(unit))
                    return false;
                if (unit >= 0xD800 && unit < 0xDC00 && end_ - p_ >= 6 && p_[0] == '\\' && p_[1] == 'u') {
                    const char* back = p_;
                    p_ += 2;
                    unsigned low = 0;
                    if (!code_unit(low))
                        return false;
                    if (low >= 0xDC00 && low < 0xE000) {
                        append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                        break;
                    }
                    p_ = back;
                }
                append_utf8(out, unit >= 0xD800 && unit < 0xE000 ? 0xFFFD : unit);
                break;
            }
            default: return false;
            }
        }
    }

    const char* p_;
    const char* end_;
};

}  // namespace

std::optional<record> parse_record(std::string_view line)
{
    record r;
    std::string result;
    std::vector<std::pair<std::string, std::string>> digests;
    if (!record_scan(line).top_object(r, result, digests, r.verified))
        return std::nullopt;
    const std::optional<std::int64_t> at = parse_time(r.time);
    if (!at || (result != "flashed" && result != "failed"))
        return std::nullopt;
    r.at = *at;
    r.flashed = result == "flashed";
    for (const auto& [name, digest] : digests)
        if (name == r.application)
            r.application_sha256 = digest;  // the last, as a reader that keeps one would
    return r;
}

std::string reason_group(const record& r)
{
    std::string reason = plain_text(r.reason);
    for (const std::string* names : {&r.port, &r.serial, &r.mac})
        replace_all(reason, plain_text(*names));
    for (std::size_t i = 0; i < reason.size(); ++i)
        if (const std::size_t length = mac_at(reason, i))
            reason.replace(i, length, ellipsis);
    if (reason.empty())
        reason = "(no reason given)";
    return cut(std::move(reason), figures::reason_length_kept);
}

void figures::add(const record& r)
{
    ++(r.flashed ? flashed_ : failed_);
    first_ = first_ ? std::min(*first_, r.at) : r.at;
    last_ = last_ ? std::max(*last_, r.at) : r.at;
    // A flash that took longer than a year is a record's error: it counts as a year.
    const double seconds = r.seconds ? std::min(*r.seconds, 365 * 86400.0) : 0;
    const std::int64_t start = r.at - static_cast<std::int64_t>(std::ceil(seconds));
    earliest_start_ = earliest_start_ ? std::min(*earliest_start_, start) : start;
    if (r.flashed && r.seconds) {
        if (tenths_.empty())
            tenths_.assign(max_tenths + 1, 0);
        const auto tenth = static_cast<std::size_t>(std::min(std::round(*r.seconds * 10), double(max_tenths)));
        ++tenths_[tenth];
    }
    if (r.flashed)
        return;
    std::string key = reason_group(r);
    if (const auto it = groups_.find(key); it != groups_.end())
        ++it->second.count;
    else if (groups_.size() < reason_groups_kept)
        groups_.emplace(std::move(key), group{1, groups_.size()});
    else
        ++other_reasons_;
}

std::optional<double> figures::per_hour() const
{
    if (flashed_ == 0 || !last_ || !earliest_start_ || *last_ <= *earliest_start_)
        return std::nullopt;
    return double(flashed_) * 3600.0 / double(*last_ - *earliest_start_);
}

std::optional<double> figures::median_seconds() const
{
    std::uint64_t n = 0;
    for (const std::uint32_t count : tenths_)
        n += count;
    if (n == 0)
        return std::nullopt;
    // The tenths at the two middle places (the same one for an odd number).
    const std::uint64_t low = (n - 1) / 2, high = n / 2;
    std::optional<std::size_t> low_tenth, high_tenth;
    std::uint64_t seen = 0;
    for (std::size_t t = 0; t < tenths_.size() && !high_tenth; ++t) {
        seen += tenths_[t];
        if (!low_tenth && seen > low)
            low_tenth = t;
        if (seen > high)
            high_tenth = t;
    }
    return (double(*low_tenth) + double(*high_tenth)) / 20.0;
}

std::vector<std::pair<std::string, std::size_t>> figures::reasons(std::size_t most) const
{
    std::vector<std::pair<const std::string*, const group*>> order;
    order.reserve(groups_.size());
    for (const auto& [reason, g] : groups_)
        order.emplace_back(&reason, &g);
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
        return a.second->count != b.second->count ? a.second->count > b.second->count
                                                  : a.second->order < b.second->order;
    });
    std::vector<std::pair<std::string, std::size_t>> out;
    for (std::size_t i = 0; i < order.size() && i < most; ++i)
        out.emplace_back(*order[i].first, order[i].second->count);
    return out;
}

std::string summary_text(const figures& f, std::size_t files)
{
    const auto time_of = [](std::int64_t at) {
        const std::chrono::sys_seconds t{std::chrono::seconds{at}};
        const auto day = std::chrono::floor<std::chrono::days>(t);
        const std::chrono::year_month_day date{day};
        const std::chrono::hh_mm_ss clock{t - day};
        return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", int(date.year()), unsigned(date.month()),
                           unsigned(date.day()), clock.hours().count(), clock.minutes().count(),
                           clock.seconds().count());
    };
    std::string out;
    out += fmt::format("Records:       {} in {}\n", f.records(), count_text(files, "file", "files"));
    out += fmt::format("Flashed:       {}\n", count_text(f.flashed(), "board", "boards"));
    out += fmt::format("Failed:        {}\n", count_text(f.failed(), "flash", "flashes"));
    if (f.first() && f.last()) {
        out += fmt::format("First record:  {}\n", time_of(*f.first()));
        out += fmt::format("Last record:   {} ({} after the first)\n", time_of(*f.last()),
                           span_text(*f.last() - *f.first()));
    }
    if (const std::optional<double> rate = f.per_hour())
        out += fmt::format("Rate:          {} boards flashed an hour\n", rate_text(*rate));
    else
        out += f.flashed() == 0 ? "Rate:          no board was flashed\n"
                                : "Rate:          not known: the records span no time\n";
    if (const std::optional<double> median = f.median_seconds())
        out += fmt::format("Median:        {:.1f} s a flashed board\n", *median);
    out += "\n";
    const auto reasons = f.reasons();
    if (reasons.empty() && f.other_reasons() == 0) {
        out += "No flash failed.\n";
        return out;
    }
    out += "Failures by reason, most frequent first:\n";
    for (const auto& [reason, count] : reasons)
        out += wrapped(reason, fmt::format("{:>7}  ", count), 9);
    if (f.other_reasons() > 0)
        out += wrapped(fmt::format("other reasons (more than {} kinds)", figures::reason_groups_kept),
                       fmt::format("{:>7}  ", f.other_reasons()), 9);
    return out;
}

std::string pace_text(const figures& f)
{
    const std::optional<double> median = f.median_seconds();
    if (!median)
        return {};
    std::string text;
    if (const std::optional<double> rate = f.per_hour())
        text = fmt::format("{} boards an hour \u00b7 ", rate_text(*rate));
    return text + fmt::format("{:.1f} s a flashed board (median)", *median);
}

std::string csv_header()
{
    return "time,port,serial,mac,result,reason,attempt,seconds,chip,esptool,application,application_sha256,"
           "verified\r\n";
}

std::string csv_row(const record& r)
{
    const std::string fields[] = {
        r.time,
        r.port,
        r.serial,
        r.mac,
        r.flashed ? "flashed" : "failed",
        r.reason,
        r.attempt ? std::to_string(*r.attempt) : std::string(),
        r.seconds ? fmt::format("{:.1f}", *r.seconds) : std::string(),
        r.chip,
        r.esptool,
        r.application,
        r.application_sha256,
        r.verified ? (*r.verified ? "yes" : "no") : "",
    };
    std::string row;
    for (std::size_t i = 0; i < std::size(fields); ++i)
        row += (i == 0 ? "" : ",") + csv_field(fields[i]);
    return row + "\r\n";
}

int print_summary(bool csv, const std::vector<std::string>& given)
{
    using platform::print_console;
    namespace fs = std::filesystem;
    std::vector<std::pair<fs::path, std::string>> files;  // the file, and its name for messages
    for (const std::string& name : given)
        files.emplace_back(platform::path_from_utf8(name), plain_text(name));
    if (given.empty()) {
        const std::optional<fs::path> folder = platform::records_folder();
        if (!folder) {
            print_console("vornhale: the system does not say where the user's files go, so there is no records "
                          "folder: name the record files\n");
            return 1;
        }
        std::error_code error;
        for (fs::directory_iterator it(*folder, error), end; !error && it != end; it.increment(error))
            if (it->path().extension() == ".jsonl" && it->is_regular_file(error))
                files.emplace_back(it->path(), plain_text(platform::utf8_path(it->path())));
        const std::string place = plain_text(platform::utf8_path(*folder));
        if (error && error != std::errc::no_such_file_or_directory) {
            print_console(fmt::format("vornhale: cannot read the records folder {}: {}\n", place, error.message()));
            return 1;
        }
        if (files.empty()) {
            print_console(fmt::format("vornhale: no record files in {}\n", place));
            return 1;
        }
        // Named after the time their session started: oldest first.
        std::sort(files.begin(), files.end());
    }

    output out;
    figures f;
    if (csv)
        out.add(csv_header());
    std::size_t read_files = 0;
    for (const auto& [path, name] : files) {
        if (!out.open())
            break;
        std::error_code error;
        if (fs::is_directory(path, error)) {
            print_console(fmt::format("vornhale: cannot read {}: it is a folder\n", name));
            continue;
        }
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            print_console(fmt::format("vornhale: cannot read {}: {}\n", name, std::error_code(errno, std::generic_category()).message()));
            continue;
        }
        ++read_files;
        line_reader lines(in);
        std::size_t number = 0, skipped = 0;
        bool too_long = false;
        while (const std::optional<std::string_view> line = lines.next(too_long)) {
            ++number;
            std::optional<record> r;
            if (!too_long)
                r = parse_record(*line);
            if (!r) {
                if (++skipped <= lines_named)
                    print_console(fmt::format("{}, line {}: not a record: skipped\n", name, number));
                continue;
            }
            f.add(*r);
            if (csv)
                out.add(csv_row(*r));
            if (!out.open())
                break;
        }
        if (skipped > lines_named)
            print_console(fmt::format("{}: {} more lines that are not records: skipped\n", name, skipped - lines_named));
        if (lines.failed())
            print_console(fmt::format("vornhale: cannot read {} to its end\n", name));
    }
    if (!csv && f.records() > 0)
        out.add(summary_text(f, read_files));
    out.flush();
    if (f.records() == 0) {
        print_console("vornhale: no records read\n");
        return 1;
    }
    return 0;
}

}  // namespace batch
