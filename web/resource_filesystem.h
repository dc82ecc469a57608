#pragma once

// The web resources that the executable carries: a read-only tree of
// directories and files, built once on first use and looked up by path. Every
// file's bytes stay where the compiler put them; nothing here copies them.

#include <cstddef>
#include <iterator>
#include <list>
#include <map>
#include <string>
#include <utility>

namespace embedded {

struct resource_directory;

// One file: its bytes in read-only data, followed by one zero byte at `end`
// that is not part of the file. Owns nothing.
struct resource_file {
    const char* begin = nullptr;
    const char* end = nullptr;

    std::size_t size() const { return static_cast<std::size_t>(end - begin); }
};

// A file or a directory of the tree. The node stored in a directory's
// `children` is the one the index and every listing point at.
struct resource_node {
    union {
        const resource_file* file;
        const resource_directory* directory;
    };
    bool is_file;

    static resource_node of(const resource_file& f) { return resource_node{{.file = &f}, true}; }
    static resource_node of(const resource_directory& d) { return resource_node{{.directory = &d}, false}; }
};

// A directory. The lists own the records; they never move once added, since
// nodes and index entries point at them for the life of the process.
struct resource_directory {
    std::list<resource_file> files;
    std::list<resource_directory> subdirectories;
    std::map<std::string, resource_node> children;  // bare names, byte order

    // Both append a record and return the node stored under `name`: a child
    // that already has the name is kept, so names must be unique (the
    // generated registration guarantees it).
    std::pair<resource_directory&, const resource_node&> add_subdirectory(const std::string& name);
    const resource_node* add_file(const std::string& name, const char* begin, const char* end);
};

// Full path (no leading or trailing "/", the root is "") to node.
using resource_index = std::map<std::string, const resource_node*>;

// One child in a listing: an owned copy of its name and its node.
class directory_entry {
public:
    directory_entry(std::string name, const resource_node* node) : name_(std::move(name)), node_(node) {}

    const std::string& name() const { return name_; }
    bool is_file() const { return node_->is_file; }
    bool is_directory() const { return !node_->is_file; }

private:
    std::string name_;
    const resource_node* node_;
};

// The children of one directory in byte order of their names; each step
// yields a directory_entry by value.
class directory_range {
public:
    using children_iterator = std::map<std::string, resource_node>::const_iterator;

    class iterator {
    public:
        using iterator_concept = std::forward_iterator_tag;
        using iterator_category = std::input_iterator_tag;
        using value_type = directory_entry;
        using difference_type = std::ptrdiff_t;

        iterator() = default;
        explicit iterator(children_iterator at) : at_(at) {}

        directory_entry operator*() const { return directory_entry(at_->first, &at_->second); }
        iterator& operator++()
        {
            ++at_;
            return *this;
        }
        iterator operator++(int)
        {
            iterator before = *this;
            ++at_;
            return before;
        }
        bool operator==(const iterator&) const = default;

    private:
        children_iterator at_;
    };

    explicit directory_range(const resource_directory& directory) : directory_(&directory) {}
    iterator begin() const { return iterator(directory_->children.begin()); }
    iterator end() const { return iterator(directory_->children.end()); }

private:
    const resource_directory* directory_;
};

// A handle to a tree; cheap to copy. Lookups normalise the path first: leading
// and trailing "/" are dropped and doubled "/" collapsed; nothing else changes.
// Failures throw std::system_error (generic category) whose text is the path
// as passed, ": " and the standard message.
class resource_filesystem {
public:
    explicit resource_filesystem(const resource_index& index) : index_(&index) {}

    // ENOENT when the path is not in the tree, ENOTDIR when it names a file.
    directory_range list_directory(const std::string& path) const;
    // ENOENT when the path is not in the tree or names a directory.
    resource_file open_file(const std::string& path) const;

    // Handles are equal when they refer to the same tree.
    bool operator==(const resource_filesystem&) const = default;

private:
    const resource_index* index_;
};

// The executable's own tree, built on the first call (thread-safe); every call
// returns a handle to the same index.
resource_filesystem get_resource_filesystem();

// Fills the executable's tree: the root's node under "", then every directory
// and file below it. Generated at build time from the resource folder.
void register_resources(resource_directory& root, const resource_node& root_node, resource_index& index);

}  // namespace embedded
