// The Windows entry: a GUI program (no console window of its own). Its one
// argument may be --station (a shortcut's target can say it); anything else
// is ignored, as the working folder is where the firmware is.

#include "app/entry.h"

#include <cwchar>
#include <windows.h>

#include <shellapi.h>  // after windows.h, which it needs

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    int count = 0;
    bool station = false;
    if (wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
        station = count > 1 && std::wcscmp(arguments[1], L"--station") == 0;
        ::LocalFree(arguments);
    }
    return vornhale_main(station);
}
