#include "platform/usb.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fmt/core.h>
#include <libudev.h>
#include <optional>

namespace usb {
namespace {

struct udev_unref_deleter {
    void operator()(udev* u) const noexcept { udev_unref(u); }
    void operator()(udev_enumerate* e) const noexcept { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const noexcept { udev_device_unref(d); }
};
using udev_ptr = std::unique_ptr<udev, udev_unref_deleter>;
using enumerate_ptr = std::unique_ptr<udev_enumerate, udev_unref_deleter>;
using device_ptr = std::unique_ptr<udev_device, udev_unref_deleter>;

std::string errno_text(int error) { return error != 0 ? std::strerror(error) : "unknown error"; }

// libudev returns negative errno values.
void check(int result, const char* what)
{
    if (result < 0)
        throw error(fmt::format("{}: {}", what, errno_text(-result)));
}

udev_ptr new_context()
{
    errno = 0;
    udev_ptr context(udev_new());
    if (!context)
        throw error(fmt::format("Failed to access the device manager (udev): {}", errno_text(errno)));
    return context;
}

enumerate_ptr new_enumerate(udev* context)
{
    errno = 0;
    enumerate_ptr e(udev_enumerate_new(context));
    if (!e)
        throw error(fmt::format("Failed to list USB devices: {}", errno_text(errno)));
    return e;
}

// A hexadecimal sysfs attribute such as idVendor ("303a") or bInterfaceNumber ("00").
std::optional<unsigned long> hex_attribute(udev_device* dev, const char* name)
{
    const char* text = udev_device_get_sysattr_value(dev, name);
    if (text == nullptr || *text == '\0')
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 16);
    if (errno != 0 || (*end != '\0' && *end != '\n'))
        return std::nullopt;
    return value;
}

// Every device of subsystem below parent (parent included), in the order udev
// lists them, for which accept returns true; the first one.
template <typename Accept>
device_ptr first_below(udev* context, udev_device* parent, const char* subsystem, Accept accept,
                       const char* what)
{
    enumerate_ptr e = new_enumerate(context);
    check(udev_enumerate_add_match_subsystem(e.get(), subsystem), what);
    if (parent != nullptr)
        check(udev_enumerate_add_match_parent(e.get(), parent), what);
    check(udev_enumerate_scan_devices(e.get()), what);
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e.get()))
    {
        device_ptr dev(udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
        if (dev && accept(dev.get()))
            return dev;
    }
    return nullptr;
}

bool has_devtype(udev_device* dev, const char* type)
{
    const char* t = udev_device_get_devtype(dev);
    return t != nullptr && std::strcmp(t, type) == 0;
}

}  // namespace

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
    found->dev = first_below(
        found->context.get(), nullptr, "usb",
        [&](udev_device* dev) {
            return has_devtype(dev, "usb_device") && hex_attribute(dev, "idVendor") == vendor_id
                   && hex_attribute(dev, "idProduct") == product_id;
        },
        "Failed to list USB devices");
    if (!found->dev)
        return device();
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
        interface = first_below(
            context, usb_device, "usb",
            [&](udev_device* d) {
                return has_devtype(d, "usb_interface") && hex_attribute(d, "bInterfaceNumber") == interface_number;
            },
            "Failed to list the interfaces of the USB device");
        if (!interface)
            throw error(fmt::format("Failed to find interface {} of the USB device.", interface_number));
    }
    udev_device* parent = composite ? interface.get() : usb_device;
    device_ptr tty = first_below(
        context, parent, "tty", [](udev_device* d) { return udev_device_get_devnode(d) != nullptr; },
        "Failed to list the serial ports of the USB device");
    if (!tty)
        throw error(fmt::format("Failed to find the serial port of interface {} of the USB device.", interface_number));
    impl_ = std::make_unique<impl>();
    impl_->name = udev_device_get_devnode(tty.get());
}

serial_port::~serial_port() = default;

std::string serial_port::get_name() const { return impl_->name; }

}  // namespace usb
