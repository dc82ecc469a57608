#include "platform/usb.h"

#include "platform/udev_tty.h"

#include <fmt/core.h>

namespace usb {

using namespace udev_detail;

// Holds the udev context through the device's own reference to it.
struct device::impl {
    udev_ptr context;
    device_ptr dev;
};

struct serial_port::impl {
    std::string name;
};

device find_device_with_vid_pid(std::uint16_t vendor_id, std::uint16_t product_id)
{
    auto found = std::make_shared<device::impl>();
    found->context = new_context();
    std::vector<device_ptr> devices = all_below(
        found->context.get(), nullptr, "usb",
        [&](udev_device* dev) { return is_usb_device(dev, vendor_id, product_id); }, "Failed to list USB devices");
    if (devices.empty())
        return device();
    found->dev = std::move(devices.front());
    return device(std::move(found));
}

serial_port::serial_port(const device& dev, std::uint8_t interface_number, bool composite)
{
    if (!dev)
        throw error("Failed to create the serial port: no USB device was given.");
    udev* context = dev.get_impl()->context.get();
    udev_device* usb_device = dev.get_impl()->dev.get();

    // A composite device shows each function as an interface of its own; the
    // port is the tty below the interface with the given number. A device of
    // one function has its tty below its only interface.
    device_ptr interface;
    if (composite) {
        interface = find_interface(context, usb_device, interface_number);
        if (!interface)
            throw error(fmt::format("Failed to find interface {} of the USB device.", interface_number));
    }
    device_ptr tty = find_tty(context, composite ? interface.get() : usb_device);
    if (!tty)
        throw error(fmt::format("Failed to find the serial port of interface {} of the USB device.", interface_number));
    impl_ = std::make_unique<impl>();
    impl_->name = udev_device_get_devnode(tty.get());
}

serial_port::~serial_port() = default;

std::string serial_port::get_name() const { return impl_->name; }

}  // namespace usb
