#pragma once

#include <chrono>
#include <string>

// What `vornhale --version` says of esptool, after its own version: the
// esptool a flash would run, where it was found and its version, as
// `esptool version` prints it, asked for within limit (then the tool is
// stopped); or why it said none; or that none was found, and where Vornhale
// looked. Whole lines, at most 80 columns but for the tool's path.
std::string esptool_report(std::chrono::milliseconds limit = std::chrono::seconds(3));
