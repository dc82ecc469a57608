// Runs a program in this console, as a terminal would, and on a line on
// standard input sends the console a Ctrl+C (this launcher ignores it).
// Exits with the program's exit status.

#include <cstdio>
#include <iostream>
#include <string>
#include <windows.h>

int main()
{
    std::wstring line = ::GetCommandLineW();
    // Our own name, then the program's command line.
    std::size_t at = line[0] == L'"' ? line.find(L'"', 1) + 1 : line.find(L' ');
    std::wstring program = line.substr(line.find_first_not_of(L' ', at));
    ::SetConsoleCtrlHandler(nullptr, TRUE);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, program.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "launcher: cannot start the program (%lu)\n", ::GetLastError());
        return 127;
    }
    for (std::string request; std::getline(std::cin, request);) {
        if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
            std::fprintf(stderr, "launcher: no Ctrl+C sent (%lu)\n", ::GetLastError());
    }
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
    return static_cast<int>(code);
}
