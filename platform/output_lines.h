#pragma once

// Shared by both systems' process runners: a program's output cut into lines (header only).

#include "platform/process.h"

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>

namespace platform {

// Removes terminal control sequences from a program's output as it comes, in
// pieces that may end inside a sequence: CSI (ESC [ ... final byte: ESC[K,
// ESC[1A, colours), OSC (ESC ] ... BEL or ESC \) and any other escape (ESC and
// one more byte). esptool 5 writes them even into a file; neither the page,
// a reason, a record nor our standard output is to carry them. Line ends,
// carriage returns included, stay.
class terminal_control_filter {
public:
    // The text of data with the sequences taken out; a sequence cut at the
    // end of data is taken out when the rest of it comes.
    std::string_view strip(const char* data, std::size_t size)
    {
        clean_.clear();
        for (std::size_t i = 0; i < size; ++i) {
            const auto c = static_cast<unsigned char>(data[i]);
            switch (state_) {
            case state::text:
                if (c == 0x1B)
                    state_ = state::escape;
                else
                    clean_ += static_cast<char>(c);
                break;
            case state::escape:
                state_ = c == '[' ? state::csi : c == ']' ? state::osc : c == 0x1B ? state::escape : state::text;
                if (c == '\n' || c == '\r')
                    clean_ += static_cast<char>(c);
                break;
            case state::csi:
                // Parameter and intermediate bytes go on; a final byte ends it.
                if (c >= 0x40 && c <= 0x7E)
                    state_ = state::text;
                else if (c < 0x20 || c > 0x7E) {
                    // Not a sequence after all: a line end still ends the line.
                    state_ = state::text;
                    if (c == '\n' || c == '\r')
                        clean_ += static_cast<char>(c);
                }
                break;
            case state::osc:
                if (c == 0x07 || c == '\n')
                    state_ = state::text;
                else if (c == 0x1B)
                    state_ = state::escape;
                if (c == '\n')
                    clean_ += '\n';
                break;
            }
        }
        return clean_;
    }

    std::string_view strip(std::string_view text) { return strip(text.data(), text.size()); }

private:
    enum class state { text, escape, csi, osc };
    state state_ = state::text;
    std::string clean_;
};

// Splits what a program prints into lines for a line_observer, on the calling
// thread: a line feed or a carriage return ends a line, empty lines are not
// given, and at most longest_observed_line bytes of a line are kept. An
// observer that throws is not called again; rethrow passes its exception on
// once the program has been waited for. on_line must outlive the object.
class output_lines {
public:
    explicit output_lines(const line_observer& on_line) : on_line_(on_line) {}

    // What the program printed, without terminal control sequences (see
    // terminal_control_filter): what is passed on to our standard output and
    // then fed. Valid until the next call.
    std::string_view clean(const char* data, std::size_t size) { return control_.strip(data, size); }

    // Text that clean gave.
    void feed(std::string_view text) { feed(text.data(), text.size()); }

    void feed(const char* data, std::size_t size)
    {
        for (std::size_t i = 0; i < size; ++i) {
            const char c = data[i];
            if (c == '\n' || c == '\r')
                deliver();
            else if (line_.size() < longest_observed_line)
                line_ += c;
        }
    }

    // Gives the line so far, if any: at the end of the output.
    void deliver()
    {
        if (!line_.empty() && !failure_) {
            try {
                if (on_line_)
                    on_line_(line_);
            } catch (...) {
                failure_ = std::current_exception();
            }
        }
        line_.clear();
    }

    void rethrow() const
    {
        if (failure_)
            std::rethrow_exception(failure_);
    }

private:
    terminal_control_filter control_;
    const line_observer& on_line_;
    std::string line_;
    std::exception_ptr failure_;
};

}  // namespace platform
