"""The real binary, headless, with a fake board (umockdev) and a stand-in for
esptool in its working directory: what the page is told, and what the tool
is given."""

import contextlib
import csv
import ctypes
import fcntl
import glob
import hashlib
import io
import json
import os
import pathlib
import random
import resource
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

from support.vornhale import (BOARD_FILE, BUILD_OUTPUT, ESPTOOL_OUTPUT, ESPTOOL_VERSIONS, FAKE_TOOL,  # noqa: E402
                              EventStream, Vornhale, board_env, wait_until)

with open(BOARD_FILE) as board_file:
    BOARD = board_file.read()

FIRMWARE_ARGS = ["--chip", "esp32s3", "--port", "/dev/ttyACM0", "--baud", "921600", "--before", "default_reset",
                 "--after", "hard_reset", "write_flash", "-z", "--flash_mode", "keep", "--flash_freq", "keep",
                 "--flash_size", "keep", "0x0", "blink.ino.bootloader.bin", "0x8000", "blink.ino.partitions.bin",
                 "0xe000", "boot_app0.bin", "0x10000", "blink.ino.bin"]
FILE_SYSTEM_ARGS = ["--chip", "esp32s3", "--port", "/dev/ttyACM0", "--baud", "921600", "--before", "default_reset",
                    "--after", "hard_reset", "write_flash", "-z", "--flash_mode", "dio", "--flash_freq", "80m",
                    "--flash_size", "detect", "6750208", "fs.bin"]

UPLOADING_FIRMWARE = '<span aria-busy="true">Uploading firmware...</span>'
UPLOADING_APP = '<span aria-busy="true">Uploading app...</span>'


def cpu_seconds(pid):
    """The processor time (user and system) the process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Flashing(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="vornhale-flash-")
        self.cwd = self.folder.name
        self.testbed = UMockdev.Testbed.new()
        self.addCleanup(self.folder.cleanup)

    def write(self, name, content="", mode=0o644):
        path = os.path.join(self.cwd, name)
        with open(path, "w") as f:
            f.write(content)
        os.chmod(path, mode)

    def run_vornhale(self, count, home=None, status=0):
        """Starts the binary (in home, when given), reads count texts from
        /event, stops it, expects status; returns the texts and what it printed."""
        with Vornhale(cwd=self.cwd, env=dict(board_env(self.testbed), **({"HOME": home} if home else {}))) as app:
            app.wait_serving()
            stream = EventStream()
            texts = [stream.read_event(timeout=30) for _ in range(count)]
            app.signal(signal.SIGTERM)
            got, out, err = app.finish(timeout=30)
            self.assertEqual(got, status, err)
            stream.close()
        return texts, out

    def calls(self):
        result = []
        while os.path.exists(os.path.join(self.cwd, "call.%d" % len(result))):
            with open(os.path.join(self.cwd, "call.%d" % len(result))) as f:
                result.append(f.read().splitlines())
        return result

    def test_board_flashed_with_firmware_and_file_system(self):
        self.testbed.add_from_string(BOARD)
        for name in BUILD_OUTPUT:
            self.write(name)
        self.write("esptool.exe", FAKE_TOOL, 0o755)
        self.write("say.0", "esptool.py v4.7.0\nHash of data verified.\n")
        texts, out = self.run_vornhale(6)
        self.assertEqual(texts, ["Device port: /dev/ttyACM0", "Firmware file found: blink.ino.bin",
                                 UPLOADING_FIRMWARE, "Firmware upload done.", UPLOADING_APP, "App upload done."])
        self.assertEqual(self.calls(), [FIRMWARE_ARGS, FILE_SYSTEM_ARGS])
        self.assertIn(b"esptool.py v4.7.0\nHash of data verified.\n", out)

    def test_progress_of_both_runs_moves_forward_between_their_texts(self):
        self.testbed.add_from_string(BOARD)
        for name in BUILD_OUTPUT:
            self.write(name, "x" * 1000)
        self.write("esptool.exe", FAKE_TOOL, 0o755)
        for run, address in ((0, "00010000"), (1, "00670000")):
            # The run notes how long it took: the figures' pace is checked against it.
            self.write("run.%d" % run, 'date +%%s.%%N > began.%d; i=1; while [ $i -le 40 ]; do '
                                       'echo "Writing at 0x%s... ($((i * 5 / 2)) %%)"; i=$((i+1)); sleep 0.05; done; '
                                       'date +%%s.%%N > ended.%d\n' % (run, address, run))
        with Vornhale(cwd=self.cwd, env=board_env(self.testbed)) as app:
            app.wait_serving()
            stream = EventStream()
            texts = [stream.read_event(timeout=30)]
            while texts[-1] != "App upload done.":
                texts.append(stream.read_event(timeout=30))
            stream.close()
            app.signal(signal.SIGTERM)
            self.assertEqual(app.finish(timeout=30)[0], 0)
        plain = [t for t in texts if "%" not in t]
        self.assertEqual(plain, ["Device port: /dev/ttyACM0", "Firmware file found: blink.ino.bin", UPLOADING_FIRMWARE,
                                 "Firmware upload done.", UPLOADING_APP, "App upload done."])
        for run, (stage, start, end) in enumerate((("firmware", 2, 3), ("app", 4, 5))):
            with self.subTest(stage=stage):
                first, last = texts.index(plain[start]), texts.index(plain[end])
                figures = [int(t.split("... ")[1].split(" %")[0]) for t in texts[first + 1:last]]
                self.assertEqual(figures, sorted(set(figures)))
                self.assertEqual(figures[-1], 100)
                began, ended = (float(open(os.path.join(self.cwd, n % run)).read()) for n in ("began.%d", "ended.%d"))
                took = ended - began
                self.assertLessEqual(len(figures), took / 0.25 + 2, "not rate-limited: %r in %.1f s" % (figures, took))
                self.assertGreaterEqual(len(figures), 3, "the figure did not move: %r" % figures)

    def read_until_done(self, last="App upload done."):
        with Vornhale(cwd=self.cwd, env=board_env(self.testbed)) as app:
            app.wait_serving()
            stream = EventStream()
            texts = [stream.read_event(timeout=30)]
            while texts[-1] != last and "failed" not in texts[-1]:
                texts.append(stream.read_event(timeout=30))
            stream.close()
            app.signal(signal.SIGTERM)
            status, out, err = app.finish(timeout=30)
        return texts, status, out + err

    def test_each_esptool_version_makers_have_flashes_the_board_it_names(self):
        # What each version really printed, control sequences, carriage returns,
        # warnings and all; the board's serial number is the chip's MAC.
        board = BOARD.replace("A: idProduct=1001\n", "A: idProduct=1001\nA: serial=F4:12:FA:5A:1C:30\n")
        for version in ESPTOOL_VERSIONS:
            with self.subTest(version=version):
                self.setUp()
                self.testbed.add_from_string(board)
                for name in BUILD_OUTPUT:
                    self.write(name, "x" * 1000)
                self.write("esptool.exe", FAKE_TOOL, 0o755)
                for run, image in enumerate(("firmware", "file-system")):
                    shutil.copy(os.path.join(ESPTOOL_OUTPUT, "v%s-%s.txt" % (version, image)),
                                os.path.join(self.cwd, "say.%d" % run))
                texts, status, printed = self.read_until_done()
                self.assertEqual(status, 0, printed)
                plain = [t for t in texts if "%" not in t]
                self.assertEqual(plain, ["Device port: /dev/ttyACM0", "Firmware file found: blink.ino.bin",
                                         UPLOADING_FIRMWARE, "Firmware upload done.", UPLOADING_APP,
                                         "App upload done."])
                for start, end in ((2, 3), (4, 5)):
                    figures = [int(t.split("... ")[1].split(" %")[0])
                               for t in texts[texts.index(plain[start]) + 1:texts.index(plain[end])]]
                    self.assertEqual((figures, figures[-1]), (sorted(set(figures)), 100))
                    self.assertGreaterEqual(len(figures), 2, figures)
                self.assertNotIn(b"\x1b", printed)
                self.assertIn(b"Hash of data verified.", printed)
        # A chip that never answers: esptool 5's fatal error, on standard error, is the reason.
        self.setUp()
        self.testbed.add_from_string(board)
        for name in BUILD_OUTPUT:
            self.write(name)
        self.write("esptool.exe", FAKE_TOOL, 0o755)
        shutil.copy(os.path.join(ESPTOOL_OUTPUT, "v5.3.1-no-answer.txt"), os.path.join(self.cwd, "no-answer"))
        self.write("run.0", "cat no-answer >&2\nexit 2\n")
        texts, status, _ = self.read_until_done()
        self.assertEqual((status, texts[-1]), (1, "Firmware upload failed: Failed to connect to ESP32-S3: No serial "
                                                   "data received."))

    def test_a_folder_name_cannot_vouch_for_another_board(self):
        # esptool names the configuration file it found, path and all, before it
        # connects: the path says "MAC: " and this board's serial number.
        self.testbed.add_from_string(BOARD.replace("A: idProduct=1001\n", "A: idProduct=1001\nA: serial=F4:12:FA:00:00:01\n"))
        self.cwd = os.path.join(self.folder.name, "x\nConnecting...\nMAC: f4:12:fa:00:00:01\n")
        os.mkdir(self.cwd)
        for name in BUILD_OUTPUT:
            self.write(name)
        self.write("esptool.exe", FAKE_TOOL, 0o755)
        self.write("esptool.cfg", "[esptool]\n")
        shutil.copy(os.path.join(ESPTOOL_OUTPUT, "v4.7.0-firmware.txt"), os.path.join(self.cwd, "say.0"))
        self.write("run.0", 'echo "Loaded custom configuration from $PWD/esptool.cfg"\n')
        texts, status, _ = self.read_until_done()
        self.assertEqual(status, 1)
        self.assertTrue(texts[-1].startswith("Firmware upload failed: esptool "), texts[-1])
        self.assertEqual(len(self.calls()), 1)

    def test_many_idle_connections_neither_stop_the_flash_nor_make_the_server_spin(self):
        self.testbed.add_from_string(BOARD)
        for name in BUILD_OUTPUT:
            self.write(name)
        self.write("esptool.exe", FAKE_TOOL, 0o755)
        self.write("run.0", "while [ ! -e go ]; do sleep 0.05; done\n")
        # The program starts with the usual soft limit of 1024 descriptors; the
        # test needs more for its own connections.
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(1024, hard), hard))
        env = {"UMOCKDEV_DIR": self.testbed.get_root_dir(), "LD_PRELOAD": "libumockdev-preload.so.0",
               "ASAN_OPTIONS": "verify_asan_link_order=0"}
        with Vornhale(cwd=self.cwd, env=env) as app:
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(4096, hard), hard))
            app.wait_serving()
            stream = EventStream()
            self.assertEqual([stream.read_event(timeout=30) for _ in range(3)][2], UPLOADING_FIRMWARE)
            idle = []
            try:
                for _ in range(1100):
                    try:
                        idle.append(socket.create_connection(("127.0.0.1", 5000), timeout=2))
                    except OSError:
                        pass
                time.sleep(0.5)
                before = cpu_seconds(app.proc.pid)
                time.sleep(1.0)
                busy = cpu_seconds(app.proc.pid) - before
                self.assertLess(busy, 0.1, "busy while connections are held: %.2f s" % busy)
                open(os.path.join(self.cwd, "go"), "w").close()
                texts = [stream.read_event(timeout=30) for _ in range(3)]
            finally:
                for sock in idle:
                    sock.close()
            self.assertEqual(texts, ["Firmware upload done.", UPLOADING_APP, "App upload done."])
            app.signal(signal.SIGTERM)
            status, _, err = app.finish(timeout=30)
            self.assertEqual(status, 0, err)
            stream.close()

    def test_failed_firmware_run_reports_the_reason(self):
        self.testbed.add_from_string(BOARD)
        for name in BUILD_OUTPUT:
            self.write(name)
        self.write("esptool.exe", FAKE_TOOL, 0o755)
        self.write("say.0", "A fatal error occurred: Failed to connect to ESP32-S3: No serial data received.\n"
                            "For troubleshooting steps visit: https://docs.espressif.com/\n")
        self.write("code.0", "2")
        texts, _ = self.run_vornhale(4, status=1)  # nothing written: not a success
        self.assertEqual(texts, ["Device port: /dev/ttyACM0", "Firmware file found: blink.ino.bin",
                                 UPLOADING_FIRMWARE,
                                 "Firmware upload failed: Failed to connect to ESP32-S3: No serial data received."])
        self.assertEqual(len(self.calls()), 1)

    def test_arduino_export_is_explained_before_esptool_runs(self):
        # Export compiled binary: the set in a subfolder, no boot_app0.bin,
        # which the ESP32 cores in the Arduino IDE's data folder hold.
        self.testbed.add_from_string(BOARD)
        export = os.path.join(self.cwd, "build", "esp32.esp32.esp32s3")
        os.makedirs(export)
        for name in ("blink.ino.bin", "blink.ino.bootloader.bin", "blink.ino.partitions.bin", "blink.ino.merged.bin"):
            self.write(os.path.join(export, name))
        self.write(os.path.join(export, "esptool.exe"), FAKE_TOOL, 0o755)
        home = tempfile.TemporaryDirectory(prefix="vornhale-home-")
        self.addCleanup(home.cleanup)
        core = os.path.join(home.name, ".arduino15", "packages", "esp32", "hardware", "esp32")
        for version in ("3.0.9", "3.0.10"):
            os.makedirs(os.path.join(core, version, "tools", "partitions"))
            self.write(os.path.join(core, version, "tools", "partitions", "boot_app0.bin"))
        newest = os.path.join(core, "3.0.10", "tools", "partitions", "boot_app0.bin")
        self.assertEqual(self.run_vornhale(3, home.name)[0][1:], [
            "Firmware file found: blink.ino.bin", "Cannot upload firmware: Open the folder build/esp32.esp32.esp32s3 "
            "with Vornhale: blink.ino.bootloader.bin and blink.ino.partitions.bin are there, not here. "
            "boot_app0.bin is not in build/esp32.esp32.esp32s3 either: copy it there from %s." % newest])
        self.cwd = export
        self.assertEqual(self.run_vornhale(3, home.name)[0][2:],
                         ["Cannot upload firmware: boot_app0.bin is not in this folder: copy it here from %s." % newest])
        # Told before the board is plugged in, too.
        self.testbed = UMockdev.Testbed.new()
        self.assertEqual(self.run_vornhale(4, home.name)[0][2:], ["Firmware file found: blink.ino.bin", "Cannot upload "
                         "firmware: boot_app0.bin is not in this folder: copy it here from %s. No board was found "
                         "either." % newest])
        self.assertEqual(self.calls(), [])

    def test_hostile_file_names(self):
        self.testbed.add_from_string(BOARD)
        self.write("esptool.exe", FAKE_TOOL, 0o755)
        self.write("boot_app0.bin")
        # A quote would end the quoted name on the command line and smuggle in
        # arguments of its own: refused, and the tool never runs.
        with self.subTest("quote"):
            self.write('x" --erase-all "y.ino.bin')
            texts, _ = self.run_vornhale(3)
            self.assertEqual(texts, ["Device port: /dev/ttyACM0",
                                     "Firmware file found: x&quot; --erase-all &quot;y.ino.bin",
                                     'Cannot upload firmware: the file name "x&quot; --erase-all &quot;y.ino.bin" '
                                     "holds a double quote, which esptool would not receive unchanged."])
            self.assertEqual(self.calls(), [])
            os.remove(os.path.join(self.cwd, 'x" --erase-all "y.ino.bin'))
        # Line breaks would end the event early and add fields: no status
        # text carries a control character. esptool would print them as they
        # are: refused before it runs.
        with self.subTest("line breaks"):
            self.write("blink\nretry: 86400000\n\ndata: App upload done.\nx.ino.bin")
            texts, _ = self.run_vornhale(3)
            shown = "blink\ufffdretry: 86400000\ufffd\ufffddata: App upload done.\ufffdx.ino.bin"
            self.assertEqual(texts[1:], ["Firmware file found: " + shown,
                                         'Cannot upload firmware: the file name "%s" holds a control character '
                                         "(U+000A), which esptool would print as it is: rename the sketch without it "
                                         "and export again." % shown])
            self.assertEqual(self.calls(), [])

    def start_blocked_flash(self, tool_script):
        """Starts the binary in a process group of its own, as a terminal's
        foreground job, with a tool that runs tool_script; waits until the tool
        runs. Returns the binary and its event stream, which has read the
        first three texts."""
        self.testbed.add_from_string(BOARD)
        for name in BUILD_OUTPUT:
            self.write(name)
        self.write("esptool.exe", FAKE_TOOL, 0o755)
        self.write("run.0", tool_script)
        app = Vornhale(cwd=self.cwd, env=board_env(self.testbed), own_group=True)
        self.addCleanup(app.close)
        app.wait_serving()
        stream = EventStream()
        self.addCleanup(stream.close)
        self.assertEqual([stream.read_event(timeout=30) for _ in range(3)][2], UPLOADING_FIRMWARE)
        self.assertTrue(wait_until(lambda: os.path.exists(os.path.join(self.cwd, "tool.pid"))))
        return app, stream

    def test_first_ctrl_c_lets_the_tool_finish_and_starts_no_other_run(self):
        app, stream = self.start_blocked_flash(
            'echo $$ > tool.pid\nwhile [ ! -e release ]; do sleep 0.05; done\necho > survived\n')
        app.signal_group(signal.SIGINT)
        time.sleep(0.5)
        # It waits for the tool, or for a second stop, without using the processor.
        before = cpu_seconds(app.proc.pid)
        time.sleep(1.0)
        busy = cpu_seconds(app.proc.pid) - before
        self.assertLess(busy, 0.2, "busy while waiting for the tool: %.2f s" % busy)
        self.assertIsNone(app.proc.poll())
        self.write("release")
        status, _, err = app.finish(timeout=30)
        self.assertEqual(status, 1, err)  # fs.bin was not written
        self.assertTrue(os.path.exists(os.path.join(self.cwd, "survived")), "the tool was interrupted")
        self.assertIn(b"finish", err)
        # The run that was going finished; the file-system run never started.
        self.assertEqual(len(self.calls()), 1)
        self.assertEqual(stream.read_event(), "Firmware upload done.")

    def test_second_ctrl_c_stops_the_tool_and_reports_a_failure(self):
        # The tool ignores SIGTERM: it is killed after the grace period.
        app, stream = self.start_blocked_flash(
            "trap '' TERM\necho $$ > tool.pid\nwhile :; do sleep 0.05; done\n")
        with open(os.path.join(self.cwd, "tool.pid")) as f:
            tool = int(f.read())
        app.signal_group(signal.SIGINT)
        time.sleep(1.2)  # a second one, not the first passed on
        app.signal_group(signal.SIGINT)
        status, _, err = app.finish(timeout=30)
        self.assertEqual(status, 1, err)
        self.assertIn(b"interrupted", err)
        self.assertRegex(stream.read_event(), "^Firmware upload failed: .*stopped")
        self.assertRaises(ProcessLookupError, os.kill, tool, 0)
        self.assertEqual(len(self.calls()), 1)


    # The stand-in writes a line per block, as esptool does, and says when it wrote them all.
    BLOCKS = ('echo $$ > tool.pid\ni=0\nwhile [ $i -lt 20 ]; do\n'
              '  [ $i -eq 5 ] && while [ ! -e release ]; do sleep 0.05; done\n'
              '  echo "Writing at 0x000$i... ($((i * 5)) %)"; i=$((i+1)); sleep 0.02\ndone\necho > finished\n')

    def test_terminal_signals_stop_as_ctrl_c_does(self):
        # A hang-up or Ctrl+\\ lets the run finish; two stops stop it, but not what one action sends (a Ctrl+C
        # passed on, timeout, a hang-up passed on). Either way fs.bin is not written: the exit status is not 0.
        for signals, finishes in (((signal.SIGHUP,), True), ((signal.SIGQUIT,), True),
                                  ((signal.SIGHUP, signal.SIGQUIT), False), ((signal.SIGINT, signal.SIGTERM), False),
                                  ((signal.SIGINT,) * 2, True), ((signal.SIGTERM,) * 2, True),
                                  ((signal.SIGHUP, signal.SIGHUP, signal.SIGTERM), True)):
            with self.subTest(signals=signals):
                self.setUp()
                app, _ = self.start_blocked_flash(self.BLOCKS)
                for sig in signals:
                    app.deliver(sig)
                time.sleep(0.5)
                self.write("release")
                got, _, err = app.finish(timeout=30)
                self.assertEqual(got, 1, err)
                finished = os.path.exists(os.path.join(self.cwd, "finished"))
                self.assertEqual(finished, finishes, err)
                self.assertEqual(len(self.calls()), 1)

    def test_the_run_outlives_a_killed_vornhale(self):
        app, _ = self.start_blocked_flash(self.BLOCKS)
        app.proc.kill()
        app.finish()
        self.write("release")
        self.assertTrue(wait_until(lambda: os.path.exists(os.path.join(self.cwd, "finished")), 10),
                        "the tool did not finish its run")

    def test_output_nobody_reads_holds_up_neither_the_flash_nor_a_stop(self):
        # Far more than a pipe holds, printed while nobody reads our output.
        app, _ = self.start_blocked_flash(
            "echo $$ > tool.pid\nyes 'Writing at 0x00010000... (1 %)' | head -n 20000\n"
            "while [ ! -e release ]; do sleep 0.05; done\necho > finished\n")
        time.sleep(1.0)
        app.signal_group(signal.SIGINT)
        time.sleep(1.2)  # a second Ctrl+C, not the first passed on
        app.signal_group(signal.SIGINT)
        self.assertTrue(wait_until(lambda: app.proc.poll() is not None, 10), "the stop waited for a reader")
        status, _, err = app.finish()
        self.assertEqual(status, 1, err)


USB = "/devices/pci0000:00/0000:00:14.0/usb1/"

# A stand-in for esptool for several boards at once: records each call's
# arguments in calls.TTY, runs run.TTY, prints say.TTY, exits with code.TTY.
# It prints what esptool 4.7.0, 5.0.0 or 5.3.1 (by the port's number; nostub.TTY: Debian's 4.7.0, which
# lacks the ESP32-S3's stub and writes through the ROM loader with --no-stub) really printed, with the MAC of
# the board on its port (or mac.SERIAL): up to the MAC before run.TTY, the writing after it. It notes in "reached"
# which board (serial or socket) got which image, and its port in "resets";
# the application image it was given goes to got.TTY. Its files lie beside it:
# it runs where the station keeps its copy of the images. As 4.8 and later do (5.x here), it locks its port,
# and when its board has left by the end of run.TTY it opens the port name again once a second and goes on
# with whatever board is there ("again" in "reached"); 4.7.0 fails at once.
STATION_TOOL = """#!/bin/sh
port=""; previous=""; image=firmware
for a in "$@"; do [ "$previous" = "--port" ] && port="$a"; previous="$a"; [ "$a" = fs.bin ] && image=fs; done
tty=$(basename "$port")
here=$(dirname "$0")
case "$*" in *blink.ino.bin*) cat blink.ino.bin >> "$here/got.$tty";; esac
cd "$here"
echo "$*" >> "calls.$tty"
n=${tty#ttyACM}
case $(( ${n:-0} % 3 )) in 0) version=4.7.0;; 1) version=5.0.0;; *) version=5.3.1;; esac
transcript=$version; [ -e "nostub.$tty" ] && { version=4.7.0; transcript=4.7.0-rom-loader; }
if [ ! -e "$port" ]; then
  echo "A fatal error occurred: Could not open $port, the port is busy or doesn't exist."; exit 2
fi
lock() { [ $version = 4.7.0 ] || { exec 9<"$port"; flock -n 9; } || { echo "A fatal error occurred: Could not open \\
$port, the port is busy or doesn't exist. ([Errno 11] Could not exclusively lock port $port)"; exit 2; }; }
who() { serial=$(cat "/sys/class/tty/$tty/device/../serial" 2>/dev/null)
  board=${serial:-$(basename "$(dirname "$(readlink -f "/sys/class/tty/$tty/device")")")}; }
lock; who
mac=$(echo "$serial" | tr A-F a-f); [ -e "mac.$serial" ] && mac=$(cat "mac.$serial")
echo "$board $image" >> reached
[ "$image" = fs ] && out="@OUTPUT@/v$transcript-file-system.txt" || out="@OUTPUT@/v$transcript-firmware.txt"
case "$transcript $*" in *rom-loader*--no-stub*) ;; *rom-loader*) out="@OUTPUT@/v4.7.0-no-s3-stub-firmware.txt";; esac
sed "s/f4:12:fa:5a:1c:30/$mac/" "$out" | awk '{ print } /MAC:/ { exit }'
case "$out" in *no-s3-stub*) sed '1,/MAC:/d' "$out"; exit 1;; esac
[ -e "run.$tty" ] && . "./run.$tty"
if [ ! -e "$port" ]; then
  [ $version = 4.7.0 ] && { echo "A serial exception error occurred: write failed: [Errno 5] Input/output error"; exit 1; }
  printf '\nLost connection, retrying...\nWaiting for the chip to reconnect'; i=0
  until sleep 1; [ -e "$port" ]; do i=$((i+1)); [ $i -lt 7 ] || exit 1; printf .; done
  lock; who; echo "$board $image again" >> reached
  printf '\nConnecting...\nUploading stub flasher...\n\nHard resetting via RTS pin...\n'; exit 1
fi
[ -e "say.$tty" ] && cat "say.$tty"
[ -e "code.$tty" ] && exit "$(cat "code.$tty")"
sed "s/f4:12:fa:5a:1c:30/$mac/" "$out" | awk 'rest { print } /MAC:/ { rest = 1 }'
[ -e resets ] && echo "$tty" >> resets
exit 0
""".replace("@OUTPUT@", ESPTOOL_OUTPUT)


@unittest.skipUnless("libumockdev-preload" in os.environ.get("LD_PRELOAD", ""),
                     "plugging boards in needs the test itself under umockdev-wrapper")
class Station(unittest.TestCase):
    """vornhale --station with boards plugged in and out as the kernel does it."""

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="vornhale-station-")
        self.addCleanup(self.folder.cleanup)
        self.cwd = self.folder.name
        # A case that starts over keeps its earlier testbeds: freeing one unsets
        # UMOCKDEV_DIR, and the boards it plugs in after that reach nobody.
        self.testbeds = getattr(self, "testbeds", []) + [UMockdev.Testbed.new()]
        self.testbed = self.testbeds[-1]
        for name in BUILD_OUTPUT:
            open(os.path.join(self.cwd, name), "w").close()
        self.write("esptool.exe", STATION_TOOL, 0o755)

    def write(self, name, content="", mode=0o644):
        path = os.path.join(self.cwd, name)
        with open(path, "w") as f:
            f.write(content)
        os.chmod(path, mode)

    def room_for_event(self):
        """Waits until each program that listens for the testbed's device events
        can take one more. The kernel's queue of them is all but unbounded; the
        testbed's holds ten, and a send to a full one aborts the test."""
        for path in glob.glob(os.path.join(self.testbed.get_root_dir(), "event[0-9]*")):
            with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as probe:
                try:
                    probe.connect(path)
                except OSError:
                    continue  # a listener that has gone
                room = select.poll()
                room.register(probe, select.POLLOUT)
                if not room.poll(30000):
                    raise AssertionError("no device event taken for 30 s by the listener at " + path)

    def event(self, send, *args):
        self.room_for_event()
        send(*args)

    def plug(self, port, tty, serial="", vendor="303a", product="1001"):
        """Plugs a board in; its tty is a pty of ours, so that a name can come back."""
        number = int(port.split("-")[1])
        device = ("P: %s%s\nN: bus/usb/001/%03d\nE: DEVNAME=/dev/bus/usb/001/%03d\nE: DEVTYPE=usb_device\n"
                  "E: SUBSYSTEM=usb\nA: idVendor=%s\nA: idProduct=%s\n%s\n"
                  % (USB, port, number + 4, number + 4, vendor, product,
                     "A: serial=%s\n" % serial if serial else ""))
        interface = ("P: %s%s/%s:1.0\nE: DEVTYPE=usb_interface\nE: SUBSYSTEM=usb\nA: bInterfaceNumber=00\n\n"
                     % (USB, port, port))
        port_tty = ("P: %s%s/%s:1.0/tty/%s\nE: DEVNAME=/dev/%s\nE: SUBSYSTEM=tty\nA: dev=166:0\n"
                    "L: device=../../../%s:1.0\n\n" % (USB, port, port, tty, tty, port))
        for description in (device, interface, port_tty):
            self.event(self.testbed.add_from_string, description)
        master, slave = os.openpty()
        self.addCleanup(lambda: os.close(master) or os.close(slave))
        os.makedirs(os.path.join(self.testbed.get_root_dir(), "dev"), exist_ok=True)
        os.symlink(os.ttyname(slave), os.path.join(self.testbed.get_root_dir(), "dev", tty))
        self.event(self.testbed.uevent, "/sys" + USB + port, "bind")

    def unplug(self, port, tty):
        os.remove(os.path.join(self.testbed.get_root_dir(), "dev", tty))
        for path in ("%s/%s:1.0/tty/%s" % (port, port, tty), "%s/%s:1.0" % (port, port), port):
            self.event(self.testbed.uevent, "/sys" + USB + path, "remove")
            self.testbed.remove_device("/sys" + USB + path)

    def replug_by_hand(self, stream, port, tty, again, serial, after):
        """Plugs a finished board in again as a person does: after seconds after its result, once it is seen gone."""
        time.sleep(after)
        self.unplug(port, tty)
        self.until(stream, lambda d: not self.card(d, serial)["present"])
        self.plug(port, again, serial)

    def runs(self, tty):
        try:
            with open(os.path.join(self.cwd, "calls." + tty)) as f:
                return len(f.read().splitlines())
        except FileNotFoundError:
            return 0

    def start(self, args=(), env=None, stdout=subprocess.PIPE, preexec=None, station=True):
        env = dict(board_env(self.testbed), XDG_STATE_HOME=os.path.join(self.cwd, "state"), **(env or {}))
        app = Vornhale(cwd=self.cwd, env=env, args=["--station"] * station + [*args], stdout=stdout, preexec=preexec)
        self.addCleanup(app.close)
        app.wait_serving()
        stream = EventStream(path=b"/station/event" if station else b"/event")
        self.addCleanup(stream.close)
        return app, stream

    def flash_two(self, **start):
        """Starts the station, flashes two boards; returns it once both records are in the record file."""
        app, stream = self.start(**start)
        self.plug("1-1", "ttyACM0", "F4:12:FA:00:00:01")
        self.plug("1-2", "ttyACM1", "F4:12:FA:00:00:02")
        self.assertTrue(wait_until(lambda: len(self.records()) == 2, 30), app.stderr)
        return app, stream

    def records(self, path=None):
        """The lines of the session's record file (or of path), each parsed; a cut line fails the test."""
        if path is None:
            folder = os.path.join(self.cwd, "state", "vornhale", "records")
            files = os.listdir(folder) if os.path.isdir(folder) else []
            self.assertLessEqual(len(files), 1, files)
            if not files:
                return []
            path = os.path.join(folder, files[0])
        with open(path, "rb") as f:
            return [json.loads(line) for line in f.read().decode().splitlines()]

    def until(self, stream, predicate, timeout=30):
        """Reads documents until one satisfies predicate; returns it."""
        deadline = time.monotonic() + timeout
        while True:
            document = json.loads(stream.read_event(timeout=max(0.1, deadline - time.monotonic())))
            if predicate(document):
                return document

    @staticmethod
    def card(document, serial):
        return next(b for b in document["boards"] if b["serial"] == serial)

    def test_each_board_is_flashed_once_in_parallel_and_a_failed_one_again_when_plugged_in_again(self):
        self.plug("1-1", "ttyACM0", "F4:12:FA:00:00:01")
        self.plug("1-2", "ttyACM1", "F4:12:FA:00:00:02")
        self.plug("1-3", "ttyUSB0", "0001", vendor="10c4", product="ea60")  # not a board: never opened
        # Each board's first run waits until the other's has started: they run at once.
        for tty, other in (("ttyACM0", "ttyACM1"), ("ttyACM1", "ttyACM0")):
            self.write("run." + tty, "touch up.%s; while [ ! -e up.%s ]; do sleep 0.05; done\n" % (tty, other))
        reason = 'Firmware: Failed to connect to ESP32-S3: No serial data received on "\\\\.\\ttyACM1".'
        self.write("say.ttyACM1", "A fatal error occurred: %s\n" % reason.partition(": ")[2])
        self.write("code.ttyACM1", "2")
        app, stream = self.start()
        done = self.until(stream, lambda d: d["totals"]["flashed"] == 1 and d["totals"]["failed"] == 1)
        self.assertEqual(self.card(done, "F4:12:FA:00:00:02")["reason"], reason)
        self.assertEqual(self.card(done, "F4:12:FA:00:00:02")["note"],
                         "The board did not answer: hold its BOOT button, press RESET, then release BOOT. "
                         "It is flashed again when it comes back on USB.")
        self.assertLess(self.card(done, "F4:12:FA:00:00:02")["percent"], 100)
        self.assertEqual(len(done["boards"]), 2)

        # The flashed board, plugged in again, is not flashed again. A board
        # plugged in later is flashed; the failed one, plugged in again, is
        # flashed again, three times in all.
        self.replug_by_hand(stream, "1-1", "ttyACM0", "ttyACM5", "F4:12:FA:00:00:01", after=1)
        self.plug("1-4", "ttyACM6", "F4:12:FA:00:00:03")
        previous = "ttyACM1"
        stopped = "Firmware: Packet content transfer stopped (received 25 bytes)"
        for attempts, again in ((2, "ttyACM7"), (3, "ttyACM8")):
            for name in ("say", "code"):
                with open(os.path.join(self.cwd, name + ".ttyACM1")) as f:
                    self.write("%s.%s" % (name, again), f.read())
            if attempts == 3:  # the third attempt fails for another reason
                self.write("say." + again, "A fatal error occurred: %s\n" % stopped.partition(": ")[2])
            self.replug_by_hand(stream, "1-2", previous, again, "F4:12:FA:00:00:02", after=1.5)
            previous = again
            self.until(stream, lambda d: self.card(d, "F4:12:FA:00:00:02")["stage"] == "failed"
                       and self.card(d, "F4:12:FA:00:00:02")["attempts"] == attempts)
        self.replug_by_hand(stream, "1-2", previous, "ttyACM9", "F4:12:FA:00:00:02", after=1.5)
        last = self.until(stream, lambda d: d["totals"]["flashed"] == 2
                          and "not flashed again" in self.card(d, "F4:12:FA:00:00:02")["note"])
        self.assertEqual(self.card(last, "F4:12:FA:00:00:01")["note"], "Flashed in this session: not flashed again.")
        self.assertEqual(last["batch"]["reasons"], [{"reason": reason, "count": 2}, {"reason": stopped, "count": 1}])
        self.assertRegex(last["batch"]["pace"], r"^[0-9.]+ boards an hour \u00b7 [0-9]+\.[0-9] s a flashed board \(median\)$")
        self.assertEqual([self.runs(t) for t in ("ttyACM0", "ttyACM5", "ttyACM6", "ttyACM1", "ttyACM7", "ttyACM8",
                                                 "ttyACM9", "ttyUSB0")], [2, 0, 2, 1, 1, 1, 0, 0])
        app.signal(signal.SIGTERM)
        status, out, err = app.finish(timeout=30)
        self.assertEqual(status, 0, err)
        records = [json.loads(line) for line in out.decode().splitlines() if line.startswith("{")]
        self.assertEqual(sorted((r["serial"], r["result"]) for r in records),
                         [("F4:12:FA:00:00:01", "flashed")] + [("F4:12:FA:00:00:02", "failed")] * 3
                         + [("F4:12:FA:00:00:03", "flashed")])
        self.assertTrue(all(r["time"].endswith("Z") and r["seconds"] >= 0 for r in records))
        self.assertEqual([r.get("reason") for r in records if r["serial"] == "F4:12:FA:00:00:02"],
                         [reason, reason, stopped])
        self.assertTrue(all(("reason" in r) == (r["result"] == "failed") for r in records), records)
        self.assertNotIn(b"Failed to connect", out.replace(b'"reason":"Firmware: Failed to connect', b""))
        self.check_summary(reason, stopped)

    def check_summary(self, reason, stopped):
        """The batch's figures and table from the record file the station wrote, as it is and
        with a line that is no record and a cut last line."""
        state = os.path.join(self.cwd, "state")
        summary = lambda *args: subprocess.run([os.environ["VORNHALE_BINARY"], "--summary", *args], timeout=30,
                                               capture_output=True, env=dict(os.environ, XDG_STATE_HOME=state))
        said = summary()  # the records folder
        self.assertEqual((said.returncode, said.stderr), (0, b""), said)
        text = said.stdout.decode()
        self.assertLessEqual(max(map(len, text.splitlines())), 80, text)
        self.assertIn("Records:       5 in 1 file\nFlashed:       2 boards\nFailed:        3 flashes\n", text)
        self.assertRegex(text, r"\nRate: +[0-9.]+ boards flashed an hour\nMedian: +[0-9]+\.[0-9] s a flashed board\n")
        self.assertTrue(text.replace("\n" + " " * 9, " ").endswith(  # a long reason goes on in the next lines
            "Failures by reason, most frequent first:\n      2  %s\n      1  %s\n" % (reason, stopped)), text)
        file = os.path.join(state, "vornhale", "records", os.listdir(os.path.join(state, "vornhale", "records"))[0])
        table = summary("--csv", file)
        self.assertEqual((table.returncode, table.stderr), (0, b""), table)
        rows = list(csv.reader(io.StringIO(table.stdout.decode(), newline="")))
        self.assertEqual(rows[0], ["time", "port", "serial", "mac", "result", "reason", "attempt", "seconds", "chip",
                                   "esptool", "application", "application_sha256", "verified"])
        self.assertTrue(table.stdout.endswith(b"\r\n") and table.stdout.count(b"\r\n") == 6, table.stdout)
        records = self.records(file)
        self.assertEqual([row[:3] + row[4:8] for row in rows[1:]],
                         [[r["time"], r["port"], r["serial"], r["result"], r.get("reason", ""), str(r["attempt"]),
                           "%.1f" % r["seconds"]] for r in records])
        self.assertEqual([row[12] for row in rows[1:]], ["yes" if r["result"] == "flashed" else "no" for r in records])
        with open(file, "rb") as f:
            lines = f.read().splitlines(keepends=True)
        damaged = os.path.join(self.cwd, "damaged.jsonl")
        with open(damaged, "wb") as f:
            f.write(b"".join(lines[:1] + [b"Vornhale: not a record\n"] + lines[1:-1]) + lines[-1][:40])
        for args in ((damaged,), ("--csv", damaged)):
            said = summary(*args)
            self.assertEqual((said.returncode, said.stderr.decode()), (0, "%s, line 2: not a record: skipped\n"
                                                                       "%s, line 6: not a record: skipped\n"
                                                                       % (damaged, damaged)), said)
        self.assertIn("Records:       4 in 1 file\n", summary(damaged).stdout.decode())
        self.assertEqual(summary(os.path.join(self.cwd, "esptool.exe")).returncode, 1)  # no record in it

    def reenumerate_after_resets(self, sockets, taken_by):
        """After each run its board leaves 0.3 to 1.0 s later, stays away 0.2 s and
        comes back under the lowest free ttyACM, as an ESP32-S3 does; taken_by is
        plugged into the tty of the first board without serial while it resets."""
        self.write("resets")
        at_rest, stopped, pending = threading.Event(), threading.Event(), []

        def bus(seen=0, taken_by=taken_by):
            while not stopped.is_set():
                with open(os.path.join(self.cwd, "resets")) as f:
                    ended = f.read().split()
                pending.extend((time.monotonic() + random.uniform(0.3, 1.0), "leave", tty) for tty in ended[seen:])
                seen = len(ended)
                (at_rest.clear if pending else at_rest.set)()
                due = min(pending, default=(time.monotonic() + 1,))
                if due[0] > time.monotonic():
                    time.sleep(0.01)
                    continue
                pending.remove(due)
                if due[1] == "leave":
                    board = sockets.pop(due[2])
                    self.unplug(board[0], due[2])
                    pending.append((due[0] + 0.2, "back", board))
                    if not board[1] and taken_by:
                        sockets[due[2]], taken_by = taken_by, None
                        time.sleep(0.06)
                        self.plug(sockets[due[2]][0], due[2], sockets[due[2]][1])
                else:
                    tty = next("ttyACM%d" % n for n in range(64) if "ttyACM%d" % n not in sockets)
                    sockets[tty] = due[2]
                    self.plug(due[2][0], tty, due[2][1])
                time.sleep(0.06)  # the station reads udev's news between looks; a socket holds ten

        thread = threading.Thread(target=bus)
        thread.start()
        self.addCleanup(thread.join)
        self.addCleanup(stopped.set)
        return at_rest

    def test_boards_that_reset_as_real_ones_each_get_both_images_once(self):
        # A board without serial whose tty another takes while it resets, one whose run
        # reaches another MAC, two devices with one serial (holding a bidi control).
        sockets = {"ttyACM0": ("1-1", "F4:12:FA:00:00:01"), "ttyACM1": ("1-2", "F4:12:FA:00:00:02"),
                   "ttyACM2": ("1-3", "F4:12:FA:00:00:03"), "ttyACM3": ("1-4", ""),
                   "ttyACM4": ("1-5", "F4:12:FA:00:00:05"), "ttyACM5": ("1-6", "F4:12:FA:00:00:07\u202e"),
                   "ttyACM6": ("1-7", "F4:12:FA:00:00:07\u202e")}
        for tty, (socket_, serial) in sockets.items():
            self.plug(socket_, tty, serial)
            self.write("run." + tty, "sleep 0.3\n")
        self.write("mac.F4:12:FA:00:00:05", "f4:12:fa:00:00:09")
        at_rest = self.reenumerate_after_resets(sockets, taken_by=("1-8", "F4:12:FA:00:00:08"))
        app, stream = self.start()
        self.until(stream, lambda d: d["totals"]["flashed"] == 5 and d["totals"]["in_progress"] == 0)
        self.assertTrue(at_rest.wait(10))
        settled = self.until(stream, lambda d: all(b["present"] for b in d["boards"] if b["stage"] == "flashed"))
        with open(os.path.join(self.cwd, "reached")) as f:
            reached = sorted(f.read().splitlines())
        self.assertEqual(reached, sorted(["%s %s" % (board, image) for board in
                                          ("F4:12:FA:00:00:01", "F4:12:FA:00:00:02", "F4:12:FA:00:00:03", "1-4",
                                           "F4:12:FA:00:00:08") for image in ("firmware", "fs")]
                                         + ["F4:12:FA:00:00:05 firmware"]))
        self.assertEqual(sorted((b["serial"], b["stage"], b["attempts"]) for b in settled["boards"]),
                         [("", "flashed", 1)] + [("F4:12:FA:00:00:0%d" % n, "flashed", 1) for n in (1, 2, 3)]
                         + [("F4:12:FA:00:00:05", "failed", 1)] + [("F4:12:FA:00:00:07\ufffd", "failed", 0)] * 2
                         + [("F4:12:FA:00:00:08", "flashed", 1)])
        app.signal(signal.SIGTERM)
        status, out, err = app.finish(timeout=30)
        self.assertEqual(status, 0, err)
        records = {}
        for r in map(json.loads, out.decode().splitlines()):
            records.setdefault(r["serial"], []).append((r["result"], r.get("reason", "")))
            if r["result"] == "flashed":
                # Every version's output names the chip, the MAC and itself, and verifies each image.
                self.assertEqual((r["chip"], r["mac"], r["esptool"] in ("4.7.0", "5.0.0", "5.3.1"), r["verified"]),
                                 ("ESP32-S3 (QFN56) (revision v0.2)", r["serial"].lower() or None, True,
                                  dict.fromkeys(BUILD_OUTPUT, True)), r)
        self.assertEqual(sorted({json.loads(line)["esptool"] for line in out.decode().splitlines()} - {None}),
                         ["4.7.0", "5.0.0", "5.3.1"])
        self.assertEqual(records.pop("F4:12:FA:00:00:05"), [(
            "failed", "Firmware: esptool reached another board: its MAC is f4:12:fa:00:00:09, this board's serial "
            "number is F4:12:FA:00:00:05")])
        self.assertEqual(records.pop("F4:12:FA:00:00:07\ufffd"),
                         [("failed", "two boards report the serial number F4:12:FA:00:00:07\ufffd: unplug one")] * 2)
        self.assertEqual(records, {serial: [("flashed", "")] for serial in (
            "", "F4:12:FA:00:00:01", "F4:12:FA:00:00:02", "F4:12:FA:00:00:03", "F4:12:FA:00:00:08")})

    def test_a_board_swapped_in_its_socket_mid_write_is_never_reached_by_the_first_run(self):
        # esptool 5.0.0 writes until its board leaves; the next one comes 1.5 s later, after its reopening starts.
        for station in (False, True):
            with self.subTest(station=station):
                self.setUp()
                self.write("run.ttyACM1", '[ -e writing ] || { touch writing; while [ -e "$port" ]; do sleep 0.05; done; }\n')
                self.plug("1-2", "ttyACM1", "F4:12:FA:00:00:01")
                app, stream = self.start(station=station)
                self.assertTrue(wait_until(lambda: os.path.exists(os.path.join(self.cwd, "writing")), 30))
                self.unplug("1-2", "ttyACM1")
                time.sleep(1.5)
                self.plug("1-2", "ttyACM1", "F4:12:FA:00:00:02")
                if station:
                    self.until(stream, lambda d: any(b["stage"] == "flashed" for b in d["boards"]))
                while not station and "upload" not in (text := stream.read_event(timeout=30)):
                    pass
                app.signal(signal.SIGTERM)
                self.assertEqual(app.finish(timeout=30)[0], 0 if station else 1)
                self.assertEqual(sorted(pathlib.Path(self.cwd, "reached").read_text().splitlines()), [
                    "F4:12:FA:00:00:01 firmware"] + ["F4:12:FA:00:00:02 firmware", "F4:12:FA:00:00:02 fs"] * station)
                unplugged = "the board was unplugged during the firmware run"
                self.assertEqual([(r["serial"], r["result"], r.get("reason")) for r in self.records()] if station else
                                 text, [("F4:12:FA:00:00:01", "failed", "Firmware: " + unplugged),
                                        ("F4:12:FA:00:00:02", "flashed", None)] if station else
                                 "Firmware upload failed: " + unplugged)

    def test_one_action_is_one_stop_and_a_hang_up_ignored_from_the_start_stops_nothing(self):
        # Each signal once the station took the one before: timeout's two; a terminal closed under it, its shell's
        # SIGHUP and su's SIGTERM; the terminal closed under nohup. Both flashes under way finish.
        for case in ("timeout", "terminal", "nohup"):
            with self.subTest(case=case):
                self.setUp()
                for tty in ("ttyACM0", "ttyACM1"):
                    self.write("run." + tty, "while [ ! -e release ]; do sleep 0.05; done\n")
                terminal, tty = os.openpty()
                self.addCleanup(os.close, tty)
                app, stream = self.start(preexec=lambda: (os.setsid(), os.open(os.ttyname(tty), os.O_RDWR),  # a terminal
                                                          case == "nohup" and signal.signal(signal.SIGHUP, signal.SIG_IGN)))
                self.plug("1-1", "ttyACM0", "F4:12:FA:00:00:01")
                self.plug("1-2", "ttyACM1", "F4:12:FA:00:00:02")
                self.until(stream, lambda d: d["totals"]["in_progress"] == 2)
                os.close(terminal) if case != "timeout" else self.addCleanup(os.close, terminal)
                for sig in {"timeout": (signal.SIGTERM,) * 2, "terminal": (signal.SIGHUP, signal.SIGTERM),
                            "nohup": (signal.SIGHUP,)}[case]:
                    app.deliver(sig)
                self.until(stream, lambda d: d["state"] == ("running" if case == "nohup" else "closing"))
                self.write("release")
                if case == "nohup":
                    self.assertTrue(wait_until(lambda: len(self.records()) == 2, 30))
                    app.deliver(signal.SIGINT)
                status, _, err = app.finish(timeout=30)
                self.assertEqual((status, [r["result"] for r in self.records()]), (0, ["flashed"] * 2), err)
                self.assertEqual((b"stop request 1:" in err, b"stop request 2" in err), (True, False), err)

    def test_only_a_stop_request_ends_the_station(self):
        # Standard output closed: nothing written there counts as a stop; nor
        # does a signal from a program the station started.
        self.plug("1-1", "ttyACM0", "F4:12:FA:00:00:01")
        self.plug("1-2", "ttyACM1", "F4:12:FA:00:00:02")
        self.write("run.ttyACM1", "kill -TERM $PPID; kill -HUP $PPID\nwhile [ ! -e release ]; do sleep 0.05; done\n")
        app, stream = self.start(preexec=lambda: os.close(1))
        self.until(stream, lambda d: self.card(d, "F4:12:FA:00:00:01")["stage"] == "flashed")
        self.write("release")
        last = self.until(stream, lambda d: d["totals"]["flashed"] == 2)
        self.assertEqual(last["state"], "running")
        self.assertIsNone(app.proc.poll())
        app.signal(signal.SIGINT)
        status, _, err = app.finish(timeout=30)
        self.assertEqual(status, 0, err)
        self.assertIn(b"nothing is flashing", err)
        # Each stop says where it came from.
        self.assertIn(b"stop request 1: SIGINT from process %d (" % os.getpid(), err)
        self.assertEqual(err.count(b"which Vornhale started: only a user's request stops it"), 4, err)  # both runs

    def test_a_board_unplugged_mid_flash_fails_alone_and_two_stops_stop_the_rest(self):
        self.plug("1-1", "ttyACM0", "F4:12:FA:00:00:01")
        self.plug("1-2", "ttyACM1", "F4:12:FA:00:00:02")
        self.plug("1-3", "ttyACM2", "F4:12:FA:00:00:03")
        # The first fails once its board is gone (as esptool's next read fails,
        # after the system has removed the device); the second runs until
        # released, the third until stopped.
        self.write("run.ttyACM0", "touch writing\nwhile [ ! -e gone ]; do sleep 0.05; done\nexit 1\n")
        self.write("run.ttyACM1", "while [ ! -e release ]; do sleep 0.05; done\n")
        self.write("run.ttyACM2", "trap '' TERM\nwhile :; do sleep 0.05; done\n")
        app, stream = self.start()
        self.until(stream, lambda d: d["totals"]["in_progress"] == 3)
        self.assertTrue(wait_until(lambda: os.path.exists(os.path.join(self.cwd, "writing")), 30))  # its run is under way
        self.unplug("1-1", "ttyACM0")
        self.write("gone")
        self.until(stream, lambda d: d["totals"]["failed"] == 1 and d["totals"]["in_progress"] == 2)
        # The first stop lets the flashes under way finish, both runs.
        app.signal(signal.SIGINT)
        self.until(stream, lambda d: d["state"] == "closing")
        self.write("release")
        self.until(stream, lambda d: self.card(d, "F4:12:FA:00:00:02")["stage"] == "flashed")
        app.signal(signal.SIGTERM)
        status, out, err = app.finish(timeout=30)
        self.assertEqual(status, 1, err)
        records = sorted((r["serial"], r["result"], r.get("reason", "").partition(" (")[0])
                         for r in map(json.loads, out.decode().splitlines()))
        self.assertEqual(records, [("F4:12:FA:00:00:01", "failed", "Firmware: the board was unplugged during the firmware run"),
                                   ("F4:12:FA:00:00:02", "flashed", ""),
                                   ("F4:12:FA:00:00:03", "failed", "Firmware: esptool was stopped before it finished")])


    def test_records_are_whole_in_the_file_after_a_kill_and_name_the_images_read_at_start(self):
        self.write("blink.ino.bin", "v1")
        # Runs until released, or until the test's folder is gone: the run outlives the killed station.
        self.write("run.ttyACM2", 'while [ ! -e "$here/release" ] && [ -d "$here" ]; do sleep 0.05; done\n')
        self.write("nostub.ttyACM1")
        images = tempfile.TemporaryDirectory(prefix="vornhale-images-")
        self.addCleanup(images.cleanup)
        app, stream = self.flash_two(env={"TMPDIR": images.name})
        self.write("blink.ino.bin", "v2")  # a rebuild: the station goes on flashing what it read
        self.until(stream, lambda d: "blink.ino.bin changed since the station started" in d["message"])
        self.plug("1-3", "ttyACM2", "F4:12:FA:00:00:03")
        self.plug("1-4", "ttyACM3", "F4:12:FA:00:00:04")
        self.assertTrue(wait_until(lambda: len(self.records()) == 3 and self.runs("ttyACM2") == 1, 30))
        app.proc.kill()
        app.finish()
        records = self.records()
        self.assertEqual(sorted(r["serial"] for r in records), ["F4:12:FA:00:00:0%d" % n for n in (1, 2, 4)])
        for r in records:
            self.assertEqual((r["result"], r["attempt"], r["application"], r["sha256"]["blink.ino.bin"],
                              all(r["verified"].values()), r["rom_loader"]),
                             ("flashed", 1, "blink.ino.bin", hashlib.sha256(b"v1").hexdigest(), True,
                              r["serial"] == "F4:12:FA:00:00:02"))
        for tty in ("ttyACM0", "ttyACM1", "ttyACM3"):  # ttyACM1's twice: without the stub, then through the ROM
            with open(os.path.join(self.cwd, "got." + tty)) as f:
                self.assertEqual(f.read(), "v1" * (1 + (tty == "ttyACM1")))
        # The killed station's copy goes when the next one starts. A sparse 64 MiB
        # fs.bin for a 64 KiB file system is refused without a copy.
        self.assertEqual(len(os.listdir(images.name)), 1)
        self.setUp()
        with open(os.path.join(self.cwd, "blink.ino.partitions.bin"), "wb") as f:
            f.write(struct.pack("<2sBBII16sI", b"\xaa\x50", 1, 0x82, 0x670000, 0x10000, b"spiffs", 0) + b"\xff" * 32)
        os.truncate(os.path.join(self.cwd, "fs.bin"), 64 << 20)
        app, _ = self.start(env={"TMPDIR": images.name})
        self.assertEqual(os.listdir(images.name), [])
        app.signal(signal.SIGTERM)
        self.assertEqual(app.finish(timeout=30)[0], 0)

    def test_a_limit_on_file_sizes_is_a_copy_failure_that_says_so_and_leaves_no_copy(self):
        # ulimit -f below the application's size, its signal not ignored.
        images = tempfile.TemporaryDirectory(prefix="vornhale-tmp-")
        self.addCleanup(images.cleanup)
        self.write("blink.ino.bin", "a" * (1 << 20))
        app, stream = self.start(env={"TMPDIR": images.name}, preexec=lambda: resource.setrlimit(
            resource.RLIMIT_FSIZE, (256 << 10, resource.RLIM_INFINITY)))
        self.assertIn(": File too large. Nothing is flashed.",
                      self.until(stream, lambda d: d["state"] == "no firmware")["message"])
        self.assertEqual(os.listdir(images.name), [])
        app.signal(signal.SIGTERM)
        self.assertEqual(app.finish(timeout=30)[0], 0)

    def test_standard_output_takes_whole_records_or_the_exit_says_it_did_not(self):
        for case in ("read late", "closed", "full", "closed at start"):
            with self.subTest(case=case):
                self.setUp()
                stdout, reader = subprocess.PIPE, None
                if case in ("read late", "closed"):
                    reader, stdout = os.pipe()
                    fcntl.fcntl(stdout, 1031, 4096)  # F_SETPIPE_SZ: a pipe that is full at once
                    os.write(stdout, b"-" * 4095 + b"\n")
                    if case == "closed":
                        os.close(reader)
                elif case == "full":
                    stdout = open("/dev/full", "wb")
                else:
                    stdout = "closed"
                images = tempfile.TemporaryDirectory(prefix="vornhale-tmp-")
                self.addCleanup(images.cleanup)
                app, _ = self.flash_two(stdout=stdout, env={"TMPDIR": images.name})
                if not isinstance(stdout, str):
                    os.close(stdout) if isinstance(stdout, int) else stdout.close()
                app.signal(signal.SIGTERM)
                if case == "read late":
                    time.sleep(1)  # then read, while it waits for the pipe to take the records
                    with os.fdopen(reader, "rb") as f:
                        lines = f.read().splitlines()[1:]
                    self.assertEqual(sorted(json.loads(line)["serial"] for line in lines),
                                     ["F4:12:FA:00:00:01", "F4:12:FA:00:00:02"])
                status, _, err = app.finish(timeout=30)
                self.assertEqual(status, 0 if case in ("read late", "closed at start") else 1, err)
                self.assertEqual(case in ("closed", "full"), b"could not be written whole to standard output" in err)
                self.assertEqual([r["result"] for r in self.records()], ["flashed", "flashed"])
                self.assertEqual(os.listdir(images.name), [])  # no copy left after the stop

    def test_a_record_file_that_cannot_be_written_keeps_the_records_until_it_can(self):
        # A full disk: the record is kept in memory and no other flash starts. A
        # folder that is not there yet: nothing starts until it is.
        # A FIFO nobody reads, whose open would wait for good: refused at once.
        os.mkfifo(os.path.join(self.cwd, "fifo"))
        with Vornhale(cwd=self.cwd, args=["--station", "--record", "fifo"]) as app:
            status, _, err = app.finish(timeout=10)
            self.assertEqual(status, 2, err)
            self.assertIn(b"fifo: it is a FIFO, a socket or a folder, not a file", err)
        for record, status in (("/dev/full", 1), (os.path.join(self.cwd, "later", "records.jsonl"), 0)):
            with self.subTest(record=record):
                self.setUp()
                app, stream = self.start(args=["--record", record])
                self.plug("1-1", "ttyACM0", "F4:12:FA:00:00:01")
                if status == 0:
                    self.until(stream, lambda d: d["state"] == "no record")
                    self.assertEqual(self.runs("ttyACM0"), 0)
                    os.mkdir(os.path.dirname(record))
                    self.assertTrue(wait_until(lambda: os.path.exists(record) and self.records(record), 10))
                else:
                    self.until(stream, lambda d: d["totals"]["flashed"] == 1 and d["state"] == "no record")
                app.signal(signal.SIGTERM)
                got, _, err = app.finish(timeout=30)
                self.assertEqual(got, status, err)
                if status:
                    self.assertIn(b"1 record(s) could not be kept", err)
                    self.assertIn(b'"serial":"F4:12:FA:00:00:01"', err)
                else:
                    self.assertEqual([r["serial"] for r in self.records(record)], ["F4:12:FA:00:00:01"])

    @unittest.skipUnless(os.geteuid() == 0, "plants a link as another user")
    def test_a_link_another_user_planted_at_the_record_path_is_not_followed(self):
        # In a shared folder, the kernel's protected_symlinks off: refused at
        # start, whether it names a third user's file or nothing yet; planted
        # after the start, no file is opened through it and no flash starts.
        record, victim, absent = (os.path.join(self.cwd, n) for n in ("records.jsonl", "victim", "absent"))
        self.write("victim", "their own\n")
        plant = lambda target: os.symlink(target, record) or os.lchown(record, 65534, 65534)
        for target in (victim, absent):
            plant(target)
            with Vornhale(cwd=self.cwd, args=["--station", "--record", record]) as app:
                self.assertEqual(app.finish(timeout=10)[::2], (2, b"Vornhale cannot keep its records in %s: %s\n" % (
                    record.encode(), b"it is a link that another user made, which Vornhale does not follow; name a "
                    b"file of your own")))
            os.remove(record)
        app, stream = self.start(args=["--record", record])
        plant(victim)
        self.plug("1-1", "ttyACM0", "F4:12:FA:00:00:01")
        self.assertIn("it is a link that another user made",
                      self.until(stream, lambda d: d["state"] == "no record")["message"])
        self.assertEqual(self.runs("ttyACM0"), 0)
        app.signal(signal.SIGTERM)
        self.assertEqual(app.finish(timeout=30)[0], 0)
        self.assertEqual((pathlib.Path(victim).read_text(), os.path.exists(absent)), ("their own\n", False))

    def test_a_record_file_keeps_its_old_lines_and_each_record_once_whole_after_a_cut(self):
        # Its last line cut by a crash; the disk full (a size limit) a hundred
        # bytes into the first record, then room again.
        record = os.path.join(self.cwd, "records.jsonl")
        old = json.dumps({"serial": "OLD", "note": "-" * 4000}) + "\n" + '{"serial": "CUT'
        self.write("records.jsonl", old)
        limit = len(old) + 1 + 100

        def limited():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
        app, stream = self.start(args=["--record", record], preexec=limited)
        self.plug("1-1", "ttyACM0", "F4:12:FA:00:00:01")
        self.until(stream, lambda d: d["totals"]["flashed"] == 1 and d["state"] == "no record")
        self.assertEqual(os.path.getsize(record), limit)
        resource.prlimit(app.proc.pid, resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        self.assertTrue(wait_until(lambda: pathlib.Path(record).read_bytes().endswith(b"\n"), 30))
        app.signal(signal.SIGTERM)
        status, _, err = app.finish(timeout=30)
        self.assertEqual(status, 0, err)
        with open(record) as f:
            lines = f.read().split("\n")
        self.assertEqual(lines[:2], old.split("\n"))
        self.assertEqual([json.loads(line)["serial"] for line in lines[2:-1]], ["F4:12:FA:00:00:01"])
        self.assertEqual(lines[-1], "")

    @unittest.skipUnless(os.geteuid() == 0, "mounts a file system of the test's own")
    def test_the_record_file_is_proven_before_the_first_flash_and_appears_with_it(self):
        # The state folder on a file system of the station's own (a mount
        # namespace): full, read-only; or no flash at all, also when the port is taken.
        libc = ctypes.CDLL(None, use_errno=True)

        def own_state(options, flags=0, fill=False):
            def mount():
                state = os.path.join(self.cwd, "state").encode()
                if libc.unshare(0x20000) or libc.mount(b"none", b"/", None, 0x4000 | 0x40000, None) \
                        or libc.mount(b"tmpfs", state, b"tmpfs", flags, options):
                    os._exit(126)
                if fill:
                    filler = os.open(os.path.join(state, b"filler"), os.O_WRONLY | os.O_CREAT)
                    try:
                        while os.write(filler, b"-" * 4096):
                            pass
                    except OSError:
                        os.close(filler)
            return mount

        folder = lambda app: "/proc/%d/root%s/state/vornhale/records" % (app.proc.pid, self.cwd)
        for case in ("full", "read-only", "nothing flashed", "port taken"):
            with self.subTest(case=case), contextlib.ExitStack() as ends:  # each case ends its station
                self.setUp()
                os.mkdir(os.path.join(self.cwd, "state"))
                if case == "port taken":
                    holder = socket.socket()
                    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                    holder.bind(("127.0.0.1", 5000))
                    holder.listen()
                    ends.callback(holder.close)
                    app = Vornhale(cwd=self.cwd, env=dict(board_env(self.testbed),
                                                          XDG_STATE_HOME=os.path.join(self.cwd, "state")),
                                   args=["--station"])
                    ends.callback(app.close)
                    self.assertEqual(app.finish(timeout=30)[0], 1)
                    self.assertEqual(os.listdir(os.path.join(self.cwd, "state")), [])
                    continue
                self.plug("1-1", "ttyACM0", "F4:12:FA:00:00:01")
                self.plug("1-2", "ttyACM1", "F4:12:FA:00:00:02")
                if case == "nothing flashed":
                    os.remove(os.path.join(self.cwd, "blink.ino.bin"))
                    app, stream = self.start()
                    ends.callback(app.close)
                    self.until(stream, lambda d: d["state"] == "no firmware")
                    app.signal(signal.SIGTERM)
                    self.assertEqual(app.finish(timeout=30)[0], 0)
                    self.assertEqual(os.listdir(os.path.join(self.cwd, "state")), [])
                    continue
                mount = own_state(b"size=256k", fill=True) if case == "full" else own_state(b"size=256k", flags=1)
                app, stream = self.start(preexec=mount)
                ends.callback(app.close)
                why = "No space left on device" if case == "full" else "Read-only file system"
                held = self.until(stream, lambda d: d["state"] == "no record")
                self.assertIn(why, held["message"])
                self.assertEqual((self.runs("ttyACM0"), self.runs("ttyACM1")), (0, 0))
                if case == "full":
                    os.remove("/proc/%d/root%s/state/filler" % (app.proc.pid, self.cwd))
                    self.until(stream, lambda d: d["totals"]["flashed"] == 2)
                    self.assertTrue(wait_until(lambda: len(self.records(os.path.join(
                        folder(app), os.listdir(folder(app))[0]))) == 2, 10))
                app.signal(signal.SIGTERM)
                status, _, err = app.finish(timeout=30)
                self.assertEqual(status, 0, err)
                self.assertIn(why.encode(), err)

    def test_a_folder_name_cannot_forge_a_record(self):
        # A folder the scan cannot search (its path is too long to open) is
        # named in a message: the newline and record in its name stay in it.
        name = 'x\n{"time": "2026-12-08T09:12:03Z", "port": "COM9", "serial": "FORGED", "result": "flashed"}\n'
        folder = os.open(self.cwd, os.O_RDONLY)
        for level in range(24):
            os.mkdir(name if level == 0 else "d" * 200, dir_fd=folder)
            inner = os.open(name if level == 0 else "d" * 200, os.O_RDONLY, dir_fd=folder)
            os.close(folder)
            folder = inner
        os.close(folder)
        app, _ = self.start()
        app.signal(signal.SIGTERM)
        status, out, err = app.finish(timeout=30)
        self.assertEqual((status, out), (0, b""), err)
        self.assertIn(b'x\\x0a{"time"', err)


if __name__ == "__main__":
    unittest.main(argv=sys.argv)
