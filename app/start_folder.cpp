#include "app/start_folder.h"

#include "flash/esptool_report.h"
#include "station/summary.h"
#include "platform/console.h"
#include "platform/file_names.h"
#include "platform/record_file.h"

#include <filesystem>
#include <fmt/core.h>
#include <string_view>
#include <system_error>

namespace {

constexpr std::string_view usage_lines = "usage: vornhale [FOLDER]\n"
                                         "       vornhale --station [--record FILE] [FOLDER]\n"
                                         "       vornhale --summary [--csv] [FILE...]\n"
                                         "       vornhale --help | --version\n";

constexpr std::string_view help_lines =
    "\n"
    "Flashes the build output in FOLDER (or in the current folder) onto the\n"
    "ESP32-S3 board plugged in, and shows every step in a window.\n"
    "\n"
    "  --station      flash every board plugged in, each once, several at once\n"
    "  --record FILE  with --station: append its records to FILE (without it,\n"
    "                 to a file of the session's own)\n"
    "  --summary      print a batch's counts, rate and failure reasons from the\n"
    "                 station's record files FILE (without one, from all those\n"
    "                 in the station's records folder)\n"
    "  --csv          with --summary: print the records as a table (CSV)\n"
    "  -h, --help     print this help\n"
    "  --version      print the version, and which esptool a flash would run\n"
    "\n";

// An argument as the first line shows it: a control character as \xNN, so
// that the line stays one.
std::string shown(std::string_view argument)
{
    std::string out;
    for (const char c : argument) {
        const auto byte = static_cast<unsigned char>(c);
        out += byte < 0x20 || byte == 0x7F ? fmt::format("\\x{:02x}", byte) : std::string(1, c);
    }
    return out;
}

int usage_error(const std::string& why)
{
    platform::write_console(platform::console_stream::error, "vornhale: " + why + "\n" + std::string(usage_lines));
    return 2;
}

bool is_option(const std::string& argument) { return argument.starts_with("-") && argument != "-"; }

// What is wrong with the arguments from first on, where a FOLDER, --help or
// --version may stand; empty when nothing is.
std::string misuse(const std::vector<std::string>& arguments, std::size_t first)
{
    for (std::size_t i = first; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool alone = arguments.size() == first + 1;
        if (argument == "--station" || argument == "--summary")
            return argument + " comes first";
        if (argument == "--csv")
            return "--csv comes right after --summary";
        if (argument == "--record")
            return "--record FILE comes right after --station";
        if (argument == "-h" || argument == "--help" || argument == "--version")
            return alone ? std::string() : argument + " takes no other arguments";
        if (is_option(argument))
            return "unknown option " + shown(argument);
        if (i > first)
            return "one FOLDER at most: " + shown(argument) + " is a second";
    }
    return {};
}

// vornhale --summary [--csv] [FILE...]: arguments from the one after --summary.
int summary(const std::vector<std::string>& arguments)
{
    std::size_t first = 1;
    const bool csv = arguments.size() > 1 && arguments[1] == "--csv";
    first += csv;
    std::vector<std::string> files;
    for (std::size_t i = first; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--csv")
            return usage_error("--csv comes right after --summary");
        if (argument == "--summary" || argument == "--station" || argument == "--record" || argument == "-h"
            || argument == "--help" || argument == "--version")
            return usage_error("--summary takes FILEs, not " + argument);
        if (is_option(argument))
            return usage_error("unknown option " + shown(argument));
        if (argument.empty())
            return usage_error("a FILE cannot be an empty name");
        files.push_back(argument);
    }
    return batch::print_summary(csv, files);
}

}  // namespace

std::optional<int> enter_start_folder(const std::vector<std::string>& arguments, bool& station,
                                      std::filesystem::path& record_file, std::string_view manual)
{
    using platform::console_stream;
    if (!arguments.empty() && arguments[0] == "--summary")
        return summary(arguments);
    station = !arguments.empty() && arguments[0] == "--station";
    std::size_t first = station ? 1 : 0;
    record_file.clear();
    if (station && arguments.size() > 1 && arguments[1] == "--record") {
        if (arguments.size() < 3 || arguments[2].empty())
            return usage_error("--record needs a FILE");
        std::error_code error;
        record_file = platform::path_from_utf8(arguments[2]);
        if (const std::filesystem::path absolute = std::filesystem::absolute(record_file, error); !error)
            record_file = absolute;
        if (const std::optional<std::string_view> refusal = platform::record_path_refusal(record_file)) {
            platform::print_console("Vornhale cannot keep its records in " + arguments[2] + ": " +
                                    std::string(*refusal) + "\n");
            return 2;
        }
        first = 3;
    }
    if (const std::string why = misuse(arguments, first); !why.empty())
        return usage_error(why);
    if (arguments.size() <= first)
        return std::nullopt;
    const std::string& folder = arguments[first];
    if (folder == "-h" || folder == "--help") {
        platform::write_console(console_stream::output,
                                std::string(usage_lines) + std::string(help_lines) + std::string(manual) + "\n");
        return 0;
    }
    if (folder == "--version") {
        platform::write_console(console_stream::output, "vornhale " VORNHALE_VERSION "\n" + esptool_report());
        return 0;
    }
    std::error_code error;
    std::filesystem::current_path(platform::path_from_utf8(folder), error);
    if (error) {
        platform::print_console("Vornhale cannot open the folder " + folder + ": " + error.message() + "\n");
        return 2;
    }
    return std::nullopt;
}
