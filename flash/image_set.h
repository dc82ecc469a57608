#pragma once

#include "platform/private_folder.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The firmware set a station flashes, read once when it starts: every board
// gets exactly those bytes, whatever happens to the build folder meanwhile (a
// rebuild). They are kept in a private copy, a temporary folder of ours that
// esptool runs in, with the images under the same names as in the build
// folder, so its command lines stay as they are. No other user can reach the
// copy.
class image_set {
public:
    struct image {
        std::string name;    // as the command line names it, "NAME.ino.bin"
        std::string sha256;  // of the bytes in the copy
        // The build folder's file as it was read: a change shows here first.
        std::filesystem::file_time_type written;
        std::uintmax_t size = 0;
    };

    // Reads the images of the set named after firmware_base (bootloader,
    // partition table, boot_app0.bin, the application, then fs.bin) that
    // source holds, and copies them, a part at a time (their digests taken
    // as they are copied). Throws std::runtime_error with the system's
    // reason when an image there cannot be read or copied.
    image_set(const std::string& firmware_base, const std::filesystem::path& source);
    // Removes the copy.
    ~image_set();
    // Removes the copies that stations of this user left when they were
    // killed, and nothing else: never one in use.
    static void remove_left_copies();
    image_set(const image_set&) = delete;
    image_set& operator=(const image_set&) = delete;

    const std::filesystem::path& folder() const;
    // The images copied, in the order above.
    const std::vector<image>& images() const { return images_; }

    // Whether the build folder's images are still those the station read: the
    // empty text, or a note for the station page naming what changed. Any
    // thread.
    std::string changes() const;

private:
    std::filesystem::path source_;
    std::unique_ptr<platform::private_folder> folder_;
    std::vector<image> images_;
    mutable std::mutex mutex_;  // guards the two below
    mutable std::vector<image> seen_;  // the build folder's images as last looked at
    mutable std::string note_;
};
