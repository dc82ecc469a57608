#include "platform/stop_signal.h"

#include <csignal>
#include <glib-unix.h>
#include <glib.h>

namespace platform {
namespace {

// Main thread only: GLib runs the signal sources on the main loop, not in the
// signal handler.
bool signal_arrived = false;
unsigned signals_arrived = 0;
std::function<void()> stop_action;

gboolean on_signal(gpointer)
{
    signal_arrived = true;
    ++signals_arrived;
    if (stop_action)
        stop_action();
    return G_SOURCE_CONTINUE;
}

}  // namespace

void catch_stop_signals()
{
    g_unix_signal_add(SIGINT, on_signal, nullptr);
    g_unix_signal_add(SIGTERM, on_signal, nullptr);
}

void on_stop_signal(std::function<void()> action)
{
    stop_action = std::move(action);
    if (signal_arrived && stop_action)
        stop_action();
}

void wait_for_stop_signal()
{
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    on_stop_signal([loop] { g_main_loop_quit(loop); });
    if (!signal_arrived)
        g_main_loop_run(loop);
    stop_action = nullptr;
    g_main_loop_unref(loop);
}

bool wait_for_another_stop_signal(const std::function<bool()>& finished)
{
    const unsigned before = signals_arrived;
    while (signals_arrived == before && !finished())
        g_main_context_iteration(nullptr, TRUE);
    return signals_arrived != before;
}

void wake_stop_wait() { g_main_context_wakeup(nullptr); }

}  // namespace platform
