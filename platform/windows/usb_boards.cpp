#include "platform/usb_boards.h"

#include "platform/windows/setupapi_ports.h"
#include "platform/windows/windows_text.h"

#include <algorithm>
#include <cfgmgr32.h>
#include <devpropdef.h>
#include <fmt/core.h>

#include <devguid.h>

// The boards through SetupAPI. A board's serial function is a present device
// of the Ports class, "USB\VID_303A&PID_1001&MI_00\<instance>", with its port
// name in PortName. The serial
// number is the last part of the instance identifier of the composite device
// the function belongs to, "USB\VID_303A&PID_1001\F4:12:FA:00:00:01", which
// the function's property DEVPKEY_Device_Parent names. That identifier is a
// serial number only when the device says its identifier is unique
// (CM_DEVCAP_UNIQUEID); a device without one gets an identifier Windows makes
// up from where it is plugged in.
namespace platform {

using namespace usb::setupapi_detail;
using windows::error_message;
using windows::to_utf8;

namespace {

constexpr DEVPROPKEY device_parent = {{0x4340a6c5, 0x93fa, 0x4706, {0x97, 0x2c, 0x7b, 0x64, 0x80, 0x08, 0xa5, 0xa7}}, 8};

// The serial number of the composite device (prefix "\" serial) that
// function belongs to; empty when it has none.
std::string serial_number(const device_set& ports, SP_DEVINFO_DATA& function, const std::wstring& prefix)
{
    wchar_t parent[MAX_DEVICE_ID_LEN + 1] = {};
    DEVPROPTYPE type = 0;
    if (!::SetupDiGetDevicePropertyW(ports.get(), &function, &device_parent, &type, reinterpret_cast<BYTE*>(parent),
                                     sizeof parent - sizeof parent[0], nullptr, 0)
        || type != DEVPROP_TYPE_STRING)
        return {};
    const std::wstring id = parent;
    if (!starts_with(id, prefix + L"\\") || id.size() == prefix.size() + 1)
        return {};

    const HDEVINFO one = ::SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (one == INVALID_HANDLE_VALUE)
        throw usb::error(fmt::format("Failed to list USB devices: {}", error_message(::GetLastError())));
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    DWORD capabilities = 0;
    const bool unique = ::SetupDiOpenDeviceInfoW(one, id.c_str(), nullptr, 0, &device)
                        && ::SetupDiGetDeviceRegistryPropertyW(one, &device, SPDRP_CAPABILITIES, nullptr,
                                                               reinterpret_cast<BYTE*>(&capabilities),
                                                               sizeof capabilities, nullptr)
                        && (capabilities & CM_DEVCAP_UNIQUEID) != 0;
    ::SetupDiDestroyDeviceInfoList(one);
    return unique ? to_utf8(id.substr(prefix.size() + 1)) : std::string();
}

}  // namespace

std::vector<usb_board_entry> list_board_entries()
{
    constexpr const char* what = "Failed to list the serial ports";
    const std::wstring prefix = device_prefix(0x303A, 0x1001);
    const device_set ports(&GUID_DEVCLASS_PORTS, nullptr, DIGCF_PRESENT, what);
    // The serial functions (interface 0) in the order SetupAPI lists them;
    // after them, a board's other functions of the Ports class, which name
    // the board but not its serial port.
    std::vector<usb_board_entry> entries;
    std::vector<usb_board_entry> others;
    for (DWORD i = 0;; ++i) {
        auto found = ports.at(i, what);
        if (!found)
            break;
        const std::wstring& id = found->second;
        usb_board_entry entry;
        entry.board.location = to_utf8(id);
        if (starts_with(id, prefix + L"&MI_00\\")) {
            entry.board.serial = serial_number(ports, found->first, prefix);
            try {
                entry.board.port = port_name(ports, found->first);
            } catch (const usb::error& e) {
                entry.port_trouble = e.what();  // no named port (yet)
            }
            entries.push_back(std::move(entry));
        } else if (starts_with(id, prefix + L"\\") || starts_with(id, prefix + L"&")) {
            entry.port_trouble = "Failed to find the serial port of interface 0 of the USB device.";
            others.push_back(std::move(entry));
        }
    }
    entries.insert(entries.end(), std::make_move_iterator(others.begin()), std::make_move_iterator(others.end()));
    return entries;
}

// Windows tells a window of device arrivals (WM_DEVICECHANGE), but Wine
// cannot be made to send one for a device a test writes into the registry:
// a look at the list twice a second is what works, and is tested, on both.
struct board_watch::impl {
    HANDLE wake = nullptr;
    std::vector<usb_board> seen;

    ~impl()
    {
        if (wake != nullptr)
            ::CloseHandle(wake);
    }
};

namespace {

std::vector<usb_board> sorted(std::vector<usb_board> boards)
{
    std::sort(boards.begin(), boards.end(),
              [](const usb_board& a, const usb_board& b) { return a.location < b.location; });
    return boards;
}

}  // namespace

board_watch::board_watch() : impl_(std::make_unique<impl>())
{
    impl_->wake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (impl_->wake == nullptr)
        throw usb::error(fmt::format("Failed to watch the USB devices: {}", error_message(::GetLastError())));
    impl_->seen = sorted(list_boards());
}

board_watch::~board_watch() = default;

bool board_watch::wait(std::chrono::milliseconds timeout)
{
    using clock = std::chrono::steady_clock;
    constexpr std::chrono::milliseconds interval(500);
    const clock::time_point deadline = clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
        const auto step = std::clamp(left, std::chrono::milliseconds(0), interval);
        if (::WaitForSingleObject(impl_->wake, static_cast<DWORD>(step.count())) == WAIT_OBJECT_0)
            return false;
        std::vector<usb_board> now = sorted(list_boards());
        if (now != impl_->seen) {
            impl_->seen = std::move(now);
            return true;
        }
        if (step < interval)
            return false;
    }
}

void board_watch::wake() { ::SetEvent(impl_->wake); }

}  // namespace platform
