#pragma once

// The part of Microsoft Edge WebView2's COM interface that Vornhale calls,
// declared from Microsoft's public reference (WebView2 Win32 C++): interface
// identifiers, method order and signatures. An interface of which we call only
// its first methods is declared up to the last one we call; the vtable layout
// of what is declared is exactly the runtime's. Windows builds only.

#include <atomic>
#include <cstdint>
#include <unknwn.h>
#include <windows.h>

namespace webview2 {

struct event_token {
    std::int64_t value;
};

enum move_focus_reason : int { move_focus_programmatic = 0 };

// IUnknown's reference counting for an object of ours that implements
// Interface; it deletes itself at the last Release. QueryInterface is the
// object's own.
template <class Interface>
class counted : public Interface {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --count_;
        if (left == 0)
            delete this;
        return left;
    }
    virtual ~counted() = default;

private:
    std::atomic<ULONG> count_ = 1;
};

// ICoreWebView2Settings, up to put_AreDevToolsEnabled.
struct settings : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_IsScriptEnabled(BOOL* enabled) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_IsScriptEnabled(BOOL enabled) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsWebMessageEnabled(BOOL* enabled) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_IsWebMessageEnabled(BOOL enabled) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AreDefaultScriptDialogsEnabled(BOOL* enabled) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AreDefaultScriptDialogsEnabled(BOOL enabled) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsStatusBarEnabled(BOOL* enabled) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_IsStatusBarEnabled(BOOL enabled) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AreDevToolsEnabled(BOOL* enabled) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AreDevToolsEnabled(BOOL enabled) = 0;
};

// ICoreWebView2, up to NavigateToString.
struct core : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_Settings(settings** result) = 0;
    // The caller frees *uri with CoTaskMemFree.
    virtual HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* uri) = 0;
    virtual HRESULT STDMETHODCALLTYPE Navigate(LPCWSTR uri) = 0;
    virtual HRESULT STDMETHODCALLTYPE NavigateToString(LPCWSTR html) = 0;
};

// ICoreWebView2Controller, the whole of it (get_CoreWebView2 is its last method).
// The event handler parameters are declared as IUnknown: we register none.
struct controller : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_IsVisible(BOOL* visible) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_IsVisible(BOOL visible) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Bounds(RECT* bounds) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Bounds(RECT bounds) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ZoomFactor(double* factor) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ZoomFactor(double factor) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_ZoomFactorChanged(IUnknown* handler, event_token* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_ZoomFactorChanged(event_token token) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBoundsAndZoomFactor(RECT bounds, double factor) = 0;
    virtual HRESULT STDMETHODCALLTYPE MoveFocus(move_focus_reason reason) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_MoveFocusRequested(IUnknown* handler, event_token* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_MoveFocusRequested(event_token token) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_GotFocus(IUnknown* handler, event_token* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_GotFocus(event_token token) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_LostFocus(IUnknown* handler, event_token* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_LostFocus(event_token token) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_AcceleratorKeyPressed(IUnknown* handler, event_token* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_AcceleratorKeyPressed(event_token token) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ParentWindow(HWND* window) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ParentWindow(HWND window) = 0;
    virtual HRESULT STDMETHODCALLTYPE NotifyParentWindowPositionChanged() = 0;
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CoreWebView2(core** result) = 0;
};

// ICoreWebView2CreateCoreWebView2ControllerCompletedHandler: implemented by us.
struct controller_completed : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(HRESULT result, controller* created) = 0;
};
inline constexpr IID controller_completed_iid = {
    0x6c4819f3, 0xc9b7, 0x4260, {0x81, 0x27, 0xc9, 0xf5, 0xbd, 0xe7, 0xf6, 0x8c}};

// ICoreWebView2Environment, up to CreateCoreWebView2Controller.
struct environment : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateCoreWebView2Controller(HWND parent, controller_completed* handler) = 0;
};

// ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler: implemented by us.
struct environment_completed : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(HRESULT result, environment* created) = 0;
};
inline constexpr IID environment_completed_iid = {
    0x4e8a3389, 0xc9d8, 0x4bd2, {0xb6, 0xb5, 0x12, 0x4f, 0xee, 0x6c, 0xc1, 0x4d}};

// CreateCoreWebView2EnvironmentWithOptions, exported by Microsoft's
// WebView2Loader.dll. We pass no browser folder and no options.
using create_with_loader = HRESULT(STDMETHODCALLTYPE*)(LPCWSTR browser_folder, LPCWSTR user_data_folder,
                                                       IUnknown* options, environment_completed* handler);
inline constexpr char create_with_loader_name[] = "CreateCoreWebView2EnvironmentWithOptions";

// The entry point of an installed runtime's EmbeddedBrowserWebView.dll, which
// WebView2Loader.dll itself calls: the first argument asks it to join a
// running browser process of the same profile; runtime_type 0 is an installed
// (Evergreen) runtime.
using create_with_runtime = HRESULT(STDMETHODCALLTYPE*)(bool join_running, int runtime_type, LPCWSTR user_data_folder,
                                                        IUnknown* options, environment_completed* handler);
inline constexpr char create_with_runtime_name[] = "CreateWebViewEnvironmentWithOptionsInternal";

}  // namespace webview2
