#include "platform/usb.h"

#include "platform/setupapi_ports.h"

#include <fmt/core.h>

#include <devguid.h>

// USB serial ports through SetupAPI. A board's serial function is a device
// of the Ports class whose instance identifier names the USB device and the
// interface, "USB\VID_303A&PID_1001&MI_00\...", and its port name ("COM7")
// is the value PortName in that device's registry key. The lookup reads
// identifiers only and never walks the device tree.
namespace usb {

using namespace setupapi_detail;

struct device::impl {
    std::wstring prefix;  // device_prefix of the device
};

struct serial_port::impl {
    std::string name;
};

device find_device_with_vid_pid(std::uint16_t vendor_id, std::uint16_t product_id)
{
    constexpr const char* what = "Failed to list USB devices";
    const std::wstring prefix = device_prefix(vendor_id, product_id);
    const device_set ports(&GUID_DEVCLASS_PORTS, nullptr, DIGCF_PRESENT, what);
    for (DWORD i = 0;; ++i) {
        const auto found = ports.at(i, what);
        if (!found)
            return device();
        const std::wstring& id = found->second;
        // The device itself ("...PID_1001\serial") or one of its interfaces ("...PID_1001&MI_00\...").
        if (starts_with(id, prefix + L"\\") || starts_with(id, prefix + L"&"))
            return device(std::make_shared<device::impl>(device::impl{prefix}));
    }
}

serial_port::serial_port(const device& dev, std::uint8_t interface_number, bool composite)
    : impl_(std::make_unique<impl>())
{
    if (!dev)
        throw error("Failed to create the serial port: no USB device was given.");
    constexpr const char* what = "Failed to list the serial ports";
    std::wstring prefix = dev.get_impl()->prefix;
    if (composite) {
        wchar_t interface_part[16];
        ::swprintf(interface_part, 16, L"&MI_%02X", interface_number);
        prefix += interface_part;
    }
    prefix += L"\\";

    const device_set ports(&GUID_DEVCLASS_PORTS, nullptr, DIGCF_PRESENT, what);
    for (DWORD i = 0;; ++i) {
        auto found = ports.at(i, what);
        if (!found)
            break;
        if (!starts_with(found->second, prefix))
            continue;
        impl_->name = port_name(ports, found->first);
        return;
    }
    throw error(fmt::format("Failed to find the serial port of interface {} of the USB device.", interface_number));
}

serial_port::~serial_port() = default;

std::string serial_port::get_name() const { return impl_->name; }

}  // namespace usb
