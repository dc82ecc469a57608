#pragma once

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <random>
#include <vector>

// A fresh temporary folder that is the working directory for the life of the
// object; the previous working directory is restored and the folder removed
// at the end.
class work_dir {
public:
    work_dir()
    {
        previous_ = std::filesystem::current_path();
        std::random_device random;
        for (int attempt = 0; path_.empty(); ++attempt) {
            const auto candidate = std::filesystem::temp_directory_path() / ("vornhale-test-" + std::to_string(random()));
            if (std::filesystem::create_directory(candidate))
                path_ = candidate;
            else if (attempt == 100)
                throw std::runtime_error("cannot create a temporary folder");
        }
        std::filesystem::current_path(path_);
    }
    ~work_dir()
    {
        std::filesystem::current_path(previous_);
        // Folders a test made unreadable must be opened again to be removed.
        std::error_code ignored;
        restore_all(path_);
        std::filesystem::remove_all(path_, ignored);
    }
    work_dir(const work_dir&) = delete;
    work_dir& operator=(const work_dir&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    static void restore_all(const std::filesystem::path& dir)
    {
        std::error_code ignored;
        for (std::filesystem::directory_iterator it(dir, ignored); !ignored && it != std::filesystem::directory_iterator();
             it.increment(ignored)) {
            if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
                std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, ignored);
                restore_all(it->path());
            }
        }
    }

    std::filesystem::path previous_;
    std::filesystem::path path_;
};

// Writes content to path (relative to the working directory), creating folders.
inline void write_file(const std::filesystem::path& path, const std::string& content = "",
                       std::filesystem::perms mode = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
{
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    std::filesystem::permissions(path, mode);
}

// Every text in queue, oldest first, without waiting.
template <typename Queue>
std::vector<std::string> drain(Queue& queue)
{
    std::vector<std::string> texts;
    while (auto text = queue.take_for(std::chrono::milliseconds(0)))
        texts.push_back(*text);
    return texts;
}
