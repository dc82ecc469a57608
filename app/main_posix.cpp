#include "app/entry.h"
#include "app/start_folder.h"
#include "platform/standard_streams.h"

#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Here the program may be given the folder to start in ("Open With").
int main(int argc, char** argv)
{
    platform::open_missing_standard_streams();
    // A limit on file sizes (ulimit -f) makes a write fail with EFBIG, which
    // says so like any other failure, instead of ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
    bool station = false;
    std::filesystem::path record_file;
    if (const std::optional<int> status =
            enter_start_folder(std::vector<std::string>(argv + 1, argv + argc), station, record_file,
                               "See vornhale(1)."))
        return *status;
    return vornhale_main(station, record_file);
}
