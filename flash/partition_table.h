#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
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

// Where the file-system run writes fs.bin, and the firmware run the application.
inline constexpr std::uint32_t file_system_image_offset = 0x670000;
inline constexpr std::uint32_t application_image_offset = 0x10000;

// The largest flash esptool knows for the ESP32-S3: the last of its
// --flash_size choices for the chip, 128MB. No image can end beyond it.
inline constexpr std::uint64_t largest_flash = std::uint64_t{128} << 20;

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

// How many bytes an image written at offset has room for: the application
// its app partition at application_image_offset, fs.bin its file-system
// partition at file_system_image_offset, where partitions (nullptr: the table
// cannot be read) has them; else what the largest flash holds from offset.
std::uint64_t image_room(std::uint32_t offset, const std::vector<partition>* partitions);

// Why the image name, of size bytes (nothing: not a file), written at offset
// cannot be flashed, or the empty text: it would end beyond the largest flash;
// the application is larger than its partition; fs.bin does not fit the
// table (file_system_misfit). table_name: the table's file name, as the
// page shows it.
std::string image_misfit(std::string_view name, std::uint32_t offset, std::optional<std::uintmax_t> size,
                         const std::vector<partition>* partitions, std::string_view table_name);

// The entries of the table in the file at path (its first
// partition_table_size bytes); nothing when it cannot be read or is not a
// partition table.
std::optional<std::vector<partition>> read_partition_table(const std::filesystem::path& path);

// The flash a board needs for these partitions: where the last one ends,
// rounded up to the flash sizes chips come in (1, 2, 4, 8, 16 MB ...).
std::uintmax_t flash_needed(const std::vector<partition>& partitions);
// The same for what ends at end (0 for 0).
std::uintmax_t flash_size_for(std::uintmax_t end);

// Why a run failed when esptool found the chip's flash (board_flash bytes)
// too small, said for the maker: what the board has, what the export needs
// (needed bytes, 0 when unknown; table_name: the table it was read from, ""
// when none was), what happened (happened, one clause), and what to choose in
// the Arduino IDE instead.
std::string flash_too_small(std::uintmax_t board_flash, std::uintmax_t needed, std::string_view table_name,
                            std::string_view happened);
