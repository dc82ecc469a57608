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

// Why a link that another user made is not followed to a record file: in a
// folder others may write to (a sticky one, /tmp), it could name any file of
// ours, or make us create one where they choose.
inline constexpr std::string_view not_followed =
    "it is a link that another user made, which Vornhale does not follow; name a file of your own";

// Why record_file::open would refuse path as it is now, before anything is
// written: not_a_regular_file (through links), or not_followed (a last link
// that another user made; on Linux). Nothing when it would not: said before
// the station starts.
std::optional<std::string_view> record_path_refusal(const std::filesystem::path& path);

class record_file {
public:
    record_file() = default;
    ~record_file();
    record_file(const record_file&) = delete;
    record_file& operator=(const record_file&) = delete;

    // Opens path for appending, creating it (but no folder) when it does not
    // exist, never waiting (a FIFO nobody reads): a FIFO, a socket or a
    // folder is refused (not_a_regular_file); writes to a device that would
    // wait fail instead. Its last name is followed only when it is no link,
    // or a link this user made (not_followed). only_new: the file must be made by this call, never
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
