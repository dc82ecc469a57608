// A stand-in for esptool.exe. Each call records its arguments, as Windows
// splits its command line, in call.N (UTF-8, one a line); prints say.N as it
// is, line by line with step.N milliseconds after each line when step.N
// exists, and ansi.N (UTF-8) as Python would: in the ANSI code page unless
// PYTHONIOENCODING asks for UTF-8; leaves a child of its own holding its
// output when child.N exists; waits sleep.N milliseconds; prints then.N,
// failing as Python does when that write fails, and says in done.N whether it
// did; and exits with code.N. Files beside the stand-in (the station runs it
// in a folder of its own that holds the images). When the folder
// holds a file named ports, runs on several ports at once count apart: N is
// the call's number on its port, and the call goes to call.PORT.N. When
// mac.PORT exists it names the chip first as esptool does: what
// FORM-firmware.txt or FORM-file-system.txt beside it (real esptool output;
// FORM from form.PORT, else v4.7.0) holds up to its MAC line, with mac.PORT
// for the MAC, and the rest of it last when it exits with 0 ("MAC: " and
// mac.PORT alone without such a file). err.N goes to standard error, and
// step.N counts carriage returns as line ends too. nostub: as Debian's 4.7.0, a
// call without --no-stub prints v4.7.0-no-s3-stub-firmware.txt and exits with 1.

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <io.h>
#include <iterator>
#include <string>
#include <windows.h>

#include <shellapi.h>

namespace {

std::string utf8(const wchar_t* text)
{
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length > 0 ? length - 1 : 0), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), length, nullptr, nullptr);
    return out;
}

bool exists(const std::string& name) { return ::GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string read(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main()
{
    const wchar_t* command_line = ::GetCommandLineW();
    // The grandchild: sleeps, holding the output it inherited.
    if (std::wstring(command_line).find(L"--hold-output") != std::wstring::npos) {
        ::Sleep(6000);
        return 0;
    }

    wchar_t own_path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, own_path, MAX_PATH);
    std::wstring folder(own_path, length);
    folder.resize(folder.find_last_of(L"\\/") + 1);
    ::SetCurrentDirectoryW(folder.c_str());

    int count = 0;
    wchar_t** args = ::CommandLineToArgvW(command_line, &count);
    std::string calls = "call.";
    std::string port;
    if (exists("ports"))
        for (int i = 1; i + 1 < count; ++i)
            if (std::wstring(args[i]) == L"--port")
                port = utf8(args[i + 1]);
    if (!port.empty())
        calls += port + ".";
    int call = 0;
    while (exists(calls + std::to_string(call)))
        ++call;
    const std::string n = std::to_string(call);

    std::ofstream record(calls + n, std::ios::binary);
    for (int i = 1; i < count; ++i)
        record << utf8(args[i]) << '\n';
    record.close();
    if (exists("nostub") && std::wstring(command_line).find(L" --no-stub ") == std::wstring::npos) {
        std::fputs(read("v4.7.0-no-s3-stub-firmware.txt").c_str(), stdout);
        return 1;
    }
    // The chip it reached, as esptool names it: mac.PORT.
    std::string rest;
    if (!port.empty() && exists("mac." + port)) {
        const std::string form = exists("form." + port) ? read("form." + port) : "v4.7.0";
        const bool file_system = std::wstring(command_line).find(L"fs.bin") != std::wstring::npos;
        std::string printed = read(form + (file_system ? "-file-system.txt" : "-firmware.txt"));
        if (printed.empty()) {
            std::printf("MAC: %s\n", read("mac." + port).c_str());
        } else {
            for (std::size_t at; (at = printed.find("f4:12:fa:5a:1c:30")) != std::string::npos;)
                printed.replace(at, 17, read("mac." + port));
            const std::size_t mac = printed.find("MAC:");
            const std::size_t head = mac == std::string::npos ? 0 : printed.find('\n', mac) + 1;
            ::_setmode(::_fileno(stdout), _O_BINARY);
            std::fwrite(printed.data(), 1, head, stdout);
            rest = printed.substr(head);
        }
        std::fflush(stdout);
    }
    if (exists("err." + n)) {
        const std::string said = read("err." + n);
        ::_setmode(::_fileno(stderr), _O_BINARY);
        std::fwrite(said.data(), 1, said.size(), stderr);
        std::fflush(stderr);
    }

    if (exists("say." + n)) {
        ::_setmode(::_fileno(stdout), _O_BINARY);
        const std::string said = read("say." + n);
        const DWORD step = exists("step." + n) ? static_cast<DWORD>(std::stoul(read("step." + n))) : 0;
        for (std::size_t at = 0; at < said.size();) {
            const std::size_t end =
                step > 0 ? std::min(said.find_first_of("\r\n", at), said.size() - 1) + 1 : said.size();
            std::fwrite(said.data() + at, 1, end - at, stdout);
            std::fflush(stdout);
            at = end;
            if (step > 0)
                ::Sleep(step);
        }
    }
    if (exists("ansi." + n)) {
        const std::string text = read("ansi." + n);
        wchar_t wide[1024];
        const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide, 1024);
        char encoding[16] = {};
        const bool utf8 = ::GetEnvironmentVariableA("PYTHONIOENCODING", encoding, sizeof encoding) > 0
                          && ::_stricmp(encoding, "utf-8") == 0;
        char out[4096];
        const int size =
            ::WideCharToMultiByte(utf8 ? CP_UTF8 : CP_ACP, 0, wide, length, out, sizeof out, nullptr, nullptr);
        ::_setmode(::_fileno(stdout), _O_BINARY);
        std::fwrite(out, 1, static_cast<std::size_t>(size), stdout);
        std::fflush(stdout);
    }
    if (exists("child." + n)) {
        std::wstring child = std::wstring(L"\"") + args[0] + L"\" --hold-output";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (::CreateProcessW(nullptr, child.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
            ::CloseHandle(process.hThread);
            ::CloseHandle(process.hProcess);
        }
    }
    if (exists("sleep." + n))
        ::Sleep(static_cast<DWORD>(std::stoul(read("sleep." + n))));
    ::LocalFree(args);
    if (exists("then." + n)) {
        const std::string said = read("then." + n);
        const bool written =
            std::fwrite(said.data(), 1, said.size(), stdout) == said.size() && std::fflush(stdout) == 0;
        std::ofstream("done." + n) << (written ? "ok" : "write failed");
        if (!written)
            return 1;
    }
    const int code = exists("code." + n) ? std::stoi(read("code." + n)) : 0;
    if (code == 0 && !rest.empty()) {
        std::fwrite(rest.data(), 1, rest.size(), stdout);
        std::fflush(stdout);
    }
    return code;
}
