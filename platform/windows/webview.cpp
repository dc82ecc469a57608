#include "platform/webview.h"

#include "platform/console.h"
#include "platform/stop_signal.h"
#include "platform/windows/close_requests.h"
#include "platform/windows/webview2_interfaces.h"
#include "platform/windows/windows_text.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fmt/format.h>
#include <functional>
#include <optional>
#include <windows.h>

#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

// The window on Windows: a top-level window hosting a WebView2 controller.
// The runtime is the Evergreen WebView2 runtime that Windows 10 and 11
// install, found through the registry entries Microsoft documents for
// detecting it; a WebView2Loader.dll that the user put beside the executable
// is preferred when present. Everything here runs on the main thread, which is
// a single-threaded COM apartment while the window exists; only terminate is
// called from other threads, and it only posts a message.
namespace webview {
namespace {

using platform::windows::error_message;
using platform::windows::to_utf16;

constexpr wchar_t window_class[] = L"VornhaleWindow";
constexpr UINT terminate_message = WM_APP + 1;
constexpr UINT_PTR startup_timer = 1;
// How long the runtime may take to hand over its controller: its first start
// makes the profile, which takes seconds on a slow disk.
constexpr ULONGLONG startup_limit_ms = 60'000;

constexpr IID iunknown_iid = {0x00000000, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// The runtime's registration: the Evergreen runtime's client key, per machine
// (32-bit registry view) or per user.
constexpr wchar_t runtime_key[] = L"Software\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";

std::string hresult_text(HRESULT result)
{
    return fmt::format("{} (0x{:08X})", error_message(static_cast<DWORD>(result)), static_cast<unsigned long>(result));
}

std::wstring known_folder(REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    std::wstring folder;
    if (SUCCEEDED(::SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &path)))
        folder = path;
    ::CoTaskMemFree(path);
    return folder;
}

std::wstring executable_path()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// The profile folder: named after the executable's file name, in the user's
// roaming application-data folder.
std::wstring profile_folder(const std::wstring& executable)
{
    const std::wstring roaming = known_folder(FOLDERID_RoamingAppData);
    if (executable.empty() || roaming.empty())
        throw unavailable("cannot find the application-data folder for the web view's profile");
    return roaming + L"\\" + executable.substr(executable.find_last_of(L"\\/") + 1);
}

bool is_file(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Functions of newer Windows versions, looked up at run time: the program
// still starts where they are missing.
template <class Function>
Function system_function(const wchar_t* library, const char* name)
{
    const HMODULE module = ::GetModuleHandleW(library);
    return module == nullptr ? nullptr
                             : reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

// Draws at each monitor's own scale instead of being stretched by Windows:
// per-monitor (v2, Windows 10 1703 and later; then v1), else per-monitor
// through shcore (Windows 8.1), else system-wide. The manifest says nothing of
// it. Before the first window of ours that shows.
void use_monitor_dpi()
{
    using set_context = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
    if (const auto set = system_function<set_context>(L"user32.dll", "SetProcessDpiAwarenessContext"))
        if (set(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2) || set(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE))
            return;
    if (const HMODULE shcore = ::LoadLibraryExW(L"shcore.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        using set_awareness = HRESULT(WINAPI*)(int);
        const auto set = reinterpret_cast<set_awareness>(
            reinterpret_cast<void (*)()>(::GetProcAddress(shcore, "SetProcessDpiAwareness")));
        if (set != nullptr && SUCCEEDED(set(2)))  // PROCESS_PER_MONITOR_DPI_AWARE
            return;
    }
    if (const auto set = system_function<BOOL(WINAPI*)()>(L"user32.dll", "SetProcessDPIAware"))
        set();
}

// The window's pixels per logical inch (96 at 100 %).
UINT window_dpi(HWND window)
{
    if (const auto get = system_function<UINT(WINAPI*)(HWND)>(L"user32.dll", "GetDpiForWindow"))
        if (const UINT dpi = get(window); dpi > 0)
            return dpi;
    const HDC screen = ::GetDC(nullptr);
    const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

// The outer size of a window whose client area is client pixels.
POINT outer_size(HWND window, POINT client, UINT dpi)
{
    RECT outer{0, 0, client.x, client.y};
    const auto style = static_cast<DWORD>(::GetWindowLongPtrW(window, GWL_STYLE));
    const auto extended = static_cast<DWORD>(::GetWindowLongPtrW(window, GWL_EXSTYLE));
    using adjust_for_dpi = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    const auto adjust = system_function<adjust_for_dpi>(L"user32.dll", "AdjustWindowRectExForDpi");
    if (adjust == nullptr || !adjust(&outer, style, FALSE, extended, dpi))
        ::AdjustWindowRectEx(&outer, style, FALSE, extended);
    return {outer.right - outer.left, outer.bottom - outer.top};
}

// A short text value (a version), or nothing.
std::wstring registry_text(HKEY root, REGSAM view, const wchar_t* key, const wchar_t* name)
{
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(root, key, 0, KEY_QUERY_VALUE | view, &opened) != ERROR_SUCCESS)
        return {};
    wchar_t text[128] = {};
    DWORD type = 0;
    DWORD size = sizeof text - sizeof text[0];
    const LSTATUS status = ::RegQueryValueExW(opened, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    ::RegCloseKey(opened);
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return {};
    return text;
}

// How an environment is asked for: through Microsoft's loader, or straight
// from an installed runtime.
struct runtime {
    webview2::create_with_loader loader = nullptr;
    webview2::create_with_runtime installed = nullptr;

    HRESULT create(const std::wstring& profile, webview2::environment_completed* handler) const
    {
        if (loader != nullptr)
            return loader(nullptr, profile.c_str(), nullptr, handler);
        return installed(true, 0, profile.c_str(), nullptr, handler);
    }
};

// The library stays loaded for the rest of the process: the runtime's
// threads may still call into it after the window has gone.
template <class Function>
Function load(const std::wstring& path, const char* name)
{
    HMODULE library = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (library == nullptr)
        return nullptr;
    // Through a function type without parameters, which every function type converts from.
    auto* function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(library, name)));
    if (function == nullptr)
        ::FreeLibrary(library);
    return function;
}

// Throws unavailable, saying why, when there is no runtime to use.
runtime find_runtime(const std::wstring& executable)
{
    runtime found;
    const std::wstring beside = executable.substr(0, executable.find_last_of(L"\\/") + 1) + L"WebView2Loader.dll";
    if (is_file(beside)) {
        found.loader = load<webview2::create_with_loader>(beside, webview2::create_with_loader_name);
        if (found.loader != nullptr)
            return found;
    }

    struct installation {
        HKEY root;
        REGSAM view;
        const KNOWNFOLDERID& folder;
    };
    const installation installations[] = {
        {HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, FOLDERID_ProgramFilesX86},
        {HKEY_CURRENT_USER, 0, FOLDERID_LocalAppData},
    };
    bool registered = false;
    for (const installation& at : installations) {
        const std::wstring version = registry_text(at.root, at.view, runtime_key, L"pv");
        // An empty version, or 0.0.0.0, is what an uninstalled runtime leaves.
        if (version.empty() || version == L"0.0.0.0")
            continue;
        registered = true;
        // Anything but numbers between dots ("..", a separator) could name a
        // folder outside the runtime's own: not loaded.
        if (version.find_first_not_of(L"0123456789.") != std::wstring::npos || version.front() == L'.'
            || version.find(L"..") != std::wstring::npos)
            continue;
        const std::wstring library = known_folder(at.folder) + L"\\Microsoft\\EdgeWebView\\Application\\" + version
                                     + L"\\EBWebView\\x64\\EmbeddedBrowserWebView.dll";
        found.installed = load<webview2::create_with_runtime>(library, webview2::create_with_runtime_name);
        if (found.installed != nullptr)
            return found;
    }
    throw unavailable(registered ? "the installed WebView2 runtime cannot be loaded"
                                 : "the Microsoft Edge WebView2 runtime is not installed");
}

// A completion handler the runtime calls once: IUnknown, reference counted,
// and detachable, so that a late call after the window has gone does nothing.
template <class Interface, class Created, const IID& iid>
class completion final : public webview2::counted<Interface> {
public:
    explicit completion(std::function<void(HRESULT, Created*)> done) : done_(std::move(done)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID asked, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        if (IsEqualIID(asked, iunknown_iid) || IsEqualIID(asked, iid)) {
            *object = static_cast<Interface*>(this);
            this->AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE Invoke(HRESULT result, Created* created) override
    {
        std::function<void(HRESULT, Created*)> done = std::move(done_);
        done_ = nullptr;
        if (done)
            done(result, created);
        return S_OK;
    }
    void detach() { done_ = nullptr; }

private:
    std::function<void(HRESULT, Created*)> done_;
};

using environment_handler =
    completion<webview2::environment_completed, webview2::environment, webview2::environment_completed_iid>;
using controller_handler =
    completion<webview2::controller_completed, webview2::controller, webview2::controller_completed_iid>;

template <class Interface>
void release(Interface*& object)
{
    if (object != nullptr)
        object->Release();
    object = nullptr;
}

}  // namespace

struct webview::impl {
    HWND window = nullptr;
    bool com_started = false;
    bool debug = false;
    bool closed = false;  // closed by the user, or terminate was called
    bool ready = false;   // the web view exists
    std::string failure;  // why the runtime failed to start
    environment_handler* environment_done = nullptr;
    controller_handler* controller_done = nullptr;
    webview2::environment* environment = nullptr;
    webview2::controller* controller = nullptr;
    webview2::core* view = nullptr;
    // What to show once the web view exists: a URL, or a document.
    struct page {
        bool document;
        std::wstring text;
    };
    std::optional<page> pending;
    POINT min_size{};  // window sizes from set_size's hints; 0 when not set
    POINT max_size{};

    ~impl()
    {
        if (environment_done != nullptr) {
            environment_done->detach();
            release(environment_done);
        }
        if (controller_done != nullptr) {
            controller_done->detach();
            release(controller_done);
        }
        release(view);
        if (controller != nullptr)
            controller->Close();
        release(controller);
        release(environment);
        if (window != nullptr) {
            ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            ::DestroyWindow(window);
        }
        if (com_started)
            ::CoUninitialize();
    }

    void fit_view() const
    {
        RECT bounds{};
        if (controller != nullptr && ::GetClientRect(window, &bounds))
            controller->put_Bounds(bounds);
    }

    void on_environment(HRESULT result, webview2::environment* created)
    {
        if (FAILED(result) || created == nullptr) {
            failure = "the WebView2 runtime did not start: " + hresult_text(FAILED(result) ? result : E_POINTER);
            return;
        }
        environment = created;
        environment->AddRef();
        controller_done = new controller_handler([this](HRESULT done, webview2::controller* made) {
            on_controller(done, made);
        });
        const HRESULT asked = environment->CreateCoreWebView2Controller(window, controller_done);
        if (FAILED(asked))
            failure = "the WebView2 runtime cannot make a web view: " + hresult_text(asked);
    }

    void on_controller(HRESULT result, webview2::controller* created)
    {
        if (FAILED(result) || created == nullptr) {
            failure = "the WebView2 runtime cannot make a web view: " + hresult_text(FAILED(result) ? result : E_POINTER);
            return;
        }
        controller = created;
        controller->AddRef();
        const HRESULT asked = controller->get_CoreWebView2(&view);
        if (FAILED(asked) || view == nullptr) {
            failure = "the WebView2 runtime gave no web view: " + hresult_text(FAILED(asked) ? asked : E_POINTER);
            return;
        }
        webview2::settings* settings = nullptr;
        if (SUCCEEDED(view->get_Settings(&settings)) && settings != nullptr) {
            settings->put_AreDevToolsEnabled(debug ? TRUE : FALSE);
            settings->Release();
        }
        fit_view();
        controller->MoveFocus(webview2::move_focus_programmatic);
        ready = true;
        if (pending)
            show(pending->document, pending->text);
        pending.reset();
    }

    HRESULT show(bool document, const std::wstring& text) const
    {
        return document ? view->NavigateToString(text.c_str()) : view->Navigate(text.c_str());
    }

    // Shows a URL or a document: now when the web view exists, else once it does.
    void show_when_ready(bool document, const std::string& text)
    {
        std::wstring wide = to_utf16(text);
        if (view == nullptr) {
            pending = page{document, std::move(wide)};
            return;
        }
        const HRESULT result = show(document, wide);
        if (FAILED(result))
            throw std::runtime_error(std::string("the web view cannot show ")
                                     + (document ? "its page" : text) + ": " + hresult_text(result));
    }

    static LRESULT CALLBACK on_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
    {
        if (message == WM_NCCREATE) {
            const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lparam);
            ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
        }
        auto* state = reinterpret_cast<impl*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        if (state == nullptr)
            return ::DefWindowProcW(window, message, wparam, lparam);
        switch (message) {
        case WM_CLOSE:
        case terminate_message:
            // The window itself goes with the object (the controller first).
            state->closed = true;
            return 0;
        case WM_SIZE:
            state->fit_view();
            return 0;
        case WM_DPICHANGED: {
            // Moved to a monitor of another scale: the size Windows suggests
            // for it, and the web view over all of it.
            const auto* suggested = reinterpret_cast<const RECT*>(lparam);
            ::SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                           suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
            state->fit_view();
            return 0;
        }
        case WM_MOVE:
            if (state->controller != nullptr)
                state->controller->NotifyParentWindowPositionChanged();
            return 0;
        case WM_SETFOCUS:
            if (state->controller != nullptr)
                state->controller->MoveFocus(webview2::move_focus_programmatic);
            return 0;
        case WM_GETMINMAXINFO: {
            auto* limits = reinterpret_cast<MINMAXINFO*>(lparam);
            if (state->min_size.x > 0)
                limits->ptMinTrackSize = state->min_size;
            if (state->max_size.x > 0)
                limits->ptMaxTrackSize = state->max_size;
            return 0;
        }
        case WM_DESTROY:
            state->window = nullptr;
            state->closed = true;
            return 0;
        default:
            return ::DefWindowProcW(window, message, wparam, lparam);
        }
    }

    // Handles one message, waiting for it; false when the queue was told to quit.
    bool handle_message()
    {
        MSG message;
        const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            closed = true;
            return false;
        }
        if (message.message == WM_CLOSE && message.hwnd == window && window != nullptr)
            platform::windows::window_close_posted();
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
        return true;
    }
};

webview::webview(bool debug, void* parent_window) : impl_(std::make_unique<impl>())
{
    if (parent_window != nullptr)
        throw std::invalid_argument("webview: a parent window is not supported");
    impl& state = *impl_;
    state.debug = debug;
    use_monitor_dpi();
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    if (FAILED(com))
        throw unavailable("cannot start COM on the main thread: " + hresult_text(com));
    state.com_started = true;
    const std::wstring executable = executable_path();
    const runtime found = find_runtime(executable);
    const std::wstring profile = profile_folder(executable);

    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW window_kind{};
    window_kind.cbSize = sizeof window_kind;
    window_kind.lpfnWndProc = impl::on_message;
    window_kind.hInstance = instance;
    window_kind.hIcon = ::LoadIconW(instance, L"IDI_ICON1");
    window_kind.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    window_kind.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    window_kind.lpszClassName = window_class;
    if (::RegisterClassExW(&window_kind) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        throw std::runtime_error("cannot register the window class: " + error_message(::GetLastError()));
    state.window = ::CreateWindowExW(0, window_class, L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                     CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, &state);
    if (state.window == nullptr)
        throw std::runtime_error("cannot create the window: " + error_message(::GetLastError()));
    ::ShowWindow(state.window, SW_SHOW);
    ::UpdateWindow(state.window);

    // The runtime answers through this thread's messages: handle them until
    // the web view exists, the runtime has failed, or the user closed the window.
    state.environment_done = new environment_handler([&state](HRESULT result, webview2::environment* created) {
        state.on_environment(result, created);
    });
    const HRESULT asked = found.create(profile, state.environment_done);
    if (FAILED(asked))
        throw unavailable("the WebView2 runtime did not start: " + hresult_text(asked));
    const ULONGLONG deadline = ::GetTickCount64() + startup_limit_ms;
    ::SetTimer(state.window, startup_timer, 1000, nullptr);
    while (!state.ready && state.failure.empty() && !state.closed && state.handle_message())
        if (::GetTickCount64() > deadline)
            state.failure = "the WebView2 runtime did not answer within a minute";
    if (state.window != nullptr)
        ::KillTimer(state.window, startup_timer);
    if (!state.failure.empty())
        throw unavailable(state.failure);
}

webview::~webview() = default;

void webview::set_title(const std::string& title)
{
    if (impl_->window != nullptr)
        ::SetWindowTextW(impl_->window, to_utf16(title).c_str());
}

void webview::set_size(int width, int height, hint size_hint)
{
    const HWND window = impl_->window;
    if (window == nullptr)
        return;
    LONG_PTR style = ::GetWindowLongPtrW(window, GWL_STYLE);
    if (size_hint == hint::fixed)
        style &= ~static_cast<LONG_PTR>(WS_THICKFRAME | WS_MAXIMIZEBOX);
    else
        style |= WS_THICKFRAME | WS_MAXIMIZEBOX;
    ::SetWindowLongPtrW(window, GWL_STYLE, style);
    // Sizes are in logical pixels: 1280 is 1600 pixels at 125 %.
    const UINT dpi = window_dpi(window);
    const POINT size = outer_size(window, {::MulDiv(width, static_cast<int>(dpi), 96),
                                           ::MulDiv(height, static_cast<int>(dpi), 96)}, dpi);
    if (size_hint == hint::min) {
        impl_->min_size = size;
        return;
    }
    if (size_hint == hint::max) {
        impl_->max_size = size;
        return;
    }
    // Within the monitor's work area (a 1366 by 768 screen is shorter than
    // 720 and a frame, above the taskbar): smaller, and moved in, if need be.
    RECT place{};
    ::GetWindowRect(window, &place);
    POINT fitted = size;
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (::GetMonitorInfoW(::MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor)) {
        const RECT& work = monitor.rcWork;
        fitted.x = std::min<LONG>(fitted.x, work.right - work.left);
        fitted.y = std::min<LONG>(fitted.y, work.bottom - work.top);
        place.left = std::max<LONG>(work.left, std::min<LONG>(place.left, work.right - fitted.x));
        place.top = std::max<LONG>(work.top, std::min<LONG>(place.top, work.bottom - fitted.y));
    }
    ::SetWindowPos(window, nullptr, place.left, place.top, fitted.x, fitted.y,
                   SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

void webview::navigate(const std::string& url) { impl_->show_when_ready(false, url); }

void webview::set_html(const std::string& html) { impl_->show_when_ready(true, html); }

void webview::run()
{
    while (!impl_->closed && impl_->handle_message()) {
    }
}

void webview::terminate()
{
    // From any thread: the message reaches the main thread's loop.
    if (impl_->window != nullptr)
        ::PostMessageW(impl_->window, terminate_message, 0, 0);
}

namespace {

// The message box in use, found through a hook on the main thread's windows,
// so that a stop request from another thread can close it.
std::atomic<HWND> notice{nullptr};
std::atomic<bool> notice_stopped{false};
HHOOK notice_hook = nullptr;

LRESULT CALLBACK on_window_event(int code, WPARAM wparam, LPARAM lparam)
{
    if (code == HCBT_ACTIVATE && notice.load() == nullptr) {
        const auto box = reinterpret_cast<HWND>(wparam);
        notice.store(box);
        if (notice_stopped.load())
            ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    return ::CallNextHookEx(notice_hook, code, wparam, lparam);
}

// Shows text in a message box until the user closes it (false) or a stop
// request closes it (true).
bool show_notice(const std::string& text, UINT icon)
{
    notice.store(nullptr);
    notice_stopped.store(false);
    notice_hook = ::SetWindowsHookExW(WH_CBT, on_window_event, nullptr, ::GetCurrentThreadId());
    platform::on_stop_signal([] {
        notice_stopped.store(true);
        if (const HWND box = notice.load())
            ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    });
    if (!notice_stopped.load())
        ::MessageBoxW(nullptr, to_utf16(text).c_str(), L"Vornhale", MB_OK | icon | MB_SETFOREGROUND);
    platform::on_stop_signal(nullptr);
    if (notice_hook != nullptr)
        ::UnhookWindowsHookEx(notice_hook);
    notice_hook = nullptr;
    return notice_stopped.load();
}

}  // namespace

bool serve_without_window(const std::string& url, const std::string& reason)
{
    const std::wstring wide_url = to_utf16(url);
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const bool opened = reinterpret_cast<INT_PTR>(::ShellExecuteW(nullptr, L"open", wide_url.c_str(), nullptr,
                                                                   nullptr, SW_SHOWNORMAL)) > 32;
    if (SUCCEEDED(com))
        ::CoUninitialize();
    platform::print_console(fmt::format("Vornhale cannot show its window ({}): the status page is served at {} until "
                                        "its message is closed.\n", reason, url));
    return show_notice(
        fmt::format("Vornhale cannot show its own window: {}.\n\n{} {}\n\nVornhale goes on flashing the board and "
                    "serving the page until you close this message; a flash in progress is finished first.\n\n"
                    "Install the Microsoft Edge WebView2 Runtime to see the status in Vornhale's own window.",
                    reason,
                    opened ? "The status page has been opened in your web browser:"
                           : "Open the status page in your web browser:",
                    url),
        MB_ICONINFORMATION);
}

void report_without_window(const std::string& text) { show_notice(text, MB_ICONERROR); }

}  // namespace webview
