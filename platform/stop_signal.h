#pragma once

// Seam: a user's stop requests. platform/linux/stop_signal.cpp (signals into GLib's loop),
// platform/windows/stop_signal.cpp (console events and a message window).

#include <functional>

// Orderly ending on the stop requests a user can send: on Linux SIGINT,
// SIGTERM, SIGHUP (the terminal closed) and SIGQUIT; on Windows Ctrl+C, the
// console closing, and a request to close the program (taskkill). Every
// request counts once, however many arrive together, and says on standard
// error where it came from; a signal sent by a program Vornhale started
// (esptool, what it runs) is no user's request and is ignored. What one
// action of a user sends is one request: the same kind of request again
// within a second of a request's first (a wrapper that passes a Ctrl+C on,
// timeout signalling its child and then its process group, a closing
// terminal's hang-up passed on by its shell) is that request, and says so; a
// second request comes later, or in another way. On Linux a stop signal that
// was ignored when Vornhale started (nohup) stays ignored. Everything here
// belongs to the main thread and its event loop.
namespace platform {

// From now on the stop requests no longer end the process: each becomes a
// call of the current stop action on the main thread's event loop, and counts
// in stop_requests. Call once, early.
void catch_stop_signals();

// Sets what a stop request does while the event loop runs (a window's run, or
// wait_for_stop_signal). Runs action at once when a request has already arrived.
void on_stop_signal(std::function<void()> action);

// Runs the event loop until a stop request arrives; returns at once when one
// already has.
void wait_for_stop_signal();

// How many stop requests have arrived so far (as the event loop has seen them).
// On Windows, when another program's close request has just closed the window,
// the first call waits up to a second for that program's request to the stop
// window, so that the two count as the one request they are.
unsigned stop_requests();

// Runs the event loop until at least count stop requests have arrived in all
// (true), or until finished() holds (false). finished is tested first and after
// every wake-up of the loop: a thread that makes it true then calls
// wake_stop_wait. Blocks without using the processor while it waits.
bool wait_for_stop_requests(unsigned count, const std::function<bool()>& finished);

// Makes a running wait_for_stop_requests test finished again (or the next one
// test it at once). Any thread.
void wake_stop_wait();

}  // namespace platform
