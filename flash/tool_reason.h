#pragma once

#include <optional>
#include <string>
#include <string_view>

// Reads the flashing tool's output line by line and keeps why it failed, in
// the tool's own words:
// - a message after "A fatal error occurred: " or "A serial exception error
//   occurred: ", with the lines that follow it up to a blank line (or up to
//   the hint and note lines esptool prints after a message), joined by blanks;
// - the message of a usage error ("esptool write_flash: error: argument ...",
//   after the usage lines), which ends the tool before any fatal message;
// - the last line of a Python traceback ("OSError: [Errno 25] ...").
// The last of these the tool prints is the reason.
class tool_reason {
public:
    void feed(std::string_view line);

    // Nothing when the tool gave no reason of these kinds.
    const std::optional<std::string>& reason() const { return reason_; }

private:
    enum class reading { other, message, after_usage, traceback };
    std::optional<std::string> reason_;
    reading state_ = reading::other;
};

// What to do about a board that did not answer the tool (a reason with
// esptool's "Failed to connect to ..."), for the station's card: put it into
// its download mode by hand; with tried_again, it is flashed again once it is
// back on USB. Empty for every other reason.
std::string not_answering_hint(std::string_view reason, bool tried_again);
