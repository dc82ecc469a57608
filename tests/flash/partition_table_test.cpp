#include "flash/firmware_set.h"
#include "flash/partition_table.h"
#include "support/work_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

void put32(bytes& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<unsigned char>(value >> shift));
}

// One 32-byte entry, as ESP-IDF lays it out.
bytes entry(std::uint8_t type, std::uint8_t subtype, std::uint32_t offset, std::uint32_t size, std::string label)
{
    bytes out{0xAA, 0x50, type, subtype};
    put32(out, offset);
    put32(out, size);
    label.resize(16, '\0');
    out.insert(out.end(), label.begin(), label.end());
    put32(out, 0);
    return out;
}

// The entries, the MD5 entry (when md5), then 0xFF up to 0xC00 bytes.
bytes table_of(const std::vector<bytes>& entries, bool md5 = true)
{
    bytes out;
    for (const bytes& e : entries)
        out.insert(out.end(), e.begin(), e.end());
    if (md5) {
        out.insert(out.end(), {0xEB, 0xEB});
        out.insert(out.end(), 14, 0xFF);
        out.insert(out.end(), 16, 0x3C);
    }
    out.resize(0xC00, 0xFF);
    return out;
}

// The Arduino ESP32 core's schemes for the ESP32-S3: app0 and app1 sizes, and
// the file system's place, as default.csv, default_8MB.csv and default_16MB.csv give them.
std::vector<bytes> scheme(std::uint32_t app, std::uint32_t fs_offset, std::uint32_t fs_size,
                          std::uint8_t fs_subtype = 0x82)
{
    return {entry(1, 0x02, 0x9000, 0x5000, "nvs"),           entry(1, 0x00, 0xE000, 0x2000, "otadata"),
            entry(0, 0x10, 0x10000, app, "app0"),            entry(0, 0x11, 0x10000 + app, app, "app1"),
            entry(1, fs_subtype, fs_offset, fs_size, "spiffs"), entry(1, 0x03, fs_offset + fs_size, 0x10000, "coredump")};
}
const std::vector<bytes> default_4mb = scheme(0x140000, 0x290000, 0x160000);
const std::vector<bytes> default_8mb = scheme(0x330000, 0x670000, 0x180000);
const std::vector<bytes> default_16mb = scheme(0x640000, 0xC90000, 0x360000);

const std::string advice = "in the Arduino IDE's Tools menu choose Flash Size \"8MB (64Mb)\" and Partition Scheme "
                           "\"8M with spiffs (3MB APP/1.5MB SPIFFS)\", then export again.";

std::optional<std::vector<partition>> parse(const bytes& table) { return parse_partition_table(table); }

}  // namespace

TEST(PartitionTable, EntriesAreReadUpToEitherEnd)
{
    const std::vector<partition> expected{{1, 0x02, 0x9000, 0x5000, "nvs"},        {1, 0x00, 0xE000, 0x2000, "otadata"},
                                          {0, 0x10, 0x10000, 0x330000, "app0"},    {0, 0x11, 0x340000, 0x330000, "app1"},
                                          {1, 0x82, 0x670000, 0x180000, "spiffs"}, {1, 0x03, 0x7F0000, 0x10000, "coredump"}};
    EXPECT_EQ(parse(table_of(default_8mb)), expected);         // MD5 entry, then 0xFF
    EXPECT_EQ(parse(table_of(default_8mb, false)), expected);  // 0xFF only
    bytes after_md5 = table_of(default_8mb);
    std::fill(after_md5.begin() + 7 * 32, after_md5.end(), 0x00);  // what follows the MD5 entry is not read
    EXPECT_EQ(parse(after_md5), expected);
    EXPECT_EQ(parse(table_of({})), std::vector<partition>{});
}

TEST(PartitionTable, WhatIsNotATableIsRefused)
{
    const bytes whole = table_of(default_8mb);
    bytes bad_magic = whole;
    bad_magic[32 + 1] = 0x51;
    bytes full(0xC00 * 2);  // entries up to 0xC00 and beyond, no end
    for (std::size_t at = 0; at < full.size(); at += 32)
        std::copy_n(default_8mb[0].begin(), 32, full.begin() + static_cast<std::ptrdiff_t>(at));
    for (const bytes& table : {bytes{}, bytes(whole.begin(), whole.begin() + 40), bytes(whole.begin(), whole.begin() + 6 * 32),
                               bad_magic, bytes(0xC00, 0x00), full})
        EXPECT_EQ(parse(table), std::nullopt) << table.size() << " bytes";
}

TEST(PartitionTable, FileSystemImageMustFitThePartitionAtItsOffset)
{
    struct fs_case {
        const char* what;
        std::vector<bytes> entries;
        std::optional<std::uintmax_t> image_size;
        std::string misfit;
    };
    const std::string elsewhere = "fs.bin would be written at 0x670000, but t.bin puts the sketch's file system at ";
    const std::vector<fs_case> cases{
        {"8 MB", default_8mb, 0x180000, ""},
        {"8 MB, LittleFS", scheme(0x330000, 0x670000, 0x180000, 0x83), 0x1000, ""},
        {"8 MB, FAT", scheme(0x330000, 0x670000, 0x180000, 0x81), 0x1000, ""},
        {"8 MB, no size known", default_8mb, std::nullopt, ""},
        {"8 MB, image too large", default_8mb, 0x180001,
         "fs.bin (1572865 bytes) is larger than the file-system partition at 0x670000 (0x180000 bytes): make it again "
         "for that size (mklittlefs -s 0x180000)."},
        {"4 MB default", default_4mb, 1, elsewhere + "0x290000: " + advice},
        {"16 MB", default_16mb, 1, elsewhere + "0xc90000: " + advice},
        {"coredump at the offset", scheme(0x330000, 0x670000, 0x180000, 0x03), 1,
         "fs.bin would be written at 0x670000, but t.bin has no file-system partition: " + advice},
    };
    for (const fs_case& c : cases) {
        const auto partitions = parse(table_of(c.entries));
        ASSERT_TRUE(partitions) << c.what;
        EXPECT_EQ(file_system_misfit(*partitions, c.image_size, "t.bin"), c.misfit) << c.what;
    }
}

TEST(FirmwareSet, FileSystemImageIsCheckedAgainstTheSetsPartitionTable)
{
    work_dir dir;
    const bytes table = table_of(default_4mb);
    write_file("blink.ino.partitions.bin", std::string(table.begin(), table.end()));
    write_file("boot_app0.bin");
    EXPECT_EQ(firmware_set_trouble("blink", "."), "");  // no fs.bin
    write_file("fs.bin", std::string(0x1000, '\0'));
    EXPECT_EQ(firmware_set_trouble("blink", "."),
              "Cannot upload firmware: fs.bin would be written at 0x670000, but blink.ino.partitions.bin puts the "
              "sketch's file system at 0x290000: " + advice);
    write_file("blink.ino.partitions.bin", "not a table");  // left to esptool and the board
    EXPECT_EQ(firmware_set_trouble("blink", "."), "");
}
