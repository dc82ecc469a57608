"""The real vornhale.exe under Wine, in a network namespace of its own (the
caller's: see CMakeLists.txt) with Wine's server started inside it, and a
display (Xvfb) for the stop window: what it serves, what it flashes, and how
it stops."""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
from support.vornhale import EXIT_EVENT, EventStream, connections_accepted, other_listener, port_open, wait_until  # noqa: E402

EXE = os.environ["VORNHALE_EXE"]
FAKE_ESPTOOL = os.environ["VORNHALE_FAKE_ESPTOOL"]
PAGE = os.environ["VORNHALE_PAGE_SOURCE"]
STYLESHEET = os.environ["VORNHALE_STYLESHEET_SOURCE"]
WINE_ENV = dict(os.environ, WINEPREFIX=os.environ["VORNHALE_WINEPREFIX"], WINEDEBUG="-all",
                WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d")

NO_DISPLAY = b"No display available: the status page is served at http://127.0.0.1:5000 until Ctrl+C.\r\n"
UPLOADING_FIRMWARE = '<span aria-busy="true">Uploading firmware...</span>'
UPLOADING_APP = '<span aria-busy="true">Uploading app...</span>'
BOARD_KEY = r"HKLM\System\CurrentControlSet\Enum\USB\VID_303A&PID_1001&MI_00"


def wine(*args, check=True):
    return subprocess.run(["wine", *args], env=WINE_ENV, check=check, timeout=60,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def firmware_args(port, base):
    return ["--chip", "esp32s3", "--port", port, "--baud", "921600", "--before", "default_reset", "--after",
            "hard_reset", "write_flash", "-z", "--flash_mode", "keep", "--flash_freq", "keep", "--flash_size", "keep",
            "0x0", base + ".ino.bootloader.bin", "0x8000", base + ".ino.partitions.bin", "0xe000", "boot_app0.bin",
            "0x10000", base + ".ino.bin"]


def file_system_args(port):
    return ["--chip", "esp32s3", "--port", port, "--baud", "921600", "--before", "default_reset", "--after",
            "hard_reset", "write_flash", "-z", "--flash_mode", "dio", "--flash_freq", "80m", "--flash_size", "detect",
            "6750208", "fs.bin"]


class VornhaleExe:
    """vornhale.exe started in folder; its output goes to files (Wine's own
    helper processes would hold a pipe open past the program's end)."""

    def __init__(self, folder):
        self.folder = folder
        self.out = open(os.path.join(folder, "..", "stdout.txt"), "w+b")
        self.err = open(os.path.join(folder, "..", "stderr.txt"), "w+b")
        self.proc = subprocess.Popen(["wine", EXE], cwd=folder, env=WINE_ENV, stdout=self.out, stderr=self.err)

    def wait_serving(self):
        if not wait_until(lambda: port_open() or self.proc.poll() is not None, 20) or self.proc.poll() is not None:
            raise AssertionError("vornhale.exe is not serving: %r" % (self.finish(1),))

    def stop(self):
        """As taskkill without /F does: a close request to its windows."""
        wine("taskkill", "/IM", "vornhale.exe")

    def finish(self, timeout=20):
        try:
            status = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            status = None
        self.out.seek(0)
        self.err.seek(0)
        return status, self.out.read(), self.err.read()

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.out.close()
        self.err.close()


class WindowsBinary(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        # Sockets live in the namespace of Wine's server: start it here.
        os.makedirs(WINE_ENV["WINEPREFIX"], exist_ok=True)
        subprocess.run(["wineserver", "-p"], env=WINE_ENV, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Makes the prefix the first time; starts the session's own processes,
        # which outlive every program, with no pipe of ours to hold.
        subprocess.run(["wineboot", "-u"], env=WINE_ENV, check=True, timeout=120,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=WINE_ENV)

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="vornhale-win-")
        self.addCleanup(self.tmp.cleanup)
        self.cwd = os.path.join(self.tmp.name, "work")
        os.mkdir(self.cwd)

    def start(self):
        app = VornhaleExe(self.cwd)
        self.addCleanup(app.close)
        app.wait_serving()
        return app

    def seed_board(self, port):
        instance = BOARD_KEY + r"\7&2bd5f9e&0&0000"
        wine("reg", "add", instance, "/v", "ClassGUID", "/d", "{4d36e978-e325-11ce-bfc1-08002be10318}", "/f")
        wine("reg", "add", instance, "/v", "Class", "/d", "Ports", "/f")
        wine("reg", "add", instance + r"\Device Parameters", "/v", "PortName", "/d", port, "/f")
        self.addCleanup(wine, "reg", "delete", BOARD_KEY, "/f", check=False)

    def build_output(self, base):
        for name in (base + ".ino.bin", base + ".ino.bootloader.bin", base + ".ino.partitions.bin", "boot_app0.bin",
                     "fs.bin"):
            with open(os.path.join(self.cwd, name), "wb") as f:
                f.write(b"\xff" * 16)
        shutil.copy(FAKE_ESPTOOL, os.path.join(self.cwd, "esptool.exe"))

    def calls(self):
        result = []
        while os.path.exists(os.path.join(self.cwd, "call.%d" % len(result))):
            with open(os.path.join(self.cwd, "call.%d" % len(result)), encoding="utf-8") as f:
                result.append(f.read().splitlines())
        return result

    def test_serves_the_page_and_events_and_stops_every_stream(self):
        app = self.start()
        import urllib.request
        for path, content_type, source in (("/", "text/html", PAGE), ("/pico.red.min.css", "text/css", STYLESHEET)):
            with urllib.request.urlopen("http://127.0.0.1:5000" + path, timeout=10) as reply, open(source, "rb") as f:
                self.assertEqual(reply.headers["Content-Type"], content_type)
                self.assertEqual(reply.read(), f.read(), path)
        first = EventStream()
        self.addCleanup(first.close)
        self.assertTrue(first.head.startswith(b"HTTP/1.1 200 OK\r\n"), first.head)
        self.assertIn(b"Content-Type: text/event-stream\r\n", first.head)
        self.assertEqual([first.read_event(timeout=10) for _ in range(4)],
                         ["The board is not connected.", "Device port: not found", "Firmware file found: .ino.bin",
                          "Cannot upload firmware: file not found, or board not connected."])
        second = EventStream()
        self.addCleanup(second.close)
        time.sleep(0.5)  # both streams wait for a text
        app.stop()
        status, out, err = app.finish()
        self.assertEqual(status, 0, err)
        self.assertIn(NO_DISPLAY, err)
        self.assertTrue(first.read_to_close().endswith(EXIT_EVENT))
        self.assertTrue(second.read_to_close().endswith(EXIT_EVENT))
        self.assertFalse(port_open())

    def test_flashes_the_board_in_the_registry_with_the_templates_arguments(self):
        self.seed_board("COM7")
        self.build_output("blink")
        app = self.start()
        stream = EventStream()
        self.addCleanup(stream.close)
        self.assertEqual([stream.read_event(timeout=20) for _ in range(6)],
                         ["Device port: COM7", "Firmware file found: blink.ino.bin", UPLOADING_FIRMWARE,
                          "Firmware upload done.", UPLOADING_APP, "App upload done."])
        app.stop()
        self.assertEqual(app.finish()[0], 0)
        self.assertEqual(self.calls(), [firmware_args("COM7", "blink"), file_system_args("COM7")])

    def test_names_an_interpreter_or_the_code_page_would_change_arrive_whole(self):
        self.seed_board("COM7")
        for base in ("a&b %PATH% ^x !y! (z)", "Schl\u00fcssel \u0431\u043b\u0438\u043d\u043a \u706b \U0001f525"):
            with self.subTest(base=base):
                for name in os.listdir(self.cwd):
                    os.remove(os.path.join(self.cwd, name))
                self.build_output(base)
                app = self.start()
                stream = EventStream()
                self.addCleanup(stream.close)
                texts = [stream.read_event(timeout=20) for _ in range(6)]
                shown = base.replace("&", "&amp;")
                self.assertEqual(texts[1], "Firmware file found: " + shown + ".ino.bin")
                self.assertEqual(texts[-1], "App upload done.")
                app.stop()
                self.assertEqual(app.finish()[0], 0)
                self.assertEqual(self.calls(), [firmware_args("COM7", base), file_system_args("COM7")])

    def test_a_port_name_that_would_add_arguments_is_refused(self):
        # Windows file names cannot hold a double quote; a device's PortName can.
        self.seed_board('COM7" --erase-all "x')
        self.build_output("blink")
        app = self.start()
        stream = EventStream()
        self.addCleanup(stream.close)
        texts = [stream.read_event(timeout=20) for _ in range(3)]
        self.assertEqual(texts[2], 'Cannot upload firmware: the port name "COM7&quot; --erase-all &quot;x" holds a '
                                   'double quote, which esptool would not receive unchanged.')
        app.stop()
        self.assertEqual(app.finish()[0], 0)
        self.assertEqual(self.calls(), [])

    def test_port_taken_by_another_program(self):
        holder = other_listener()
        try:
            app = VornhaleExe(self.cwd)
            self.addCleanup(app.close)
            status, out, err = app.finish()
            self.assertEqual(status, 1)
            self.assertRegex(err, rb"Vornhale cannot listen on 127\.0\.0\.1:5000: .+\r\n")
            self.assertNotIn(NO_DISPLAY, err)
            self.assertEqual(connections_accepted(holder), 0)
        finally:
            holder.close()


if __name__ == "__main__":
    unittest.main(argv=sys.argv)
