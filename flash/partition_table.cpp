#include "flash/partition_table.h"

#include <algorithm>
#include <fmt/core.h>

namespace {

constexpr std::size_t entry_size = 32;
constexpr std::uint8_t data_type = 0x01;

std::uint8_t byte_at(std::string_view bytes, std::size_t at) { return static_cast<std::uint8_t>(bytes[at]); }

std::uint32_t little_endian(std::string_view bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;)
        value = value << 8 | byte_at(bytes, at + i);
    return value;
}

// The IDE's choice for the ESP32S3 Dev Module whose file system starts where
// fs.bin is written (the ESP32 core's default_8MB.csv).
constexpr const char* scheme_advice =
    "in the Arduino IDE's Tools menu choose Flash Size \"8MB (64Mb)\" and Partition Scheme "
    "\"8M with spiffs (3MB APP/1.5MB SPIFFS)\", then export again";

}  // namespace

std::optional<std::vector<partition>> parse_partition_table(std::string_view table)
{
    table = table.substr(0, partition_table_size);
    std::vector<partition> partitions;
    for (std::size_t at = 0; at + entry_size <= table.size(); at += entry_size) {
        const std::string_view entry = table.substr(at, entry_size);
        if (entry.starts_with("\xEB\xEB") || entry.starts_with("\xFF\xFF"))
            return partitions;
        if (!entry.starts_with("\xAA\x50"))
            return std::nullopt;
        const std::string_view label = entry.substr(12, 16);
        partitions.push_back({byte_at(entry, 2), byte_at(entry, 3), little_endian(entry, 4), little_endian(entry, 8),
                              std::string(label.substr(0, label.find('\0')))});
    }
    return std::nullopt;
}

bool holds_file_system(const partition& p)
{
    return p.type == data_type && (p.subtype == 0x81 || p.subtype == 0x82 || p.subtype == 0x83);
}

std::string file_system_misfit(const std::vector<partition>& partitions, std::optional<std::uintmax_t> image_size,
                               std::string_view table_name)
{
    const auto file_system = std::find_if(partitions.begin(), partitions.end(), holds_file_system);
    const auto there = std::find_if(partitions.begin(), partitions.end(), [](const partition& p) {
        return holds_file_system(p) && p.offset == file_system_image_offset;
    });
    if (there == partitions.end()) {
        if (file_system == partitions.end())
            return fmt::format("fs.bin would be written at {:#x}, but {} has no file-system partition: {}.",
                               file_system_image_offset, table_name, scheme_advice);
        return fmt::format("fs.bin would be written at {:#x}, but {} puts the sketch's file system at {:#x}: {}.",
                           file_system_image_offset, table_name, file_system->offset, scheme_advice);
    }
    if (image_size && *image_size > there->size)
        return fmt::format("fs.bin ({} bytes) is larger than the file-system partition at {:#x} ({:#x} bytes): make "
                           "it again for that size (mklittlefs -s {:#x}).",
                           *image_size, file_system_image_offset, there->size, there->size);
    return {};
}
