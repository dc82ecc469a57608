#pragma once

// What the tests' stand-in for esptool records: each call's arguments in
// call.N in the working directory, one a line.

#include "platform/process.h"

#include <fstream>
#include <string>
#include <vector>

// The arguments of the tool's call number call (from 0), as it received them.
inline std::vector<std::string> arguments(int call)
{
    std::ifstream in("call." + std::to_string(call), std::ios::binary);
    std::vector<std::string> args;
    for (std::string line; std::getline(in, line);)
        args.push_back(line);
    return args;
}

// What the tool must receive for a command line: its arguments after the program.
inline std::vector<std::string> expected_arguments(const std::string& command_line)
{
    auto args = platform::split_command_line(command_line);
    args.erase(args.begin());
    return args;
}
