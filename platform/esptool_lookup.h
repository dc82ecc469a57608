#pragma once

// Seam: where esptool is. platform/linux/esptool_lookup.cpp; on Windows the process runner starts the name as given
// (platform/windows/process.cpp), and platform/windows/esptool_lookup.cpp says where that is.

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The esptool a flash would run (".\esptool.exe" as the runner finds it):
// its path, absolute, and where that is for the user ("in this folder", "on
// PATH", "the Arduino IDE's", "PlatformIO's"); nothing when there is none.
struct found_tool {
    std::string path;
    std::string place;
};
std::optional<found_tool> locate_esptool();

// Where locate_esptool looks, in its order, for the user: a line each,
// indented by two blanks, none longer than 80 columns.
std::string esptool_places();

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

// Linux: the Python to run program (as find_program found it) with, when the
// system cannot start it as it is: a Python script ("*.py") that names no
// interpreter, or one that cannot be found ("#!/usr/bin/env python" where
// there is no python, only python3, as on Debian), runs under python3 from
// PATH. Nothing when it starts as it is, or when there is no python3.
std::optional<std::string> python_for(const std::string& program);

}  // namespace platform
