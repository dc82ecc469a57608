#pragma once

// Seam: running esptool. platform/linux/process.cpp (posix_spawn), platform/windows/process.cpp (CreateProcessW);
// the command-line splitter both use is platform/command_line.cpp.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Runs an outside program from a command line written for Windows, with no
// command interpreter in between: nothing in the line is interpreted but the
// grouping of arguments.
namespace platform {

// Splits a command line into arguments as Windows programs do. The first
// argument, the program, ends at the first blank, or is enclosed in double
// quotes. In the others: runs of blanks (spaces, tabs) separate; double quotes
// group and are removed, and two double quotes inside a group give one; 2n
// backslashes before a double quote give n backslashes, 2n+1 give n and a
// literal double quote; other backslashes are literal.
std::vector<std::string> split_command_line(std::string_view command_line);

// How a run ended.
struct run_outcome {
    enum class kind {
        exited,       // code: the exit code
        signalled,    // code: the signal that ended it
        not_found,    // no program by that name
        not_started,  // found, but it could not be started; code: errno
        stopped,      // ended, or never started, because a stop was asked for
        too_much_output,  // printed more than its bound (code: the bound in bytes, most_tool_output or what
                          // a limit on file sizes leaves), more than any esptool run prints: stopped
    };
    kind how = kind::not_found;
    int code = 0;
};

// Called with each line the program prints (without its line end; a carriage
// return also ends a line), on the calling thread, as the program prints it.
using line_observer = std::function<void(std::string_view line)>;

// Lets one thread stop the programs another thread runs. Shared by reference
// between the thread that asks (any thread, any number of times) and the one
// in run_command_line, which checks it at least every few hundredths of a
// second. Once asked, it stays asked.
class run_stop {
public:
    // grace: how long a program may take to end after SIGTERM before it is killed.
    explicit run_stop(std::chrono::milliseconds grace = std::chrono::seconds(3)) : grace_(grace) {}
    // A stop of its own that also counts as asked whenever also is.
    explicit run_stop(const run_stop* also) : also_(also), grace_(also->grace()) {}
    run_stop(const run_stop&) = delete;
    run_stop& operator=(const run_stop&) = delete;

    // A running program's process group gets SIGTERM, and SIGKILL after the
    // grace period; no later program is started.
    void request() { requested_ = true; }
    bool requested() const { return requested_ || (also_ != nullptr && also_->requested()); }
    std::chrono::milliseconds grace() const { return grace_; }

private:
    std::atomic<bool> requested_ = false;
    const run_stop* also_ = nullptr;
    const std::chrono::milliseconds grace_;
};

// Longest part of a line given to a line_observer; the rest of a longer line
// is passed through to standard output but not kept.
inline constexpr std::size_t longest_observed_line = 4096;

// The most a program may print in one run (its standard output and error
// together), far more than any esptool run prints: what it prints beyond is
// never kept, and it is stopped, as a stop does (kind::too_much_output). On
// Linux a limit on file sizes (ulimit -f) below it lowers it to what the
// limit leaves.
// Whatever a program prints and however late we read it, its output costs no
// more than this on Linux, where the system keeps the bound; on Windows the
// runner ends the program once it sees the file that large (every 20 ms).
inline constexpr std::size_t most_tool_output = 8 * 1024 * 1024;

// How long output is still read once the program has ended, where it comes
// through a pipe (Windows): a child it left behind may hold the pipe open, and
// is not waited for.
inline constexpr std::chrono::milliseconds output_after_exit = std::chrono::milliseconds(500);

// Runs the program of command_line with its arguments, in folder (the working directory when empty; a
// program named with a folder is still looked for from the working directory), with the environment of
// this process but for TERM=dumb (esptool 5 then prints plain text), and waits for it to end (for the
// program itself, not for children it leaves behind). Everything the program writes to its standard
// output and standard error is passed to our standard output as it comes (platform/console.h: never
// waiting for it) when pass_output holds, and given to on_line line by line; terminal control
// sequences are taken out of both (platform/output_lines.h). The program writes into a file of its own
// that we read, not into a pipe, so that it runs to its end even if we are killed. The program is
// looked for as find_program (platform/esptool_lookup.h) says, and a Python script the system could not
// start is run under python3 (python_for there). It starts in a process group of its own
// (a terminal's Ctrl+C or hang-up does not reach it), with default signal handling, no blocked
// signals, standard input from /dev/null, and no open file of ours but its output. When stop is given
// and asked, the program is ended (see run_stop) and the outcome is kind::stopped, unless it still
// exited with code 0. A program that prints most_tool_output is ended the same way, and the outcome is
// kind::too_much_output whatever its end.
run_outcome run_command_line(std::string_view command_line, const line_observer& on_line,
                             const run_stop* stop = nullptr, bool pass_output = true,
                             const std::filesystem::path& folder = {});

// Why esptool could not be found (kind::not_found), for the user: where this
// system's runner looked, and how to get it.
std::string tool_not_found_reason();

}  // namespace platform
