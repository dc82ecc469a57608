// Board discovery against fake USB devices. Runs under umockdev's preload
// (umockdev-wrapper), which shows each test's testbed to libudev as the system.

#include "app/status_queue.h"
#include "flash/discovery.h"
#include "platform/usb_boards.h"

#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <thread>
#include <umockdev.h>
#include <vector>

namespace {

const std::string usb_bus = "/devices/pci0000:00/0000:00:14.0/usb1/";

// The tty below interface 0 of the USB device at port (its bus path, "1-1").
std::string tty_block(const std::string& devname, const std::string& port = "1-1",
                      const std::string& sysname = "ttyACM0")
{
    return "P: " + usb_bus + port + "/" + port + ":1.0/tty/" + sysname + "\n"
           "N: " + devname.substr(5) + "\n"
           "E: DEVNAME=" + devname + "\n"
           "E: SUBSYSTEM=tty\n"
           "A: dev=166:0\n"
           "L: device=../../../" + port + ":1.0\n\n";
}

std::string interface_block(const std::string& number, const std::string& port = "1-1")
{
    return "P: " + usb_bus + port + "/" + port + ":1.0\n"
           "E: DEVTYPE=usb_interface\n"
           "E: SUBSYSTEM=usb\n"
           "A: bInterfaceNumber=" + number + "\n\n";
}

std::string device_block(const std::string& product, const std::string& port = "1-1", const std::string& serial = "",
                         const std::string& vendor = "303a")
{
    const std::string number = std::to_string(4 + (port.back() - '0'));
    return "P: " + usb_bus + port + "\n"
           "N: bus/usb/001/00" + number + "\n"
           "E: DEVNAME=/dev/bus/usb/001/00" + number + "\n"
           "E: DEVTYPE=usb_device\n"
           "E: SUBSYSTEM=usb\n"
           "A: idVendor=" + vendor + "\n"
           "A: idProduct=" + product + "\n"
           + (serial.empty() ? "" : "A: serial=" + serial + "\n") + "\n";
}

struct discovery_result {
    std::optional<std::string> board_port;
    std::vector<std::string> texts;
    std::string printed;
};

// A board at port with its tty on interface 0, child first.
std::string board_blocks(const std::string& port, const std::string& serial, const std::string& tty)
{
    return tty_block("/dev/" + tty, port, tty) + interface_block("00", port) + device_block("1001", port, serial);
}

// A testbed for the life of the object; devices added to it announce
// themselves to udev monitors.
class testbed {
public:
    testbed() : bed_(umockdev_testbed_new())
    {
        EXPECT_TRUE(umockdev_in_mock_environment()) << "run this program under umockdev-wrapper";
    }
    ~testbed() { g_object_unref(bed_); }

    void add(const std::string& devices)
    {
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(bed_, devices.c_str(), &error)) {
            ADD_FAILURE() << "umockdev rejects the devices: " << error->message;
            g_error_free(error);
        }
    }

    // Plugs a board in as the kernel does: the device, its interface, its
    // tty, then the driver's binding.
    void plug(const std::string& port, const std::string& serial, const std::string& tty)
    {
        add(device_block("1001", port, serial));
        add(interface_block("00", port));
        add(tty_block("/dev/" + tty, port, tty));
        umockdev_testbed_uevent(bed_, ("/sys" + usb_bus + port).c_str(), "bind");
    }

    // Unplugs it: the tty goes first.
    void unplug(const std::string& port, const std::string& tty)
    {
        for (const std::string& path : {usb_bus + port + "/" + port + ":1.0/tty/" + tty,
                                       usb_bus + port + "/" + port + ":1.0", usb_bus + port}) {
            umockdev_testbed_uevent(bed_, ("/sys" + path).c_str(), "remove");
            umockdev_testbed_remove_device(bed_, ("/sys" + path).c_str());
        }
    }

private:
    UMockdevTestbed* bed_;
};

// Discovers the board with exactly the devices described (none when empty).
discovery_result discover_with(const std::string& devices)
{
    testbed bed;
    if (!devices.empty())
        bed.add(devices);
    discovery_result result;
    status_queue queue;
    result.board_port = "stale";
    testing::internal::CaptureStdout();
    discover_board(result.board_port, queue);
    result.printed = testing::internal::GetCapturedStdout();
    while (auto text = queue.take_for(std::chrono::milliseconds(0)))
        result.texts.push_back(*text);
    return result;
}

}  // namespace

TEST(BoardDiscovery, BoardWithItsPortReportsThePortOnly)
{
    const auto found = discover_with(tty_block("/dev/ttyACM0") + interface_block("00") + device_block("1001"));
    EXPECT_EQ(found.texts, std::vector<std::string>{"Device port: /dev/ttyACM0"});
    EXPECT_EQ(found.board_port, "/dev/ttyACM0");
    EXPECT_EQ(found.printed, "");
}

TEST(BoardDiscovery, MissingBoardReportsTwoTextsInOrder)
{
    const std::vector<std::string> not_connected{"The board is not connected.", "Device port: not found"};
    for (const std::string& devices : {std::string(),
                                      // same vendor, another product
                                      tty_block("/dev/ttyACM0") + interface_block("00") + device_block("1002")}) {
        const auto found = discover_with(devices);
        EXPECT_EQ(found.texts, not_connected);
        EXPECT_EQ(found.board_port, std::nullopt);
        EXPECT_EQ(found.printed, "");
    }
}

TEST(BoardDiscovery, BoardWithoutNamedPortPrintsWhyAndReportsNotFound)
{
    for (const std::string& devices : {interface_block("00") + device_block("1001"),  // no tty
                                      device_block("1001"),                          // no interface
                                      tty_block("/dev/ttyACM0") + interface_block("01") + device_block("1001")}) {
        const auto found = discover_with(devices);
        EXPECT_EQ(found.texts, std::vector<std::string>{"Device port: not found"});
        EXPECT_EQ(found.board_port, std::nullopt);
        // One line, saying what failed.
        ASSERT_FALSE(found.printed.empty());
        EXPECT_EQ(found.printed.find('\n'), found.printed.size() - 1) << found.printed;
        EXPECT_NE(found.printed.find("interface 0"), std::string::npos) << found.printed;
    }
}

TEST(BoardDiscovery, PortNameIsEscapedInTheReportButKeptAsIs)
{
    const std::string name = "/dev/tty<b>&\"x\"";
    const auto found = discover_with(tty_block(name) + interface_block("00") + device_block("1001"));
    EXPECT_EQ(found.texts, std::vector<std::string>{"Device port: /dev/tty&lt;b&gt;&amp;&quot;x&quot;"});
    EXPECT_EQ(found.board_port, name);
}

using platform::usb_board;

usb_board board(const std::string& port, const std::string& serial, const std::string& devname)
{
    return usb_board{serial, devname, "/sys" + usb_bus + port};
}

TEST(BoardList, EveryBoardWithItsSerialAndNamedPortAndNothingElse)
{
    testbed bed;
    EXPECT_EQ(platform::list_boards(), std::vector<usb_board>{});
    bed.add(board_blocks("1-1", "F4:12:FA:00:00:01", "ttyACM0") + board_blocks("1-2", "F4:12:FA:00:00:02", "ttyACM1")
            + board_blocks("1-3", "", "ttyACM2")  // no serial number
            // a CP2102 serial adapter
            + tty_block("/dev/ttyUSB0", "1-4", "ttyUSB0") + interface_block("00", "1-4")
            + device_block("ea60", "1-4", "0001", "10c4")
            // a board whose port is on another interface, one with no port at all
            + tty_block("/dev/ttyACM3", "1-5", "ttyACM3") + interface_block("01", "1-5")
            + device_block("1001", "1-5", "F4:12:FA:00:00:05")
            + interface_block("00", "1-6") + device_block("1001", "1-6", "F4:12:FA:00:00:06"));
    EXPECT_EQ(platform::list_boards(),
              (std::vector<usb_board>{board("1-1", "F4:12:FA:00:00:01", "/dev/ttyACM0"),
                                      board("1-2", "F4:12:FA:00:00:02", "/dev/ttyACM1"),
                                      board("1-3", "", "/dev/ttyACM2")}));
}

TEST(BoardWatch, TellsOfABoardPluggedInAndOneUnpluggedAndEndsAtAWake)
{
    testbed bed;
    bed.add(board_blocks("1-1", "F4:12:FA:00:00:01", "ttyACM0"));
    platform::board_watch watch;
    EXPECT_FALSE(watch.wait(std::chrono::milliseconds(100)));

    bed.plug("1-2", "F4:12:FA:00:00:02", "ttyACM1");
    EXPECT_TRUE(watch.wait(std::chrono::seconds(1)));
    // Its four announcements were one change.
    EXPECT_FALSE(watch.wait(std::chrono::milliseconds(100)));
    EXPECT_EQ(platform::list_boards(), (std::vector<usb_board>{board("1-1", "F4:12:FA:00:00:01", "/dev/ttyACM0"),
                                                               board("1-2", "F4:12:FA:00:00:02", "/dev/ttyACM1")}));

    bed.unplug("1-1", "ttyACM0");
    // A wake ends the wait at once, before changes, which the next wait tells.
    watch.wake();
    EXPECT_FALSE(watch.wait(std::chrono::hours(1)));
    EXPECT_TRUE(watch.wait(std::chrono::seconds(1)));
    EXPECT_EQ(platform::list_boards(), std::vector<usb_board>{board("1-2", "F4:12:FA:00:00:02", "/dev/ttyACM1")});

    // A wake from another thread ends a running wait.
    auto waited = std::async(std::launch::async, [&] { return watch.wait(std::chrono::hours(1)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    watch.wake();
    ASSERT_EQ(waited.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(waited.get());
}
