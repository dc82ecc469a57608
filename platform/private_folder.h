#pragma once

// Seam: a folder of ours that no other user can reach, and files copied into it. platform/linux/private_folder.cpp
// (mkdtemp, O_EXCL | O_NOFOLLOW, flock), platform/windows/private_folder.cpp (a DACL for the user alone,
// CREATE_NEW, a lock file held open).

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {

// A new folder in the system's temporary folder, named prefix followed by
// characters of its own, that no other user can reach from the moment it
// exists, and that is marked ours for as long as the object lives (another
// process of ours can tell it is in use). Once marked, it holds a marker that
// names each file copied in before that file is made, so that a folder left
// behind is known for one of ours. Removed with all in it at the end.
class private_folder {
public:
    // Throws std::runtime_error with the system's reason when it cannot be made.
    explicit private_folder(std::string_view prefix);
    ~private_folder();
    private_folder(const private_folder&) = delete;
    private_folder& operator=(const private_folder&) = delete;

    const std::filesystem::path& path() const { return path_; }

    struct copied {
        std::uintmax_t size = 0;
        std::string sha256;  // of the bytes copied
        bool beyond = false;  // the source held more than the most asked for: only that much was copied
    };

    // Thrown by copy_in when asked to stop.
    struct stopped : std::runtime_error {
        stopped() : std::runtime_error("the copy was stopped") {}
    };

    // Copies the file source into a new file name (one name, no folder) in the
    // folder, a part at a time, the digest taken as it goes, at most most
    // bytes of it. The file is made anew: never one that is there, never
    // through a link. Throws std::runtime_error with the system's reason (a
    // full disk, a limit on file sizes) when it cannot, and stopped as soon
    // as stop holds.
    copied copy_in(const std::filesystem::path& source, std::string_view name,
                   std::uintmax_t most = UINTMAX_MAX, const std::atomic<bool>* stop = nullptr) const;

private:
    std::filesystem::path path_;
    std::intptr_t lock_ = -1;
    std::intptr_t marker_ = -1;  // names the folder's files, for the sweep
};

// Removes the folders named prefix and more in the system's temporary folder
// that a process of this user made as private_folder and left when it was
// killed: only folders that are ours (owned by this user; on Linux, reachable
// by no other), so named, no longer in use, and provably a private_folder (its
// marker there, naming everything else in it, files only). Anything it
// cannot tell is left alone.
void remove_left_private_folders(std::string_view prefix);

}  // namespace platform
