#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The partition table the firmware set carries (NAME.ino.partitions.bin,
// written at 0x8000), in ESP-IDF's layout: 32-byte entries, each
// AA 50, type, subtype, offset and size (little-endian), a 16-byte label and
// flags; then an optional MD5 entry (EB EB ...), then 0xFF bytes. At most
// 0xC00 bytes of it count.

inline constexpr std::size_t partition_table_size = 0xC00;

// Where the file-system run writes fs.bin.
inline constexpr std::uint32_t file_system_image_offset = 0x670000;

struct partition {
    std::uint8_t type = 0;  // 0 app, 1 data
    std::uint8_t subtype = 0;
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
    std::string label;

    bool operator==(const partition&) const = default;
};

// The entries of table (its bytes), in order, up to its end; nothing when it
// is not a partition table: an entry that starts with neither magic, or the
// bytes end (or reach partition_table_size) before the end of the table.
std::optional<std::vector<partition>> parse_partition_table(std::string_view table);

// A data partition the sketch mounts a file system from: FAT, SPIFFS or LittleFS.
bool holds_file_system(const partition& p);

// Why fs.bin, written at file_system_image_offset, would not be the file
// system the sketch sees with these partitions, and what the maker can do
// instead: each choice with the flash the board needs for it (the table the
// sketch has now, a board with 8 MB of flash or more for the IDE's 8 MB
// layout, or the firmware alone); empty when it fits. image_size: fs.bin's size, nothing when it
// has none (not a file). table_name: the table's file name, as the page shows it.
std::string file_system_misfit(const std::vector<partition>& partitions, std::optional<std::uintmax_t> image_size,
                               std::string_view table_name);
