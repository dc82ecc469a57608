#pragma once

// Shared by both systems' process runners: a program's output cut into lines (header only).

#include "platform/process.h"

#include <cstddef>
#include <exception>
#include <string>

namespace platform {

// Splits what a program prints into lines for a line_observer, on the calling
// thread: a line feed or a carriage return ends a line, empty lines are not
// given, and at most longest_observed_line bytes of a line are kept. An
// observer that throws is not called again; rethrow passes its exception on
// once the program has been waited for. on_line must outlive the object.
class output_lines {
public:
    explicit output_lines(const line_observer& on_line) : on_line_(on_line) {}

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
    const line_observer& on_line_;
    std::string line_;
    std::exception_ptr failure_;
};

}  // namespace platform
