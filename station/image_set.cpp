#include "station/image_set.h"

#include "flash/partition_table.h"
#include "platform/digest.h"
#include "platform/file_names.h"
#include "platform/stop_signal.h"

#include <algorithm>
#include <exception>
#include <fmt/core.h>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace {

// The digest of the whole file, read a part at a time; throws when it cannot be read.
std::string file_sha256(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    platform::sha256_digest digest;
    char buffer[64 * 1024];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0)
        digest.add(std::string_view(buffer, static_cast<std::size_t>(in.gcount())));
    if (in.bad() || !in.is_open())
        throw std::runtime_error(fmt::format("cannot read {}", platform::utf8_path(path)));
    return digest.hex();
}

// How the copies' folders are named: a station's own, told apart from any
// other when one is left behind.
constexpr std::string_view copy_prefix = "vornhale-images-";

constexpr std::uint32_t partitions_offset = 0x8000;

// How often the set is copied when a build changes it meanwhile.
constexpr int most_copies = 3;

// The first bytes of a file, at most most of them (fewer when it cannot be read).
std::string read_start(const fs::path& path, std::size_t most)
{
    std::ifstream file(path, std::ios::binary);
    std::string bytes(most, '\0');
    file.read(bytes.data(), static_cast<std::streamsize>(most));
    bytes.resize(static_cast<std::size_t>(file.gcount()));
    return bytes;
}

}  // namespace

image_set::image_set(const std::string& firmware_base, const fs::path& source, const std::atomic<bool>* stop)
    : source_(source)
{
    // Each image where it goes: the table is read from the copy, before the
    // images it places are copied.
    std::vector<std::pair<std::string, std::uint32_t>> plan;
    if (!firmware_base.empty())
        plan = {{firmware_base + ".ino.bootloader.bin", 0x0},
                {firmware_base + ".ino.partitions.bin", partitions_offset},
                {"boot_app0.bin", 0xe000},
                {firmware_base + ".ino.bin", application_image_offset}};
    plan.emplace_back("fs.bin", file_system_image_offset);
    const std::string table_name = firmware_base + ".ino.partitions.bin";
    for (int copies = 1;; ++copies) {
        folder_ = std::make_unique<platform::private_folder>(copy_prefix);
        images_.clear();
        std::optional<std::vector<partition>> partitions;
        std::vector<std::string> changed;
        for (const auto& [name, offset] : plan) {
            const fs::path from = source / platform::path_from_utf8(name);
            std::error_code error;
            if (!fs::exists(from, error))
                continue;
            const std::vector<partition>* table = partitions ? &*partitions : nullptr;
            const std::uintmax_t size = fs::is_regular_file(from, error) ? fs::file_size(from, error) : 0;
            if (std::string misfit = image_misfit(name, offset, size, table, table_name); !misfit.empty())
                throw std::runtime_error(misfit);
            image copied{name, {}, fs::last_write_time(from, error), size};
            platform::private_folder::copied copy;
            try {
                copy = folder_->copy_in(from, name, image_room(offset, table), stop);
            } catch (const platform::private_folder::stopped&) {
                throw std::runtime_error("the copy of the images was stopped");
            }
            if (copy.beyond || copy.size != size)
                changed.push_back(name);
            copied.sha256 = copy.sha256;
            images_.push_back(std::move(copied));
            if (offset == partitions_offset)
                partitions = parse_partition_table(read_start(folder_->path() / name, partition_table_size));
        }
        // Each image is still as it was before its copy began: no build wrote
        // the set meanwhile.
        for (const image& copied : images_) {
            const fs::path from = source / platform::path_from_utf8(copied.name);
            std::error_code error;
            if (fs::last_write_time(from, error) != copied.written || fs::file_size(from, error) != copied.size)
                if (std::find(changed.begin(), changed.end(), copied.name) == changed.end())
                    changed.push_back(copied.name);
        }
        if (changed.empty())
            break;
        if (copies == most_copies) {
            std::string names;
            for (const std::string& name : changed)
                names += (names.empty() ? "" : ", ") + name;
            throw std::runtime_error(fmt::format("the build folder's {} changed while the station copied the images, "
                                                 "{} times over (a build still writing them?): start the station "
                                                 "again once the build has finished",
                                                 names, most_copies));
        }
    }
    seen_ = images_;
}

std::unique_ptr<image_set> image_set::read_unless_stopped(const std::string& firmware_base, const fs::path& source)
{
    std::atomic<bool> stop = false;
    std::atomic<bool> done = false;
    std::unique_ptr<image_set> images;
    std::exception_ptr failure;
    std::thread reader([&] {
        try {
            images = std::make_unique<image_set>(firmware_base, source, &stop);
        } catch (...) {
            failure = std::current_exception();
        }
        done = true;
        platform::wake_stop_wait();
    });
    if (platform::wait_for_stop_requests(platform::stop_requests() + 1, [&done] { return done.load(); }))
        stop = true;
    reader.join();
    if (failure)
        std::rethrow_exception(failure);
    return images;
}

image_set::~image_set() = default;

void image_set::remove_left_copies() { platform::remove_left_private_folders(copy_prefix); }

const fs::path& image_set::folder() const { return folder_->path(); }

std::string image_set::changes() const
{
    const std::lock_guard lock(mutex_);
    std::vector<std::string> changed;
    for (image& seen : seen_) {
        const fs::path path = source_ / platform::path_from_utf8(seen.name);
        std::error_code error;
        const fs::file_time_type written = fs::last_write_time(path, error);
        const std::uintmax_t size = error ? 0 : fs::file_size(path, error);
        if (!error && written == seen.written && size == seen.size)
            continue;  // as last looked at: the note stands
        seen.written = written;
        seen.size = size;
        try {
            seen.sha256 = error ? std::string() : file_sha256(path);
        } catch (const std::exception&) {
            seen.sha256.clear();
        }
    }
    for (std::size_t i = 0; i < seen_.size(); ++i)
        if (seen_[i].sha256 != images_[i].sha256)
            changed.push_back(images_[i].name);
    if (changed.empty())
        note_.clear();
    else {
        std::string names;
        for (const std::string& name : changed)
            names += (names.empty() ? "" : ", ") + name;
        note_ = fmt::format("The build folder's {} changed since the station started: it goes on flashing the images "
                            "it read then. Start it again to flash the new ones.",
                            names);
    }
    return note_;
}
