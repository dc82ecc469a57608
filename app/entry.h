#pragma once

#include <filesystem>

// The whole program, from start-up to shutdown: what each system's entry
// function runs. station: flash every board plugged in, each once, several at
// once (station/station.h), rather than the one board found at start;
// record_file: the file the station appends its records to (empty: a file of
// the session's own in the user's state folder). Returns the exit status: 0
// after an orderly shutdown in which everything started was written and every
// record kept, 1 otherwise.
int vornhale_main(bool station = false, const std::filesystem::path& record_file = {}) noexcept;
