#pragma once

#include <filesystem>
#include <optional>

// The folder Vornhale works in, and how. Started with no argument, it stays
// in the folder it was started in; with one, a folder (as the desktop entry's
// "Open With Vornhale" passes it), it changes into that folder first. A first
// argument --station asks for station mode (station set), with the folder
// after it; --record FILE after --station names the record file (record_file
// set, made absolute from the folder Vornhale was started in). Prints the usage lines for -h or --help, and a message for
// anything else, on standard error. Returns the exit status when the program
// should end at once (0 after help, 2 for a usage error or a folder it cannot
// enter), nothing to carry on.
std::optional<int> enter_start_folder(int argc, const char* const* argv, bool& station,
                                      std::filesystem::path& record_file);
