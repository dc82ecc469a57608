// A stand-in for the WebView2 runtime, for tests under Wine (which has none):
// the runtime's entry point and the loader's, and the few objects Vornhale
// calls. Each call is recorded as a line of calls.log beside this DLL, with
// what the parent window looked like then. It answers asynchronously, as the
// runtime does; it fails to start when a file named "fail" lies beside it.
// After the first navigation it resizes the parent window once, as a user
// would, so that a test sees the web view follow.
//
// Three more entry points serve the tests through rundll32: close_window CLASS
// [COUNT] asks the first top-level window of that class to close as its close
// button does (COUNT times, back to back); record_url URL appends URL to browser.log beside
// this DLL (registered as the browser); and set_parent DEVICE PARENT gives a
// device written into the registry the parent (DEVPKEY_Device_Parent) Windows
// would report, a board's serial function its composite device.

#include "platform/windows/webview2_interfaces.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <cstdio>
#include <cstring>
#include <devpropdef.h>
#include <functional>
#include <map>
#include <setupapi.h>
#include <string>

// Missing from MinGW's setupapi.h.
extern "C" __declspec(dllimport) BOOL WINAPI SetupDiSetDevicePropertyW(HDEVINFO, PSP_DEVINFO_DATA, const DEVPROPKEY*,
                                                                       DEVPROPTYPE, const BYTE*, DWORD, DWORD);

namespace {

HMODULE self = nullptr;

std::wstring beside_self(const wchar_t* name)
{
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(self, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\') + 1) + name;
}

std::string utf8(const std::wstring& text)
{
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                             nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length, nullptr,
                          nullptr);
    return out;
}

void append(const wchar_t* log, const std::string& line)
{
    if (FILE* file = ::_wfopen(beside_self(log).c_str(), L"ab")) {
        std::fprintf(file, "%s\n", line.c_str());
        std::fclose(file);
    }
}

HWND parent = nullptr;

// A call, and the parent window's title, client size, resizability and icon.
void record(const std::string& call)
{
    std::string line = call;
    if (parent != nullptr) {
        wchar_t title[256] = {};
        ::GetWindowTextW(parent, title, 256);
        RECT client{};
        ::GetClientRect(parent, &client);
        const bool resizable = (::GetWindowLongPtrW(parent, GWL_STYLE) & WS_THICKFRAME) != 0;
        const bool icon = ::GetClassLongPtrW(parent, GCLP_HICON) != 0;
        // Whether the whole window lies within its monitor's work area.
        RECT outer{};
        ::GetWindowRect(parent, &outer);
        MONITORINFO monitor{};
        monitor.cbSize = sizeof monitor;
        ::GetMonitorInfoW(::MonitorFromWindow(parent, MONITOR_DEFAULTTONEAREST), &monitor);
        RECT inside{};
        const bool fits = ::IntersectRect(&inside, &outer, &monitor.rcWork) && ::EqualRect(&inside, &outer);
        line += " | title=" + utf8(title) + " client=" + std::to_string(client.right) + "x"
                + std::to_string(client.bottom) + " resizable=" + (resizable ? "1" : "0") + " icon=" + (icon ? "1" : "0")
                + " in_work_area=" + (fits ? "1" : "0");
    }
    append(L"calls.log", line);
}

// Work done later on the caller's thread, from its message loop.
std::map<UINT_PTR, std::function<void()>> later_work;

void CALLBACK on_timer(HWND, UINT, UINT_PTR timer, DWORD)
{
    ::KillTimer(nullptr, timer);
    const auto found = later_work.find(timer);
    if (found == later_work.end())
        return;
    const std::function<void()> work = std::move(found->second);
    later_work.erase(found);
    work();
}

void later(UINT milliseconds, std::function<void()> work)
{
    later_work[::SetTimer(nullptr, 0, milliseconds, on_timer)] = std::move(work);
}

template <class Interface>
class object : public webview2::counted<Interface> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** result) override
    {
        *result = nullptr;
        return E_NOINTERFACE;
    }
};

class settings final : public object<webview2::settings> {
public:
    HRESULT STDMETHODCALLTYPE get_IsScriptEnabled(BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_IsScriptEnabled(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_IsWebMessageEnabled(BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_IsWebMessageEnabled(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_AreDefaultScriptDialogsEnabled(BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_AreDefaultScriptDialogsEnabled(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_IsStatusBarEnabled(BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_IsStatusBarEnabled(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_AreDevToolsEnabled(BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_AreDevToolsEnabled(BOOL enabled) override
    {
        record("put_AreDevToolsEnabled " + std::to_string(enabled));
        return S_OK;
    }
};

void resize_parent_once()
{
    static bool resized = false;
    if (resized)
        return;
    resized = true;
    later(100, [] {
        record("resizing");
        ::SetWindowPos(parent, nullptr, 0, 0, 1000, 600, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    });
}

std::string one_line(const std::wstring& text)
{
    std::string line;
    for (const char c : utf8(text))
        line += c == '\n' ? std::string("\\n") : c == '\r' ? std::string("\\r") : std::string(1, c);
    return line;
}

class core final : public object<webview2::core> {
public:
    HRESULT STDMETHODCALLTYPE get_Settings(webview2::settings** result) override
    {
        *result = new settings;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Source(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Navigate(LPCWSTR uri) override
    {
        record("Navigate " + one_line(uri));
        resize_parent_once();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE NavigateToString(LPCWSTR html) override
    {
        record("NavigateToString " + one_line(html));
        return S_OK;
    }
};

class controller final : public object<webview2::controller> {
public:
    HRESULT STDMETHODCALLTYPE get_IsVisible(BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_IsVisible(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Bounds(RECT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Bounds(RECT bounds) override
    {
        record("put_Bounds " + std::to_string(bounds.left) + " " + std::to_string(bounds.top) + " "
               + std::to_string(bounds.right) + " " + std::to_string(bounds.bottom));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_ZoomFactor(double*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_ZoomFactor(double) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE add_ZoomFactorChanged(IUnknown*, webview2::event_token*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE remove_ZoomFactorChanged(webview2::event_token) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetBoundsAndZoomFactor(RECT, double) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE MoveFocus(webview2::move_focus_reason) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE add_MoveFocusRequested(IUnknown*, webview2::event_token*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE remove_MoveFocusRequested(webview2::event_token) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE add_GotFocus(IUnknown*, webview2::event_token*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE remove_GotFocus(webview2::event_token) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE add_LostFocus(IUnknown*, webview2::event_token*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE remove_LostFocus(webview2::event_token) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE add_AcceleratorKeyPressed(IUnknown*, webview2::event_token*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE remove_AcceleratorKeyPressed(webview2::event_token) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_ParentWindow(HWND* window) override
    {
        *window = parent;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_ParentWindow(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE NotifyParentWindowPositionChanged() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Close() override
    {
        record("Close");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_CoreWebView2(webview2::core** result) override
    {
        view_->AddRef();
        *result = view_;
        return S_OK;
    }
    ~controller() override { view_->Release(); }

private:
    core* view_ = new core;
};

class environment final : public object<webview2::environment> {
public:
    HRESULT STDMETHODCALLTYPE CreateCoreWebView2Controller(HWND window,
                                                           webview2::controller_completed* handler) override
    {
        parent = window;
        record("CreateCoreWebView2Controller");
        handler->AddRef();
        later(10, [handler] {
            auto* made = new controller;
            handler->Invoke(S_OK, made);
            made->Release();
            handler->Release();
        });
        return S_OK;
    }
};

HRESULT create_environment(const std::string& call, webview2::environment_completed* handler)
{
    record(call);
    const bool fail = ::GetFileAttributesW(beside_self(L"fail").c_str()) != INVALID_FILE_ATTRIBUTES;
    handler->AddRef();
    later(10, [handler, fail] {
        if (fail) {
            handler->Invoke(E_FAIL, nullptr);
        } else {
            auto* made = new environment;
            handler->Invoke(S_OK, made);
            made->Release();
        }
        handler->Release();
    });
    return S_OK;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        self = instance;
    return TRUE;
}

__declspec(dllexport) HRESULT STDMETHODCALLTYPE CreateWebViewEnvironmentWithOptionsInternal(
    bool join_running, int runtime_type, LPCWSTR profile, IUnknown* options, webview2::environment_completed* handler)
{
    return create_environment("environment entry=runtime join=" + std::to_string(join_running) + " type="
                                  + std::to_string(runtime_type) + " profile=" + utf8(profile ? profile : L"(none)")
                                  + " options=" + (options ? "some" : "none"),
                              handler);
}

__declspec(dllexport) HRESULT STDMETHODCALLTYPE CreateCoreWebView2EnvironmentWithOptions(
    LPCWSTR browser_folder, LPCWSTR profile, IUnknown* options, webview2::environment_completed* handler)
{
    return create_environment("environment entry=loader browser=" + utf8(browser_folder ? browser_folder : L"(none)")
                                  + " profile=" + utf8(profile ? profile : L"(none)")
                                  + " options=" + (options ? "some" : "none"),
                              handler);
}

__declspec(dllexport) void CALLBACK close_window(HWND, HINSTANCE, LPSTR arguments, int)
{
    char class_name[64] = {};
    int count = 1;
    std::sscanf(arguments, "%63s %d", class_name, &count);
    if (const HWND window = ::FindWindowA(class_name, nullptr))
        for (int i = 0; i < count; ++i)
            ::PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
}

__declspec(dllexport) void CALLBACK record_url(HWND, HINSTANCE, LPSTR url, int) { append(L"browser.log", url); }

__declspec(dllexport) void CALLBACK set_parent(HWND, HINSTANCE, LPSTR arguments, int)
{
    char device[MAX_DEVICE_ID_LEN + 1] = {}, parent[MAX_DEVICE_ID_LEN + 1] = {};
    if (std::sscanf(arguments, "%200s %200s", device, parent) != 2)
        return;
    const DEVPROPKEY parent_key = {{0x4340a6c5, 0x93fa, 0x4706, {0x97, 0x2c, 0x7b, 0x64, 0x80, 0x08, 0xa5, 0xa7}}, 8};
    const std::wstring id(parent, parent + std::strlen(parent));
    const HDEVINFO set = ::SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA data{sizeof data, {}, 0, 0};
    if (::SetupDiOpenDeviceInfoA(set, device, nullptr, 0, &data))
        ::SetupDiSetDevicePropertyW(set, &data, &parent_key, DEVPROP_TYPE_STRING,
                                    reinterpret_cast<const BYTE*>(id.c_str()),
                                    static_cast<DWORD>((id.size() + 1) * sizeof(wchar_t)), 0);
    ::SetupDiDestroyDeviceInfoList(set);
}

}  // extern "C"
