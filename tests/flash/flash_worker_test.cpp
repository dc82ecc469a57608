// The flashing worker with a stand-in for the flashing tool: a shell script
// that records the arguments of each call (call.N, one a line), runs run.N as
// part of itself, prints say.N and exits with code.N when a test provides them.

#include "app/status_queue.h"
#include "flash/board_flash.h"
#include "flash/esptool_output.h"
#include "flash/flash_progress.h"
#include "flash/flash_worker.h"
#include "station/image_set.h"
#include "platform/digest.h"
#include "platform/esptool_lookup.h"
#include "platform/output_lines.h"
#include "platform/private_folder.h"
#include "platform/process.h"
#include "platform/stop_signal.h"
#include "platform/version_order.h"
#include "support/tool_calls.h"
#include "support/work_dir.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <fmt/core.h>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr fs::perms executable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec
                                 | fs::perms::others_read | fs::perms::others_exec;

const std::string fake_tool = R"sh(#!/bin/sh
PATH=/usr/bin:/bin
i=0
while [ -e "call.$i" ]; do i=$((i+1)); done
for a in "$@"; do printf '%s\n' "$a"; done > "call.$i"
[ -e "run.$i" ] && . "./run.$i"
[ -e "say.$i" ] && cat "say.$i"
[ -e "signal.$i" ] && kill -"$(cat "signal.$i")" $$
[ -e "code.$i" ] && exit "$(cat "code.$i")"
exit 0
)sh";

const std::string uploading_firmware = "<span aria-busy=\"true\">Uploading firmware...</span>";
const std::string firmware_done = "Firmware upload done.";
const std::string no_file_system = "'fs.bin' not found, not uploading app.";
const std::string uploading_app = "<span aria-busy=\"true\">Uploading app...</span>";
const std::string app_done = "App upload done.";

// PATH for the life of the object; the previous one comes back at the end.
class path_variable {
public:
    explicit path_variable(const std::string& value)
    {
        if (const char* old = std::getenv("PATH"))
            previous_ = old;
        ::setenv("PATH", value.c_str(), 1);
    }
    ~path_variable() { ::setenv("PATH", previous_.c_str(), 1); }
    path_variable(const path_variable&) = delete;
    path_variable& operator=(const path_variable&) = delete;

private:
    std::string previous_;
};

// Any environment variable for the life of the object; the previous value comes back at the end.
class env_variable {
public:
    env_variable(const char* name, const std::string& value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            previous_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~env_variable()
    {
        if (previous_)
            ::setenv(name_, previous_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    env_variable(const env_variable&) = delete;
    env_variable& operator=(const env_variable&) = delete;

private:
    const char* name_;
    std::optional<std::string> previous_;
};

class FlashWorker : public testing::Test {
protected:
    work_dir dir;
    path_variable path{(dir.path() / "no-tools").string()};  // no esptool of the system's
    env_variable home{"HOME", (dir.path() / "home").string()};  // nor of the user's
    std::optional<std::string> port = "/dev/ttyACM0";
    std::string base = "blink";
    std::string trouble;

    void SetUp() override { write_file("esptool.exe", fake_tool, executable); }

    std::vector<std::string> run_worker()
    {
        flash_control control;
        return run_worker(control);
    }

    std::vector<std::string> run_worker(flash_control& control)
    {
        status_queue queue;
        flash_worker(port, base, trouble, queue, control);
        return drain(queue);
    }

    static bool wait_for_file(const std::string& name)
    {
        for (int i = 0; i < 500 && !fs::exists(name); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return fs::exists(name);
    }

    static void answer(int call, const std::string& printed, int code)
    {
        write_file("say." + std::to_string(call), printed);
        write_file("code." + std::to_string(call), std::to_string(code));
    }

    static int calls()
    {
        int n = 0;
        while (fs::exists("call." + std::to_string(n)))
            ++n;
        return n;
    }
};

}  // namespace

TEST_F(FlashWorker, RefusesWithoutBoardPortOrFirmware)
{
    const std::vector<std::string> refused{"Cannot upload firmware: file not found, or board not connected."};
    write_file("fs.bin");
    port.reset();
    EXPECT_EQ(run_worker(), refused);
    base.clear();
    EXPECT_EQ(run_worker(), refused);
    port = "/dev/ttyACM0";
    EXPECT_EQ(run_worker(), refused);
    EXPECT_EQ(calls(), 0);
}

TEST_F(FlashWorker, FullRunFlashesFirmwareThenFileSystem)
{
    write_file("fs.bin");
    // The user's terminal type is not esptool's: TERM=dumb keeps its output plain.
    const env_variable term("TERM", "xterm-256color");
    write_file("run.0", "printf '%s' \"$TERM\" > term\n");
    EXPECT_EQ(run_worker(), (std::vector<std::string>{uploading_firmware, firmware_done, uploading_app, app_done}));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(std::ifstream("term").rdbuf()), {}), "dumb");
    ASSERT_EQ(calls(), 2);
    EXPECT_EQ(arguments(0), expected_arguments(firmware_command_line("/dev/ttyACM0", "blink")));
    EXPECT_EQ(arguments(1), expected_arguments(file_system_command_line("/dev/ttyACM0")));
    EXPECT_EQ(arguments(1).back(), "fs.bin");
}

TEST_F(FlashWorker, FileSystemImageAbsentOrUnusable)
{
    // Absent, a dangling link, a link loop (the test itself fails): one run only.
    for (const char* setup : {"absent", "dangling", "loop"}) {
        SCOPED_TRACE(setup);
        fs::remove("fs.bin");
        for (int i = 0; i < 2; ++i)
            fs::remove("call." + std::to_string(i));
        if (std::string(setup) == "dangling")
            fs::create_symlink("nowhere.bin", "fs.bin");
        if (std::string(setup) == "loop")
            fs::create_symlink("fs.bin", "fs.bin");
        EXPECT_EQ(run_worker(), (std::vector<std::string>{uploading_firmware, firmware_done, no_file_system}));
        EXPECT_EQ(calls(), 1);
    }
}

TEST_F(FlashWorker, FileSystemImageThatIsAFolderCounts)
{
    fs::create_directory("fs.bin");
    EXPECT_EQ(run_worker(), (std::vector<std::string>{uploading_firmware, firmware_done, uploading_app, app_done}));
    EXPECT_EQ(calls(), 2);
}

TEST_F(FlashWorker, FailedFirmwareRunGivesTheToolsReasonAndStops)
{
    write_file("fs.bin");
    const struct {
        std::string printed;
        int code;
        std::string reported;
    } cases[] = {
        // The whole message, up to its blank line, in one line.
        {"esptool.py v4.7.0\nSerial port /dev/ttyACM0\n\n"
         "A fatal error occurred: Could not open /dev/ttyACM0, the port is busy or doesn't exist.\n"
         "([Errno 13] could not open port /dev/ttyACM0: [Errno 13] Permission denied: '/dev/ttyACM0')\n\n"
         "Hint: Try to add user into dialout group: sudo usermod -a -G dialout $USER\n\n",
         2,
         "Could not open /dev/ttyACM0, the port is busy or doesn't exist. ([Errno 13] could not open port "
         "/dev/ttyACM0: [Errno 13] Permission denied: '/dev/ttyACM0')"},
        {"A fatal error occurred: Failed to connect to ESP32-S3: No serial data received.\n"
         "For troubleshooting steps visit: https://docs.espressif.com/\n",
         2, "Failed to connect to ESP32-S3: No serial data received."},
        {"Connecting...\r\nA serial exception error occurred: device reports readiness to read but returned no data\r\n"
         "Note: This error originates from pySerial.\r\n",
         1, "device reports readiness to read but returned no data"},
        // A usage error ends the tool before any fatal message.
        {"usage: esptool write_flash [-h] [--erase-all]\n                           <address> <filename>\n"
         "esptool write_flash: error: argument <address> <filename>: [Errno 2] No such file or directory: "
         "'blink.ino.bootloader.bin'\n",
         2,
         "argument &lt;address&gt; &lt;filename&gt;: [Errno 2] No such file or directory: "
         "'blink.ino.bootloader.bin'"},
        // The last such line counts, and what it says is escaped for the page.
        {"A fatal error occurred: first\nConnecting....\rA fatal error occurred: <b>&\"x\"</b>\n", 2,
         "&lt;b&gt;&amp;&quot;x&quot;&lt;/b&gt;"},
        {"Traceback (most recent call last):\n  File \"esptool.py\", line 1, in <module>\n"
         "OSError: [Errno 25] Inappropriate ioctl for device\n",
         1, "OSError: [Errno 25] Inappropriate ioctl for device"},
        {"error: not after a usage line\n", 1, "esptool exited with code 1"},
        // A script whose interpreter is missing, in env's words and code.
        {"/usr/bin/env: 'python': No such file or directory\n", 127,
         "esptool could not start: /usr/bin/env: 'python': No such file or directory"},
        {"", 3, "esptool exited with code 3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reported);
        fs::remove("call.0");
        answer(0, c.printed, c.code);
        testing::internal::CaptureStdout();
        const auto texts = run_worker();
        // Everything the tool prints reaches our standard output unchanged.
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
        EXPECT_EQ(texts, (std::vector<std::string>{uploading_firmware, "Firmware upload failed: " + c.reported}));
        EXPECT_EQ(calls(), 1);
    }
}

TEST_F(FlashWorker, ToolStoppedBySignal)
{
    write_file("signal.0", "KILL");
    EXPECT_EQ(run_worker(),
              (std::vector<std::string>{uploading_firmware, "Firmware upload failed: esptool was stopped by signal 9"}));
}

// What esptool 4.7.0 prints, with its output on a pipe, while it writes an
// image of size bytes at offset in blocks of 16 KiB.
std::string esptool_writing(std::uint32_t offset, std::size_t size)
{
    const std::size_t blocks = (size + 16383) / 16384;
    std::string out = fmt::format("Compressed {} bytes to {}...\n", size, size);
    for (std::size_t seq = 0; seq < blocks; ++seq)
        out += fmt::format("Writing at 0x{:08x}... ({} %)\n", offset + seq * 16384, 100 * (seq + 1) / blocks);
    return out + fmt::format("Wrote {} bytes ({} compressed) at 0x{:08x} in 0.1 seconds (effective 999.0 kbit/s)...\n"
                             "Hash of data verified.\n", size, size, offset);
}

// What esptool printed into a file while it flashed a board (4.7.0, 5.0.0, 5.3.1).
std::string transcript(const std::string& name)
{
    std::ifstream in(fs::path(VORNHALE_ESPTOOL_OUTPUT) / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(EsptoolOutput, ReadsWhatEachVersionPrints)
{
    const std::vector<esptool_output::image> firmware{{0x0, 17504}, {0x8000, 3072}, {0xe000, 8192}, {0x10000, 262224}};
    const std::vector<esptool_output::image> file_system{{0x670000, 262144}};
    const std::vector<double> firmware_5{0, 100, 0, 100, 0, 100, 0, 9.9, 19.8, 29.7, 39.7, 49.6, 59.5, 69.4, 79.3,
                                         89.2, 99.1, 100};
    const struct {
        std::string file;
        std::string version;
        std::vector<double> percents;  // as esptool printed them, for the image it wrote
        std::optional<std::string> reason;
    } cases[] = {
        {"v4.7.0-firmware.txt", "4.7.0", {100, 100, 100, 9, 18, 27, 36, 45, 54, 63, 72, 81, 90, 100}, {}},
        {"v4.7.0-file-system.txt", "4.7.0", {5, 11, 17, 23, 29, 35, 41, 47, 52, 58, 64, 70, 76, 82, 88, 94, 100}, {}},
        {"v5.0.0-firmware.txt", "5.0.0", firmware_5, {}},
        {"v5.0.0-file-system.txt", "5.0.0",
         {0, 6.2, 12.5, 18.7, 25, 31.2, 37.5, 43.7, 50, 56.2, 62.5, 68.7, 75, 81.2, 87.5, 93.7, 100, 100}, {}},
        {"v5.3.1-firmware.txt", "5.3.1", firmware_5, {}},
        {"v5.3.1-file-system.txt", "5.3.1",
         {0, 6.2, 12.5, 18.8, 25, 31.2, 37.5, 43.8, 50, 56.2, 62.5, 68.8, 75, 81.2, 87.5, 93.8, 100}, {}},
        {"v5.3.1-no-answer.txt", "5.3.1", {}, "Failed to connect to ESP32-S3: No serial data received."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const bool fs_run = c.file.find("file-system") != std::string::npos;
        esptool_output said(fs_run ? file_system : firmware);
        std::vector<double> percents;
        std::vector<int> whole;
        // Cut into lines as the runner cuts them, in the pieces a pipe may give.
        const platform::line_observer on_line = [&](std::string_view line) {
            if (const auto figure = said.feed(line))
                whole.push_back(*figure);
            if (said.line_percent())
                percents.push_back(*said.line_percent());
        };
        platform::output_lines lines(on_line);
        const std::string printed = transcript(c.file);
        for (std::size_t at = 0; at < printed.size(); at += 7)
            lines.feed(lines.clean(printed.data() + at, std::min<std::size_t>(7, printed.size() - at)));
        lines.deliver();

        EXPECT_EQ(said.version(), c.version);
        EXPECT_EQ(said.reason(), c.reason);
        EXPECT_EQ(percents, c.percents);
        EXPECT_EQ(said.other_mac(), "");
        const bool answered = !c.reason;
        EXPECT_EQ(said.chip(), answered ? "ESP32-S3 (QFN56) (revision v0.2)" : "");
        EXPECT_EQ(said.mac(), answered ? "f4:12:fa:5a:1c:30" : "");
        for (const esptool_output::image& image : fs_run ? file_system : firmware)
            EXPECT_EQ(said.verified(image.offset), answered) << image.offset;
        // The whole run's figure only rises, and reaches 100 with the last image.
        EXPECT_TRUE(std::is_sorted(whole.begin(), whole.end()));
        EXPECT_EQ(std::adjacent_find(whole.begin(), whole.end()), whole.end());
        EXPECT_EQ(whole.empty() ? 0 : whole.back(), answered ? 100 : 0);
        EXPECT_GE(whole.size(), answered ? 5u : 0u);
        if (answered && !fs_run) {  // each image counts by its size: 17504, 3072 and 8192 of 290992 bytes
            EXPECT_EQ(std::vector<int>(whole.begin(), whole.begin() + 3), (std::vector<int>{6, 7, 9}));
        }
    }

    // The connection lost while the application was written (4.12.0, 5.3.1):
    // the images before it verified, it not.
    for (const char* file : {"v4.12.0-lost-connection-firmware.txt", "v5.3.1-lost-connection-firmware.txt"}) {
        esptool_output said(firmware);
        const platform::line_observer on_line = [&said](std::string_view line) { said.feed(line); };
        platform::output_lines lines(on_line);
        const std::string printed = transcript(file);
        lines.feed(lines.clean(printed.data(), printed.size()));
        lines.deliver();
        std::vector<bool> verified;
        for (const esptool_output::image& image : firmware)
            verified.push_back(said.verified(image.offset));
        EXPECT_EQ(verified, (std::vector<bool>{true, true, true, false})) << file;
    }

    progress_pacer pacer;
    const auto t0 = progress_pacer::clock::now();
    EXPECT_EQ(pacer.offer(5, t0), 5);
    EXPECT_EQ(pacer.offer(9, t0 + std::chrono::milliseconds(100)), std::nullopt);  // too soon
    EXPECT_EQ(pacer.offer(4, t0 + std::chrono::seconds(1)), std::nullopt);         // not higher
    EXPECT_EQ(pacer.offer(9, t0 + std::chrono::seconds(1)), 9);
    EXPECT_EQ(pacer.finish(true), 100);
    EXPECT_EQ(progress_pacer().finish(false), std::nullopt);
}

// Only the chip's own lines, once connected, name it: a name that a folder or
// file puts into the output (a path holding line breaks) never does, and a
// second MAC in one run is seen.
TEST(EsptoolOutput, BelievesOnlyTheChipsOwnLines)
{
    const auto read = [](const std::string& printed) {
        esptool_output said;
        std::istringstream in(printed);
        for (std::string line; std::getline(in, line);)
            said.feed(line);
        return said;
    };
    const std::string real = "esptool v5.3.1\nSerial port /dev/ttyACM0:\nConnecting...\n"
                             "Chip type:          ESP32-S3 (QFN56) (revision v0.2)\nMAC:                f4:12:fa:5a:1c:30\n";
    const std::string forged = "MAC: F4:12:FA:00:00:01\n";
    EXPECT_EQ(read("Loaded custom configuration from /x/\n" + forged + "/esptool.cfg\n" + real).mac(),
              "f4:12:fa:5a:1c:30");
    EXPECT_EQ(read(real + "Writing 'x\n" + forged + "y.ino.bin' at 0x00010000...\n").other_mac(), "f4:12:fa:00:00:01");
    // Only an image's own write vouches for it: not lines a name puts before it.
    EXPECT_FALSE(read(real + "Writing 'a\nWrote 1 bytes at 0x00010000\nHash of data verified.\nb.ino.bin' at 0x0...\n")
                     .verified(0x10000));
    EXPECT_EQ(read("Connecting...\n" + forged + real).other_mac(), "f4:12:fa:5a:1c:30");
    for (const std::string line : {"MAC: f4:12:fa:5a:1c:30 (forged)", "MAC: f4:12:fa:5a:1c", "MAC:f4:12:fa:5a:1c:30",
                                   "MAC_EXT: ff:fe", "MAC: f4:12:fa:5a:1c:30:00:01"})
        EXPECT_EQ(read("Connecting...\n" + line + "\n").mac(), "") << line;
    EXPECT_EQ(read("Connecting...\n\x1b[0;33mWarning:\x1b[0m x\nMAC: F4:12:FA:5A:1C:30\n").mac(), "f4:12:fa:5a:1c:30");
    // A warning is never the reason, and a message ends where a warning begins.
    EXPECT_EQ(read("Warning: Deprecated: Option '--flash_mode' is deprecated.\n").reason(), std::nullopt);
    EXPECT_EQ(read("A fatal error occurred: lost\nWarning: x\n").reason(), "lost");
}

TEST_F(FlashWorker, ProgressComesBetweenTheRunsTextsAndEndsAt100OnlyOnSuccess)
{
    write_file("blink.ino.bin", std::string(196608, 'a'));
    write_file("fs.bin", std::string(65536, 'f'));
    answer(0, esptool_writing(0x10000, 196608), 0);
    answer(1, esptool_writing(0x670000, 65536), 0);
    const std::vector<std::string> texts = run_worker();
    const std::vector<std::string> expected{uploading_firmware, progress_text("Uploading firmware", 8),
                                            progress_text("Uploading firmware", 100), firmware_done, uploading_app,
                                            progress_text("Uploading app", 25), progress_text("Uploading app", 100),
                                            app_done};
    EXPECT_EQ(texts, expected);

    // Cut short half-way: no 100 %, the tool's reason.
    for (int i = 0; i < 2; ++i)
        fs::remove("call." + std::to_string(i));
    answer(0, esptool_writing(0x10000, 196608).substr(0, 200) + "A fatal error occurred: Packet content transfer stopped\n", 2);
    EXPECT_EQ(run_worker(), (std::vector<std::string>{uploading_firmware, progress_text("Uploading firmware", 8),
                                                      "Firmware upload failed: Packet content transfer stopped"}));
}

TEST_F(FlashWorker, FailedFileSystemRun)
{
    write_file("fs.bin");
    answer(1, "A fatal error occurred: Failed to write to target RAM (result was 01070000: Operation timed out)\n", 2);
    EXPECT_EQ(run_worker(),
              (std::vector<std::string>{uploading_firmware, firmware_done, uploading_app,
                                        "App upload failed: Failed to write to target RAM (result was 01070000: "
                                        "Operation timed out)"}));
}

TEST_F(FlashWorker, ExitCodeDecidesSuccess)
{
    answer(0, "A fatal error occurred: but it carried on\n", 0);
    EXPECT_EQ(run_worker(), (std::vector<std::string>{uploading_firmware, firmware_done, no_file_system}));
}

TEST_F(FlashWorker, ToolIsLookedUpWhereMakersHaveIt)
{
    const std::string not_found =
        "Firmware upload failed: esptool not found in this folder, on PATH, or among the Arduino IDE's and "
        "PlatformIO's tools: install it (sudo apt install esptool on Debian 13, pipx install esptool on Debian 12, "
        "or the Arduino IDE's ESP32 boards package); see FINDING ESPTOOL in man vornhale";
    const std::string arduino = "home/.arduino15/packages/esp32/tools/esptool_py/";
    const std::string platformio = "home/.platformio/packages/tool-esptoolpy/esptool.py";
    // In the order they are looked for; each one records that it ran.
    const std::vector<std::string> places = {
        "esptool.exe", "esptool", "esptool.py", "bin/esptool", "bin/esptool.py",
        arduino + "5.0/esptool", arduino + "5.0.dev1/esptool", arduino + "4.10/esptool", arduino + "4.10/esptool.py",
        arduino + "4.9/esptool", arduino + "4.5.1/esptool.py", platformio,
    };
    fs::remove("esptool.exe");
    for (const std::string& place : places)
        write_file(place, "#!/bin/sh\necho '" + place + "' > ran\n", executable);
    write_file(arduino + "4.11/esptool", "not executable");  // newest, but holds no program
    const path_variable with_bin((dir.path() / "bin").string());
    for (const std::string& place : places) {
        SCOPED_TRACE(place);
        fs::remove("ran");
        EXPECT_EQ(run_worker().back(), no_file_system);
        std::ifstream ran("ran");
        std::string which;
        std::getline(ran, which);
        EXPECT_EQ(which, place);
        fs::permissions(place, fs::perms::owner_read | fs::perms::owner_write);  // no longer a candidate
    }
    EXPECT_EQ(run_worker(), (std::vector<std::string>{uploading_firmware, not_found}));
}

TEST_F(FlashWorker, VersionsCompareAsVersions)
{
    EXPECT_TRUE(platform::older_version("4.9", "4.10"));
    EXPECT_TRUE(platform::older_version("4.10", "4.10.1"));
    EXPECT_TRUE(platform::older_version("4.9.dev3", "4.9.0"));
    EXPECT_TRUE(platform::older_version("5.0.dev1", "5.0"));
    EXPECT_TRUE(platform::older_version("4.5.1", "04.6"));
    EXPECT_FALSE(platform::older_version("4.10", "4.9"));
    EXPECT_FALSE(platform::older_version("5.0", "5.0.dev1"));
    EXPECT_FALSE(platform::older_version("4.9.0", "4.9.dev3"));
    EXPECT_FALSE(platform::older_version("4.10", "4.10"));
    EXPECT_FALSE(platform::older_version("99999999999999999999", "99999999999999999998"));
}

TEST_F(FlashWorker, NamesReachTheToolUninterpreted)
{
    write_file("fs.bin");
    for (const std::string name : {"a&b %PATH% {x}", "$(touch pwned) `touch pwned`; touch pwned", "my sketch"}) {
        SCOPED_TRACE(name);
        base = name;
        port = "/dev/tty&<%x%>";
        fs::remove("call.0");
        fs::remove("call.1");
        EXPECT_EQ(run_worker().back(), app_done);
        const auto args = arguments(0);
        ASSERT_EQ(args.size(), 26u);
        EXPECT_EQ(args[3], "/dev/tty&<%x%>");
        EXPECT_EQ(args[19], name + ".ino.bootloader.bin");
        EXPECT_EQ(args[21], name + ".ino.partitions.bin");
        EXPECT_EQ(args[25], name + ".ino.bin");
        EXPECT_EQ(arguments(1)[3], "/dev/tty&<%x%>");
    }
    EXPECT_FALSE(fs::exists("pwned"));
}

// esptool 4.7.0 itself: a missing image, a port we may not open, a port that
// doesn't exist. Run as nobody when we are root, so that the port's
// permissions count.
TEST_F(FlashWorker, RealEsptoolReasonsComeThrough)
{
    const char* esptool = std::getenv("VORNHALE_ESPTOOL");
    if (esptool == nullptr || !fs::exists(esptool))
        GTEST_SKIP() << "esptool's source is not unpacked (scripts/setup.sh does it)";
    const bool root = ::geteuid() == 0;
    const std::string as_user = root ? "setpriv --reuid=nobody --regid=nogroup --clear-groups " : "";
    write_file("esptool.exe", "#!/bin/sh\nPATH=/usr/bin:/bin exec " + as_user + "/usr/bin/python3 '" + esptool + "' \"$@\"\n",
               executable);
    fs::permissions(dir.path(), executable);
    write_file("locked-port", "", fs::perms::none);
    for (const char* name : {"blink.ino.partitions.bin", "boot_app0.bin", "blink.ino.bin"})
        write_file(name, std::string(16, '\xff'), executable);

    const auto first_run = [&](const std::string& port_name) {
        port = (dir.path() / port_name).string();
        testing::internal::CaptureStdout();
        const auto texts = run_worker();
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(texts.size(), 2u) << printed;
        return texts.back();
    };
    EXPECT_EQ(first_run("no-such-port"),
              "Firmware upload failed: argument &lt;address&gt; &lt;filename&gt;: [Errno 2] No such file or "
              "directory: 'blink.ino.bootloader.bin'");

    write_file("blink.ino.bootloader.bin", std::string(16, '\xff'), executable);
    const std::string missing = (dir.path() / "no-such-port").string();
    EXPECT_EQ(first_run("no-such-port"), "Firmware upload failed: Could not open " + missing
                                             + ", the port is busy or doesn't exist. ([Errno 2] could not open port "
                                             + missing + ": [Errno 2] No such file or directory: '" + missing + "')");
    const std::string locked = (dir.path() / "locked-port").string();
    EXPECT_EQ(first_run("locked-port"), "Firmware upload failed: Could not open " + locked
                                            + ", the port is busy or doesn't exist. ([Errno 13] could not open port "
                                            + locked + ": [Errno 13] Permission denied: '" + locked + "')");

    // esptool's own esptool.py (#!/usr/bin/env python) as it is, with only python3 on PATH: run under python3.
    fs::remove("esptool.exe");
    fs::create_symlink(esptool, "esptool.py");
    fs::create_symlink("/usr/bin/python3", "python3");
    const path_variable python3_only(dir.path().string());
    EXPECT_TRUE(first_run("no-such-port").starts_with("Firmware upload failed: Could not open " + missing));
}

TEST_F(FlashWorker, RefusesNamesThatWouldChangeTheToolsArguments)
{
    // Each would reach the tool as other arguments than the command line's own:
    // the quote ends the quoted name, a backslash before the closing quote
    // escapes it, and the file-system line leaves the port unquoted.
    write_file("fs.bin");
    const struct {
        std::string port;
        std::string base;
        std::string refusal;
    } cases[] = {
        {"/dev/ttyACM0", "x\" --erase-all \"y",
         "the file name \"x&quot; --erase-all &quot;y.ino.bin\" holds a double quote"},
        {"/dev/tty\"ACM0", "blink", "the port name \"/dev/tty&quot;ACM0\" holds a double quote"},
        {"COM7\\", "blink", "the port name \"COM7\\\" ends in a backslash"},
        {"/dev/my port", "blink", "the port name \"/dev/my port\" holds a blank"},
        {"/dev/my\tport", "blink", "the port name \"/dev/my\xEF\xBF\xBDport\" holds a tab"},
        {"", "blink", "the port name \"\" is empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refusal);
        port = c.port;
        base = c.base;
        EXPECT_EQ(run_worker(), std::vector<std::string>{"Cannot upload firmware: " + c.refusal
                                                         + ", which esptool would not receive unchanged."});
    }
    EXPECT_EQ(calls(), 0);
}

// What flash_board told, in order.
struct told_report final : flash_report {
    std::vector<std::string> said;
    void starting(run r) override { said.push_back(r == run::firmware ? "firmware" : "file system"); }
    void progress(run, int) override {}
    void finished(run) override { said.push_back("done"); }
    void failed(run, const std::string& reason) override { said.push_back("failed: " + reason); }
    void no_file_system() override { said.push_back("no fs.bin"); }
    void closing(run) override { said.push_back("closing"); }
};

// A board is vouched for by the MAC its chip named, in the status page's flow
// (lenient: a form we do not know is said on standard output, the flash
// counts) and at the station (strict: the record must vouch for the board and
// for each verified image).
TEST_F(FlashWorker, BoardIsVouchedForOnlyByTheChipsOwnMac)
{
    write_file("fs.bin");
    const std::string board_serial = "F4:12:FA:5A:1C:30";
    const std::string firmware = transcript("v5.3.1-firmware.txt");
    const std::string no_mac = "esptool v9.0.0\nConnecting...\nMAC address: f4-12-fa-5a-1c-30\n";
    const std::string mac_line = "MAC:                f4:12:fa:5a:1c:30\n";
    const std::string unverified = firmware.substr(0, firmware.find("Hash of data verified."));
    const struct {
        std::string printed;
        bool strict;
        std::vector<std::string> told;
        bool unchecked;  // standard output says the board could not be checked
    } cases[] = {
        {firmware, true, {"firmware", "done", "file system", "done"}, false},
        {no_mac, false, {"firmware", "done", "file system", "done"}, true},
        {no_mac, true, {"firmware", "failed: esptool 9.0.0 did not print the chip's MAC in a form Vornhale knows, so "
                                    "it cannot be told that it reached this board (F4:12:FA:5A:1C:30)"}, false},
        {unverified, true, {"firmware", "failed: esptool 5.3.1 did not say that it verified blink.ino.bootloader.bin "
                                        "after writing it"}, false},
        {unverified, false, {"firmware", "done", "file system", "done"}, false},
        // Another chip: stopped at once, though it would go on writing.
        {firmware.substr(0, firmware.find(mac_line)) + "MAC:                f4:12:fa:00:00:09\n", false,
         {"firmware", "failed: esptool reached another board: its MAC is f4:12:fa:00:00:09, this board's serial "
                      "number is F4:12:FA:5A:1C:30"}, false},
        {firmware + "Connecting...\nMAC: f4:12:fa:00:00:09\n", true,
         {"firmware", "failed: esptool named two chips in one run: MAC f4:12:fa:5a:1c:30 and f4:12:fa:00:00:09"},
         false},
    };
    // A run that is not stopped writes on until released, long after any stop.
    write_file("run.0", "cat say.0\nrm say.0\ni=0\nwhile [ ! -e release ] && [ $i -lt 600 ]; do sleep 0.05; "
                        "i=$((i+1)); done\necho > finished\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.told.back());
        for (const char* name : {"call.0", "call.1", "finished"})
            fs::remove(name);
        write_file("say.0", c.printed);
        write_file("say.1", c.printed == firmware ? transcript("v5.3.1-file-system.txt") : c.printed);
        write_file("release");
        if (c.told.back().find("another board") != std::string::npos || c.told.back().find("two chips") != std::string::npos)
            fs::remove("release");
        told_report report;
        flash_control control;
        testing::internal::CaptureStdout();
        const flash_outcome outcome = flash_board({"/dev/ttyACM0", board_serial, ""}, base, {}, report, control,
                                                  {.pass_output = false, .strict = c.strict});
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(report.said, c.told);
        EXPECT_EQ(outcome.flashed, c.told.back() == "done");
        EXPECT_EQ(out.find("the board could not be checked: esptool 9.0.0") != std::string::npos, c.unchecked) << out;
        EXPECT_FALSE(fs::exists("finished") && !fs::exists("release")) << "a run on another chip went on to its end";
    }
    // The same chip however the serial number spells its MAC; one that is no MAC fails at the station before
    // any run, and is flashed unchecked elsewhere.
    write_file("release");
    write_file("say.1", transcript("v5.3.1-file-system.txt"));
    for (const std::string serial : {"F412FA5A1C30", "f4-12-fa-5a-1c-30", " f4:12:FA:5a:1C:30\t", "F4:12:FA:5A:1C", "S-7"})
        for (const bool strict : {true, false}) {
            fs::remove("call.0");
            fs::remove("call.1");
            write_file("say.0", firmware);
            told_report report;
            flash_control control;
            testing::internal::CaptureStdout();
            flash_board({"/dev/ttyACM0", serial, ""}, base, {}, report, control, {.pass_output = false, .strict = strict});
            const bool refused = serial.size() < 12 || serial == "F4:12:FA:5A:1C";
            EXPECT_EQ(testing::internal::GetCapturedStdout().find("is no MAC") != std::string::npos, refused && !strict);
            EXPECT_EQ(report.said.back(), refused && strict ? "failed: its USB serial number " + serial
                                                                  + " is no MAC, so the board cannot be checked against the chip"
                                                            : "done") << serial;
            EXPECT_EQ(calls(), refused && strict ? 0 : 2);
        }
}

// As Debian's esptool, without the ESP32-S3's stub, the stand-in fails once it has named the chip,
// and writes and verifies each image through the chip's ROM loader when given --no-stub.
TEST_F(FlashWorker, AnEsptoolWithoutTheChipsStubWritesThroughItsRomLoader)
{
    write_file("fs.bin");
    for (const char* name : {"no-s3-stub-firmware", "rom-loader-firmware", "rom-loader-file-system"})
        write_file(name, transcript(std::string("v4.7.0-") + name + ".txt"));
    for (const char* call : {"run.0", "run.1", "run.2"})
        write_file(call, "case \" $* \" in *' --no-stub '*) ;; *) cat no-s3-stub-firmware; exit 1;; esac\n"
                         "case \" $* \" in *' fs.bin '*) cat rom-loader-file-system;; *) cat rom-loader-firmware;; esac\n");
    testing::internal::CaptureStdout();
    std::vector<std::string> texts = run_worker();
    const std::string out = testing::internal::GetCapturedStdout();
    for (const char* stage : {"Uploading firmware", "Uploading app"})  // each run's progress ends at 100
        EXPECT_NE(std::find(texts.begin(), texts.end(), progress_text(stage, 100)), texts.end()) << stage;
    std::erase_if(texts, [](const std::string& text) { return text.find(" %<") != std::string::npos; });
    EXPECT_EQ(texts, (std::vector<std::string>{uploading_firmware, firmware_done, uploading_app, app_done}));
    ASSERT_EQ(calls(), 3);
    std::vector<std::string> rom_loader = arguments(0);
    rom_loader.insert(rom_loader.begin() + 2, "--no-stub");  // after --chip esp32s3
    EXPECT_EQ(arguments(0), expected_arguments(firmware_command_line("/dev/ttyACM0", "blink")));
    EXPECT_EQ(arguments(1), rom_loader);
    EXPECT_TRUE(arguments(2)[2] == "--no-stub" && arguments(2).back() == "fs.bin");  // the same esptool: no stub tried
    EXPECT_NE(out.find("Vornhale: esptool 4.7.0 has no flasher stub for the ESP32-S3"), std::string::npos) << out;
}

// Less flash than the export needs, as esptool says it: its fatal error, or a warning before it writes
// (stopped at once, though it would go on). The maker reads what the board has, needs and to choose.
TEST_F(FlashWorker, TooLittleFlashIsToldInAMakersWords)
{
    write_file("fs.bin");
    const auto head = [](const std::string& file) {
        const std::string printed = transcript(file);
        return printed.substr(0, printed.find("Configuring flash size...\n") + 26);
    };
    const std::tuple<int, std::string, std::string> cases[] = {  // the run, what esptool prints, what happened
        {1, head("v5.3.1-file-system.txt") + "A fatal error occurred: File 'fs.bin' (length 1572864) at offset "
            "0x00670000 will not fit in 4194304 bytes of flash. Change the flash_size argument or flashing address.\n",
         "fs.bin was not written, and the firmware just written expects more flash than the board has"},
        {0, head("v5.3.1-firmware.txt") + "Warning: Set flash_size 8MB is larger than the available flash size of 4MB.\n",
         "nothing was written"},
    };
    for (const auto& [run, printed, happened] : cases) {
        for (const char* name : {"call.0", "call.1", "run.0", "run.1", "finished"})
            fs::remove(name);
        write_file("printed", printed);
        write_file("run." + std::to_string(run), run == 1 ? "cat printed\nexit 2\n"
                   : "cat printed\ni=0; while [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done; : >finished\n");
        told_report report;
        flash_control control;
        flash_board({"/dev/ttyACM0", "", ""}, base, {}, report, control, {.pass_output = false});
        EXPECT_TRUE(report.said.back().starts_with("failed: the board has 4 MB of flash, but the export needs 8 MB: "
            + happened + ". In the Arduino IDE's Tools menu, choose Flash Size \"4MB (32Mb)\"")) << report.said.back();
        EXPECT_EQ(calls(), run + 1);
        EXPECT_FALSE(fs::exists("finished")) << "the run went on writing";
    }
}

TEST_F(FlashWorker, ToolLeavingAChildThatHoldsItsOutputDoesNotHoldTheWorker)
{
    // The tool ends, but a child of its own keeps the output pipe open.
    write_file("run.0", "sleep 30 & echo $! > child.pid\n");
    std::atomic<bool> ended = false;
    std::vector<std::string> texts;
    std::thread worker([&] {
        texts = run_worker();
        ended = true;
    });
    const auto start = std::chrono::steady_clock::now();
    while (!ended && std::chrono::steady_clock::now() - start < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto waited = std::chrono::steady_clock::now() - start;
    std::ifstream pid_file("child.pid");
    pid_t child = 0;
    pid_file >> child;
    if (child > 0)
        ::kill(child, SIGKILL);
    worker.join();
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_EQ(texts, (std::vector<std::string>{uploading_firmware, firmware_done, no_file_system}));
}

TEST_F(FlashWorker, EndlessOutputIsBoundedHoweverLateItIsRead)
{
    // 100 MB without a line break while the reader is held up, as on a busy
    // machine: the tool's output file never holds more than its bound, and
    // the run fails with that reason rather than the tool's last words.
    const std::string flood = "echo starting\nhead -c 100000000 /dev/zero | tr '\\0' x\necho > flooded\n"
                              "printf '\\nA fatal error occurred: out of patience\\n'\nexit 2\n";
    write_file("run.0", flood);
    // One that goes on printing whatever its writes give: stopped.
    write_file("run.1", "while :; do printf '%01000d\\n' 0; done\n");
    // A message whose lines never end: the reason stops growing.
    write_file("run.2", "echo 'A fatal error occurred: out of patience'\nyes 'and more' | head -n 100000\nexit 2\n");
    // Exactly the bound is not more than it.
    write_file("run.3", "head -c " + std::to_string(platform::most_tool_output) + " /dev/zero | tr '\\0' x\n");
    const int saved_stdout = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
    // The output file is memory too, though never mapped: its allocated size
    // once the tool has printed all it could, nothing of it read meanwhile.
    long long held = -1;  // bytes
    const auto outcome = platform::run_command_line("./esptool.exe", [&](std::string_view) {
        for (int i = 0; i < 3000 && held < 0 && !fs::exists("flooded"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            struct stat file {};
            if (held < 0 && fs::read_symlink(fd, error).string().starts_with("/memfd:esptool-output")
                && ::stat(fd.path().c_str(), &file) == 0)
                held = static_cast<long long>(file.st_blocks) * 512;
        }
    });
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    const auto texts = run_worker();
    const auto endless_message = run_worker();
    const auto at_the_bound = run_worker();
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    ::dup2(saved_stdout, STDOUT_FILENO);
    ::close(saved_stdout);
    EXPECT_EQ(outcome.how, platform::run_outcome::kind::too_much_output);
    EXPECT_GE(held, 0);
    EXPECT_LE(held, static_cast<long long>(platform::most_tool_output) + 4096);  // and the byte past it, on a page
#ifndef __SANITIZE_ADDRESS__  // whose quarantine keeps what was freed, and so grows with every line
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 32 * 1024);  // KiB
#endif
    EXPECT_EQ(texts, (std::vector<std::string>{uploading_firmware,
                                               "Firmware upload failed: esptool printed more than 8 MiB, far more "
                                               "than a run of it prints, and was stopped"}));
    EXPECT_EQ(at_the_bound, (std::vector<std::string>{uploading_firmware, firmware_done, no_file_system}));
    ASSERT_EQ(endless_message.size(), 2u);
    EXPECT_TRUE(endless_message[1].starts_with("Firmware upload failed: out of patience and more and more"));
    EXPECT_LT(endless_message[1].size(), 4096u);
}

TEST_F(FlashWorker, StopEndsTheToolsWholeProcessGroup)
{
    // Main asks the worker to end and to stop the tool: the tool's children
    // end with it, and the run is reported as failed.
    write_file("fs.bin");
    // The tool takes a moment after SIGTERM to end cleanly, well within the
    // grace period.
    write_file("run.0", "trap 'sleep 0.3; echo > cleaned_up; exit 3' TERM\nsleep 30 & echo $! > child.pid\nwait\n");
    flash_control control;
    std::vector<std::string> texts;
    testing::internal::CaptureStderr();
    std::thread worker([&] { texts = run_worker(control); });
    ASSERT_TRUE(wait_for_file("child.pid"));
    control.finish_asked = true;
    control.tool_stop.request();
    worker.join();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(texts, (std::vector<std::string>{uploading_firmware,
                                               "Firmware upload failed: esptool was stopped before it finished"}));
    EXPECT_TRUE(control.interrupted);
    EXPECT_TRUE(control.done);
    EXPECT_NE(said.find("firmware upload was interrupted"), std::string::npos) << said;
    EXPECT_EQ(calls(), 1);
    EXPECT_TRUE(fs::exists("cleaned_up")) << "killed before its grace period was over";
    std::ifstream pid_file("child.pid");
    pid_t child = 0;
    pid_file >> child;
    ASSERT_GT(child, 0);
    // Gone, or a zombie waiting for whoever inherited it.
    std::ifstream state("/proc/" + std::to_string(child) + "/stat");
    std::string stat_line;
    std::getline(state, stat_line);
    EXPECT_TRUE(stat_line.empty() || stat_line.find(") Z") != std::string::npos) << stat_line;
}

TEST_F(FlashWorker, SignalsFromTheToolAndItsChildrenAreNoStopThoughTheToolHasEnded)
{
    // The tool signals us and ends at once; a child of its, left running,
    // signals us after that. The signals are handled only once the runner has
    // waited for the tool (the main thread was busy), when the system no
    // longer knows the tool, nor the child as its. The user's own request,
    // sent after them, is the one stop.
    platform::catch_stop_signals();
    const std::array stop_signals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    sigset_t stops;
    sigset_t before;
    sigemptyset(&stops);
    for (const int sig : stop_signals)
        sigaddset(&stops, sig);
    ::pthread_sigmask(SIG_BLOCK, &stops, &before);  // the worker's thread inherits it
    write_file("run.0", "(sleep 0.2; kill -QUIT $PPID; : >sent; while [ ! -e release ]; do sleep 0.05; done; : >left) &\n"
                        "kill -TERM $PPID; kill -HUP $PPID\n");
    std::vector<std::string> texts;
    std::thread worker([&] { texts = run_worker(); });
    worker.join();
    EXPECT_EQ(texts, (std::vector<std::string>{uploading_firmware, firmware_done, no_file_system}));
    ASSERT_TRUE(wait_for_file("sent"));
    testing::internal::CaptureStderr();
    ::kill(::getpid(), SIGINT);
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    platform::wait_for_stop_requests(1, [] { return false; });
    const std::string said = testing::internal::GetCapturedStderr();
    write_file("release");
    EXPECT_TRUE(wait_for_file("left"));  // before its folder goes
    for (const int sig : stop_signals)
        std::signal(sig, SIG_DFL);
    EXPECT_EQ(platform::stop_requests(), 1u) << said;
    EXPECT_NE(said.find("stop request 1: SIGINT from Vornhale itself"), std::string::npos) << said;
}

TEST(ImageSet, TheCopyIsTheUsersAloneFromItsStartAndLeftOnlyByAKilledStation)
{
    // Another local user watches the temporary folder: the copy's folder is
    // 0700 as it is made, whatever the umask; a link named like an image is
    // never written through; a copy a killed station left goes at the next
    // start, and nothing else does; a full disk says so; the end leaves no copy.
    const work_dir dir;
    const fs::path temporary = dir.path() / "tmp";
    write_file("tmp/vornhale-images-other/fs.bin", "not ours by its name");
    write_file("victim/fs.bin", "the user's own");
    fs::create_directory_symlink(dir.path() / "victim", temporary / "vornhale-images-link01");
    env_variable tmpdir("TMPDIR", temporary.string());
    const platform::private_folder live("vornhale-images-");
    write_file("fs.bin", "a running station's");
    live.copy_in("fs.bin", "fs.bin");
    // What a killed station leaves: its copy, no longer in use (dead01). Not
    // provably one: a folder others may enter (open01), one just made, not yet
    // locked (young1), the user's own named alike (TMPDIR=$HOME).
    for (const char* left : {"vornhale-images-dead01", "vornhale-images-open01"}) {
        fs::create_directory(temporary / left, live.path());
        for (const auto& entry : fs::directory_iterator(live.path()))
            fs::copy_file(entry, temporary / left / entry.path().filename());
    }
    fs::permissions(temporary / "vornhale-images-open01", fs::perms::group_read | fs::perms::group_exec, fs::perm_options::add);
    fs::create_directory(temporary / "vornhale-images-young1", live.path());
    write_file("tmp/vornhale-images-backup/notes.txt", "the user's own");
    fs::permissions(temporary / "vornhale-images-backup", fs::perms::owner_all);
    const std::string file_system(300000, 'f');
    write_file("blink.ino.bin", "application");
    write_file("fs.bin", file_system);

    const mode_t umask = ::umask(0);
    image_set::remove_left_copies();
    std::optional<image_set> images;
    images.emplace("blink", ".");
    ::umask(umask);
    struct stat made {};
    ASSERT_EQ(::lstat(images->folder().c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, 0700u);
    EXPECT_EQ(images->images().back().sha256, platform::sha256_hex(file_system));
    EXPECT_FALSE(fs::exists(temporary / "vornhale-images-dead01"));
    for (const fs::path& kept : {temporary / "vornhale-images-other", live.path(), dir.path() / "victim"})
        EXPECT_TRUE(fs::exists(kept / "fs.bin")) << kept;
    EXPECT_TRUE(fs::exists(temporary / "vornhale-images-backup" / "notes.txt"));
    images.reset();
    std::set<fs::path> left;
    for (const auto& entry : fs::directory_iterator(temporary))
        left.insert(entry.path());
    EXPECT_EQ(left, (std::set<fs::path>{temporary / "vornhale-images-other", temporary / "vornhale-images-link01",
                                        temporary / "vornhale-images-backup", temporary / "vornhale-images-open01",
                                        temporary / "vornhale-images-young1", live.path()}));

    fs::create_symlink(dir.path() / "victim" / "fs.bin", live.path() / "blink.ino.bin");
    EXPECT_THROW(live.copy_in("blink.ino.bin", "blink.ino.bin"), std::runtime_error);
    std::ifstream victim(dir.path() / "victim" / "fs.bin");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(victim), {}), "the user's own");

    // No room beyond 100 kB (a file size limit stands in for a full disk).
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit small{100000, limit.rlim_max};
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &small);
    try {
        image_set full("blink", ".");
        ADD_FAILURE() << "a copy beyond the limit";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(std::strerror(EFBIG)), std::string::npos) << e.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, previous);
}

// The copy holds what was checked: an image too large for where it goes is
// never copied, whenever it grows (a build still writing it); a stop, an
// unusable TMPDIR end the copy, and a failed copy leaves nothing behind.
TEST(ImageSet, WhatIsCopiedIsWhatWasCheckedAndAStopEndsTheCopy)
{
    const work_dir dir;
    env_variable tmpdir("TMPDIR", (dir.path() / "tmp").string());
    fs::create_directory("tmp");
    // The 8 MB layout: the application's partition 0x330000 bytes at 0x10000, the file system's 0x180000 at 0x670000.
    write_file("blink.ino.partitions.bin", std::string("\xAA\x50\0\x10\0\0\1\0\0\0\x33\0", 12) + std::string(20, '\0')
                                               + std::string("\xAA\x50\1\x82\0\0\x67\0\0\0\x18\0", 12)
                                               + std::string(20, '\0') + std::string(0xC00 - 64, '\xFF'));
    write_file("blink.ino.bin", std::string(0x330001, 'a'));
    const auto refusal = [](const std::atomic<bool>* stop = nullptr) {
        try {
            image_set images("blink", ".", stop);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("copied");
    };
    EXPECT_NE(refusal().find("blink.ino.bin (3342337 bytes) is larger than the application partition"), std::string::npos);
    write_file("blink.ino.bin", "application");
    // fs.bin grows far beyond its partition while it is copied: refused, or
    // copied as it was at a moment the build held still.
    write_file("fs.bin", std::string(65536, 'f'));
    std::atomic<bool> growing = false;
    std::thread build([&growing] {
        std::ofstream out("fs.bin", std::ios::binary | std::ios::app);
        for (int i = 0; i < 512; ++i, growing = true)
            out << std::string(65536, 'g') << std::flush;
    });
    while (!growing)
        std::this_thread::yield();
    std::optional<image_set> grown;
    try {
        grown.emplace("blink", ".");
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("fs.bin"), std::string::npos) << e.what();
    }
    build.join();
    EXPECT_LE(grown ? grown->images().back().size : 0, 0x180000u);
    grown.reset();
    fs::resize_file("fs.bin", 65536);
    const std::atomic<bool> stop = true;
    EXPECT_EQ(refusal(&stop), "the copy of the images was stopped");
    EXPECT_TRUE(fs::is_empty("tmp"));
    // An empty TMPDIR counts as unset; one that names no folder is named.
    for (const std::string& value : {std::string(), (dir.path() / "none").string()}) {
        const env_variable unusable("TMPDIR", value);
        EXPECT_EQ(refusal(), value.empty() ? "copied" : "cannot use TMPDIR=" + value + " as the temporary folder: No such "
                                                         "file or directory; set TMPDIR to a folder of yours, or unset it");
    }
}
