#include "flash/firmware_set.h"
#include "flash/partition_table.h"
#include "support/work_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <tuple>

namespace {

// As ESP-IDF writes it: 32-byte entries {AA 50, type, subtype, offset, size,
// label[16], flags}, an MD5 entry (when md5), 0xFF up to 0xC00 bytes.
std::string table_of(const std::vector<partition>& entries, bool md5 = true)
{
    std::string out;
    for (const partition& p : entries) {
        out += {'\xAA', '\x50', char(p.type), char(p.subtype)};
        for (const std::uint32_t v : {p.offset, p.size})
            out += {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
        out += p.label + std::string(20 - p.label.size(), '\0');
    }
    out += md5 ? "\xEB\xEB" + std::string(30, 'm') : "";
    return out + std::string(0xC00 - out.size(), '\xFF');
}

// The Arduino ESP32 core's default.csv, default_8MB.csv and default_16MB.csv.
std::vector<partition> scheme(std::uint32_t app, std::uint32_t fs, std::uint32_t fs_size, std::uint8_t subtype = 0x82)
{
    return {{1, 0x02, 0x9000, 0x5000, "nvs"}, {1, 0x00, 0xE000, 0x2000, "otadata"}, {0, 0x10, 0x10000, app, "app0"},
            {0, 0x11, 0x10000 + app, app, "app1"}, {1, subtype, fs, fs_size, "spiffs"}, {1, 0x03, fs + fs_size, 0x10000, "coredump"}};
}

// What every misfit says of the layout fs.bin is made for: never a flash size
// without the board it needs.
const std::string layout = " Vornhale writes fs.bin for a table whose file system starts at 0x670000, as the Arduino "
    "IDE's 8 MB layout puts it (Tools menu: Flash Size \"8MB (64Mb)\", Partition Scheme \"8M with spiffs (3MB APP/1.5MB "
    "SPIFFS)\"; a partitions.csv in the sketch's folder takes the menu's place), and that layout needs a board with 8 "
    "MB of flash or more.";
const std::string alone = "move fs.bin out of the build folder to flash the firmware alone";
const std::string upload = "upload the file system with the IDE's file-system upload, which writes it ";

std::string smaller_board(const std::string& at)
{
    return "puts the sketch's file system at " + at + "." + layout + " On such a board, choose it and export again; on "
           "a board with less flash, keep t.bin: " + alone + " and " + upload + "at " + at + ".";
}

}  // namespace

TEST(PartitionTable, FileSystemImageMustFitThePartitionAtItsOffset)
{
    const std::string at = "fs.bin would be written at 0x670000, but t.bin ";
    const std::vector<std::tuple<std::vector<partition>, std::optional<std::uintmax_t>, std::string>> cases{
        {scheme(0x330000, 0x670000, 0x180000), 0x180000, ""},
        {scheme(0x330000, 0x670000, 0x180000, 0x83), std::nullopt, ""},  // LittleFS; fs.bin not a file
        {scheme(0x330000, 0x670000, 0x180000, 0x81), 0x180001, "fs.bin (1572865 bytes) is larger than the file-system "
         "partition at 0x670000 (0x180000 bytes): make it again for that size (mklittlefs -s 0x180000)."},
        {scheme(0x140000, 0x290000, 0x160000), 1, at + smaller_board("0x290000")},  // the 4 MB default
        {scheme(0x180000, 0x310000, 0xE0000, 0x83), 1, at + smaller_board("0x310000")},  // a partitions.csv of its own
        {scheme(0x300000, 0x610000, 0x1E0000), 1, at + smaller_board("0x610000")},  // ends at 8 MB exactly
        {scheme(0x640000, 0xC90000, 0x360000), 1, at + "puts the sketch's file system at 0xc90000, in a layout for "
         "more than 8 MB of flash." + layout + " On a board with more than 8 MB of flash you may choose it and export "
         "again, but the flash above 8 MB then goes unused; to keep t.bin instead, " + alone + " and " + upload + "at 0xc90000."},
        {scheme(0x330000, 0x670000, 0x180000, 0x03), 1, at + "has no file-system partition: the sketch would never "
         "see it." + layout + " If the sketch reads no files, " + alone + ". If it does, choose that layout on a board "
         "with 8 MB of flash or more and export again; on a board with less, choose a scheme with a file system, "
         + alone + " and " + upload + "where that scheme puts it."}};
    for (const auto& [partitions, size, misfit] : cases) {
        EXPECT_EQ(parse_partition_table(table_of(partitions, size != 1)), partitions);
        EXPECT_EQ(file_system_misfit(partitions, size, "t.bin"), misfit) << partitions[4].offset;
    }
    // Short, no magic, no end within 0xC00 bytes; nothing after the MD5 entry is read.
    const std::string eight = table_of(scheme(0x330000, 0x670000, 0x180000));
    for (const std::string& table : {std::string(), eight.substr(0, 40), eight.substr(0, 192), "\xAA\x51" + eight.substr(2),
                                     table_of(std::vector(96, partition{1, 0x82, 0, 0, "x"}), false)})
        EXPECT_EQ(parse_partition_table(table), std::nullopt) << table.size() << " bytes";
    EXPECT_EQ(parse_partition_table(std::string(eight).replace(7 * 32, 32, 32, 'x')), scheme(0x330000, 0x670000, 0x180000));
    // The flash a table needs, as the advice for a smaller board names it.
    EXPECT_EQ(flash_needed(scheme(0x330000, 0x670000, 0x180000)), 8u << 20);
    EXPECT_TRUE(flash_too_small(4 << 20, 8 << 20, "t.bin", "x").starts_with("the board has 4 MB of flash, but the export needs 8 MB (t.bin is laid out for 8 MB): x."));
}

// Every image against where it goes, before anything is copied or flashed:
// the application against its partition; with a table that cannot be read,
// each against 128MB, esptool's largest flash for the ESP32-S3. Sparse files.
TEST(PartitionTable, EveryImageMustFitWhereItGoes)
{
    const std::uintmax_t huge = std::uintmax_t{16} << 30, flash = 128 << 20;
    const std::vector<std::tuple<bool, std::string, std::uintmax_t, std::string>> cases{
        {true, "b.ino.bin", 0x330000, ""}, {false, "fs.bin", flash - 0x670000, ""},
        {true, "b.ino.bin", huge, "b.ino.bin (17179869184 bytes) is larger than the application partition at 0x10000 "
                                  "in b.ino.partitions.bin (0x330000 bytes)"},
        {false, "fs.bin", huge, "fs.bin (17179869184 bytes) would not fit at 0x670000 in the flash of any ESP32-S3"},
        {false, "b.ino.bin", flash - 0xFFFF, "b.ino.bin (134152193 bytes) would not fit at 0x10000"},
        {false, "b.ino.bootloader.bin", huge, "b.ino.bootloader.bin (17179869184 bytes) would not fit at 0x0"}};
    for (const auto& [readable, name, size, misfit] : cases) {
        work_dir dir;
        for (const char* image : {"b.ino.bin", "b.ino.bootloader.bin", "boot_app0.bin", "fs.bin"})
            write_file(image, "x");
        write_file("b.ino.partitions.bin", readable ? table_of(scheme(0x330000, 0x670000, 0x180000)) : "x");
        std::filesystem::resize_file(name, size);
        const std::string trouble = firmware_set_trouble("b", ".");
        EXPECT_EQ(trouble.empty(), misfit.empty()) << trouble;
        EXPECT_NE(trouble.find(misfit), std::string::npos) << trouble;
    }
}
