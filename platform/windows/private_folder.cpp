#include "platform/private_folder.h"

#include "platform/digest.h"
#include "platform/file_names.h"

#include <windows.h>

#include <aclapi.h>
#include <chrono>
#include <fmt/core.h>
#include <random>
#include <sddl.h>
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
constexpr std::chrono::minutes empty_while_made{1};

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
        throw std::runtime_error("cannot find the system's temporary folder: " + error.message());
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
}

private_folder::~private_folder()
{
    ::CloseHandle(reinterpret_cast<HANDLE>(lock_));
    std::error_code error;
    fs::remove_all(path_, error);
}

private_folder::copied private_folder::copy_in(const fs::path& source, std::string_view name) const
{
    if (name.empty() || name == "." || name == ".." || name.find_first_of("\\/:") != std::string_view::npos)
        throw std::runtime_error(fmt::format("cannot copy {}: not a file name", name));
    const handle_closer from(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!from.valid())
        throw std::runtime_error(fmt::format("cannot read {}: {}", utf8_path(source), why(::GetLastError())));
    if (::GetFileType(from.get()) != FILE_TYPE_DISK)
        throw std::runtime_error(fmt::format("cannot read {}: it is not a file", utf8_path(source)));
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
        DWORD got = 0;
        if (!::ReadFile(from.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
            throw std::runtime_error(fmt::format("cannot read {}: {}", utf8_path(source), why(::GetLastError())));
        if (got == 0)
            break;
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
        if (fs::is_empty(entry->path(), ignored)
            && fs::file_time_type::clock::now() - fs::last_write_time(entry->path(), ignored) < empty_while_made)
            continue;
        fs::remove_all(entry->path(), ignored);
    }
}

}  // namespace platform
