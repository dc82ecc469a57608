#pragma once

// Seam: our standard output and error, never waiting. platform/linux/console.cpp (non-blocking descriptors),
// platform/windows/console.cpp (a writer thread).

#include <chrono>
#include <cstddef>
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

// A command's whole result on standard output (vornhale --summary), waiting
// as long as the stream takes to take it: nothing of it is dropped. Returns
// false once the stream takes nothing more (a closed pipe). Main thread, with
// no other output going on.
bool write_output_whole(std::string_view text);

// A message of ours for the user, on standard error.
inline void print_console(std::string_view text) { write_console(console_stream::error, text); }

// Standard output for records alone (station mode): from this call on, text
// written to console_stream::output goes to standard error instead, and
// standard output takes only write_record's lines.
void keep_output_for_records();

// One record, a whole line with its line end, for standard output: written
// whole or not at all, and never cut by another text. What the stream cannot
// take at once (a paused terminal, a pipe read late, a full disk) is kept, up
// to console_backlog bytes, and written by a later call; a record that does
// not fit there, or that the stream refuses for good (a closed pipe), is
// counted as not written.
void write_record(std::string_view line);

// Writes what records are kept, as far as the stream takes them now.
void flush_records();

// At the exit: waits at most limit for the records kept to be written, then
// gives up on the rest. Returns how many records of the whole run could not
// be written whole.
std::size_t drain_records(std::chrono::milliseconds limit);

}  // namespace platform
