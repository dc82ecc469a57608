#pragma once

// libudev for the board list (usb_boards.cpp): owning pointers, device
// lists, and the serial port below a USB interface. Failures are thrown as
// usb::error.

#include "platform/usb_boards.h"

#include <cstdint>
#include <functional>
#include <libudev.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace usb::udev_detail {

struct unref {
    void operator()(udev* u) const noexcept { udev_unref(u); }
    void operator()(udev_enumerate* e) const noexcept { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const noexcept { udev_device_unref(d); }
    void operator()(udev_monitor* m) const noexcept { udev_monitor_unref(m); }
};
using udev_ptr = std::unique_ptr<udev, unref>;
using enumerate_ptr = std::unique_ptr<udev_enumerate, unref>;
using device_ptr = std::unique_ptr<udev_device, unref>;
using monitor_ptr = std::unique_ptr<udev_monitor, unref>;

// The system's text for an errno value.
std::string errno_text(int error);

// Throws usb::error "what: reason" when result (libudev's negative errno) is
// below zero.
void check(int result, const char* what);

// A new udev context. Contexts are not shared between threads.
udev_ptr new_context();

// A hexadecimal sysfs attribute such as idVendor ("303a") or bInterfaceNumber ("00").
std::optional<unsigned long> hex_attribute(udev_device* dev, const char* name);

// Every device of subsystem below parent (parent included; every device of
// the subsystem when parent is null), in the order udev lists them, for which
// accept returns true. Devices gone while they are listed are left out.
std::vector<device_ptr> all_below(udev* context, udev_device* parent, const char* subsystem,
                                  const std::function<bool(udev_device*)>& accept, const char* what);

// Whether dev is a whole USB device (not an interface) with these identifiers.
bool is_usb_device(udev_device* dev, std::uint16_t vendor_id, std::uint16_t product_id);

// The interface of usb_device with this bInterfaceNumber, or null.
device_ptr find_interface(udev* context, udev_device* usb_device, std::uint8_t interface_number);

// The first tty below parent that has a device node, or null.
device_ptr find_tty(udev* context, udev_device* parent);

}  // namespace usb::udev_detail
