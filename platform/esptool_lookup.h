#pragma once

// Seam: where esptool is. platform/linux/esptool_lookup.cpp; on Windows the process runner starts the name as given
// (platform/windows/process.cpp).

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Where the program a command line names (".\esptool.exe") is on this system.
// A name with a folder ("./esptool.exe") is looked for in that folder as it
// is, without ".exe" and with ".py" in its place ("./esptool.exe",
// "./esptool", "./esptool.py"); then, and for a bare name, on PATH without
// ".exe" and with ".py" ("esptool", "esptool.py"). For esptool the places
// where makers' tools install it come last: the newest version folder of the
// Arduino IDE's ~/.arduino15/packages/esp32/tools/esptool_py/VERSION/
// ("esptool", then "esptool.py"; versions compare part by part, numbers as
// numbers), then PlatformIO's ~/.platformio/packages/tool-esptoolpy/esptool.py.
// Only executable regular files (or links to them) count. Nothing when none
// is found.
std::optional<std::string> find_program(std::string_view windows_name);

}  // namespace platform
