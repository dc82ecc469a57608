#include "platform/private_folder.h"

#include "platform/digest.h"
#include "platform/file_names.h"

#include <windows.h>

#include <aclapi.h>
#include <algorithm>
#include <fmt/core.h>
#include <random>
#include <sddl.h>
#include <set>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace platform {
namespace {

constexpr std::size_t own_characters = 6;
// Held open, shared with nobody, while the folder's maker lives; the system
// closes it when the maker is killed.
constexpr wchar_t lock_name[] = L"in-use";
// Made in each folder once it is locked, and given the name of each file
// before that file is made: a folder left behind is removed only when its
// marker proves it a copy of ours and names everything else in it (the lock
// file too, which a power cut may leave).
constexpr wchar_t marker_name[] = L".vornhale-copy";
constexpr std::string_view marker_start = "A private copy of Vornhale's; its files:\nin-use\n";

std::string why(DWORD error) { return std::system_category().message(static_cast<int>(error)); }

class handle_closer {
public:
    explicit handle_closer(HANDLE h) : h_(h) {}
    ~handle_closer()
    {
        if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE)
            ::CloseHandle(h_);
    }
    handle_closer(const handle_closer&) = delete;
    handle_closer& operator=(const handle_closer&) = delete;
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE h_;
};

// This process's user, as its token says.
std::vector<unsigned char> user_sid()
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        throw std::runtime_error("cannot tell this process's user: " + why(::GetLastError()));
    const handle_closer closer(token);
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    if (size == 0 || !::GetTokenInformation(token, TokenUser, user.data(), size, &size))
        throw std::runtime_error("cannot tell this process's user: " + why(::GetLastError()));
    const PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    std::vector<unsigned char> copy(::GetLengthSid(sid));
    ::CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid);
    return copy;
}

// A folder's security: full access for this user alone, for the folder and
// all made in it, nothing inherited from the folder above.
class user_only {
public:
    user_only()
    {
        std::vector<unsigned char> sid = user_sid();
        LPWSTR text = nullptr;
        if (!::ConvertSidToStringSidW(sid.data(), &text))
            throw std::runtime_error("cannot tell this process's user: " + why(::GetLastError()));
        const std::wstring sddl = std::wstring(L"D:P(A;OICI;FA;;;") + text + L")";
        ::LocalFree(text);
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor_,
                                                                    nullptr))
            throw std::runtime_error("cannot describe a private folder: " + why(::GetLastError()));
        attributes_.lpSecurityDescriptor = descriptor_;
    }
    ~user_only() { ::LocalFree(descriptor_); }
    user_only(const user_only&) = delete;
    user_only& operator=(const user_only&) = delete;
    SECURITY_ATTRIBUTES* get() { return &attributes_; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

// Writes all of bytes to file; false when it cannot.
bool write_all(HANDLE file, std::string_view bytes)
{
    while (!bytes.empty()) {
        DWORD put = 0;
        if (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) || put == 0)
            return false;
        bytes.remove_prefix(put);
    }
    return true;
}

// Whether the folder at path is provably a copy of ours: its marker is there
// and names each other entry, and each is a file.
bool only_a_copy(const fs::path& path)
{
    const handle_closer marker(::CreateFileW((path / marker_name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    LARGE_INTEGER size{};
    if (!marker.valid() || ::GetFileType(marker.get()) != FILE_TYPE_DISK || !::GetFileSizeEx(marker.get(), &size)
        || size.QuadPart > 64 * 1024)
        return false;
    std::string text(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!::ReadFile(marker.get(), text.data(), static_cast<DWORD>(text.size()), &got, nullptr) || got != text.size()
        || !text.starts_with(marker_start))
        return false;
    std::set<std::string, std::less<>> names{utf8_path(fs::path(marker_name))};
    for (std::size_t at = text.find('\n') + 1, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        names.insert(text.substr(at, end - at));
    std::error_code error;
    for (fs::directory_iterator entry(path, error), end; entry != end; entry.increment(error)) {
        const DWORD attributes = ::GetFileAttributesW(entry->path().c_str());
        if (error || !names.contains(utf8_path(entry->path().filename())) || attributes == INVALID_FILE_ATTRIBUTES
            || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
            return false;
    }
    return !error;
}

// Whether path is owned by this user.
bool owned_by_user(const fs::path& path, const std::vector<unsigned char>& sid)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                nullptr, &descriptor)
        != ERROR_SUCCESS)
        return false;
    const bool ours = owner != nullptr && ::EqualSid(owner, const_cast<unsigned char*>(sid.data()));
    ::LocalFree(descriptor);
    return ours;
}

}  // namespace

private_folder::private_folder(std::string_view prefix)
{
    std::error_code error;
    const fs::path temporary = fs::temp_directory_path(error);
    if (error)
        throw std::runtime_error("cannot find the system's temporary folder (%TMP%, %TEMP%): " + error.message());
    user_only security;
    std::random_device seed;
    std::mt19937 random(seed());
    constexpr char characters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int tries = 0; path_.empty(); ++tries) {
        std::string name(prefix);
        for (std::size_t i = 0; i < own_characters; ++i)
            name += characters[random() % (sizeof characters - 1)];
        const fs::path folder = temporary / path_from_utf8(name);
        // Made with its security: never reachable by another user, not even for a moment.
        if (::CreateDirectoryW(folder.c_str(), security.get()))
            path_ = folder;
        else if (const DWORD failure = ::GetLastError(); failure != ERROR_ALREADY_EXISTS || tries == 100)
            throw std::runtime_error(fmt::format("cannot make a folder in {}: {}", utf8_path(temporary), why(failure)));
    }
    const HANDLE lock = ::CreateFileW((path_ / lock_name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (lock == INVALID_HANDLE_VALUE) {
        const DWORD failure = ::GetLastError();
        ::RemoveDirectoryW(path_.c_str());
        throw std::runtime_error(fmt::format("cannot make a folder in {}: {}", utf8_path(temporary), why(failure)));
    }
    lock_ = reinterpret_cast<std::intptr_t>(lock);
    const HANDLE marker = ::CreateFileW((path_ / marker_name).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker == INVALID_HANDLE_VALUE || !write_all(marker, marker_start)) {
        const DWORD failure = ::GetLastError();
        if (marker != INVALID_HANDLE_VALUE)
            ::CloseHandle(marker);
        ::CloseHandle(lock);
        std::error_code ignored;
        fs::remove_all(path_, ignored);
        throw std::runtime_error(fmt::format("cannot make a folder in {}: {}", utf8_path(temporary), why(failure)));
    }
    marker_ = reinterpret_cast<std::intptr_t>(marker);
}

private_folder::~private_folder()
{
    ::CloseHandle(reinterpret_cast<HANDLE>(marker_));
    ::CloseHandle(reinterpret_cast<HANDLE>(lock_));
    std::error_code error;
    fs::remove_all(path_, error);
}

private_folder::copied private_folder::copy_in(const fs::path& source, std::string_view name, std::uintmax_t most,
                                               const std::atomic<bool>* stop) const
{
    if (name.empty() || name == "." || name == ".." || name.find_first_of("\\/:") != std::string_view::npos)
        throw std::runtime_error(fmt::format("cannot copy {}: not a file name", name));
    const handle_closer from(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!from.valid())
        throw std::runtime_error(fmt::format("cannot read {}: {}", utf8_path(source), why(::GetLastError())));
    if (::GetFileType(from.get()) != FILE_TYPE_DISK)
        throw std::runtime_error(fmt::format("cannot read {}: it is not a file", utf8_path(source)));
    if (!write_all(reinterpret_cast<HANDLE>(marker_), std::string(name) + "\n"))
        throw std::runtime_error(
            fmt::format("cannot copy {} to {}: {}", name, utf8_path(path_), why(::GetLastError())));
    // CREATE_NEW: never a file that is there, nor what a link there names.
    const handle_closer to(::CreateFileW((path_ / path_from_utf8(name)).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    const auto cannot_copy = [&](DWORD failure) {
        return std::runtime_error(fmt::format("cannot copy {} to {}: {}", name, utf8_path(path_), why(failure)));
    };
    if (!to.valid())
        throw cannot_copy(::GetLastError());
    copied result;
    sha256_digest digest;
    std::vector<char> buffer(64 * 1024);
    while (true) {
        if (stop != nullptr && *stop)
            throw stopped();
        const auto want = static_cast<DWORD>(std::min<std::uintmax_t>(buffer.size(), most - result.size));
        DWORD got = 0;
        // One byte past the most tells whether there is more.
        if (!::ReadFile(from.get(), buffer.data(), want > 0 ? want : 1, &got, nullptr))
            throw std::runtime_error(fmt::format("cannot read {}: {}", utf8_path(source), why(::GetLastError())));
        if (got == 0)
            break;
        if (want == 0) {
            result.beyond = true;
            break;
        }
        digest.add(std::string_view(buffer.data(), got));
        for (DWORD put_all = 0; put_all < got;) {
            DWORD put = 0;
            if (!::WriteFile(to.get(), buffer.data() + put_all, got - put_all, &put, nullptr))
                throw cannot_copy(::GetLastError());
            if (put == 0)
                throw cannot_copy(ERROR_DISK_FULL);
            put_all += put;
        }
        result.size += got;
    }
    result.sha256 = digest.hex();
    return result;
}

void remove_left_private_folders(std::string_view prefix)
{
    std::error_code error;
    const fs::path temporary = fs::temp_directory_path(error);
    if (error)
        return;
    std::vector<unsigned char> sid;
    try {
        sid = user_sid();
    } catch (const std::exception&) {
        return;
    }
    for (fs::directory_iterator entry(temporary, error), end; !error && entry != end; entry.increment(error)) {
        const std::string name = utf8_path(entry->path().filename());
        if (!name.starts_with(prefix) || name.size() != prefix.size() + own_characters)
            continue;
        const DWORD attributes = ::GetFileAttributesW(entry->path().c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0
            || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !owned_by_user(entry->path(), sid))
            continue;
        // In use while its maker holds the lock file open, sharing it with nobody.
        const HANDLE lock =
            ::CreateFileW((entry->path() / lock_name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (lock != INVALID_HANDLE_VALUE)
            ::CloseHandle(lock);
        else if (::GetLastError() == ERROR_SHARING_VIOLATION)
            continue;
        std::error_code ignored;
        if (only_a_copy(entry->path()))
            fs::remove_all(entry->path(), ignored);
    }
}

}  // namespace platform
