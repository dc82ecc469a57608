#pragma once

// Inside the Linux layer, between the process runner and the stop signals:
// the programs the runner started, so that a signal one of them sent is known
// as theirs even when the handler runs after the runner has waited for the
// program's end (the system then no longer knows the sender).

#include <sys/types.h>

namespace platform::linux_layer {

// The runner's thread, right after the program started, and after it has
// waited for its end.
void program_started(pid_t pid) noexcept;
void program_ended(pid_t pid) noexcept;

// Async-signal-safe: whether pid is a program we started that is still
// running, or that ended so recently that a signal it sent may still be
// on its way to the handler (a pid is not given out again that soon).
bool started_by_runner(pid_t pid) noexcept;

}  // namespace platform::linux_layer
