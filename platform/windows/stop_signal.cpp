#include "platform/stop_signal.h"

#include "platform/console.h"
#include "platform/windows/close_requests.h"

#include <chrono>

#include <cstdio>
#include <mutex>
#include <string>
#include <windows.h>

// Stop requests: from the console (Ctrl+C, Ctrl+Break, the console being
// closed), and a request to close the program's stop window (below). Windows
// runs the console control handler on a thread of its own; the handler only
// counts the request and wakes the main thread (and runs the current stop
// action, which must therefore be safe to call from any thread, as a window's
// terminate is). Each request counts once, whichever way it came; what one
// action of a user sends is one request (see one_action).
namespace platform {
namespace {

// The kinds of request. One action can send its kind twice: a program that
// passes its Ctrl+C on to its child (a wrapper), a session that ends by the
// console and by the stop window both. The same kind again within this time
// of a request's first is that request; a second request meant as one comes
// later, or in another way (Ctrl+Break after Ctrl+C).
enum class request_kind { ctrl_c, ctrl_break, console_closed, session_end, close_asked };
constexpr std::chrono::milliseconds one_action{1000};

std::mutex stop_mutex;  // guards stop_requested, stop_count, the latest request and stop_action
bool stop_requested = false;
unsigned stop_count = 0;
request_kind request_was = request_kind::ctrl_c;  // the latest request's kind, and when it came
std::chrono::steady_clock::time_point request_at{};
std::function<void()> stop_action;
HANDLE stop_event = nullptr;     // set once a stop has been asked for, and stays set
// Auto-reset: set by every stop request and by wake_stop_wait, reset by the
// wait it ends. The waiter counts requests under the lock, never events, so
// requests that arrive together count once each.
HANDLE wake_event = nullptr;
HWND stop_window = nullptr;      // main thread
bool close_posted = false;       // main thread: see window_close_posted

// The longest a close request posted to the window may come before its twin
// to the stop window: taskkill posts them one after the other.
constexpr std::chrono::milliseconds twin_close_wait{1000};

unsigned stops_so_far()
{
    const std::lock_guard lock(stop_mutex);
    return stop_count;
}

// Handles the main thread's window messages (the stop window's) that wait.
void handle_messages()
{
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

// Says on standard error where a stop request came from (any thread).
void tell_request(unsigned number, const char* from)
{
    std::string line = "Vornhale: stop request " + std::to_string(number) + ": " + from + ".\n";
    print_console(line);
}

void request_stop(const char* from, request_kind kind)
{
    unsigned number = 0;
    bool same = false;
    {
        const std::lock_guard lock(stop_mutex);
        const auto now = std::chrono::steady_clock::now();
        same = stop_count > 0 && kind == request_was && now - request_at < one_action;
        if (!same) {
            stop_requested = true;
            ++stop_count;
            request_was = kind;
            request_at = now;
            if (stop_action)
                stop_action();
        }
        number = stop_count;
    }
    if (same) {
        print_console(std::string("Vornhale: ") + from + ", with stop request " + std::to_string(number)
                      + ": the same request.\n");
        return;
    }
    tell_request(number, from);
    ::SetEvent(stop_event);
    ::SetEvent(wake_event);
}

BOOL WINAPI on_console_control(DWORD type)
{
    request_stop(type == CTRL_C_EVENT         ? "Ctrl+C in the console"
                 : type == CTRL_BREAK_EVENT   ? "Ctrl+Break in the console"
                 : type == CTRL_CLOSE_EVENT   ? "the console was closed"
                 : type == CTRL_LOGOFF_EVENT  ? "the user is logging off"
                 : type == CTRL_SHUTDOWN_EVENT ? "the system is shutting down"
                                              : "the console",
                 type == CTRL_C_EVENT          ? request_kind::ctrl_c
                 : type == CTRL_BREAK_EVENT    ? request_kind::ctrl_break
                 : type == CTRL_CLOSE_EVENT    ? request_kind::console_closed
                                               : request_kind::session_end);
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        return TRUE;
    default:
        // The console is going away, and Windows ends the process once this
        // returns: wait here, so that the main thread's orderly shutdown ends
        // it instead (or the system's own time limit does).
        ::Sleep(INFINITE);
        return TRUE;
    }
}

// A hidden top-level window of the main thread: what Windows and other
// programs ask to close when they end a program in order (taskkill without
// /F, the end of the session). Closing it is a stop request; the window stays.
LRESULT CALLBACK on_stop_window_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CLOSE:
        request_stop("another program asked Vornhale to close (taskkill, or a task manager)",
                     request_kind::close_asked);
        return 0;
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        if (wparam)
            request_stop("the Windows session is ending", request_kind::session_end);
        return 0;
    default:
        return ::DefWindowProcW(window, message, wparam, lparam);
    }
}

void create_stop_window()
{
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = on_stop_window_message;
    window_class.hInstance = ::GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"VornhaleStop";
    ::RegisterClassW(&window_class);
    stop_window = ::CreateWindowExW(0, window_class.lpszClassName, L"Vornhale", 0, 0, 0, 0, 0, nullptr, nullptr,
                                    window_class.hInstance, nullptr);
}

}  // namespace

void catch_stop_signals()
{
    stop_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wake_event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // A GUI program has no console of its own; started from a terminal, it
    // joins the terminal's, so that Ctrl+C there reaches it.
    // What we print then goes to that terminal too, unless it goes elsewhere already.
    if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
        if (::GetStdHandle(STD_OUTPUT_HANDLE) == nullptr)
            std::freopen("CONOUT$", "w", stdout);
        if (::GetStdHandle(STD_ERROR_HANDLE) == nullptr)
            std::freopen("CONOUT$", "w", stderr);
    }
    ::SetConsoleCtrlHandler(on_console_control, TRUE);
    create_stop_window();
}

void on_stop_signal(std::function<void()> action)
{
    const std::lock_guard lock(stop_mutex);
    stop_action = std::move(action);
    if (stop_requested && stop_action)
        stop_action();
}

void wait_for_stop_signal()
{
    // The main thread's messages (the stop window's) are handled meanwhile.
    while (stop_event != nullptr
           && ::MsgWaitForMultipleObjects(1, &stop_event, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0)
        handle_messages();
}

unsigned stop_requests()
{
    // taskkill asks every window of ours to close, one after the other. When
    // its request closed the window, the one to the stop window is the stop
    // request, whether it is queued already or still on its way.
    const auto give_up_at = std::chrono::steady_clock::now() + twin_close_wait;
    for (;;) {
        MSG message;
        while (stop_window != nullptr && ::PeekMessageW(&message, stop_window, 0, 0, PM_REMOVE))
            ::DispatchMessageW(&message);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up_at
                                                                                - std::chrono::steady_clock::now());
        if (!close_posted || stop_window == nullptr || stops_so_far() > 0 || left.count() <= 0)
            break;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left.count()) + 1, QS_POSTMESSAGE);
    }
    close_posted = false;
    return stops_so_far();
}

bool wait_for_stop_requests(unsigned count, const std::function<bool()>& finished)
{
    // The wake-up event resets as the wait ends; messages are all taken off
    // the queue before the next wait, which only new ones end.
    while (stops_so_far() < count && !finished()) {
        if (wake_event == nullptr
            || ::MsgWaitForMultipleObjects(1, &wake_event, FALSE, INFINITE, QS_ALLINPUT) == WAIT_FAILED)
            ::Sleep(50);
        handle_messages();
    }
    return stops_so_far() >= count;
}

namespace windows {

void window_close_posted() { close_posted = true; }

}  // namespace windows

void wake_stop_wait()
{
    if (wake_event != nullptr)
        ::SetEvent(wake_event);
}

}  // namespace platform
