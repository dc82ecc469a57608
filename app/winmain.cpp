// The Windows entry: a GUI program (no console window of its own). It takes
// the same arguments as on Linux: a folder to work in (one dropped on
// vornhale.exe, or a shortcut's), --station before it (and --record FILE
// after that), --summary [--csv] [FILE...], --help, --version.

#include "app/entry.h"
#include "app/start_folder.h"
#include "platform/standard_streams.h"
#include "platform/windows/windows_text.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>
#include <windows.h>

#include <shellapi.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    platform::open_missing_standard_streams();
    int count = 0;
    std::vector<std::string> arguments;
    if (wchar_t** given = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
        for (int i = 1; i < count; ++i)
            arguments.push_back(platform::windows::to_utf8(given[i]));
        ::LocalFree(given);
    }
    bool station = false;
    std::filesystem::path record_file;
    if (const std::optional<int> status = enter_start_folder(arguments, station, record_file, "See README.txt beside vornhale.exe."))
        return *status;
    return vornhale_main(station, record_file);
}
