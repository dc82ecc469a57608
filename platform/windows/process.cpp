#include "platform/process.h"

#include "platform/console.h"
#include "platform/output_lines.h"
#include "platform/windows/windows_text.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <exception>
#include <io.h>
#include <iostream>
#include <stdexcept>
#include <string>
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

// The program's output on its way to our standard output and to the line
// observer, in UTF-8: line by line, each line read as UTF-8 when it is, and
// in the ANSI code page otherwise (program_text_to_utf8). ASCII at the start of
// a line that has not ended yet is passed on at once (it reads the same either
// way), so that a line printed piece by piece ("Connecting....") shows as it
// grows.
class tool_output {
public:
    tool_output(const line_observer& on_line, bool pass_output) : lines_(on_line), pass_output_(pass_output) {}

    void feed(const char* data, std::size_t size)
    {
        pending_.append(data, size);
        std::size_t start = 0;
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            if (pending_[i] != '\n' && pending_[i] != '\r')
                continue;
            pass(std::string_view(pending_).substr(start, i + 1 - start));
            start = i + 1;
        }
        std::size_t ascii = start;
        while (ascii < pending_.size() && static_cast<unsigned char>(pending_[ascii]) < 0x80)
            ++ascii;
        if (pending_.size() - ascii > longest_observed_line) {
            // A very long line: passed on, cut where a UTF-8 character starts.
            ascii = pending_.size();
            while (ascii > start && (static_cast<unsigned char>(pending_[ascii - 1]) & 0xC0) == 0x80)
                --ascii;
        }
        pass(std::string_view(pending_).substr(start, ascii - start));
        pending_.erase(0, ascii);
    }

    // At the end of the output.
    void finish()
    {
        pass(pending_);
        pending_.clear();
        lines_.deliver();
    }

    void rethrow() const { lines_.rethrow(); }

private:
    void pass(std::string_view text)
    {
        if (text.empty())
            return;
        const std::string utf8 = windows::program_text_to_utf8(text);
        const std::string_view clean = lines_.clean(utf8.data(), utf8.size());
        if (pass_output_)
            write_console(console_stream::output, clean);
        lines_.feed(clean);
    }

    output_lines lines_;
    const bool pass_output_;
    std::string pending_;
};

// Reads what the file holds beyond what was read so far (at most a mebibyte
// at a time, should a program write faster than we read, and most_tool_output
// in all), without waiting. read: how much was read so far.
void read_available(HANDLE file, tool_output& output, std::size_t& read)
{
    char buffer[4096];
    // One byte past the bound tells that the program printed more.
    for (int i = 0; i < 256 && read <= most_tool_output; ++i) {
        DWORD got = 0;
        const auto want = static_cast<DWORD>(std::min(sizeof buffer, most_tool_output + 1 - read));
        if (!::ReadFile(file, buffer, want, &got, nullptr) || got == 0)
            return;
        read += got;
        output.feed(buffer, got);
    }
}

// Whether the program has printed all it may: a file has no bound the system
// keeps, so the runner ends the program once it sees it there, at most a
// poll interval of output later.
bool printed_too_much(HANDLE file)
{
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(file, &size) && static_cast<unsigned long long>(size.QuadPart) > most_tool_output;
}

// Whether processes of the job are still running (the program's own children).
bool job_running(HANDLE job)
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    return job != nullptr
           && ::QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                          nullptr)
           && accounting.ActiveProcesses > 0;
}

// The program's output goes to a temporary file, not a pipe: a pipe breaks
// when we end (killed, crashed) and the program's next line would fail, while
// a write to the file succeeds however we end, so a flash in progress still
// completes. The file is deleted once the last handle to it is closed: ours,
// the program's, its children's. Returns the handle the program writes with
// (inheritable) and ours to read with, or the error.
DWORD create_output_file(HANDLE& write_handle, HANDLE& read_handle)
{
    wchar_t folder[MAX_PATH + 1] = {};
    wchar_t name[MAX_PATH + 1] = {};
    if (::GetTempPathW(MAX_PATH + 1, folder) == 0 || ::GetTempFileNameW(folder, L"vhl", 0, name) == 0)
        return ::GetLastError();
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    write_handle = ::CreateFileW(name, GENERIC_WRITE, share, &inheritable, TRUNCATE_EXISTING,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (write_handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        ::DeleteFileW(name);
        write_handle = nullptr;
        return error;
    }
    read_handle = ::CreateFileW(name, GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (read_handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(write_handle);
        write_handle = read_handle = nullptr;
        return error;
    }
    return ERROR_SUCCESS;
}

// Our environment, with Python asked to write its standard streams in UTF-8
// (PYTHONIOENCODING): a Python tool then passes on every character, not only
// those of the ANSI code page; and with TERM saying the terminal is dumb, so
// that esptool 5 prints plain text, without colours and cursor movements.
std::wstring tool_environment()
{
    constexpr std::wstring_view ours[] = {L"PYTHONIOENCODING=utf-8", L"TERM=dumb"};
    const auto is_ours = [&ours](std::wstring_view entry) {
        for (const std::wstring_view setting : ours) {
            const std::size_t name = setting.find(L'=') + 1;
            if (entry.size() >= name
                && ::CompareStringOrdinal(entry.data(), static_cast<int>(name), setting.data(), static_cast<int>(name),
                                          TRUE) == CSTR_EQUAL)
                return true;
        }
        return false;
    };
    std::wstring block;
    if (wchar_t* strings = ::GetEnvironmentStringsW()) {
        for (const wchar_t* entry = strings; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
            const std::wstring_view text(entry);
            if (is_ours(text))
                continue;
            block.append(text);
            block += L'\0';
        }
        ::FreeEnvironmentStringsW(strings);
    }
    for (const std::wstring_view setting : ours) {
        block.append(setting);
        block += L'\0';
    }
    block += L'\0';
    return block;
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
                             bool pass_output, const std::filesystem::path& folder)
{
    if (stop != nullptr && stop->requested())
        return {run_outcome::kind::stopped, 0};
    const std::vector<std::string> arguments = split_command_line(command_line);
    if (arguments.empty())
        return {run_outcome::kind::not_found, 0};
    std::wstring line;
    std::wstring program_path;  // run from another folder: the program named with a folder, from ours
    try {
        line = windows::to_utf16(command_line);
        const std::string& program = arguments.front();
        if (!folder.empty() && program.find_first_of("\\/") != std::string::npos) {
            std::error_code error;
            program_path = std::filesystem::absolute(windows::to_utf16(program), error).wstring();
        }
    } catch (const std::invalid_argument&) {
        return {run_outcome::kind::not_started, ERROR_NO_UNICODE_TRANSLATION};
    }

    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE read_handle = nullptr;
    HANDLE write_handle = nullptr;
    if (const DWORD error = create_output_file(write_handle, read_handle); error != ERROR_SUCCESS)
        return {run_outcome::kind::not_started, static_cast<int>(error)};
    handle_owner read_end(read_handle);
    handle_owner write_end(write_handle);
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
        std::wstring environment = tool_environment();
        if (!::CreateProcessW(program_path.empty() ? nullptr : program_path.c_str(), line.data(), nullptr, nullptr,
                              TRUE,
                              CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT |
                                  CREATE_SUSPENDED,
                              environment.data(), folder.empty() ? nullptr : folder.c_str(), &startup.StartupInfo,
                              &process)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                return {run_outcome::kind::not_found, 0};
            return {run_outcome::kind::not_started, static_cast<int>(error)};
        }
    }
    handle_owner program(process.hProcess);
    // The program and every program it starts (esptool's own launcher starts
    // one) form a job, which a stop ends as a whole. Where a job cannot be
    // had, a stop ends the program alone. The job is not killed when its
    // last handle closes: if we end during a run, the run goes on.
    handle_owner job(::CreateJobObjectW(nullptr, nullptr));
    if (job.get() != nullptr && !::AssignProcessToJobObject(job.get(), program.get()))
        job.reset();
    ::ResumeThread(process.hThread);
    ::CloseHandle(process.hThread);
    write_end.reset();
    no_input.reset();

    // Wait for the program itself, passing its output on as it comes. Once it
    // has ended, the rest of its output is read, and for a short while what
    // children of its own still write; they are not waited for.
    tool_output output(on_line, pass_output);
    std::size_t read = 0;
    bool stopped = false;
    bool too_much = false;
    while (::WaitForSingleObject(program.get(), static_cast<DWORD>(poll_interval.count())) == WAIT_TIMEOUT) {
        read_available(read_end.get(), output, read);
        if (!too_much && printed_too_much(read_end.get()))
            too_much = true;
        // A console program without a console has no request to end in order
        // that it would heed: a stop ends it at once.
        if (((stop != nullptr && stop->requested()) || too_much) && !stopped) {
            stopped = true;
            if (job.get() == nullptr || !::TerminateJobObject(job.get(), 1))
                ::TerminateProcess(program.get(), 1);
        }
    }
    read_available(read_end.get(), output, read);
    const auto give_up = std::chrono::steady_clock::now() + output_after_exit;
    while (job_running(job.get()) && std::chrono::steady_clock::now() < give_up) {
        ::Sleep(static_cast<DWORD>(poll_interval.count()));
        read_available(read_end.get(), output, read);
    }
    read_available(read_end.get(), output, read);
    output.finish();

    DWORD code = 0;
    ::GetExitCodeProcess(program.get(), &code);
    output.rethrow();
    if (too_much || read > most_tool_output)
        return {run_outcome::kind::too_much_output, static_cast<int>(most_tool_output)};
    if (stopped && code != 0)
        return {run_outcome::kind::stopped, 0};
    return {run_outcome::kind::exited, static_cast<int>(code)};
}

std::string tool_not_found_reason()
{
    return "esptool.exe not found in this folder: copy esptool.exe next to the firmware files";
}

}  // namespace platform
