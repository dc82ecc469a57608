// The Windows entry: a GUI program (no console window of its own). Its first
// argument may be --station (a shortcut's target can say it), followed by
// --record FILE; anything else is ignored, as the working folder is where the
// firmware is.

#include "app/entry.h"
#include "platform/standard_streams.h"

#include <filesystem>
#include <cwchar>
#include <system_error>
#include <windows.h>

#include <shellapi.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    platform::open_missing_standard_streams();
    int count = 0;
    bool station = false;
    std::filesystem::path record_file;
    if (wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
        station = count > 1 && std::wcscmp(arguments[1], L"--station") == 0;
        if (station && count > 3 && std::wcscmp(arguments[2], L"--record") == 0 && arguments[3][0] != L'\0') {
            std::error_code error;
            record_file = std::filesystem::absolute(arguments[3], error);
            if (error)
                record_file = arguments[3];
        }
        ::LocalFree(arguments);
    }
    return vornhale_main(station, record_file);
}
