#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

// Decides which progress figures become status texts: at most one every
// min_interval, and only a figure higher than the last one shown. A figure
// held back is shown with the next one allowed, or at the end of the run.
class progress_pacer {
public:
    using clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds min_interval{250};

    // Returns the figure to show now, if any.
    std::optional<int> offer(int percent, clock::time_point now = clock::now());

    // At the end of a run that succeeded: the figure still to show (100 when
    // the run told its progress at all).
    std::optional<int> finish(bool told_progress);

private:
    int shown_ = -1;
    std::optional<clock::time_point> last_;
};

// The status text for a run that is percent done: the run's own busy text
// ("Uploading firmware", "Uploading app") with the figure added, and a bar.
std::string progress_text(std::string_view stage, int percent);
