#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The folder Vornhale works in, and how, from its arguments (UTF-8, the
// program's name left out). With none, it stays in the folder it was started
// in; with one, a folder (as "Open With Vornhale" passes it, or a folder
// dropped on vornhale.exe), it changes into that folder first. A first
// argument --station asks for station mode (station set), with the folder
// after it; --record FILE right after --station names the file the station
// appends its records to (record_file set, made absolute from the folder
// Vornhale was started in; otherwise left empty). A first argument --summary
// prints a batch's figures from the station's record files instead (--csv
// after it: the records as a table; station/summary.h) and ends the program.
// --help (-h) prints the usage
// lines, what the options do and then manual (where to read more, one line)
// on standard output, --version the version and which esptool a flash would
// run (flash/esptool_report.h). A usage error prints a line that
// names the argument and what is wrong with it ("vornhale: unknown option
// --bogus"), then the usage lines, and a folder it cannot enter or a FILE
// that is a FIFO (whose open would wait), a socket or a folder a message, on
// standard error. Every line of ours fits 80 columns. Returns the exit status
// when the program should end at once (0 after help or the version, the
// summary's status after --summary, 2 for a
// usage error or a folder it cannot enter), nothing to carry on.
std::optional<int> enter_start_folder(const std::vector<std::string>& arguments, bool& station,
                                      std::filesystem::path& record_file, std::string_view manual);
