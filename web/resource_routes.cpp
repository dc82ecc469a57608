#include "web/resource_routes.h"

#include <map>
#include <string_view>

namespace {

// Escapes the regular-expression characters that may occur in a file name,
// except ".", which stays a wildcard.
std::string route_pattern(const std::string& path)
{
    std::string pattern;
    for (const char c : path) {
        if (std::string_view("\\^$|()[]{}*+?").find(c) != std::string_view::npos)
            pattern += '\\';
        pattern += c;
    }
    return pattern;
}

}  // namespace

httplib::Server::Handler resource_handler(embedded::resource_filesystem filesystem, std::string directory_path,
                                          std::string name, std::string content_type)
{
    return [filesystem, directory_path = std::move(directory_path), name = std::move(name),
            content_type = std::move(content_type)](const httplib::Request&, httplib::Response& response) {
        const embedded::resource_file file = filesystem.open_file(directory_path + "/" + name);
        const std::string bytes(file.begin, file.end);
        response.set_content(bytes.data(), bytes.size(), content_type);
    };
}

void register_resource_routes(httplib::Server& server, const embedded::resource_filesystem& filesystem,
                              const std::string& resource_root, const std::string& directory_path,
                              const embedded::directory_entry& entry)
{
    if (!entry.is_file()) {
        const std::string subdirectory = directory_path + "/" + entry.name();
        for (const embedded::directory_entry& child : filesystem.list_directory(subdirectory))
            register_resource_routes(server, filesystem, resource_root, subdirectory, child);
        return;
    }
    const std::string name_part = entry.name() == "index.html" ? "" : entry.name();
    const std::string route = (directory_path + "/" + name_part).substr(resource_root.size());
    const std::string content_type =
        httplib::detail::find_content_type(entry.name(), std::map<std::string, std::string>{}, "text/plain");
    server.Get(route_pattern(route), resource_handler(filesystem, directory_path, entry.name(), content_type));
}
