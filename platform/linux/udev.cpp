#include "platform/linux/udev.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fmt/core.h>

namespace usb::udev_detail {
namespace {

enumerate_ptr new_enumerate(udev* context)
{
    errno = 0;
    enumerate_ptr e(udev_enumerate_new(context));
    if (!e)
        throw error(fmt::format("Failed to list USB devices: {}", errno_text(errno)));
    return e;
}

bool has_devtype(udev_device* dev, const char* type)
{
    const char* t = udev_device_get_devtype(dev);
    return t != nullptr && std::strcmp(t, type) == 0;
}

device_ptr first(std::vector<device_ptr> found)
{
    return found.empty() ? nullptr : std::move(found.front());
}

}  // namespace

std::string errno_text(int error) { return error != 0 ? std::strerror(error) : "unknown error"; }

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

std::vector<device_ptr> all_below(udev* context, udev_device* parent, const char* subsystem,
                                  const std::function<bool(udev_device*)>& accept, const char* what)
{
    enumerate_ptr e = new_enumerate(context);
    check(udev_enumerate_add_match_subsystem(e.get(), subsystem), what);
    if (parent != nullptr)
        check(udev_enumerate_add_match_parent(e.get(), parent), what);
    check(udev_enumerate_scan_devices(e.get()), what);
    std::vector<device_ptr> found;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e.get()))
    {
        device_ptr dev(udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
        if (dev && accept(dev.get()))
            found.push_back(std::move(dev));
    }
    return found;
}

bool is_usb_device(udev_device* dev, std::uint16_t vendor_id, std::uint16_t product_id)
{
    return has_devtype(dev, "usb_device") && hex_attribute(dev, "idVendor") == vendor_id
           && hex_attribute(dev, "idProduct") == product_id;
}

device_ptr find_interface(udev* context, udev_device* usb_device, std::uint8_t interface_number)
{
    return first(all_below(
        context, usb_device, "usb",
        [&](udev_device* d) {
            return has_devtype(d, "usb_interface") && hex_attribute(d, "bInterfaceNumber") == interface_number;
        },
        "Failed to list the interfaces of the USB device"));
}

device_ptr find_tty(udev* context, udev_device* parent)
{
    return first(all_below(
        context, parent, "tty", [](udev_device* d) { return udev_device_get_devnode(d) != nullptr; },
        "Failed to list the serial ports of the USB device"));
}

}  // namespace usb::udev_detail
