#include "flash/image_set.h"

#include "platform/digest.h"
#include "platform/file_names.h"

#include <chrono>
#include <fmt/core.h>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The whole file; throws when it cannot be read.
std::string read_whole(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad() || !in.is_open())
        throw std::runtime_error(fmt::format("cannot read {}", platform::utf8_path(path)));
    return bytes;
}

// A new folder of ours in the system's temporary folder, readable by us alone.
fs::path make_private_folder()
{
    std::random_device seed;
    std::mt19937_64 random(seed() ^ static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    const fs::path temporary = fs::temp_directory_path();
    for (int tries = 0; tries < 100; ++tries) {
        const fs::path folder = temporary / fmt::format("vornhale-images-{:016x}", random());
        std::error_code error;
        if (fs::create_directory(folder, error)) {
            fs::permissions(folder, fs::perms::owner_all, error);
            return folder;
        }
        if (error && error != std::errc::file_exists)
            throw std::runtime_error(fmt::format("cannot make a folder in {}: {}", platform::utf8_path(temporary),
                                                 error.message()));
    }
    throw std::runtime_error("cannot make a folder of its own for the images");
}

}  // namespace

image_set::image_set(const std::string& firmware_base, const fs::path& source) : source_(source)
{
    std::vector<std::string> names;
    if (!firmware_base.empty())
        names = {firmware_base + ".ino.bootloader.bin", firmware_base + ".ino.partitions.bin", "boot_app0.bin",
                 firmware_base + ".ino.bin"};
    names.push_back("fs.bin");
    folder_ = make_private_folder();
    try {
        for (const std::string& name : names) {
            const fs::path from = source / platform::path_from_utf8(name);
            std::error_code error;
            if (!fs::exists(from, error))
                continue;
            image copied{name, {}, fs::last_write_time(from, error), 0};
            const std::string bytes = read_whole(from);
            copied.size = bytes.size();
            copied.sha256 = platform::sha256_hex(bytes);
            std::ofstream out(folder_ / platform::path_from_utf8(name), std::ios::binary);
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            out.close();
            if (!out)
                throw std::runtime_error(fmt::format("cannot copy {} to {}", name, platform::utf8_path(folder_)));
            images_.push_back(std::move(copied));
        }
    } catch (...) {
        std::error_code error;
        fs::remove_all(folder_, error);
        throw;
    }
    seen_ = images_;
}

image_set::~image_set()
{
    std::error_code error;
    fs::remove_all(folder_, error);
}

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
            seen.sha256 = error ? std::string() : platform::sha256_hex(read_whole(path));
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
