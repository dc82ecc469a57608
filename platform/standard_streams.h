#pragma once

// Seam: standard streams closed at start. platform/linux/standard_streams.cpp (descriptors),
// platform/windows/standard_streams.cpp (the C library's descriptors).

namespace platform {

// Gives each standard stream (input, output, error) that is closed at start
// the null device, so that no file opened later takes its place (a pipe on
// descriptor 1 would receive everything meant for standard output). Called
// first thing in the entry function, before anything opens a file.
void open_missing_standard_streams() noexcept;

}  // namespace platform
