#pragma once

// Seam: our standard output and error, never waiting. platform/linux/console.cpp (non-blocking descriptors),
// platform/windows/console.cpp (a writer thread).

#include <string_view>

// Our standard output and standard error, written without ever waiting: a
// terminal paused with Ctrl+S, or a pipe nobody reads, must not hold up a
// flash, a stop or the exit. What cannot be written at once is kept, up to
// console_backlog bytes a stream, and written by a later call; beyond that it
// is dropped, and a line says how much was. Never throws. Any thread.
namespace platform {

inline constexpr std::size_t console_backlog = 64 * 1024;

enum class console_stream { output, error };

void write_console(console_stream stream, std::string_view text);

// A message of ours for the user, on standard error.
inline void print_console(std::string_view text) { write_console(console_stream::error, text); }

}  // namespace platform
