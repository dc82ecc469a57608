// The Windows entry: a GUI program (no console window of its own); its
// arguments are ignored.

#include "app/entry.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return vornhale_main(); }
