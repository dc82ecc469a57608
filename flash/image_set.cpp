#include "flash/image_set.h"

#include "platform/digest.h"
#include "platform/file_names.h"

#include <fmt/core.h>
#include <fstream>
#include <stdexcept>
#include <system_error>

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

}  // namespace

image_set::image_set(const std::string& firmware_base, const fs::path& source) : source_(source)
{
    std::vector<std::string> names;
    if (!firmware_base.empty())
        names = {firmware_base + ".ino.bootloader.bin", firmware_base + ".ino.partitions.bin", "boot_app0.bin",
                 firmware_base + ".ino.bin"};
    names.push_back("fs.bin");
    folder_ = std::make_unique<platform::private_folder>(copy_prefix);
    for (const std::string& name : names) {
        const fs::path from = source / platform::path_from_utf8(name);
        std::error_code error;
        if (!fs::exists(from, error))
            continue;
        image copied{name, {}, fs::last_write_time(from, error), 0};
        const platform::private_folder::copied copy = folder_->copy_in(from, name);
        copied.size = copy.size;
        copied.sha256 = copy.sha256;
        images_.push_back(std::move(copied));
    }
    seen_ = images_;
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
