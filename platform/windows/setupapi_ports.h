#pragma once

// SetupAPI for the board list (usb_boards.cpp): device lists, instance
// identifiers, and the name of a serial port. Failures are thrown as
// usb::error.

#include "platform/usb_boards.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <windows.h>
#include <setupapi.h>

namespace usb::setupapi_detail {

// A device information set; destroyed with its owner.
class device_set {
public:
    device_set(const GUID* device_class, const wchar_t* enumerator, DWORD flags, const char* what);
    ~device_set();
    device_set(const device_set&) = delete;
    device_set& operator=(const device_set&) = delete;

    // The device at index and its instance identifier, or nothing past the last.
    std::optional<std::pair<SP_DEVINFO_DATA, std::wstring>> at(DWORD index, const char* what) const;

    HDEVINFO get() const { return set_; }

private:
    HDEVINFO set_;
};

// Whether id starts with prefix (upper case), whatever the case of id.
bool starts_with(const std::wstring& id, const std::wstring& prefix);

// "USB\VID_303A&PID_1001" in upper case, the start of every instance identifier
// of the device and its interfaces.
std::wstring device_prefix(std::uint16_t vendor_id, std::uint16_t product_id);

// The value PortName ("COM7") in the device's registry key.
std::string port_name(const device_set& set, SP_DEVINFO_DATA& device);

}  // namespace usb::setupapi_detail
