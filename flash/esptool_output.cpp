#include "flash/esptool_output.h"

#include "platform/output_lines.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

namespace {

constexpr std::array<std::string_view, 2> message_markers = {"A fatal error occurred: ",
                                                             "A serial exception error occurred: "};
// Lines esptool prints after a message, not part of it.
constexpr std::array<std::string_view, 4> after_message = {"Hint: ", "Note: ", "Warning: ",
                                                           "For troubleshooting steps visit: "};
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

// The value of a line "LABEL VALUE" where esptool pads the label with blanks
// (5.x: to 20 columns; 4.x: one blank), if the line is one.
std::optional<std::string_view> labelled(std::string_view line, std::string_view label)
{
    if (!line.starts_with(label) || line.size() == label.size() || line[label.size()] != ' ')
        return std::nullopt;
    std::string_view value = trimmed(line.substr(label.size()));
    if (value.empty())
        return std::nullopt;
    return value;
}

// A version as esptool prints it: digits, then digits, letters, dots and the
// like ("4.7.0", "5.0.dev1"), nothing else.
bool is_version(std::string_view text)
{
    if (text.empty() || text.size() > 32 || !std::isdigit(static_cast<unsigned char>(text.front())))
        return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '+' || c == '-';
    });
}

// Six two-digit hex octets separated by colons, nothing else: a chip's MAC.
bool is_mac(std::string_view text)
{
    if (text.size() != 17)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (i % 3 == 2 ? c != ':' : !std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

std::optional<std::uint32_t> hex_at(std::string_view& rest)
{
    if (!rest.starts_with("0x"))
        return std::nullopt;
    rest.remove_prefix(2);
    std::uint32_t value = 0;
    const auto hex = std::from_chars(rest.data(), rest.data() + rest.size(), value, 16);
    if (hex.ec != std::errc() || hex.ptr == rest.data())
        return std::nullopt;
    rest.remove_prefix(static_cast<std::size_t>(hex.ptr - rest.data()));
    return value;
}

// The address and the image's percentage of a progress line, in either form:
// "Writing at 0x0000e000... (42 %)" (4.x) or
// "Writing at 0x00015fde [=>    ]   9.9% 16384/165271 bytes... " (5.x).
bool parse_writing_line(std::string_view line, std::uint32_t& address, double& percent)
{
    constexpr std::string_view start = "Writing at ";
    if (!line.starts_with(start))
        return false;
    std::string_view rest = line.substr(start.size());
    const auto at = hex_at(rest);
    if (!at)
        return false;
    address = *at;
    std::string_view figure;
    if (rest.starts_with("... (")) {
        rest.remove_prefix(5);
        const std::size_t close = rest.find(')');
        if (close == std::string_view::npos)
            return false;
        figure = rest.substr(0, close);
    } else if (rest.starts_with(" [")) {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos)
            return false;
        rest = trimmed(rest.substr(close + 1));
        figure = rest.substr(0, rest.find(' '));
    } else {
        return false;
    }
    if (!figure.ends_with('%'))
        return false;
    figure.remove_suffix(1);
    figure = trimmed(figure);
    const auto number = std::from_chars(figure.data(), figure.data() + figure.size(), percent);
    return number.ec == std::errc() && number.ptr == figure.data() + figure.size() && percent >= 0 && percent <= 100;
}

// A flash size as esptool names it ("4MB", "512KB"), in bytes.
std::optional<std::uintmax_t> flash_size_bytes(std::string_view size)
{
    std::uintmax_t value = 0;
    const auto number = std::from_chars(size.data(), size.data() + size.size(), value);
    const std::string_view unit = size.substr(static_cast<std::size_t>(number.ptr - size.data()));
    if (number.ec != std::errc() || value == 0 || value > 4096 || (unit != "MB" && unit != "KB"))
        return std::nullopt;
    return value << (unit == "MB" ? 20 : 10);
}

// A number as esptool prints it, decimal or hexadecimal ("6750208", "0x00670000").
std::optional<std::uintmax_t> number_at(std::string_view text)
{
    const bool hex = text.starts_with("0x");
    text.remove_prefix(hex ? 2 : 0);
    std::uintmax_t value = 0;
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value, hex ? 16 : 10);
    return parsed.ec == std::errc() && parsed.ptr != text.data() ? std::optional(value) : std::nullopt;
}

// The number after marker in line, if there is one.
std::optional<std::uintmax_t> number_after(std::string_view line, std::string_view marker)
{
    const std::size_t at = line.find(marker);
    return at == std::string_view::npos ? std::nullopt : number_at(line.substr(at + marker.size()));
}

struct flash_shortage {
    std::uintmax_t chip;    // the chip's flash
    std::uintmax_t wanted;  // what the run wanted of it
    bool warning;           // said before writing
};

// What esptool says when the chip's flash is smaller than the run wants:
// before writing, a warning (5.x: "Set flash_size 8MB is larger than the
// available flash size of 4MB."), or as its fatal error ("File fs.bin (length
// 1572864) at offset 6750208 will not fit in 4194304 bytes of flash. ...";
// 5.x: "File 'fs.bin' (length 1572864) at offset 0x00670000 ...").
std::optional<flash_shortage> flash_shortage_in(std::string_view line)
{
    constexpr std::string_view set = "Set flash_size ";
    constexpr std::string_view larger = " is larger than the available flash size of ";
    if (const std::size_t at = line.find(set), than = line.find(larger);
        at != std::string_view::npos && than != std::string_view::npos && than > at) {
        std::string_view available = line.substr(than + larger.size());
        available = available.substr(0, available.find_first_of(". "));
        const auto chip = flash_size_bytes(available);
        const auto wanted = flash_size_bytes(line.substr(at + set.size(), than - at - set.size()));
        if (chip && wanted)
            return flash_shortage{*chip, *wanted, true};
        return std::nullopt;
    }
    const auto chip = number_after(line, " will not fit in ");
    if (!chip || *chip == 0 || line.find(" bytes of flash") == std::string_view::npos)
        return std::nullopt;
    const auto length = number_after(line, "(length ");
    const auto offset = number_after(line, " at offset ");
    return flash_shortage{*chip, length && offset ? *length + *offset : 0, false};
}

}  // namespace

esptool_output::esptool_output(std::vector<image> images) : images_(std::move(images))
{
    std::sort(images_.begin(), images_.end(), [](const image& a, const image& b) { return a.offset < b.offset; });
    for (const image& i : images_)
        total_ += i.size;
}

bool esptool_output::verified(std::uint32_t offset) const
{
    return std::find(verified_.begin(), verified_.end(), offset) != verified_.end();
}

std::optional<int> esptool_output::feed(std::string_view raw)
{
    // The runner takes the sequences out already: a line without an escape
    // is read as it is, with nothing allocated.
    platform::terminal_control_filter control;
    const std::string_view line = raw.find('\x1b') == std::string_view::npos ? raw : control.strip(raw);
    read_reason(line);
    read_facts(line);
    return read_progress(line);
}

void esptool_output::read_facts(std::string_view line)
{
    // Its own name comes first; a later one (after a configuration file's
    // path, say, which may hold anything) is the one that counts.
    for (const std::string_view name : {"esptool.py v", "esptool v"})
        if (line.starts_with(name) && is_version(line.substr(name.size())) && mac_.empty())
            version_ = line.substr(name.size());
    if (line.starts_with("Connecting...") || line.starts_with("Connected to ")) {
        connected_ = true;
        return;
    }
    // The chip's facts count only once it has connected, and only in the form
    // esptool prints them in: a folder or file name that holds a line break
    // and "MAC: " shapes other lines, and never these alone.
    if (!connected_)
        return;
    if (line.starts_with("Hard resetting"))
        resetting_ = true;  // "Hard resetting via RTS pin...": the board leaves USB and comes back
    if (!flash_too_small_)
        if (const auto shortage = flash_shortage_in(line)) {
            flash_too_small_ = shortage->chip;
            flash_wanted_ = shortage->wanted;
            warned_flash_too_small_ = shortage->warning;
        }
    if (mac_.empty())
        for (const std::string_view label : {"Chip is", "Chip type:"})
            if (const auto chip = labelled(line, label))
                chip_ = *chip;
    for (const std::string_view label : {"MAC:", "BASE MAC:"}) {
        const auto mac = labelled(line, label);
        if (!mac || !is_mac(*mac))
            continue;
        std::string lower(*mac);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
        if (mac_.empty())
            mac_ = lower;
        else if (lower != mac_ && other_mac_.empty())
            other_mac_ = lower;
    }
    // What esptool says of an image counts only in the lines of that image's
    // own write: its first progress line names the image's offset, its
    // "Wrote ... at 0x..." line the same, and "Hash of data verified." follows
    // that line (5.x: after "Verifying written data..."). Text a name puts
    // before the write, or any line between, vouches for nothing.
    std::uint32_t address = 0;
    double percent = 0;
    if (parse_writing_line(line, address, percent)) {
        if (!write_named_) {
            write_named_ = true;
            const bool image_start = images_.empty() || std::any_of(images_.begin(), images_.end(), [&](const image& i) {
                                         return i.offset == address;
                                     });
            own_write_ = image_start ? std::optional(address) : std::nullopt;
        }
        return;
    }
    if (line.starts_with("Wrote ")) {
        wrote_any_ = true;
        // "Wrote 17504 bytes (12253 compressed) at 0x00000000 in 0.0 seconds ..."
        wrote_at_.reset();
        if (const std::size_t at = line.find(" at 0x"); at != std::string_view::npos) {
            std::string_view rest = line.substr(at + 4);
            if (const auto offset = hex_at(rest); offset && offset == own_write_)
                wrote_at_ = offset;
        }
        writing_.reset();
        write_named_ = false;
        own_write_.reset();
    } else if (line.starts_with("Compressed ") || line.starts_with("Writing '")) {
        writing_.reset();  // the next image begins
        write_named_ = false;
        own_write_.reset();
        wrote_at_.reset();
    } else if (line == "Hash of data verified.") {
        if (wrote_at_ && !verified(*wrote_at_))
            verified_.push_back(*wrote_at_);
        wrote_at_.reset();
    } else if (!trimmed(line).empty() && line != "Verifying written data...") {
        wrote_at_.reset();
    }
}

std::optional<int> esptool_output::read_progress(std::string_view line)
{
    std::uint32_t address = 0;
    double percent = 0;
    line_percent_.reset();
    if (!parse_writing_line(line, address, percent))
        return std::nullopt;
    line_percent_ = percent;
    wrote_any_ = true;
    if (images_.empty())
        return std::nullopt;
    told_progress_ = true;
    // The image being written is named by the first line of its writing: the
    // last image that starts at or below that address. Later lines of the
    // same image may name the address after their block (5.x), which can be
    // the next image's.
    if (!writing_) {
        if (address < images_.front().offset)
            return std::nullopt;
        std::size_t index = 0;
        while (index + 1 < images_.size() && images_[index + 1].offset <= address)
            ++index;
        writing_ = index;
    }
    const std::size_t index = *writing_;
    double done = 0;
    if (total_ > 0) {
        std::uintmax_t before = 0;
        for (std::size_t i = 0; i < index; ++i)
            before += images_[i].size;
        done = (static_cast<double>(before) + static_cast<double>(images_[index].size) * percent / 100)
               / static_cast<double>(total_);
    } else {
        done = (static_cast<double>(index) + percent / 100) / static_cast<double>(images_.size());
    }
    // Nothing done yet is no figure to show (5.x starts every image at 0.0 %).
    const int whole = std::clamp(static_cast<int>(done * 100), 0, 100);
    if (whole <= percent_)
        return std::nullopt;
    percent_ = whole;
    return whole;
}

void esptool_output::read_reason(std::string_view line)
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
            lacks_stub_ = text.starts_with("FileNotFoundError: ") && text.find("stub_flasher") != std::string_view::npos;
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
