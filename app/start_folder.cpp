#include "app/start_folder.h"

#include "platform/console.h"
#include "platform/file_names.h"
#include "platform/record_file.h"

#include <filesystem>
#include <string_view>
#include <system_error>

namespace {

constexpr std::string_view usage_lines =
    "usage: vornhale [FOLDER]   (flashes the build output in FOLDER, or in the working folder)\n"
    "       vornhale --station [--record FILE] [FOLDER]   (flashes every board plugged in, each once, several at\n"
    "         once; the records go to FILE, or to a file of the session's own)\n"
    "       vornhale --help | --version\n";

}  // namespace

std::optional<int> enter_start_folder(const std::vector<std::string>& arguments, bool& station,
                                      std::filesystem::path& record_file)
{
    using platform::console_stream;
    station = !arguments.empty() && arguments[0] == "--station";
    std::size_t first = station ? 1 : 0;
    record_file.clear();
    if (station && arguments.size() > 1 && arguments[1] == "--record") {
        if (arguments.size() < 3 || arguments[2].empty()) {
            platform::write_console(console_stream::error, usage_lines);
            return 2;
        }
        std::error_code error;
        record_file = platform::path_from_utf8(arguments[2]);
        if (const std::filesystem::path absolute = std::filesystem::absolute(record_file, error); !error)
            record_file = absolute;
        if (platform::names_other_than_a_file(record_file)) {
            platform::print_console("Vornhale cannot keep its records in " + arguments[2] + ": " +
                                    std::string(platform::not_a_regular_file) + "\n");
            return 2;
        }
        first = 3;
    }
    if (arguments.size() <= first)
        return std::nullopt;
    const std::string& folder = arguments[first];
    if (arguments.size() == first + 1 && (folder == "-h" || folder == "--help")) {
        platform::write_console(console_stream::output, usage_lines);
        return 0;
    }
    if (arguments.size() == first + 1 && folder == "--version") {
        platform::write_console(console_stream::output, "vornhale " VORNHALE_VERSION "\n");
        return 0;
    }
    if (arguments.size() > first + 1 || (folder.starts_with("-") && folder != "-")) {
        platform::write_console(console_stream::error, usage_lines);
        return 2;
    }
    std::error_code error;
    std::filesystem::current_path(platform::path_from_utf8(folder), error);
    if (error) {
        platform::print_console("Vornhale cannot open the folder " + folder + ": " + error.message() + "\n");
        return 2;
    }
    return std::nullopt;
}
