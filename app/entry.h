#pragma once

// The whole program, from start-up to shutdown: what each system's entry
// function runs. station: flash every board plugged in, each once, several at
// once (flash/station.h), rather than the one board found at start. Returns
// the exit status: 0 after an orderly shutdown.
int vornhale_main(bool station = false) noexcept;
