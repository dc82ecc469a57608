#include "flash/flash_progress.h"

#include <fmt/core.h>

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
