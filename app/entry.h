#pragma once

// The whole program, from start-up to shutdown: what each system's entry
// function runs. Returns the exit status: 0 after an orderly shutdown.
int vornhale_main() noexcept;
