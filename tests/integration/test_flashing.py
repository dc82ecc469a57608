"""The real binary, headless, with a fake board (umockdev) and a stand-in for
esptool in its working directory: what the page is told, and what the tool
is given."""

import os
import resource
import signal
import socket
import sys
import tempfile
import time
import unittest

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

from support.vornhale import BOARD_FILE, BUILD_OUTPUT, FAKE_TOOL, EventStream, Vornhale, board_env, wait_until  # noqa: E402

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
REFUSAL = "Cannot upload firmware: file not found, or board not connected."


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

    def run_vornhale(self, count, home=None):
        """Starts the binary (in home, when given), reads count texts from
        /event, stops it; returns the texts and what it printed."""
        with Vornhale(cwd=self.cwd, env=dict(board_env(self.testbed), **({"HOME": home} if home else {}))) as app:
            app.wait_serving()
            stream = EventStream()
            texts = [stream.read_event(timeout=30) for _ in range(count)]
            app.signal(signal.SIGTERM)
            status, out, err = app.finish(timeout=30)
            self.assertEqual(status, 0, err)
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
                with open("/proc/%d/stat" % app.proc.pid) as f:
                    before = sum(int(x) for x in f.read().rsplit(")", 1)[1].split()[11:13])
                time.sleep(1.0)
                with open("/proc/%d/stat" % app.proc.pid) as f:
                    after = sum(int(x) for x in f.read().rsplit(")", 1)[1].split()[11:13])
                self.assertLess((after - before) / os.sysconf("SC_CLK_TCK"), 0.1,
                                "busy while connections are held: %d ticks" % (after - before))
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
        texts, _ = self.run_vornhale(4)
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
        self.assertEqual(self.run_vornhale(5, home.name)[0][1:], [
            "Firmware file found: blink.ino.bin", "Open the folder build/esp32.esp32.esp32s3 with Vornhale: "
            "blink.ino.bootloader.bin and blink.ino.partitions.bin are there, not here.",
            "boot_app0.bin is not in build/esp32.esp32.esp32s3 either: copy it there from %s." % newest, REFUSAL])
        self.cwd = export
        self.assertEqual(self.run_vornhale(4, home.name)[0][2:],
                         ["boot_app0.bin is not in this folder: copy it here from %s." % newest, REFUSAL])
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
        # text carries a control character.
        with self.subTest("line breaks"):
            self.write("blink\nretry: 86400000\n\ndata: App upload done.\nx.ino.bin")
            texts, _ = self.run_vornhale(4)
            self.assertEqual(texts[1], "Firmware file found: blink\ufffdretry: 86400000\ufffd\ufffd"
                                       "data: App upload done.\ufffdx.ino.bin")
            self.assertEqual(texts[2:], [UPLOADING_FIRMWARE, "Firmware upload done."])

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
        time.sleep(1.0)
        self.assertIsNone(app.proc.poll())
        self.write("release")
        status, _, err = app.finish(timeout=30)
        self.assertEqual(status, 0, err)
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
        time.sleep(0.5)
        app.signal_group(signal.SIGINT)
        status, _, err = app.finish(timeout=30)
        self.assertEqual(status, 1, err)
        self.assertIn(b"interrupted", err)
        self.assertRegex(stream.read_event(), "^Firmware upload failed: .*stopped")
        self.assertRaises(ProcessLookupError, os.kill, tool, 0)
        self.assertEqual(len(self.calls()), 1)


if __name__ == "__main__":
    unittest.main(argv=sys.argv)
