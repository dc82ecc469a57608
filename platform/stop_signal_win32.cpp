#include "platform/stop_signal.h"

#include <mutex>
#include <windows.h>

// Stop requests from the console: Ctrl+C, Ctrl+Break and the console being
// closed. Windows runs the console control handler on a thread of its own; the
// handler only records the request and wakes the main thread (or runs the
// current stop action, which must therefore be safe to call from any thread,
// as a window's terminate is).
namespace platform {
namespace {

std::mutex stop_mutex;  // guards stop_requested and stop_action
bool stop_requested = false;
std::function<void()> stop_action;
HANDLE stop_event = nullptr;  // set once a stop has been asked for

BOOL WINAPI on_console_control(DWORD type)
{
    {
        const std::lock_guard lock(stop_mutex);
        stop_requested = true;
        if (stop_action)
            stop_action();
    }
    ::SetEvent(stop_event);
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

}  // namespace

void catch_stop_signals()
{
    stop_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(on_console_control, TRUE);
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
    if (stop_event != nullptr)
        ::WaitForSingleObject(stop_event, INFINITE);
}

}  // namespace platform
