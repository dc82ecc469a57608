#include "platform/usb.h"

#include "platform/windows_text.h"

#include <fmt/core.h>
#include <optional>
#include <cfgmgr32.h>
#include <setupapi.h>
#include <vector>

#include <devguid.h>

// USB serial ports through SetupAPI. A board's serial function is a device
// of the Ports class whose instance identifier names the USB device and the
// interface, "USB\VID_303A&PID_1001&MI_00\...", and its port name ("COM7")
// is the value PortName in that device's registry key. The lookup reads
// identifiers only and never walks the device tree.
namespace usb {
namespace {

using platform::windows::error_message;
using platform::windows::to_utf8;

// A device information set; destroyed with its owner.
class device_set {
public:
    device_set(const GUID* device_class, const wchar_t* enumerator, DWORD flags, const char* what)
        : set_(::SetupDiGetClassDevsW(device_class, enumerator, nullptr, flags))
    {
        if (set_ == INVALID_HANDLE_VALUE)
            throw error(fmt::format("{}: {}", what, error_message(::GetLastError())));
    }
    ~device_set() { ::SetupDiDestroyDeviceInfoList(set_); }
    device_set(const device_set&) = delete;
    device_set& operator=(const device_set&) = delete;

    // The instance identifier of the device at index, or nothing past the last.
    std::optional<std::pair<SP_DEVINFO_DATA, std::wstring>> at(DWORD index, const char* what) const
    {
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        if (!::SetupDiEnumDeviceInfo(set_, index, &data)) {
            const DWORD code = ::GetLastError();
            if (code == ERROR_NO_MORE_ITEMS)
                return std::nullopt;
            throw error(fmt::format("{}: {}", what, error_message(code)));
        }
        wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
        if (!::SetupDiGetDeviceInstanceIdW(set_, &data, id, MAX_DEVICE_ID_LEN + 1, nullptr))
            throw error(fmt::format("{}: {}", what, error_message(::GetLastError())));
        return std::pair{data, std::wstring(id)};
    }

    HDEVINFO get() const { return set_; }

private:
    HDEVINFO set_;
};

std::wstring upper(std::wstring text)
{
    for (wchar_t& c : text)
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    return text;
}

bool starts_with(const std::wstring& id, const std::wstring& prefix)
{
    return upper(id).compare(0, prefix.size(), prefix) == 0;
}

// "USB\VID_303A&PID_1001" in upper case, the start of every instance identifier
// of the device and its interfaces.
std::wstring device_prefix(std::uint16_t vendor_id, std::uint16_t product_id)
{
    wchar_t text[32];
    ::swprintf(text, 32, L"USB\\VID_%04X&PID_%04X", vendor_id, product_id);
    return text;
}

}  // namespace

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
        HKEY key = ::SetupDiOpenDevRegKey(ports.get(), &found->first, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
        if (key == INVALID_HANDLE_VALUE)
            throw error(fmt::format("Failed to open the registry key of the serial port: {}",
                                    error_message(::GetLastError())));
        wchar_t name[256] = {};
        DWORD type = 0;
        DWORD size = sizeof name - sizeof name[0];
        const LSTATUS status =
            ::RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
        ::RegCloseKey(key);
        if (status != ERROR_SUCCESS)
            throw error(fmt::format("Failed to read the name of the serial port (PortName): {}",
                                    error_message(static_cast<DWORD>(status))));
        if (type != REG_SZ)
            throw error("Failed to read the name of the serial port: PortName is not a text.");
        impl_->name = to_utf8(std::wstring_view(name, size / sizeof name[0]).substr(0, std::wcslen(name)));
        return;
    }
    throw error(fmt::format("Failed to find the serial port of interface {} of the USB device.", interface_number));
}

serial_port::~serial_port() = default;

std::string serial_port::get_name() const { return impl_->name; }

}  // namespace usb
