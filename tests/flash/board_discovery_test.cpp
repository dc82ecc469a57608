// Board discovery against fake USB devices. Runs under umockdev's preload
// (umockdev-wrapper), which shows each test's testbed to libudev as the system.

#include "app/status_queue.h"
#include "flash/discovery.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <umockdev.h>
#include <vector>

namespace {

std::string tty_block(const std::string& devname)
{
    return "P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/tty/ttyACM0\n"
           "N: " + devname.substr(5) + "\n"
           "E: DEVNAME=" + devname + "\n"
           "E: SUBSYSTEM=tty\n"
           "A: dev=166:0\n"
           "L: device=../../../1-1:1.0\n\n";
}

std::string interface_block(const std::string& number)
{
    return "P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0\n"
           "E: DEVTYPE=usb_interface\n"
           "E: SUBSYSTEM=usb\n"
           "A: bInterfaceNumber=" + number + "\n\n";
}

std::string device_block(const std::string& product)
{
    return "P: /devices/pci0000:00/0000:00:14.0/usb1/1-1\n"
           "N: bus/usb/001/005\n"
           "E: DEVNAME=/dev/bus/usb/001/005\n"
           "E: DEVTYPE=usb_device\n"
           "E: SUBSYSTEM=usb\n"
           "A: idVendor=303a\n"
           "A: idProduct=" + product + "\n\n";
}

struct discovery_result {
    std::optional<std::string> board_port;
    std::vector<std::string> texts;
    std::string printed;
};

// Discovers the board with exactly the devices described (none when empty).
discovery_result discover_with(const std::string& devices)
{
    UMockdevTestbed* testbed = umockdev_testbed_new();
    EXPECT_TRUE(umockdev_in_mock_environment()) << "run this program under umockdev-wrapper";
    if (!devices.empty()) {
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(testbed, devices.c_str(), &error)) {
            ADD_FAILURE() << "umockdev rejects the devices: " << error->message;
            g_error_free(error);
        }
    }

    discovery_result result;
    status_queue queue;
    result.board_port = "stale";
    testing::internal::CaptureStdout();
    discover_board(result.board_port, queue);
    result.printed = testing::internal::GetCapturedStdout();
    while (auto text = queue.take_for(std::chrono::milliseconds(0)))
        result.texts.push_back(*text);
    g_object_unref(testbed);
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
