#include "app/start_folder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <system_error>
#include <unistd.h>

namespace {

constexpr const char* usage_line =
    "usage: vornhale [FOLDER]   (flashes the build output in FOLDER, or in the working folder)\n"
    "       vornhale --station [--record FILE] [FOLDER]   (flashes every board plugged in, each once, several at\n"
    "         once; --record FILE: the records are appended to FILE)";

}  // namespace

std::optional<int> enter_start_folder(int argc, const char* const* argv, bool& station,
                                      std::filesystem::path& record_file)
{
    station = argc > 1 && std::string_view(argv[1]) == "--station";
    if (station) {
        --argc;
        ++argv;
    }
    record_file.clear();
    if (station && argc > 1 && std::string_view(argv[1]) == "--record") {
        if (argc < 3 || argv[2][0] == '\0') {
            std::fprintf(stderr, "%s\n", usage_line);
            return 2;
        }
        std::error_code error;
        record_file = std::filesystem::absolute(argv[2], error);
        if (error)
            record_file = argv[2];
        argc -= 2;
        argv += 2;
    }
    if (argc <= 1)
        return std::nullopt;
    const std::string_view first = argv[1];
    if (argc == 2 && (first == "-h" || first == "--help")) {
        std::fprintf(stderr, "%s\n", usage_line);
        return 0;
    }
    if (argc > 2 || (first.starts_with("-") && first != "-")) {
        std::fprintf(stderr, "%s\n", usage_line);
        return 2;
    }
    if (::chdir(argv[1]) != 0) {
        std::fprintf(stderr, "Vornhale cannot open the folder %s: %s\n", argv[1], std::strerror(errno));
        return 2;
    }
    return std::nullopt;
}
