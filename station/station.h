#pragma once

#include "flash/flash_worker.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// Station mode: every ESP32-S3 board plugged in, at start or later, is
// flashed with the firmware set, several at once, each exactly once in a
// session. A board is known by its USB serial number (the chip's MAC); one
// that reports none, by where it is plugged in. A board that comes back after
// its flash (esptool's hard reset makes it leave USB and return) is not
// flashed again; one whose flash failed is flashed again when it is plugged
// in again, up to attempts times in all. The rules behind this are
// station/station_rules.h; this is the threaded shell that carries them out.
struct station_settings {
    std::size_t parallel = 8;  // flashes at once; more boards wait their turn
    int attempts = 3;
};

// One finished board, as its record tells it.
struct board_record {
    std::string time;  // UTC, "2026-12-08T09:12:03Z"
    std::string port;
    std::string serial;
    bool flashed = false;
    std::string reason;  // why it failed; empty when flashed
    double seconds = 0;
    int attempt = 0;  // the how-manieth flash of this board in the session (0: none started)
    std::string chip;             // as esptool names it: "ESP32-S3 (QFN56) (revision v0.2)"
    std::string mac;              // as esptool prints it: "f4:12:fa:00:00:01"
    std::string esptool_version;  // "4.7.0"
    std::string application;      // the application image; the keeper fills it in
    std::vector<std::string> verified;  // the images whose hash esptool verified after writing them
    bool rom_loader = false;  // esptool wrote through the chip's ROM loader, having no flasher stub for it
};

// What the station tells as it goes.
struct station_output {
    // The station page's document (web/station_feed.h), whole, on every change.
    std::function<void(std::string document)> publish;
    // Keeps one finished board's record, before its card shows the result.
    // Returns an empty text once the record is kept, else why it could not be
    // (the keeper holds on to it and writes it when it can).
    std::function<std::string(const board_record& record)> record;
    // Where the records go, for the page ("" when nowhere to tell).
    std::string record_place;
    // Why records are not being kept now (the record file cannot be written),
    // or the empty text once every record is kept again: while it is not
    // empty, no new flash starts.
    std::function<std::string()> record_trouble;
    // Right before flashes start: proves that their records can be kept (the
    // record file opened, room set aside, on stable storage). The empty text,
    // or why not: then no flash starts until record_trouble is empty again.
    std::function<std::string()> record_ready;
    // The empty text while the build folder's images are those the station
    // read at start, else a note for the page (the station goes on flashing
    // what it read).
    std::function<std::string()> images_note;
    // The folder esptool runs in: the station's own copy of the images, under
    // the names the command lines give them.
    std::filesystem::path image_folder;
};

// Thread body. firmware_trouble: why the firmware set cannot be flashed, as
// for flash_worker (empty: nothing against it). Ends once main has asked it to
// (control.finish_asked: no flash starts any more, those running go on to
// their end; control.tool_stop: they are stopped too) and no flash runs any
// more; then sets control.done and wakes main. Never throws.
void station_worker(const std::string& firmware_base, const std::string& firmware_trouble,
                    const station_output& output, flash_control& control,
                    const station_settings& settings = {}) noexcept;

