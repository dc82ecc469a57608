#include "platform/windows/setupapi_ports.h"

#include "platform/windows/windows_text.h"

#include <cfgmgr32.h>
#include <cwchar>
#include <fmt/core.h>

namespace usb::setupapi_detail {

using platform::windows::error_message;
using platform::windows::to_utf8;

device_set::device_set(const GUID* device_class, const wchar_t* enumerator, DWORD flags, const char* what)
    : set_(::SetupDiGetClassDevsW(device_class, enumerator, nullptr, flags))
{
    if (set_ == INVALID_HANDLE_VALUE)
        throw error(fmt::format("{}: {}", what, error_message(::GetLastError())));
}

device_set::~device_set() { ::SetupDiDestroyDeviceInfoList(set_); }

std::optional<std::pair<SP_DEVINFO_DATA, std::wstring>> device_set::at(DWORD index, const char* what) const
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

bool starts_with(const std::wstring& id, const std::wstring& prefix)
{
    std::wstring upper = id.substr(0, prefix.size());
    for (wchar_t& c : upper)
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    return upper == prefix;
}

std::wstring device_prefix(std::uint16_t vendor_id, std::uint16_t product_id)
{
    wchar_t text[32];
    ::swprintf(text, 32, L"USB\\VID_%04X&PID_%04X", vendor_id, product_id);
    return text;
}

std::string port_name(const device_set& set, SP_DEVINFO_DATA& device)
{
    HKEY key = ::SetupDiOpenDevRegKey(set.get(), &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
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
    return to_utf8(std::wstring_view(name, size / sizeof name[0]).substr(0, std::wcslen(name)));
}

}  // namespace usb::setupapi_detail
