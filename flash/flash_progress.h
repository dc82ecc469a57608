#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How far one run of the flashing tool is, read from its output. The tool
// writes several images in one run, and prints a line per block as it writes
// ("Writing at 0x00010000... (42 %)", the address being where the block
// goes); each image counts by its size in the whole run.
class flash_progress {
public:
    struct image {
        std::uint32_t offset;  // where it is written
        std::uintmax_t size;   // its size in bytes (0 when unknown)
    };

    // images: those the run writes, in any order.
    explicit flash_progress(std::vector<image> images);

    // Reads one line of the tool's output. Returns the run's whole percentage
    // when this line makes it higher than before; it never goes back.
    std::optional<int> feed(std::string_view line);

    // Whether any line so far told how far the run is.
    bool started() const { return percent_ >= 0; }

private:
    std::vector<image> images_;  // by offset
    std::uintmax_t total_ = 0;
    int percent_ = -1;
};

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
