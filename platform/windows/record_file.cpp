#include "platform/record_file.h"


#include <cstdlib>
#include <system_error>
#include <windows.h>

namespace platform {
namespace {

std::string why(DWORD error) { return std::system_category().message(static_cast<int>(error)); }

}  // namespace

std::optional<std::filesystem::path> records_folder()
{
    const wchar_t* local = ::_wgetenv(L"LOCALAPPDATA");
    if (local == nullptr || *local == L'\0')
        return std::nullopt;
    return std::filesystem::path(local) / L"vornhale" / L"records";
}

std::optional<std::string_view> record_path_refusal(const std::filesystem::path& path)
{
    // A pipe or a device is told once it is opened (record_file::open).
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return not_a_regular_file;
    return std::nullopt;
}

record_file::~record_file()
{
    if (handle_ != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

std::string record_file::open(const std::filesystem::path& path, bool only_new)
{
    // FILE_APPEND_DATA alone: every write goes to the end, whoever else appends.
    const HANDLE file =
        ::CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      only_new ? CREATE_NEW : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && only_new && ::GetLastError() == ERROR_FILE_EXISTS)
        return std::string(already_there);
    if (file == INVALID_HANDLE_VALUE)
        return why(::GetLastError());
    // A pipe, whose writes may wait for good, is refused.
    if (::GetFileType(file) == FILE_TYPE_PIPE) {
        ::CloseHandle(file);
        return std::string(not_a_regular_file);
    }
    if (handle_ != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = reinterpret_cast<std::intptr_t>(file);
    return {};
}

bool record_file::is_open() const { return handle_ != -1; }

std::string record_file::append(std::string_view text, std::size_t& written)
{
    written = 0;
    const auto file = reinterpret_cast<HANDLE>(handle_);
    while (written < text.size()) {
        DWORD got = 0;
        const DWORD size = static_cast<DWORD>(std::min<std::size_t>(text.size() - written, 1u << 20));
        if (!::WriteFile(file, text.data() + written, size, &got, nullptr))
            return why(::GetLastError());
        if (got == 0)
            return why(ERROR_DISK_FULL);
        written += got;
    }
    if (!::FlushFileBuffers(file))
        return why(::GetLastError());
    return {};
}

}  // namespace platform

namespace platform {

std::string record_file::reserve(std::size_t bytes)
{
    // An append-only handle cannot set room aside: the free room of the
    // file's volume tells instead.
    const auto file = reinterpret_cast<HANDLE>(handle_);
    // A device (not a file on a disk) has no room to set aside: its writes tell.
    if (::GetFileType(file) != FILE_TYPE_DISK)
        return {};
    wchar_t path[MAX_PATH + 1];
    const DWORD length = ::GetFinalPathNameByHandleW(file, path, MAX_PATH, FILE_NAME_NORMALIZED);
    ULARGE_INTEGER free{};
    if (length > 0 && length <= MAX_PATH) {
        std::filesystem::path folder = std::filesystem::path(path).parent_path();
        if (::GetDiskFreeSpaceExW(folder.c_str(), &free, nullptr, nullptr) && free.QuadPart < bytes)
            return why(ERROR_DISK_FULL);
    }
    if (!::FlushFileBuffers(file))
        return why(::GetLastError());
    return {};
}

}  // namespace platform
