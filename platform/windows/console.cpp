#include "platform/console.h"

#include "platform/windows/windows_text.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <io.h>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

// Windows has no way to write to a console or a pipe without waiting: a
// console paused by a selection (QuickEdit) holds WriteConsole up, a pipe
// nobody reads holds WriteFile up. So text for a console or a pipe goes to a
// backlog that a writer thread of the stream's own writes out; the caller
// never waits for it. A file on disk is written at once (it never holds a
// write up), so what a test captures is complete. The streams are those of
// the C library's descriptors 1 and 2 (a test may have redirected them); a
// program started without one (a double-click) writes nothing. Lines end in
// CR LF, as the C library's text mode would write them; a console gets
// UTF-16 (WriteConsoleW), so it shows every character whatever its code page.
//
// The writers are never joined and their state never destroyed: at the exit,
// what is left is given at most a moment to go out (atexit), then the
// process ends with the writer wherever it is.
namespace platform {
namespace {

constexpr DWORD exit_grace_ms = 500;

// Bare line feeds become CR LF; a CR LF stays as it is, even when its two
// halves come in separate writes (after_cr: the last text ended in CR).
std::string with_crlf(std::string_view text, bool& after_cr)
{
    std::string out;
    out.reserve(text.size() + 16);
    for (const char c : text) {
        if (c == '\n' && !after_cr)
            out += '\r';
        out += c;
        after_cr = c == '\r';
    }
    return out;
}

bool is_console(HANDLE handle)
{
    DWORD mode = 0;
    return ::GetConsoleMode(handle, &mode) != 0;
}

// Writes all of text to handle, waiting as long as it takes. False when the
// handle no longer takes anything.
bool write_all(HANDLE handle, bool console, const std::string& text)
{
    if (console) {
        std::wstring wide;
        try {
            wide = windows::to_utf16(text);
        } catch (...) {
            // Not UTF-8 after all: what cannot be read shows as U+FFFD.
            const int size = static_cast<int>(text.size());
            const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
            wide.resize(static_cast<std::size_t>(length > 0 ? length : 0));
            ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
        }
        const wchar_t* data = wide.data();
        std::size_t left = wide.size();
        while (left > 0) {
            DWORD written = 0;
            const DWORD size = left > 8192 ? 8192 : static_cast<DWORD>(left);
            if (!::WriteConsoleW(handle, data, size, &written, nullptr) || written == 0)
                return false;
            data += written;
            left -= written;
        }
        return true;
    }
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        DWORD written = 0;
        const DWORD size = left > 65536 ? 65536 : static_cast<DWORD>(left);
        if (!::WriteFile(handle, data, size, &written, nullptr) || written == 0)
            return false;
        data += written;
        left -= written;
    }
    return true;
}

class console {
public:
    explicit console(int fd) : fd_(fd) {}

    void write(std::string_view text)
    {
        const intptr_t os_handle = ::_get_osfhandle(fd_);
        if (os_handle == -1 || os_handle == -2 || os_handle == 0)
            return;
        const auto handle = reinterpret_cast<HANDLE>(os_handle);
        std::unique_lock lock(mutex_);
        const std::string lines = with_crlf(text, after_cr_);
        if (handle != handle_) {
            follow(handle);
            dropped_ = 0;
        }
        if (broken_)
            return;
        if (disk_ && backlog_.empty() && !writing_) {
            write_all(handle, false, lines);
            return;
        }
        if (backlog_.size() + lines.size() <= console_backlog)
            backlog_ += lines;
        else
            dropped_ += lines.size();
        if (!started_)
            start();
        more_.notify_one();
    }

    // A record: a whole line, written whole or counted as not written.
    void write_record(std::string_view line)
    {
        const intptr_t os_handle = ::_get_osfhandle(fd_);
        std::unique_lock lock(mutex_);
        if (os_handle == -1 || os_handle == -2 || os_handle == 0) {
            ++lost_;
            return;
        }
        const auto handle = reinterpret_cast<HANDLE>(os_handle);
        const std::string lines = with_crlf(line, after_cr_);
        if (handle != handle_)
            follow(handle);
        if (broken_) {
            ++lost_;
            return;
        }
        if (disk_ && backlog_.empty() && !writing_) {
            if (!write_all(handle, false, lines))
                ++lost_;
            return;
        }
        if (backlog_.size() + lines.size() > console_backlog) {
            ++lost_;
            return;
        }
        backlog_ += lines;
        if (!started_)
            start();
        more_.notify_one();
    }

    // At the exit: a moment for what is kept to go out, no longer.
    void drain(DWORD milliseconds)
    {
        std::unique_lock lock(mutex_);
        idle_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                       [this] { return broken_ || (backlog_.empty() && !writing_); });
    }

    // Gives up on the records still kept; returns how many were not written whole.
    std::size_t give_up()
    {
        std::unique_lock lock(mutex_);
        std::size_t left = static_cast<std::size_t>(std::count(backlog_.begin(), backlog_.end(), '\n'));
        if (writing_)
            left += static_cast<std::size_t>(std::count(writing_text_.begin(), writing_text_.end(), '\n'));
        return lost_ + left;
    }

private:
    // Redirected since the last write: what was kept was for the old stream.
    void follow(HANDLE handle)
    {
        handle_ = handle;
        disk_ = ::GetFileType(handle) == FILE_TYPE_DISK;
        console_ = !disk_ && is_console(handle);
        backlog_.clear();
        broken_ = false;
    }

    void start()
    {
        started_ = true;
        try {
            std::thread([this] { run(); }).detach();
        } catch (const std::system_error&) {
            broken_ = true;  // no writer: nothing can be shown without waiting
        }
    }

    void run()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            more_.wait(lock, [this] { return !backlog_.empty() || (dropped_ > 0 && !broken_); });
            if (backlog_.empty() && dropped_ > 0) {
                backlog_ = "[" + std::to_string(dropped_)
                           + " bytes of output not shown: the console did not take them]\r\n";
                dropped_ = 0;
            }
            writing_text_.clear();
            writing_text_.swap(backlog_);
            const HANDLE handle = handle_;
            const bool console = console_;
            writing_ = true;
            lock.unlock();
            const bool ok = write_all(handle, console, writing_text_);
            lock.lock();
            writing_ = false;
            if (!ok && handle == handle_) {
                // Gone for good (a closed pipe): nothing to keep text for.
                broken_ = true;
                lost_ += static_cast<std::size_t>(std::count(writing_text_.begin(), writing_text_.end(), '\n')
                                                  + std::count(backlog_.begin(), backlog_.end(), '\n'));
                backlog_.clear();
                dropped_ = 0;
            }
            writing_text_.clear();
            idle_.notify_all();
        }
    }

    const int fd_;
    std::mutex mutex_;  // guards everything below
    std::condition_variable more_;
    std::condition_variable idle_;
    HANDLE handle_ = nullptr;
    bool disk_ = false;
    bool console_ = false;
    bool started_ = false;
    bool writing_ = false;
    bool broken_ = false;
    bool after_cr_ = false;
    std::string backlog_;
    std::string writing_text_;  // what the writer writes now (its own while writing_)
    std::size_t dropped_ = 0;
    std::size_t lost_ = 0;  // records not written whole
};

std::atomic<bool> output_for_records = false;

// Never destroyed: a writer may still be using its console while the
// process ends.
console& console_for(console_stream stream)
{
    static console* const output = [] {
        std::atexit([] {
            console_for(console_stream::output).drain(exit_grace_ms);
            console_for(console_stream::error).drain(exit_grace_ms);
        });
        return new console(1);
    }();
    static console* const error = new console(2);
    return stream == console_stream::output ? *output : *error;
}

}  // namespace

bool write_output_whole(std::string_view text)
{
    const intptr_t os_handle = ::_get_osfhandle(1);
    if (os_handle == -1 || os_handle == -2 || os_handle == 0)
        return false;
    const auto handle = reinterpret_cast<HANDLE>(os_handle);
    bool after_cr = false;
    try {
        return write_all(handle, is_console(handle), with_crlf(text, after_cr));
    } catch (...) {
        return false;  // out of memory
    }
}

void write_console(console_stream stream, std::string_view text)
{
    if (output_for_records)
        stream = console_stream::error;
    try {
        console_for(console_stream::output);  // the exit's drain is registered first
        console_for(stream).write(text);
    } catch (...) {
        // Out of memory, or no thread to be had: the text is not shown.
    }
}

void keep_output_for_records() { output_for_records = true; }

void write_record(std::string_view line)
{
    try {
        console_for(console_stream::output).write_record(line);
    } catch (...) {
        // Out of memory, or no thread to be had: not shown here (it is in the record file).
    }
}

// The writer thread writes records as soon as the stream takes them.
void flush_records() {}

std::size_t drain_records(std::chrono::milliseconds limit)
{
    console& output = console_for(console_stream::output);
    output.drain(static_cast<DWORD>(limit.count()));
    return output.give_up();
}

}  // namespace platform
