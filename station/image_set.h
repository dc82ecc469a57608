#pragma once

#include "platform/private_folder.h"

#include <atomic>
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
    // as they are copied). Each image is checked against where it goes
    // before it is copied, under the copy's partition table
    // (flash/partition_table.h: image_misfit), and copied no further than
    // its room there: what is copied is what was checked. A set that a
    // build changed while it was copied is copied again, three times at
    // most. Throws std::runtime_error with the reason when an image does not
    // fit, cannot be read or copied, or kept changing, and "the copy of the
    // images was stopped" once stop holds; nothing of the copy is left then.
    image_set(const std::string& firmware_base, const std::filesystem::path& source,
              const std::atomic<bool>* stop = nullptr);
    // The same on a thread of its own, while the calling thread takes the
    // stop requests (platform/stop_signal.h): one ends the copy at once.
    // Main thread.
    static std::unique_ptr<image_set> read_unless_stopped(const std::string& firmware_base,
                                                          const std::filesystem::path& source);
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
