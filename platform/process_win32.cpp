#include "platform/process.h"

#include "platform/output_lines.h"

#include "platform/windows_text.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <io.h>
#include <iostream>
#include <stdexcept>
#include <vector>

// The command line goes to CreateProcessW as it is (in UTF-16): no command
// interpreter, so nothing in it is interpreted but the grouping of arguments,
// which the program itself does. A program named with a folder, such as
// ".\esptool.exe", is looked for by Windows relative to the working folder.
namespace platform {
namespace {

constexpr auto poll_interval = std::chrono::milliseconds(20);

// Closes a handle once.
class handle_owner {
public:
    explicit handle_owner(HANDLE h = nullptr) : h_(h) {}
    ~handle_owner() { reset(); }
    handle_owner(const handle_owner&) = delete;
    handle_owner& operator=(const handle_owner&) = delete;
    HANDLE get() const { return h_; }
    void reset()
    {
        if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE)
            ::CloseHandle(h_);
        h_ = nullptr;
    }

private:
    HANDLE h_;
};

// Our standard output as the C library has it (a test may have redirected
// it), written without the text mode's line-end translation. A program
// started without one (a double-click) has none: then nothing is written.
void pass_through(const char* data, DWORD size)
{
    const intptr_t os_handle = ::_get_osfhandle(1);
    if (os_handle == -1 || os_handle == -2)
        return;
    while (size > 0) {
        DWORD written = 0;
        if (!::WriteFile(reinterpret_cast<HANDLE>(os_handle), data, size, &written, nullptr) || written == 0)
            return;
        data += written;
        size -= written;
    }
}

// Reads what the pipe holds now, without waiting. False once the pipe is
// closed at the other end and empty.
bool read_available(HANDLE pipe, output_lines& lines, bool& got_some, bool pass_output)
{
    got_some = false;
    char buffer[4096];
    for (;;) {
        DWORD available = 0;
        if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
            return false;
        if (available == 0)
            return true;
        DWORD got = 0;
        if (!::ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &got, nullptr))
            return false;
        got_some = got > 0;
        if (pass_output)
            pass_through(buffer, got);
        lines.feed(buffer, got);
    }
}

// The handles a started program inherits: exactly these, nothing else of ours.
class inherited_handles {
public:
    explicit inherited_handles(std::vector<HANDLE> handles) : handles_(std::move(handles))
    {
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (!::InitializeProcThreadAttributeList(list_, 1, 0, &size))
            throw std::runtime_error("attribute list");
        if (!::UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                         handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
            ::DeleteProcThreadAttributeList(list_);
            throw std::runtime_error("attribute list");
        }
    }
    ~inherited_handles() { ::DeleteProcThreadAttributeList(list_); }
    inherited_handles(const inherited_handles&) = delete;
    inherited_handles& operator=(const inherited_handles&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

private:
    std::vector<HANDLE> handles_;
    std::vector<char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

}  // namespace

run_outcome run_command_line(std::string_view command_line, const line_observer& on_line, const run_stop* stop,
                             bool pass_output)
{
    if (stop != nullptr && stop->requested())
        return {run_outcome::kind::stopped, 0};
    if (split_command_line(command_line).empty())
        return {run_outcome::kind::not_found, 0};
    std::wstring line;
    try {
        line = windows::to_utf16(command_line);
    } catch (const std::invalid_argument&) {
        return {run_outcome::kind::not_started, ERROR_NO_UNICODE_TRANSLATION};
    }

    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE read_handle = nullptr;
    HANDLE write_handle = nullptr;
    if (!::CreatePipe(&read_handle, &write_handle, &inheritable, 0))
        return {run_outcome::kind::not_started, static_cast<int>(::GetLastError())};
    handle_owner read_end(read_handle);
    handle_owner write_end(write_handle);
    ::SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
    handle_owner no_input(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                        OPEN_EXISTING, 0, nullptr));
    if (no_input.get() == INVALID_HANDLE_VALUE)
        return {run_outcome::kind::not_started, static_cast<int>(::GetLastError())};

    PROCESS_INFORMATION process{};
    {
        const inherited_handles inherited({write_end.get(), no_input.get()});
        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = no_input.get();
        startup.StartupInfo.hStdOutput = write_end.get();
        startup.StartupInfo.hStdError = write_end.get();
        startup.lpAttributeList = inherited.get();

        // What we printed so far comes before what the program prints.
        std::cout.flush();
        std::fflush(stdout);

        // No console window flashes up for the tool, and it shares no console
        // with us, so a Ctrl+C meant for us never reaches it.
        // Started suspended, so that it is in its job before it can start
        // programs of its own.
        if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                              CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT |
                                  CREATE_SUSPENDED,
                              nullptr, nullptr, &startup.StartupInfo, &process)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                return {run_outcome::kind::not_found, 0};
            return {run_outcome::kind::not_started, static_cast<int>(error)};
        }
    }
    handle_owner program(process.hProcess);
    // The program and every program it starts (esptool's own launcher starts
    // one) form a job, which a stop ends as a whole. Where a job cannot be
    // had, a stop ends the program alone.
    handle_owner job(::CreateJobObjectW(nullptr, nullptr));
    if (job.get() != nullptr && !::AssignProcessToJobObject(job.get(), program.get()))
        job.reset();
    ::ResumeThread(process.hThread);
    ::CloseHandle(process.hThread);
    write_end.reset();
    no_input.reset();

    // Wait for the program itself, passing its output on as it comes. Once it
    // has ended, what is left in the pipe is read for a short while; a child
    // of its own that still holds the pipe is not waited for.
    output_lines lines(on_line);
    bool open = true;
    bool got_some = false;
    bool stopped = false;
    while (::WaitForSingleObject(program.get(), static_cast<DWORD>(poll_interval.count())) == WAIT_TIMEOUT) {
        if (open)
            open = read_available(read_end.get(), lines, got_some, pass_output);
        // A console program without a console has no request to end in order
        // that it would heed: a stop ends it at once.
        if (stop != nullptr && stop->requested() && !stopped) {
            stopped = true;
            if (job.get() == nullptr || !::TerminateJobObject(job.get(), 1))
                ::TerminateProcess(program.get(), 1);
        }
    }
    const auto give_up = std::chrono::steady_clock::now() + output_after_exit;
    while (open && std::chrono::steady_clock::now() < give_up) {
        open = read_available(read_end.get(), lines, got_some, pass_output);
        if (open && !got_some)
            ::Sleep(static_cast<DWORD>(poll_interval.count()));
    }
    lines.deliver();

    DWORD code = 0;
    ::GetExitCodeProcess(program.get(), &code);
    lines.rethrow();
    if (stopped && code != 0)
        return {run_outcome::kind::stopped, 0};
    return {run_outcome::kind::exited, static_cast<int>(code)};
}

std::string tool_not_found_reason()
{
    return "esptool.exe not found in this folder: copy esptool.exe next to the firmware files";
}

}  // namespace platform
