#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

// The ESP32-S3 boards on USB (vendor 0x303A, product 0x1001) and their
// comings and goings, for flashing several at once. Nothing but these boards
// is looked at, and nothing is opened. Failures to list devices are thrown as
// usb::error (platform/usb.h).
namespace platform {

struct usb_board {
    // The USB serial number: the ESP32-S3's USB-Serial/JTAG reports its MAC
    // there ("F4:12:FA:00:00:01"). Empty when the board reports none.
    std::string serial;
    // The name of the serial port of its interface 0 ("/dev/ttyACM1", "COM7").
    std::string port;
    // Where it is attached, as the system names the device (a sysfs path, a
    // device instance path): different for every board present at once.
    std::string location;

    bool operator==(const usb_board&) const = default;
};

// The boards present now whose serial port has a name. Any thread.
std::vector<usb_board> list_boards();

// Tells when the boards plugged in may have changed: a udev monitor on Linux;
// on Windows, a look at the device list twice a second. One thread waits at a
// time; wake may come from any.
class board_watch {
public:
    // Throws usb::error when changes cannot be watched.
    board_watch();
    ~board_watch();
    board_watch(const board_watch&) = delete;
    board_watch& operator=(const board_watch&) = delete;

    // Blocks, using no processor time, until the boards may have changed
    // (true), or timeout has passed or wake was called (false). Several
    // changes may show as one.
    bool wait(std::chrono::milliseconds timeout);

    // Makes a running wait return at once (or the next one, if none runs).
    void wake();

    struct impl;

private:
    std::unique_ptr<impl> impl_;
};

}  // namespace platform
