#include "flash/flash_progress.h"

#include <algorithm>
#include <charconv>
#include <fmt/core.h>

namespace {

// The address and percentage of a line "Writing at 0x0000e000... (42 %)" (or
// "(42.5%)"), if it is one.
bool parse_writing_line(std::string_view line, std::uint32_t& address, double& percent)
{
    constexpr std::string_view start = "Writing at 0x";
    const std::size_t at = line.find(start);
    if (at == std::string_view::npos)
        return false;
    std::string_view rest = line.substr(at + start.size());
    const auto hex = std::from_chars(rest.data(), rest.data() + rest.size(), address, 16);
    if (hex.ec != std::errc() || hex.ptr == rest.data())
        return false;
    rest.remove_prefix(static_cast<std::size_t>(hex.ptr - rest.data()));
    if (!rest.starts_with("... ("))
        return false;
    rest.remove_prefix(5);
    const std::size_t close = rest.find(')');
    if (close == std::string_view::npos)
        return false;
    std::string_view figure = rest.substr(0, close);
    if (!figure.ends_with('%'))
        return false;
    figure.remove_suffix(1);
    while (figure.ends_with(' '))
        figure.remove_suffix(1);
    const auto number = std::from_chars(figure.data(), figure.data() + figure.size(), percent);
    return number.ec == std::errc() && number.ptr == figure.data() + figure.size() && percent >= 0 && percent <= 100;
}

}  // namespace

flash_progress::flash_progress(std::vector<image> images) : images_(std::move(images))
{
    std::sort(images_.begin(), images_.end(), [](const image& a, const image& b) { return a.offset < b.offset; });
    for (const image& i : images_)
        total_ += i.size;
}

std::optional<int> flash_progress::feed(std::string_view line)
{
    std::uint32_t address = 0;
    double percent = 0;
    if (images_.empty() || !parse_writing_line(line, address, percent) || address < images_.front().offset)
        return std::nullopt;

    // The image being written is the last one that starts at or below the address.
    std::size_t index = 0;
    while (index + 1 < images_.size() && images_[index + 1].offset <= address)
        ++index;
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
    const int whole = std::clamp(static_cast<int>(done * 100), 0, 100);
    if (whole <= percent_)
        return std::nullopt;
    percent_ = whole;
    return whole;
}

std::optional<int> progress_pacer::offer(int percent, clock::time_point now)
{
    if (percent <= shown_)
        return std::nullopt;
    if (last_ && now - *last_ < min_interval)
        return std::nullopt;
    last_ = now;
    shown_ = percent;
    return percent;
}

std::optional<int> progress_pacer::finish(bool told_progress)
{
    if (!told_progress || shown_ >= 100)
        return std::nullopt;
    shown_ = 100;
    return 100;
}

std::string progress_text(std::string_view stage, int percent)
{
    // Blue, as the station page draws a flash under way: the theme's own
    // colour for a bar is red, which reads as an error.
    return fmt::format("<span aria-busy=\"true\">{}... {} %</span><progress value=\"{}\" max=\"100\" "
                       "style=\"--pico-progress-color: #2f6fce\"></progress>",
                       stage, percent, percent);
}
