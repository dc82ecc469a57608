#include "platform/esptool_lookup.h"
#include "platform/process.h"
#include "platform/version_order.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
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

std::optional<found_tool> placed(std::optional<std::string> path, const char* place)
{
    if (!path)
        return std::nullopt;
    return found_tool{std::move(*path), place};
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

// find_program, saying where it found the program.
std::optional<found_tool> find_placed(std::string_view windows_name)
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
            return placed(found, "in this folder");
    }
    if (auto found = find_on_path(base))
        return placed(found, "on PATH");
    if (auto found = find_on_path(base + ".py"))
        return placed(found, "on PATH");

    if (base != "esptool")
        return std::nullopt;
    const std::optional<std::string> home = home_folder();
    if (!home)
        return std::nullopt;
    if (auto found = find_in_arduino_tools(fs::path(*home) / ".arduino15/packages/esp32/tools/esptool_py"))
        return placed(found, "the Arduino IDE's");
    return placed(first_executable({*home + "/.platformio/packages/tool-esptoolpy/esptool.py"}), "PlatformIO's");
}

}  // namespace

std::optional<std::string> find_program(std::string_view windows_name)
{
    std::optional<found_tool> found = find_placed(windows_name);
    return found ? std::optional(std::move(found->path)) : std::nullopt;
}

std::optional<found_tool> locate_esptool()
{
    std::optional<found_tool> found = find_placed(".\\esptool.exe");
    std::error_code error;
    if (found)
        if (const fs::path absolute = fs::absolute(found->path, error); !error)
            found->path = absolute.lexically_normal().string();
    return found;
}

std::string esptool_places()
{
    return "  this folder: esptool.exe, esptool, esptool.py\n"
           "  PATH: esptool, esptool.py\n"
           "  the Arduino IDE's tools, the newest VERSION first:\n"
           "    ~/.arduino15/packages/esp32/tools/esptool_py/VERSION/esptool, esptool.py\n"
           "  PlatformIO's: ~/.platformio/packages/tool-esptoolpy/esptool.py\n";
}

std::optional<std::string> python_for(const std::string& program)
{
    if (!program.ends_with(".py"))
        return std::nullopt;
    std::ifstream script(program, std::ios::binary);
    std::string first(256, '\0');  // the first line, as far as an interpreter line goes
    script.read(first.data(), static_cast<std::streamsize>(first.size()));
    first.resize(static_cast<std::size_t>(script.gcount()));
    first.resize(std::min(first.find('\n'), first.size()));
    if (first.starts_with("#!")) {
        std::istringstream words(first.substr(2));
        std::string interpreter;
        std::string argument;
        words >> interpreter >> argument;
        const bool by_env = fs::path(interpreter).filename() == "env" && is_executable_file(interpreter);
        const std::string named = by_env ? argument : interpreter;
        if (by_env ? find_on_path(named).has_value() : is_executable_file(named))
            return std::nullopt;
        if (!fs::path(named).filename().string().starts_with("python"))
            return std::nullopt;  // not a Python of its own: left to the system, which says why
    }
    return find_on_path("python3");
}

std::string tool_not_found_reason()
{
    return "esptool not found in this folder, on PATH, or among the Arduino IDE's and PlatformIO's tools: install it "
           "(sudo apt install esptool on Debian 13, pipx install esptool on Debian 12, or the Arduino IDE's ESP32 "
           "boards package); see FINDING ESPTOOL in man vornhale";
}

}  // namespace platform
