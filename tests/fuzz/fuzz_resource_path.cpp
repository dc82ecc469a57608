// Any path handed to the resource lookups either names one of the embedded
// files or directories, or fails with the documented error; nothing else.

#include "web/resource_filesystem.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <system_error>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

void check_error(const std::system_error& error, const std::string& path, int allowed_a, int allowed_b)
{
    require(error.code().category() == std::generic_category());
    require(error.code().value() == allowed_a || error.code().value() == allowed_b);
    // what() is a C string: a path with a NUL byte shows up to that byte.
    const std::string prefix = (path + ": ").substr(0, path.find('\0'));
    require(std::string(error.what()).rfind(prefix, 0) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const embedded::resource_filesystem fs = embedded::get_resource_filesystem();
    static const embedded::resource_file page = fs.open_file("web_resources/index.html");
    static const embedded::resource_file stylesheet = fs.open_file("web_resources/pico.red.min.css");

    const std::string path(reinterpret_cast<const char*>(data), size);
    try {
        const embedded::resource_file file = fs.open_file(path);
        require((file.begin == page.begin && file.end == page.end) ||
                (file.begin == stylesheet.begin && file.end == stylesheet.end));
    } catch (const std::system_error& error) {
        check_error(error, path, ENOENT, ENOENT);
    }
    try {
        for (const embedded::directory_entry& entry : fs.list_directory(path))
            require(!entry.name().empty() && entry.name().find('/') == std::string::npos);
    } catch (const std::system_error& error) {
        check_error(error, path, ENOENT, ENOTDIR);
    }
    return 0;
}
