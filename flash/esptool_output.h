#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What esptool says in one run, read line by line: the one place that knows
// how esptool 4.x and 5.x word their output. Everything else (the progress on
// the page, the check that the run reached the board it was meant for, the
// station's record, the reason shown for a failure) asks this.
//
// The two forms:
//   4.x: "esptool.py v4.7.0", "Chip is ESP32-S3 ...", "MAC: f4:12:fa:5a:1c:30",
//        "Writing at 0x00010000... (42 %)" a line each;
//   5.x: "esptool v5.3.1", "Chip type:          ESP32-S3 ...",
//        "MAC:                f4:12:fa:5a:1c:30" (labels padded),
//        "Writing at 0x00015fde [=>   ]   9.9% 16384/165271 bytes... " one
//        after another, carriage returns between them, terminal control
//        sequences around everything, warnings before it starts and its fatal
//        error on standard error.
// Both print "Wrote N bytes ... at 0x..." and "Hash of data verified." for each
// image (after its progress lines, the first at the image's offset), and
// "A fatal error occurred: ..." when they fail.
class esptool_output {
public:
    struct image {
        std::uint32_t offset;  // where it is written
        std::uintmax_t size;   // its size in bytes (0 when unknown)
    };

    // images: those the run writes, in any order.
    explicit esptool_output(std::vector<image> images = {});

    // Reads one line (a line feed or a carriage return ended it; terminal
    // control sequences left in it are passed over). Returns the run's whole
    // percentage when this line makes it higher than before; it never goes back.
    std::optional<int> feed(std::string_view line);

    // The version it named itself with: "4.7.0", "5.3.1"; "" when none.
    const std::string& version() const { return version_; }
    // The chip it reached: "ESP32-S3 (QFN56) (revision v0.2)"; "" when none.
    const std::string& chip() const { return chip_; }
    // The chip's MAC as esptool printed it once connected ("f4:12:fa:5a:1c:30");
    // "" when none in the form a chip line has.
    const std::string& mac() const { return mac_; }
    // A second MAC, other than mac(), that the same run named: the run cannot
    // be vouched for. "" when none.
    const std::string& other_mac() const { return other_mac_; }
    // Whether it connected to a chip at all.
    bool connected() const { return connected_; }
    // Whether it has begun its hard reset, once connected: the board leaves
    // USB now and comes back by itself.
    bool resetting() const { return resetting_; }
    // Whether it verified the hash of the image written at offset, in the lines
    // of that image's own write.
    bool verified(std::uint32_t offset) const;
    // The percentage the line fed last told for the image being written (not
    // the whole run's); nothing when that line told none.
    std::optional<double> line_percent() const { return line_percent_; }
    // Whether any line so far told how far the run is.
    bool told_progress() const { return told_progress_; }
    // Whether it failed for want of the chip's flasher stub after naming the
    // chip and before writing anything (Debian's package ships none for the
    // ESP32-S3: "FileNotFoundError: ... stub_flasher_32s3.json"). The chip's
    // own ROM loader, which esptool talks to with --no-stub, needs none.
    bool lacks_stub() const { return lacks_stub_ && connected_ && !wrote_any_; }
    // Whether it said it wrote, or was writing, anything.
    bool wrote_any() const { return wrote_any_; }
    // The chip's flash in bytes, when esptool said it was too small: "Set
    // flash_size 8MB is larger than the available flash size of 4MB." (a
    // warning, said before writing: warned_flash_too_small), or "File fs.bin
    // (length 1572864) at offset 6750208 will not fit in 4194304 bytes of
    // flash." (its fatal error); nothing otherwise.
    std::optional<std::uintmax_t> flash_too_small() const { return flash_too_small_; }
    bool warned_flash_too_small() const { return warned_flash_too_small_; }
    // The flash the run wanted, in bytes, as that said it: the size set, or
    // where the image that does not fit would end; 0 when unknown.
    std::uintmax_t flash_wanted() const { return flash_wanted_; }

    // Why it failed, in its own words, when it said so:
    // - a message after "A fatal error occurred: " or "A serial exception error
    //   occurred: ", with the lines that follow it up to a blank line (or up to
    //   the hint, note and warning lines esptool prints after a message),
    //   joined by blanks;
    // - the message of a usage error ("esptool write_flash: error: argument
    //   ...", after the usage lines), which ends the tool before any fatal message;
    // - the last line of a Python traceback ("OSError: [Errno 25] ...").
    // The last of these it prints is the reason. Warnings never are.
    const std::optional<std::string>& reason() const { return reason_; }

private:
    void read_facts(std::string_view line);
    void read_reason(std::string_view line);
    std::optional<int> read_progress(std::string_view line);

    std::vector<image> images_;  // by offset
    std::uintmax_t total_ = 0;
    int percent_ = 0;
    bool told_progress_ = false;
    std::optional<std::size_t> writing_;  // the image being written, once a line said so
    std::optional<double> line_percent_;
    bool write_named_ = false;                // a progress line named the write under way
    std::optional<std::uint32_t> own_write_;  // the image that write is of, by its offset
    std::optional<std::uint32_t> wrote_at_;   // the image whose own write's "Wrote ..." line came last
    std::vector<std::uint32_t> verified_;
    bool wrote_any_ = false;
    bool lacks_stub_ = false;
    std::optional<std::uintmax_t> flash_too_small_;
    bool warned_flash_too_small_ = false;
    std::uintmax_t flash_wanted_ = 0;

    std::string version_;
    std::string chip_;
    std::string mac_;
    std::string other_mac_;
    bool connected_ = false;
    bool resetting_ = false;

    enum class reading { other, message, after_usage, traceback };
    std::optional<std::string> reason_;
    reading state_ = reading::other;
};

// What to do about a board that did not answer the tool (a reason with
// esptool's "Failed to connect to ..."), for the station's card: put it into
// its download mode by hand; with tried_again, it is flashed again once it is
// back on USB. Empty for every other reason.
std::string not_answering_hint(std::string_view reason, bool tried_again);
