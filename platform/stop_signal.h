#pragma once

#include <functional>

// Orderly ending on SIGINT and SIGTERM. Everything here belongs to the main
// thread and its event loop.
namespace platform {

// From now on SIGINT and SIGTERM no longer end the process: each becomes a call
// of the current stop action on the main thread's event loop. Call once, early.
void catch_stop_signals();

// Sets what a stop signal does while the event loop runs (a window's run, or
// wait_for_stop_signal). Runs action at once when a signal has already arrived.
void on_stop_signal(std::function<void()> action);

// Runs the event loop until a stop signal arrives; returns at once when one
// already has.
void wait_for_stop_signal();

// Runs the event loop until a stop signal arrives that is newer than this call
// (true), or until finished() holds (false). finished is tested first and
// after every wake-up of the loop: a thread that makes it true then calls
// wake_stop_wait.
bool wait_for_another_stop_signal(const std::function<bool()>& finished);

// Makes a running wait_for_another_stop_signal test finished again (or the
// next one test it at once). Any thread.
void wake_stop_wait();

}  // namespace platform
