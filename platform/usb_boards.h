#pragma once

// Seam: the boards on USB. platform/linux/usb_boards.cpp (libudev), platform/windows/usb_boards.cpp (SetupAPI);
// list_boards is platform/usb_boards.cpp.

#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <vector>

// The ESP32-S3 boards on USB (vendor 0x303A, product 0x1001), the serial port
// of each, and their comings and goings: the single board of a flash and
// every board of the station are found here. Nothing but these boards is
// looked at, and nothing is opened. Implemented over libudev in
// platform/linux/, over SetupAPI in platform/windows/.

namespace usb {

// A failure to list or watch the devices; its message says what failed.
class error : public std::exception {
public:
    explicit error(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

}  // namespace usb

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

// A board as the system lists it. port_trouble is empty when its serial port
// (interface 0) has a name, else it says why it has none.
struct usb_board_entry {
    usb_board board;
    std::string port_trouble;
};

// Every board present now, in the order the system lists them, with or
// without a named port. Throws usb::error when the devices cannot be listed.
// Any thread.
std::vector<usb_board_entry> list_board_entries();

// The boards present now whose serial port has a name, in the same order.
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
