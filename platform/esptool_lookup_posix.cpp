#include "platform/esptool_lookup.h"
#include "platform/process.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace platform {
namespace {

bool is_executable_file(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> first_executable(const std::vector<std::string>& candidates)
{
    for (const std::string& candidate : candidates)
        if (is_executable_file(candidate))
            return candidate;
    return std::nullopt;
}

std::optional<std::string> find_on_path(const std::string& name)
{
    const char* path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (true) {
        const std::size_t end = dirs.find(':', start);
        const std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        if (is_executable_file(candidate))
            return candidate;
        if (end == std::string::npos)
            return std::nullopt;
        start = end + 1;
    }
}

std::optional<std::string> home_folder()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return std::string(home);
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr)
        return std::string(entry->pw_dir);
    return std::nullopt;
}

// The newest version folder below tools that holds esptool, as the Arduino
// IDE installs it.
std::optional<std::string> find_in_arduino_tools(const fs::path& tools)
{
    std::vector<std::string> versions;
    std::error_code error;
    for (fs::directory_iterator it(tools, error); !error && it != fs::directory_iterator(); it.increment(error))
        versions.push_back(it->path().filename().string());
    std::sort(versions.begin(), versions.end(),
              [](const std::string& a, const std::string& b) { return older_version(b, a); });
    for (const std::string& version : versions) {
        const std::string folder = (tools / version).string();
        if (auto found = first_executable({folder + "/esptool", folder + "/esptool.py"}))
            return found;
    }
    return std::nullopt;
}

// One part of a version: a number, or text (a pre-release tag such as "dev1").
struct version_part {
    bool number;
    std::string_view text;
};

std::vector<version_part> version_parts(std::string_view version)
{
    std::vector<version_part> parts;
    std::size_t start = 0;
    while (start <= version.size()) {
        std::size_t end = version.find_first_of(".-_+", start);
        if (end == std::string_view::npos)
            end = version.size();
        const std::string_view text = version.substr(start, end - start);
        const bool number = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (!text.empty())
            parts.push_back({number, text});
        start = end + 1;
    }
    return parts;
}

// <0, 0, >0 as a is older than, as old as, newer than b; numbers compare by
// value (with any length of digits), text is older than any number.
int compare_parts(const version_part& a, const version_part& b)
{
    if (a.number != b.number)
        return a.number ? 1 : -1;
    if (!a.number)
        return a.text.compare(b.text);
    const auto significant = [](std::string_view digits) {
        const std::size_t first = digits.find_first_not_of('0');
        return first == std::string_view::npos ? std::string_view() : digits.substr(first);
    };
    const std::string_view x = significant(a.text), y = significant(b.text);
    if (x.size() != y.size())
        return x.size() < y.size() ? -1 : 1;
    return x.compare(y);
}

}  // namespace

bool older_version(std::string_view a, std::string_view b)
{
    const std::vector<version_part> x = version_parts(a), y = version_parts(b);
    for (std::size_t i = 0; i < std::max(x.size(), y.size()); ++i) {
        if (i == x.size())  // "5.0" is newer than "5.0.dev1", older than "5.0.1"
            return y[i].number;
        if (i == y.size())
            return !x[i].number;
        if (const int order = compare_parts(x[i], y[i]); order != 0)
            return order < 0;
    }
    return false;
}

std::optional<std::string> find_program(std::string_view windows_name)
{
    std::string name(windows_name);
    std::replace(name.begin(), name.end(), '\\', '/');
    const std::size_t slash = name.rfind('/');
    std::string base = name.substr(slash == std::string::npos ? 0 : slash + 1);
    constexpr std::string_view exe = ".exe";
    if (base.size() > exe.size() && base.ends_with(exe))
        base.resize(base.size() - exe.size());

    if (slash != std::string::npos) {
        const std::string folder = name.substr(0, slash + 1);
        if (auto found = first_executable({name, folder + base, folder + base + ".py"}))
            return found;
    }
    if (auto found = find_on_path(base))
        return found;
    if (auto found = find_on_path(base + ".py"))
        return found;

    if (base != "esptool")
        return std::nullopt;
    const std::optional<std::string> home = home_folder();
    if (!home)
        return std::nullopt;
    if (auto found = find_in_arduino_tools(fs::path(*home) / ".arduino15/packages/esp32/tools/esptool_py"))
        return found;
    return first_executable({*home + "/.platformio/packages/tool-esptoolpy/esptool.py"});
}

std::string tool_not_found_reason()
{
    return "esptool not found in this folder, on PATH, or among the Arduino IDE's and PlatformIO's tools: see "
           "\"Getting esptool\" in Vornhale's README";
}

}  // namespace platform
