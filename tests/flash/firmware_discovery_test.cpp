#include "app/status_queue.h"
#include "flash/discovery.h"
#include "flash/firmware_set.h"
#include "support/work_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct scan_result {
    std::string base;
    std::vector<std::string> texts;
};

scan_result scan()
{
    scan_result result{"stale", {}};
    status_queue queue;
    discover_firmware(result.base, queue);
    result.texts = drain(queue);
    return result;
}

std::string report(const std::string& shown_base) { return "Firmware file found: " + shown_base + ".ino.bin"; }

// The names directly in the working directory, in the order the system lists them.
std::vector<std::string> listing_order()
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator("."))
        names.push_back(entry.path().filename().string());
    return names;
}

}  // namespace

TEST(FirmwareDiscovery, NameRules)
{
    // Each name is scanned inside a folder named like an image, which matches
    // first (base "outer") and whose contents come after it: a name that is no
    // match leaves "outer" in place, so even one whose base would be empty
    // shows whether it was taken.
    const struct {
        const char* name;
        const char* base;  // "outer": no match
    } cases[] = {
        {"blink.ino.bin", "blink"},
        {"my.sketch.ino.bin", "my.sketch"},
        {"blink.ino.bootloader.bin", "outer"},
        {"blink.ino.partitions.bin", "outer"},
        {"boot_app0.bin", "outer"},
        {"fs.bin", "outer"},
        {".ino.bin", "outer"},
        {"Blink.INO.bin", "outer"},
        {"blink.ino.BIN", "outer"},
        {"blink.ino", "outer"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        work_dir dir;
        write_file(fs::path("outer.ino.bin") / c.name);
        const auto found = scan();
        EXPECT_EQ(found.base, c.base);
        EXPECT_EQ(found.texts, std::vector<std::string>{report(c.base)});
    }
}

TEST(FirmwareDiscovery, EmptyFolderAndTypicalBuildOutput)
{
    work_dir dir;
    EXPECT_EQ(scan().texts, std::vector<std::string>{"Firmware file found: .ino.bin"});

    for (const char* name : {"blink.ino.bin", "blink.ino.bootloader.bin", "blink.ino.partitions.bin", "boot_app0.bin", "fs.bin"})
        write_file(name);
    const auto found = scan();
    EXPECT_EQ(found.base, "blink");
    EXPECT_EQ(found.texts, std::vector<std::string>{"Firmware file found: blink.ino.bin"});
}

TEST(FirmwareDiscovery, ImageInASubfolderGivesItsBaseOnly)
{
    work_dir dir;
    write_file("build/esp32/blink.ino.bin");
    write_file("build/esp32/notes.txt");
    const auto found = scan();
    EXPECT_EQ(found.base, "blink");
    EXPECT_EQ(found.texts, std::vector<std::string>{report("blink")});
}

TEST(FirmwareDiscovery, FolderNamedLikeAnImageMatchesAndIsEntered)
{
    {
        work_dir dir;
        fs::create_directory("x.ino.bin");
        EXPECT_EQ(scan().base, "x");
    }
    {
        work_dir dir;
        write_file("x.ino.bin/y.ino.bin");  // visited after its folder
        EXPECT_EQ(scan().base, "y");
    }
}

TEST(FirmwareDiscovery, LastOfSeveralImagesWinsWithOneReport)
{
    work_dir dir;
    for (const char* name : {"a.ino.bin", "b.ino.bin", "c.ino.bin"})
        write_file(name);
    const std::string last = fs::path(listing_order().back()).stem().stem().string();
    const auto found = scan();
    EXPECT_EQ(found.base, last);
    EXPECT_EQ(found.texts, std::vector<std::string>{report(last)});
}

TEST(FirmwareDiscovery, UnreadableFolderIsSkippedAndTheWalkGoesOn)
{
    work_dir dir;
    fs::permissions(dir.path(), fs::perms::all & ~(fs::perms::group_write | fs::perms::others_write));
    write_file("locked/hidden.ino.bin");
    for (int i = 0; i < 6; ++i)
        write_file("i" + std::to_string(i) + ".ino.bin", "", fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    fs::permissions("locked", fs::perms::none);
    std::string last;  // the last image listed; listed after "locked" unless "locked" comes last
    for (const auto& name : listing_order())
        if (name != "locked")
            last = fs::path(name).stem().stem().string();

    // Root reads every folder. Scan as nobody then: setfsuid changes only the
    // calling thread and drops its file-access privileges.
    scan_result found;
    std::thread scanner([&] {
        if (::geteuid() == 0)
            ::setfsuid(65534);
        found = scan();
    });
    scanner.join();
    EXPECT_EQ(found.base, last);
    EXPECT_EQ(found.texts, std::vector<std::string>{report(last)});
}

TEST(FirmwareDiscovery, OtherErrorsAreReportedAndTheWalkGoesOn)
{
    // A folder whose path is longer than the system takes cannot be opened:
    // said on standard output, and the rest of the tree is still walked.
    work_dir dir;
    const std::string long_name(200, 'd');
    constexpr int levels = 24;  // 4,800 characters
    fs::create_directory("deep");
    fs::current_path("deep");
    for (int i = 0; i < levels; ++i) {
        ASSERT_EQ(::mkdir(long_name.c_str(), 0755), 0);
        ASSERT_EQ(::chdir(long_name.c_str()), 0);
    }
    fs::current_path(dir.path());
    for (int i = 0; i < 6; ++i)
        write_file("i" + std::to_string(i) + ".ino.bin");
    std::string last;  // the last image listed; listed after "deep" unless "deep" comes last
    for (const auto& name : listing_order())
        if (name != "deep")
            last = fs::path(name).stem().stem().string();

    testing::internal::CaptureStdout();
    const auto found = scan();
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(found.base, last);
    EXPECT_EQ(found.texts, std::vector<std::string>{report(last)});
    EXPECT_NE(printed.find("File name too long"), std::string::npos) << printed.substr(0, 200);

    // Removed from the inside out: the whole path is too long for the usual way.
    fs::current_path("deep");
    for (int i = 0; i < levels; ++i)
        ASSERT_EQ(::chdir(long_name.c_str()), 0);
    for (int i = 0; i < levels; ++i) {
        ASSERT_EQ(::chdir(".."), 0);
        ::rmdir(long_name.c_str());
    }
    fs::current_path(dir.path());
}

TEST(FirmwareDiscovery, LinksToFoldersAreNotEntered)
{
    work_dir dir;
    const fs::path outside = dir.path().string() + "-outside";
    fs::create_directory(outside);
    std::ofstream(outside / "z.ino.bin");
    fs::create_directory_symlink(outside, "elsewhere");
    fs::create_directory("sub");
    fs::create_directory_symlink("..", "sub/up");  // a loop through the parent
    fs::create_symlink("self", "self");            // a link to itself
    const auto found = scan();
    fs::remove_all(outside);
    EXPECT_EQ(found.base, "");
    EXPECT_EQ(found.texts, std::vector<std::string>{report("")});
}

TEST(FirmwareDiscovery, OutsideCharactersAreKeptInTheBaseAndEscapedInTheReport)
{
    // A control character would reach esptool's output, and the terminal, as
    // it is: refused before anything runs.
    const struct {
        std::string base;
        std::string shown;
        std::string control;  // the one refused, as the refusal names it
    } cases[] = {
        {"my sketch", "my sketch", ""},
        {"a&b %PATH% {x}", "a&amp;b %PATH% {x}", ""},
        {"<b>\"bold\"<i>", "&lt;b&gt;&quot;bold&quot;&lt;i&gt;", ""},
        {"caf\xE9", "caf\xEF\xBF\xBD", ""},  // Latin-1, not UTF-8
        {"caf\xC3\xA9", "caf\xC3\xA9", ""},  // UTF-8 stays
        {"a\nHash of data verified.\nb", "a\xEF\xBF\xBDHash of data verified.\xEF\xBF\xBD" "b", "U+000A"},
        {"x\x7F", "x\xEF\xBF\xBD", "U+007F"},
        {"x\xC2\x9B" "2J", "x\xEF\xBF\xBD" "2J", "U+009B"},  // CSI
        {"x\x9B" "2J", "x\xEF\xBF\xBD" "2J", "the byte 0x9B"},  // CSI to a terminal that reads Latin-1
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        work_dir dir;
        for (const std::string& name : {c.base + ".ino.bin", c.base + ".ino.bootloader.bin",
                                        c.base + ".ino.partitions.bin", std::string("boot_app0.bin")})
            write_file(name);
        const auto found = scan();
        EXPECT_EQ(found.base, c.base);
        EXPECT_EQ(found.texts, std::vector<std::string>{report(c.shown)});
        EXPECT_EQ(firmware_set_trouble(c.base, "."),
                  c.control.empty() ? "" : "Cannot upload firmware: the file name \"" + c.shown + ".ino.bin\" holds a "
                                           "control character (" + c.control + "), which esptool would print as it "
                                           "is: rename the sketch without it and export again.");
    }
}

TEST(FirmwareDiscovery, HomeAndRootFoldersAreNotScanned)
{
    work_dir dir;
    write_file("projects/blink/blink.ino.bin");
    const char* old_home = std::getenv("HOME");
    const std::string previous = old_home != nullptr ? old_home : "";
    ::setenv("HOME", (dir.path() / "." / "").c_str(), 1);  // the same folder, written differently
    const scan_result home = scan();
    EXPECT_EQ(home.base, "");
    EXPECT_EQ(home.texts,
              (std::vector<std::string>{"Not searching the home folder for firmware: open a build folder with Vornhale."}));

    fs::current_path("projects");  // below the home folder: scanned as usual
    EXPECT_EQ(scan().base, "blink");

    fs::current_path("/");
    const scan_result root = scan();
    fs::current_path(dir.path());
    ::setenv("HOME", previous.c_str(), 1);
    EXPECT_EQ(root.base, "");
    EXPECT_EQ(root.texts,
              (std::vector<std::string>{"Not searching the root folder for firmware: open a build folder with Vornhale."}));
}

TEST(FirmwareSet, NewestCoreWithBootApp0IsNamed)
{
    work_dir dir;
    const fs::path versions = "packages/esp32/hardware/esp32";
    const auto boot_app0 = [&](const char* version) { return versions / version / "tools/partitions/boot_app0.bin"; };
    EXPECT_EQ(newest_boot_app0("."), std::nullopt);
    for (const char* version : {"2.0.17", "3.0.9", "3.0.10", "3.1.0-rc1"})
        write_file(boot_app0(version));
    fs::create_directories(boot_app0("3.1.0").parent_path());  // a newer core without the file
    EXPECT_EQ(newest_boot_app0("."), "." / boot_app0("3.1.0-rc1"));
    write_file(boot_app0("3.1.0"));  // a release is newer than its own pre-release
    EXPECT_EQ(newest_boot_app0("."), "." / boot_app0("3.1.0"));
}

TEST(FirmwareSet, BootApp0TroubleSaysWhereToGetIt)
{
    work_dir dir;
    const std::string home = (dir.path() / "home").string();
    const std::string core = home + "/.arduino15/packages/esp32/hardware/esp32/3.0.7/tools/partitions/boot_app0.bin";
    const std::string platformio = home + "/.platformio/packages/framework-arduinoespressif32/tools/partitions/";
    const std::string open_export = "Cannot upload firmware: Open the folder build/s3 with Vornhale: b.ino.bootloader.bin "
                                    "and b.ino.partitions.bin are there, not here. ";
    const std::string copy_here = "Cannot upload firmware: boot_app0.bin is not in this folder: copy it here from ";
    const struct {
        std::vector<std::string> files;
        const char* image_folder;
        std::string trouble;
    } cases[] = {
        {{}, ".",
         copy_here + "the Arduino IDE's ESP32 core, once installed (" + home
             + "/.arduino15/packages/esp32/hardware/esp32/VERSION/tools/partitions/), or PlatformIO's (" + platformio
             + ")."},
        {{platformio + "boot_app0.bin"}, ".", copy_here + platformio + "boot_app0.bin."},
        {{core}, "build/s3", open_export + "boot_app0.bin is not in build/s3 either: copy it there from " + core + "."},
        {{core, "boot_app0.bin"}, "build/s3", open_export + "boot_app0.bin is here, not in build/s3: move it there."},
    };
    const char* old_home = std::getenv("HOME");
    const std::string previous = old_home != nullptr ? old_home : "";
    ::setenv("HOME", home.c_str(), 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image_folder + (" " + testing::PrintToString(c.files)));
        fs::remove_all(dir.path());
        fs::create_directory(dir.path());
        fs::current_path(dir.path());
        for (const char* image : {"b.ino.bin", "b.ino.bootloader.bin", "b.ino.partitions.bin"})
            write_file(fs::path(c.image_folder) / image);
        for (const std::string& file : c.files)
            write_file(file);
        EXPECT_EQ(firmware_set_trouble("b", c.image_folder), c.trouble);
    }
    ::setenv("HOME", previous.c_str(), 1);
}
