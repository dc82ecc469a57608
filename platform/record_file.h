#pragma once

// Seam: the station's record file, each append on stable storage. platform/linux/record_file.cpp (fsync),
// platform/windows/record_file.cpp (FlushFileBuffers).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// A file that records are appended to, each one on stable storage before the
// call returns.
namespace platform {

// Where the records of a session go by default: $XDG_STATE_HOME/vornhale/records
// (~/.local/state/vornhale/records when XDG_STATE_HOME is unset or not
// absolute) on Linux, %LOCALAPPDATA%\vornhale\records on Windows. Nothing
// when the system does not say where the user's files go.
std::optional<std::filesystem::path> records_folder();

// Why a FIFO (whose open or writes may wait for good), a socket or a folder
// is not taken as a record file.
inline constexpr std::string_view not_a_regular_file =
    "it is a FIFO, a socket or a folder, not a file; name a file for the records";

// Whether path names something that is there and that record_file::open
// refuses as not_a_regular_file (through links): refused before the station
// starts.
bool names_other_than_a_file(const std::filesystem::path& path);

class record_file {
public:
    record_file() = default;
    ~record_file();
    record_file(const record_file&) = delete;
    record_file& operator=(const record_file&) = delete;

    // Opens path for appending, creating it (but no folder) when it does not
    // exist, never waiting (a FIFO nobody reads): a FIFO, a socket or a
    // folder is refused (not_a_regular_file); writes to a device that would
    // wait fail instead. only_new: the file must be made by this call, never
    // one that is there (already_there). Returns why it could not be, or the
    // empty text.
    std::string open(const std::filesystem::path& path, bool only_new = false);
    static constexpr std::string_view already_there = "the file is there already";
    bool is_open() const;

    // Appends text, then waits until the system has it on stable storage.
    // written: how much of text is in the file (it may be part of it when
    // the disk is full). Returns why it failed, or the empty text once all of
    // text is on stable storage.
    std::string append(std::string_view text, std::size_t& written);

    // Proves that bytes more can be appended now: where the system can, it
    // sets that room aside at the file's end (its size stays), and the file
    // is on stable storage. Returns why not (a full disk), or the empty text.
    std::string reserve(std::size_t bytes);

private:
    std::intptr_t handle_ = -1;
};

}  // namespace platform
