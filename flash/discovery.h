#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

class status_queue;

// Start-up, on the main thread before the flashing worker starts.

// Looks for the board on USB (vendor 0x303A, product 0x1001) and sets
// board_port to the name of its serial port, or leaves it empty when there is
// no board or its port cannot be named. Pushes "The board is not connected."
// when there is no board, then always "Device port: " and the name or
// "not found". Why a port could not be named, or why the USB devices could
// not be listed, is written to standard output.
void discover_board(std::optional<std::string>& board_port, status_queue& queue);

// Walks the working directory and everything below it for the application
// image "BASE.ino.bin" (any kind of entry; directory links are not entered,
// unreadable directories are skipped) and sets firmware_base to the BASE of
// the last one visited, or to the empty text; sets firmware_folder, when
// given, to the folder that holds that image, as the walk reached it (for
// example "./build/esp32.esp32.esp32s3"), or to the empty path. Pushes one text:
// "Firmware file found: BASE.ino.bin". Why a folder could not be searched,
// unless access to it was denied, is written to standard output. When the
// working directory is the user's home folder or the root folder, it walks
// nothing, leaves firmware_base empty and says so instead ("Not searching the
// home folder for firmware: open a build folder with Vornhale.").
void discover_firmware(std::string& firmware_base, status_queue& queue,
                       std::filesystem::path* firmware_folder = nullptr);

// When the working directory is one discover_firmware does not walk, why,
// naming what to open a build folder with ("Not searching the home folder for
// firmware: open a build folder with OPENER."); else the empty text.
std::string unsearched_folder_note(std::string_view opener);
