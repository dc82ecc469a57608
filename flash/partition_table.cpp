#include "flash/partition_table.h"

#include <algorithm>
#include <fmt/core.h>
#include <fstream>

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

constexpr std::uint32_t eight_megabytes = 0x800000;

// Where fs.bin fits, and what that asks of the board: said whenever a table
// does not fit, so that no advice names a flash size the board may not have.
constexpr const char* layout_for_fs_bin =
    "Vornhale writes fs.bin for a table whose file system starts at 0x670000, as the Arduino IDE's 8 MB layout "
    "puts it (Tools menu: Flash Size \"8MB (64Mb)\", Partition Scheme \"8M with spiffs (3MB APP/1.5MB SPIFFS)\"; "
    "a partitions.csv in the sketch's folder takes the menu's place), and that layout needs a board with 8 MB of "
    "flash or more.";

constexpr const char* firmware_alone = "move fs.bin out of the build folder to flash the firmware alone";

// How far into the flash the table reaches: the flash it was made for, at least.
std::uint64_t table_end(const std::vector<partition>& partitions)
{
    std::uint64_t end = 0;
    for (const partition& p : partitions)
        end = std::max(end, std::uint64_t{p.offset} + p.size);
    return end;
}

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
            return fmt::format("fs.bin would be written at {:#x}, but {} has no file-system partition: the sketch "
                               "would never see it. {} If the sketch reads no files, {}. If it does, choose that "
                               "layout on a board with 8 MB of flash or more and export again; on a board with less, "
                               "choose a scheme with a file system, {} and upload the file system with the IDE's "
                               "file-system upload, which writes it where that scheme puts it.",
                               file_system_image_offset, table_name, layout_for_fs_bin, firmware_alone, firmware_alone);
        if (table_end(partitions) > eight_megabytes)
            return fmt::format("fs.bin would be written at {:#x}, but {} puts the sketch's file system at {:#x}, in a "
                               "layout for more than 8 MB of flash. {} On a board with more than 8 MB of flash you "
                               "may choose it and export again, but the flash above 8 MB then goes unused; to keep {} "
                               "instead, {} and upload the file system with the IDE's file-system upload, which writes it at {:#x}.",
                               file_system_image_offset, table_name, file_system->offset, layout_for_fs_bin,
                               table_name, firmware_alone, file_system->offset);
        return fmt::format("fs.bin would be written at {:#x}, but {} puts the sketch's file system at {:#x}. {} On "
                           "such a board, choose it and export again; on a board with less flash, keep {}: {} and "
                           "upload the file system with the IDE's file-system upload, which writes it at {:#x}.",
                           file_system_image_offset, table_name, file_system->offset, layout_for_fs_bin, table_name,
                           firmware_alone, file_system->offset);
    }
    if (image_size && *image_size > there->size)
        return fmt::format("fs.bin ({} bytes) is larger than the file-system partition at {:#x} ({:#x} bytes): make "
                           "it again for that size (mklittlefs -s {:#x}).",
                           *image_size, file_system_image_offset, there->size, there->size);
    return {};
}

namespace {

const partition* partition_at(const std::vector<partition>& partitions, std::uint32_t offset)
{
    const auto at = std::find_if(partitions.begin(), partitions.end(), [offset](const partition& p) {
        return p.offset == offset && (offset == file_system_image_offset ? holds_file_system(p) : p.type == 0);
    });
    return at == partitions.end() ? nullptr : &*at;
}

}  // namespace

std::uint64_t image_room(std::uint32_t offset, const std::vector<partition>* partitions)
{
    if (partitions != nullptr && (offset == application_image_offset || offset == file_system_image_offset))
        if (const partition* own = partition_at(*partitions, offset))
            return own->size;
    return offset < largest_flash ? largest_flash - offset : 0;
}

std::string image_misfit(std::string_view name, std::uint32_t offset, std::optional<std::uintmax_t> size,
                         const std::vector<partition>* partitions, std::string_view table_name)
{
    if (partitions != nullptr && offset == file_system_image_offset)
        if (std::string misfit = file_system_misfit(*partitions, size, table_name); !misfit.empty())
            return misfit;
    if (!size)
        return {};
    if (partitions != nullptr && offset == application_image_offset)
        if (const partition* own = partition_at(*partitions, offset); own != nullptr && *size > own->size)
            return fmt::format("{} ({} bytes) is larger than the application partition at {:#x} in {} ({:#x} "
                               "bytes): choose a Partition Scheme with a larger application partition in the IDE's "
                               "Tools menu (or make the sketch smaller) and export again.",
                               name, *size, offset, table_name, own->size);
    if (std::uint64_t{offset} + *size > largest_flash)
        return fmt::format("{} ({} bytes) would not fit at {:#x} in the flash of any ESP32-S3: esptool knows none "
                           "larger than 128MB.",
                           name, *size, offset);
    return {};
}

std::optional<std::vector<partition>> read_partition_table(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::string table(partition_table_size, '\0');
    file.read(table.data(), static_cast<std::streamsize>(table.size()));
    table.resize(static_cast<std::size_t>(file.gcount()));
    return parse_partition_table(table);
}

std::uintmax_t flash_size_for(std::uintmax_t end)
{
    std::uintmax_t size = end == 0 ? 0 : 1 << 20;
    while (size < end && size < (std::uintmax_t{1} << 40))
        size *= 2;
    return size;
}

std::uintmax_t flash_needed(const std::vector<partition>& partitions) { return flash_size_for(table_end(partitions)); }

std::string flash_too_small(std::uintmax_t board_flash, std::uintmax_t needed, std::string_view table_name,
                            std::string_view happened)
{
    const std::uintmax_t board_mb = board_flash >> 20;
    std::string text = fmt::format("the board has {} MB of flash", board_mb);
    if (needed > board_flash)
        text += table_name.empty()
                    ? fmt::format(", but the export needs {} MB", needed >> 20)
                    : fmt::format(", but the export needs {1} MB ({0} is laid out for {1} MB)", table_name, needed >> 20);
    text += fmt::format(": {}. In the Arduino IDE's Tools menu, choose Flash Size \"{}MB ({}Mb)\" and a Partition "
                        "Scheme that fits it{}, and export again",
                        happened, board_mb, board_mb * 8,
                        board_mb == 4 ? " (\"Default 4MB with spiffs (1.2MB APP/1.5MB SPIFFS)\", say)" : "");
    if (board_flash < eight_megabytes)
        text += "; Vornhale writes fs.bin only where the 8 MB layout puts the file system, so move fs.bin out of the "
                "build folder and upload the file system with the IDE's file-system upload, which writes it where "
                "that scheme puts it";
    return text + fmt::format(". Or flash a board with {} MB of flash or more.",
                              std::max<std::uintmax_t>(needed, eight_megabytes) >> 20);
}
