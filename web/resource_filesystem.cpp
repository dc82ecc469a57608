#include "web/resource_filesystem.h"

#include <cerrno>
#include <system_error>

namespace embedded {

std::pair<resource_directory&, const resource_node&> resource_directory::add_subdirectory(const std::string& name)
{
    resource_directory& added = subdirectories.emplace_back();
    const auto stored = children.try_emplace(name, resource_node::of(added)).first;
    return {added, stored->second};
}

const resource_node* resource_directory::add_file(const std::string& name, const char* begin, const char* end)
{
    const resource_file& added = files.emplace_back(resource_file{begin, end});
    return &children.try_emplace(name, resource_node::of(added)).first->second;
}

namespace {

// Drops leading and trailing "/" and collapses runs of "/"; nothing else
// changes: a backslash is no separator, "." and ".." are plain names.
std::string normalize_resource_path(std::string path)
{
    std::size_t lead = 0;
    while (lead < path.size() && path[lead] == '/')
        ++lead;
    path.erase(0, lead);
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    for (std::size_t at = path.find("//"); at != std::string::npos; at = path.find("//", at))
        path.erase(at, 1);
    return path;
}

[[noreturn]] void fail(int code, const std::string& path)
{
    throw std::system_error(code, std::generic_category(), path);
}

const resource_node* find(const resource_index& index, const std::string& path)
{
    const auto found = index.find(normalize_resource_path(path));
    return found == index.end() ? nullptr : found->second;
}

// The executable's tree. Members are destroyed in reverse order: the index
// first, the root directory with everything it owns last.
struct resource_tree {
    resource_directory root;
    const resource_node root_node = resource_node::of(root);
    resource_index index;

    resource_tree() { register_resources(root, root_node, index); }
    resource_tree(const resource_tree&) = delete;
    resource_tree& operator=(const resource_tree&) = delete;
};

}  // namespace

directory_range resource_filesystem::list_directory(const std::string& path) const
{
    const resource_node* node = find(*index_, path);
    if (node == nullptr)
        fail(ENOENT, path);
    if (node->is_file)
        fail(ENOTDIR, path);
    return directory_range(*node->directory);
}

resource_file resource_filesystem::open_file(const std::string& path) const
{
    const resource_node* node = find(*index_, path);
    if (node == nullptr || !node->is_file)
        fail(ENOENT, path);
    return *node->file;
}

resource_filesystem get_resource_filesystem()
{
    // Built once, on first use. A construction that throws is retried by the
    // next call.
    static const resource_tree tree;
    return resource_filesystem(tree.index);
}

}  // namespace embedded
