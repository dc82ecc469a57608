#pragma once

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
    };
    kind how = kind::not_found;
    int code = 0;
};

// Called with each line the program prints (without its line end; a carriage
// return also ends a line), on the calling thread, as the program prints it.
using line_observer = std::function<void(std::string_view line)>;

// Runs the program of command_line with its arguments, in the working
// directory, with the environment of this process, and waits for it to end.
// Everything the program writes to its standard output and standard error is
// passed to our standard output unchanged as it comes, and given to
// on_line line by line. The program is looked for as find_program
// (platform/esptool_lookup.h) says. The program starts with default signal handling and no
// blocked signals, and inherits no open file of ours but the standard three.
run_outcome run_command_line(std::string_view command_line, const line_observer& on_line);

}  // namespace platform
