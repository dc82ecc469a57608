"""The real vornhale.exe under Wine, in a network namespace of its own (the
caller's: see CMakeLists.txt) with Wine's server started inside it, and a
display (Xvfb): what it serves, what it flashes, how it stops, and its window
over a stand-in WebView2 runtime (Wine has none) or, without one, the default
browser (a stand-in registered for http URLs)."""

import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
from support.vornhale import (ESPTOOL_OUTPUT, EXIT_EVENT, EventStream, connections_accepted,  # noqa: E402
                              other_listener, port_open, wait_until)

EXE = os.environ["VORNHALE_EXE"]
FAKE_ESPTOOL = os.environ["VORNHALE_FAKE_ESPTOOL"]
STANDIN = os.environ["VORNHALE_WEBVIEW2_STANDIN"]
BROWSER_LOG = os.path.join(os.path.dirname(STANDIN), "browser.log")
PAGE = os.environ["VORNHALE_PAGE_SOURCE"]
STYLESHEET = os.environ["VORNHALE_STYLESHEET_SOURCE"]
WINE_ENV = dict(os.environ, WINEPREFIX=os.environ["VORNHALE_WINEPREFIX"], WINEDEBUG="-all",
                WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d")

NO_WINDOW = (b"Vornhale cannot show its window (the Microsoft Edge WebView2 runtime is not installed): the status "
             b"page is served at http://127.0.0.1:5000 until its message is closed.\r\n")
UPLOADING_FIRMWARE = '<span aria-busy="true">Uploading firmware...</span>'
UPLOADING_APP = '<span aria-busy="true">Uploading app...</span>'
BOARD_KEY = r"HKLM\System\CurrentControlSet\Enum\USB\VID_303A&PID_1001&MI_00"
COMPOSITE_KEY = r"HKLM\System\CurrentControlSet\Enum\USB\VID_303A&PID_1001"
# What esptool prints as it writes the firmware's four images (16 bytes each
# here), and fs.bin: each line a step further.
FIRMWARE_PROGRESS = "".join("Writing at 0x%08x... (%d %%)\r\n" % line for line in
                            ((0x0, 100), (0x8000, 100), (0xe000, 100), (0x10000, 50), (0x10000, 100)))
FIRMWARE_FIGURES = {25, 50, 75, 87, 100}
APP_PROGRESS = "Writing at 0x00670000... (50 %)\r\nWriting at 0x00670000... (100 %)\r\n"
RUNTIME_KEY = r"HKCU\Software\Microsoft\EdgeUpdate\Clients\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}"
MESSAGE_BOX = "#32770"


def wine(*args, check=True):
    return subprocess.run(["wine", *args], env=WINE_ENV, check=check, timeout=60,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def read_text(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def wine_output(*args):
    return subprocess.run(["wine", *args], env=WINE_ENV, check=True, timeout=60, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL).stdout.decode().strip()


def close_window(window_class, count=1):
    """A close request to the first top-level window of window_class, as its close button makes (count times
    at once)."""
    wine("rundll32", STANDIN + ",close_window", window_class, str(count))


def wine_processes(name):
    """Linux ids of our Wine prefix's processes running the program name."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            environment, program = (pathlib.Path("/proc", pid, what).read_bytes() for what in ("environ", "cmdline"))
        except OSError:
            continue
        program = program.split(b"\0")[0].lower().replace(b"\\", b"/")
        ours = b"WINEPREFIX=%s\0" % WINE_ENV["WINEPREFIX"].encode() in environment
        if ours and program.split(b"/")[-1] == name.encode():
            found.append(int(pid))
    return found


def cpu_seconds(pid):
    fields = pathlib.Path("/proc/%d/stat" % pid).read_text().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def progress_text(stage, percent):
    return ('<span aria-busy="true">Uploading %s... %d %%</span><progress value="%d" max="100" '
            'style="--pico-progress-color: #2f6fce"></progress>' % (stage, percent, percent))


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

    def __init__(self, folder, exe=EXE, unread_output=False, args=()):
        self.folder = folder
        self.out = open(os.path.join(folder, "..", "stdout.txt"), "w+b")
        self.err = open(os.path.join(folder, "..", "stderr.txt"), "w+b")
        self.proc = subprocess.Popen(["wine", exe, *args], cwd=folder, env=WINE_ENV, stderr=self.err,
                                     stdout=subprocess.PIPE if unread_output else self.out)

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
        if self.proc.stdout:
            self.proc.stdout.close()
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
        # The default browser: records the URL it is asked to open.
        windows_standin = wine_output("winepath", "-w", STANDIN)
        wine("reg", "add", r"HKLM\Software\Classes\http\shell\open\command", "/ve", "/d",
             "rundll32.exe %s,record_url %%1" % windows_standin, "/f")
        cls.roaming = wine_output("cmd", "/c", "echo %APPDATA%")
        cls.local = wine_output("winepath", "-u", wine_output("cmd", "/c", "echo %LOCALAPPDATA%"))

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=WINE_ENV)

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="vornhale-win-")
        self.addCleanup(self.tmp.cleanup)
        self.cwd = os.path.join(self.tmp.name, "work")
        os.mkdir(self.cwd)
        if os.path.exists(BROWSER_LOG):
            os.remove(BROWSER_LOG)

    def start(self, args=()):
        app = VornhaleExe(self.cwd, args=args)
        self.addCleanup(app.close)
        app.wait_serving()
        return app

    def seed_board(self, port, function="7&2bd5f9e&0&0000", serial=None):
        """A board's serial function as Windows lists it; with a serial
        number, its composite device too, named after it. The port's name
        comes last: until then the board is not listed."""
        instance = BOARD_KEY + "\\" + function
        if serial is not None:
            wine("reg", "add", COMPOSITE_KEY + "\\" + serial, "/v", "ClassGUID", "/d",
                 "{36fc9e60-c465-11cf-8056-444553540000}", "/f")
            # CM_DEVCAP_REMOVABLE | CM_DEVCAP_UNIQUEID: its identifier is its serial number.
            wine("reg", "add", COMPOSITE_KEY + "\\" + serial, "/v", "Capabilities", "/t", "REG_DWORD", "/d", "20", "/f")
            self.addCleanup(wine, "reg", "delete", COMPOSITE_KEY, "/f", check=False)
        wine("reg", "add", instance, "/v", "ClassGUID", "/d", "{4d36e978-e325-11ce-bfc1-08002be10318}", "/f")
        wine("reg", "add", instance, "/v", "Class", "/d", "Ports", "/f")
        self.addCleanup(wine, "reg", "delete", BOARD_KEY, "/f", check=False)
        if serial is not None:
            wine("rundll32", STANDIN + ",set_parent", instance.split("Enum\\")[1], COMPOSITE_KEY.split("Enum\\")[1]
                 + "\\" + serial)
        wine("reg", "add", instance + r"\Device Parameters", "/v", "PortName", "/d", port, "/f")

    def install_runtime(self, fail=False, version="120.0.2210.91"):
        """The stand-in, installed for this user as the Evergreen runtime is;
        returns the file its calls go to."""
        folder = os.path.normpath(os.path.join(self.local, "Microsoft", "EdgeWebView", "Application", version,
                                               "EBWebView", "x64"))
        os.makedirs(folder, exist_ok=True)
        self.addCleanup(shutil.rmtree, os.path.join(self.local, "Microsoft", "EdgeWebView"), ignore_errors=True)
        shutil.copy(STANDIN, os.path.join(folder, "EmbeddedBrowserWebView.dll"))
        if fail:
            open(os.path.join(folder, "fail"), "w").close()
        wine("reg", "add", RUNTIME_KEY, "/v", "pv", "/d", version, "/f")
        self.addCleanup(wine, "reg", "delete", RUNTIME_KEY, "/f", check=False)
        return os.path.join(folder, "calls.log")

    def build_output(self, base):
        for name in (base + ".ino.bin", base + ".ino.bootloader.bin", base + ".ino.partitions.bin", "boot_app0.bin",
                     "fs.bin"):
            with open(os.path.join(self.cwd, name), "wb") as f:
                f.write(b"\xff" * 16)
        shutil.copy(FAKE_ESPTOOL, os.path.join(self.cwd, "esptool.exe"))

    def calls(self, port=None):
        """The stand-in's calls (on port, when it counts them by port)."""
        name = "call.%d" if port is None else "call." + port + ".%d"
        result = []
        while os.path.exists(os.path.join(self.cwd, name % len(result))):
            with open(os.path.join(self.cwd, name % len(result)), encoding="utf-8") as f:
                result.append(f.read().splitlines())
        return result

    def esptool_forms(self, **forms):
        """Real esptool output beside the stand-in, and the version each port's esptool prints (form_COM7="v5.3.1")."""
        for name in os.listdir(ESPTOOL_OUTPUT):
            shutil.copy(os.path.join(ESPTOOL_OUTPUT, name), self.cwd)
        self.write(**forms)

    def write(self, **files):
        """Files for the stand-in (name: content; "_" stands for ".")."""
        for name, content in files.items():
            with open(os.path.join(self.cwd, name.replace("_", ".")), "w", newline="") as f:
                f.write(content)

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
        self.assertIn(NO_WINDOW, err)
        self.assertTrue(first.read_to_close().endswith(EXIT_EVENT))
        self.assertTrue(second.read_to_close().endswith(EXIT_EVENT))
        self.assertFalse(port_open())

    def test_flashes_the_board_in_the_registry_with_the_templates_arguments(self):
        # Without a runtime: the page opens in the default browser instead.
        self.seed_board("COM7")
        self.build_output("blink")
        app = self.start()
        stream = EventStream()
        self.addCleanup(stream.close)
        self.assertEqual([stream.read_event(timeout=20) for _ in range(6)],
                         ["Device port: COM7", "Firmware file found: blink.ino.bin", UPLOADING_FIRMWARE,
                          "Firmware upload done.", UPLOADING_APP, "App upload done."])
        self.assertTrue(wait_until(lambda: os.path.exists(BROWSER_LOG), 10))
        with open(BROWSER_LOG) as f:
            self.assertEqual(f.read(), "http://127.0.0.1:5000\n")
        app.stop()
        self.assertEqual(app.finish()[0], 0)
        self.assertEqual(self.calls(), [firmware_args("COM7", "blink"), file_system_args("COM7")])

    def test_names_an_interpreter_or_the_code_page_would_change_arrive_whole(self):
        # The build folder's too, dropped on vornhale.exe: Explorer gives its whole path.
        self.seed_board("COM7")
        started_in, self.cwd = self.cwd, os.path.join(self.cwd, "Sketch %PATH% \u00fc\u706b")
        os.mkdir(self.cwd)
        for base in ("a&b %PATH% ^x !y! (z)", "Schl\u00fcssel \u0431\u043b\u0438\u043d\u043a \u706b \U0001f525"):
            with self.subTest(base=base):
                for name in os.listdir(self.cwd):
                    os.remove(os.path.join(self.cwd, name))
                self.build_output(base)
                app = VornhaleExe(started_in, args=[wine_output("winepath", "-w", self.cwd)])
                self.addCleanup(app.close)
                app.wait_serving()
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
        for runtime in (False, True):
            with self.subTest(runtime=runtime):
                calls_log = self.install_runtime() if runtime else None
                holder = other_listener()
                try:
                    app = VornhaleExe(self.cwd)
                    self.addCleanup(app.close)
                    # The reason is shown until the user closes it: in the
                    # window, or without a runtime in a message box.
                    if runtime:
                        wait_until(lambda: "NavigateToString" in read_text(calls_log) or app.proc.poll() is not None, 20)

                    def closed():  # asked again and again: the message box may not be up yet
                        close_window("VornhaleWindow" if runtime else MESSAGE_BOX)
                        return app.proc.poll() is not None

                    wait_until(closed, 20)
                    status, out, err = app.finish()
                    self.assertEqual(status, 1)
                    self.assertRegex(err, rb"Vornhale cannot listen on 127\.0\.0\.1:5000: .+\r\n")
                    self.assertNotIn(NO_WINDOW, err)
                    self.assertEqual(connections_accepted(holder), 0)
                    self.assertFalse(os.path.exists(BROWSER_LOG))
                    if runtime:
                        page = [line for line in read_text(calls_log).splitlines() if line.startswith("NavigateToString ")]
                        self.assertEqual(len(page), 1)
                        self.assertIn("port 5000 on 127.0.0.1 is in use by another program", page[0])
                        self.assertTrue(page[0].startswith("NavigateToString <!DOCTYPE html>"), page[0][:80])
                finally:
                    holder.close()

    def test_the_window_hosts_the_page_and_closing_it_lets_the_flash_finish(self):
        calls_log = self.install_runtime()
        self.seed_board("COM7")
        self.build_output("blink")
        with open(os.path.join(self.cwd, "sleep.0"), "w") as f:
            f.write("3000")
        app = self.start()
        self.assertTrue(wait_until(lambda: "put_Bounds" in read_text(calls_log).partition("resizing")[2], 20),
                        read_text(calls_log))
        calls = [line.split(" | ") for line in read_text(calls_log).splitlines()]
        self.assertEqual(calls[0], ["environment entry=runtime join=1 type=0 profile=%s\\vornhale.exe options=none"
                                    % self.roaming])
        names = [call[0].split(" ")[0] for call in calls]
        self.assertEqual(names[1:3], ["CreateCoreWebView2Controller", "put_AreDevToolsEnabled"])
        self.assertEqual(calls[2][0], "put_AreDevToolsEnabled 1")
        navigate = names.index("Navigate")
        # Within a 1366 by 768 screen's work area.
        self.assertEqual(calls[navigate], ["Navigate http://127.0.0.1:5000",
                                           "title=Vornhale client=1280x720 resizable=1 icon=1 in_work_area=1"])
        # The web view fills the client area, before and after the resize.
        self.assertEqual(calls[navigate - 1][0], "put_Bounds 0 0 1280 720")
        resized = calls[names.index("resizing") + 1]
        self.assertNotIn("client=1280x720", resized[1])
        width, height = resized[1].split("client=")[1].split(" ")[0].split("x")
        self.assertEqual(resized[0], "put_Bounds 0 0 %s %s" % (width, height))
        self.assertFalse(os.path.exists(BROWSER_LOG))

        stream = EventStream()
        self.addCleanup(stream.close)
        self.assertEqual([stream.read_event(timeout=20) for _ in range(3)],
                         ["Device port: COM7", "Firmware file found: blink.ino.bin", UPLOADING_FIRMWARE])
        close_window("VornhaleWindow")
        # The window goes at once; the flash goes on to its end.
        self.assertTrue(wait_until(lambda: "Close" in read_text(calls_log).splitlines()[-1].split(" | ")[0], 10))
        self.assertIsNone(app.proc.poll())
        self.assertEqual(len(self.calls()), 1)
        self.assertEqual([stream.read_event(timeout=20) for _ in range(3)],
                         ["Firmware upload done.", UPLOADING_APP, "App upload done."])
        self.assertTrue(stream.read_to_close().endswith(EXIT_EVENT))
        status, out, err = app.finish()
        self.assertEqual(status, 0, err)
        self.assertEqual(self.calls(), [firmware_args("COM7", "blink"), file_system_args("COM7")])

    def test_at_125_percent_the_window_scales_and_stays_within_the_work_area(self):
        desktop = r"HKCU\Control Panel\Desktop"
        wine("reg", "add", desktop, "/v", "LogPixels", "/t", "REG_DWORD", "/d", "120", "/f")
        self.addCleanup(wine, "reg", "delete", desktop, "/v", "LogPixels", "/f", check=False)
        calls_log = self.install_runtime()
        app = self.start()
        self.assertTrue(wait_until(lambda: "Navigate " in read_text(calls_log), 20), read_text(calls_log))
        close_window("VornhaleWindow")
        self.assertEqual(app.finish()[0], 0)
        [window] = [line.split(" | ")[1] for line in read_text(calls_log).splitlines() if line.startswith("Navigate ")]
        # 1280 by 720 logical pixels are 1600 by 900 here: more than the
        # 1366 by 768 screen holds, so the window fills its work area.
        width, height = map(int, window.split("client=")[1].split(" ")[0].split("x"))
        self.assertTrue(1280 < width < 1366 and 720 < height < 768, window)
        self.assertIn(" in_work_area=1", window)

    def test_a_runtime_that_fails_to_start_gives_way_to_the_browser(self):
        calls_log = self.install_runtime(fail=True)
        app = self.start()
        self.assertTrue(wait_until(lambda: os.path.exists(BROWSER_LOG), 10))
        app.stop()
        status, out, err = app.finish()
        self.assertEqual(status, 0, err)
        self.assertIn(b"Vornhale cannot show its window (the WebView2 runtime did not start: ", err)
        self.assertEqual(read_text(calls_log).splitlines()[0].split(" ")[:2], ["environment", "entry=runtime"])

    def test_a_runtime_version_naming_another_folder_is_not_loaded(self):
        calls_log = self.install_runtime(version="..")
        app = self.start()
        self.assertTrue(wait_until(lambda: os.path.exists(BROWSER_LOG), 10))
        app.stop()
        status, out, err = app.finish()
        self.assertEqual(status, 0, err)
        self.assertIn(b"(the installed WebView2 runtime cannot be loaded)", err)
        self.assertFalse(os.path.exists(calls_log))

    def flash_with(self, **files):
        """Flashes the board with the stand-in told what to do by files (name: content)."""
        for name in os.listdir(self.cwd):
            os.remove(os.path.join(self.cwd, name))
        self.seed_board("COM7")
        self.build_output("blink")
        self.write(**files)
        app = self.start()
        self.assertTrue(wait_until(lambda: os.path.exists(os.path.join(self.cwd, "call.0")), 20))
        return app

    def test_stop_requests_each_count_once_and_the_wait_for_the_next_is_idle(self):
        for together in (True, False):
            with self.subTest(together=together):
                # A 30 s run, with a child of the tool's own.
                app = self.flash_with(sleep_0="30000", child_0="")
                self.assertTrue(wait_until(lambda: len(wine_processes("esptool.exe")) == 2, 10))
                if together:
                    close_window("VornhaleStop", 2)  # what one action sends: one request, said as such
                    self.assertTrue(wait_until(lambda: "the same request" in read_text(app.err.name), 10))
                    time.sleep(1.2)
                    app.stop()  # a later one
                else:
                    app.stop()  # the message box and the stop window both get it: one request
                    self.assertTrue(wait_until(lambda: "stop again" in read_text(app.err.name), 10))
                    [pid] = wine_processes("vornhale.exe")
                    before = cpu_seconds(pid)
                    time.sleep(2)
                    self.assertLess(cpu_seconds(pid) - before, 0.4)
                    self.assertEqual(len(wine_processes("esptool.exe")), 2)
                    app.stop()
                status, out, err = app.finish()
                self.assertEqual(status, 1, err)
                self.assertIn(b"Vornhale: the firmware upload was interrupted: esptool was stopped", err)
                self.assertEqual(wine_processes("esptool.exe"), [])  # its child too
                self.assertEqual(len(self.calls()), 1)

    def test_an_output_nobody_reads_holds_up_neither_the_flash_nor_the_exit(self):
        self.seed_board("COM7")
        self.build_output("blink")
        with open(os.path.join(self.cwd, "say.0"), "w") as f:
            f.write("Writing at 0x00010000... (42 %)\r\n" * 20000)  # far beyond a pipe's buffer
        app = VornhaleExe(self.cwd, unread_output=True)
        self.addCleanup(app.close)
        app.wait_serving()
        stream = EventStream()
        self.addCleanup(stream.close)
        while stream.read_event(timeout=20) != "App upload done.":  # after the progress texts
            pass
        app.stop()
        self.assertEqual(app.finish()[0], 0)

    def test_the_status_shows_each_run_s_progress_rising_to_100(self):
        self.seed_board("COM7")
        # The images' sizes are read under names outside the ANSI code page too.
        # esptool 4.x's form, and 5.3.1's as it really prints it (carriage returns, control sequences).
        for base, form in (("blink", "4"), ("Schl\u00fcssel \u0431\u043b\u0438\u043d\u043a", "5")):
            for name in os.listdir(self.cwd):
                os.remove(os.path.join(self.cwd, name))
            self.build_output(base)
            if form == "4":
                self.write(say_0=FIRMWARE_PROGRESS, step_0="400", say_1=APP_PROGRESS, step_1="400")
            else:
                for run, image in enumerate(("firmware", "file-system")):
                    shutil.copy(os.path.join(ESPTOOL_OUTPUT, "v5.3.1-%s.txt" % image), os.path.join(self.cwd, "say.%d" % run))
                self.write(step_0="100", step_1="100")
            app = self.start()
            stream = EventStream()
            texts = [stream.read_event(timeout=20)]
            while texts[-1] != "App upload done.":
                texts.append(stream.read_event(timeout=20))
            stream.close()
            app.stop()
            self.assertEqual(app.finish()[0], 0)
            for stage, start, done, expected in (
                    ("firmware", UPLOADING_FIRMWARE, "Firmware upload done.", FIRMWARE_FIGURES),
                    ("app", UPLOADING_APP, "App upload done.", {50, 100})):
                with self.subTest(base=base, stage=stage):
                    between = texts[texts.index(start) + 1:texts.index(done)]
                    figures = [int(m[1]) if (m := re.search(r"\.\.\. (\d+) %", text)) else -1 for text in between]
                    self.assertEqual(between, [progress_text(stage, figure) for figure in figures])  # with its bar
                    self.assertEqual(figures, sorted(set(figures)))  # rising, each once
                    self.assertLessEqual(set(figures), expected if form == "4" else set(range(1, 101)))
                    self.assertLess(figures[0], 100)
                    self.assertEqual(figures[-1], 100)
        # A chip that never answers: esptool 5's fatal error, on standard error, is the reason.
        shutil.copy(os.path.join(ESPTOOL_OUTPUT, "v5.3.1-no-answer.txt"), os.path.join(self.cwd, "err.0"))
        self.write(code_0="2")
        for name in ("call.0", "call.1", "say.0"):
            os.remove(os.path.join(self.cwd, name))
        app = self.start()
        stream = EventStream()
        self.addCleanup(stream.close)
        self.assertEqual([stream.read_event(timeout=20) for _ in range(4)][3],
                         "Firmware upload failed: Failed to connect to ESP32-S3: No serial data received.")
        app.stop()
        self.assertEqual(app.finish()[0], 1)

    def test_station_flashes_each_board_once_several_at_once_and_one_plugged_in_meanwhile(self):
        self.build_output("blink")
        self.write(ports="", say_0=FIRMWARE_PROGRESS, step_0="400", say_1=APP_PROGRESS, step_1="400")
        boards = [("F4:12:FA:00:00:01", "7&1A2B&0&0000", "COM7"), ("F4:12:FA:00:00:02", "7&3C4D&0&0000", "COM8"),
                  ("F4:12:FA:00:00:03", "7&5E6F&0&0000", "COM9")]
        for serial, function, port in boards:
            self.write(**{"mac_" + port: serial.lower()})  # the chip each run reaches
        self.esptool_forms(form_COM7="v4.7.0", form_COM8="v5.0.0", form_COM9="v5.3.1")
        for serial, function, port in boards[:2]:
            self.seed_board(port, function, serial)
        app = self.start(["--station"])
        stream = EventStream(path=b"/station/event")
        self.addCleanup(stream.close)
        self.assertTrue(wait_until(lambda: len(wine_processes("esptool.exe")) == 2, 20))  # both at once
        serial, function, port = boards[2]
        self.seed_board(port, function, serial)
        percents = {}  # each board's, as the station page saw them
        stages = {}
        document = {}
        while document.get("totals", {}).get("flashed") != 3:
            document = json.loads(stream.read_event(timeout=30))
            for card in document["boards"]:
                percents.setdefault(card["serial"], []).append(card["percent"])
                stages.setdefault(card["serial"], set()).add(card["stage"])

        def records():  # one line per finished board
            return [json.loads(line) for line in read_text(app.out.name).splitlines()]
        self.assertTrue(wait_until(lambda: len(records()) == 3, 10), read_text(app.out.name))
        app.stop()
        status, out, err = app.finish()
        self.assertEqual(status, 0, err)
        last = stream.read_to_close().rsplit(b"data: ", 1)[-1].partition(b"\n\n")[0]
        self.assertEqual(json.loads(last)["state"], "stopped")
        self.assertEqual(sorted((r["serial"], r["port"], r["result"], r["esptool"], r["chip"], r["mac"])
                                for r in records()),
                         [(serial, port, "flashed", version, "ESP32-S3 (QFN56) (revision v0.2)", serial.lower())
                          for (serial, function, port), version in zip(boards, ("4.7.0", "5.0.0", "5.3.1"))])
        self.assertTrue(all(all(r["verified"].values()) and len(r["verified"]) == 5 for r in records()), records())
        # The record file, the only record of a program started from Explorer.
        folder = os.path.join(self.local, "vornhale", "records")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        [name] = os.listdir(folder)
        kept = [json.loads(line) for line in read_text(os.path.join(folder, name)).splitlines()]
        self.assertEqual(sorted(kept, key=lambda r: r["serial"]), sorted(records(), key=lambda r: r["serial"]))
        self.assertEqual({r["sha256"]["blink.ino.bin"] for r in kept}, {hashlib.sha256(b"\xff" * 16).hexdigest()})
        # The batch's figures from that folder, and its table, with Windows' line ends.
        for args, said in ((["--summary"], b"Records:       3 in 1 file\r\nFlashed:       3 boards\r\n"
                                           b"Failed:        0 flashes\r\n"),
                           (["--summary", "--csv"], b"time,port,serial,mac,result,")):
            summary = VornhaleExe(self.cwd, args=args)
            self.addCleanup(summary.close)
            status, out, err = summary.finish()
            self.assertEqual((status, err), (0, b""), out)
            self.assertTrue(out.startswith(said) and out.endswith(b"\r\n") and b"\r\r" not in out, out)
        rows = [row.split(b",") for row in out.split(b"\r\n")[1:-1]]
        self.assertEqual(sorted((row[2], row[4], row[12]) for row in rows),
                         [(serial.encode(), b"flashed", b"yes") for serial, function, port in boards])
        self.assertEqual(sorted((c["serial"], c["stage"], c["percent"], c["attempts"]) for c in document["boards"]),
                         [(serial, "flashed", 100, 1) for serial, function, port in boards])
        for serial, function, port in boards:
            with self.subTest(port=port):
                self.assertEqual(self.calls(port), [firmware_args(port, "blink"), file_system_args(port)])
                self.assertTrue(any(0 < percent < 100 for percent in percents[serial]), percents)
                self.assertLessEqual({"firmware", "file_system", "flashed"}, stages[serial])
        with open(BROWSER_LOG) as f:
            self.assertEqual(f.read(), "http://127.0.0.1:5000/station\n")

    def test_taskkill_closes_the_station_s_window_and_its_stop_window_as_one_stop(self):
        # The stop window's close may still be queued, or on its way, when the
        # window's loop ends: counted apart, it would be a second stop, which
        # ends the run under way.
        self.install_runtime()
        self.build_output("blink")
        self.write(ports="", mac_COM7="f4:12:fa:00:00:01", sleep_0="5000", then_0="Connected.\r\n")
        self.esptool_forms(form_COM7="v5.3.1")
        self.seed_board("COM7", "7&1A2B&0&0000", "F4:12:FA:00:00:01")
        app = self.start(["--station"])
        self.assertTrue(wait_until(lambda: len(wine_processes("esptool.exe")) == 1, 20))
        app.stop()
        status, out, err = app.finish(timeout=30)
        self.addCleanup(shutil.rmtree, os.path.join(self.local, "vornhale", "records"), ignore_errors=True)
        self.assertIn(b"letting esptool finish its run before ending", err)
        self.assertNotIn(b"stopping esptool", err)
        self.assertEqual(status, 0, err)
        self.assertEqual(read_text(os.path.join(self.cwd, "done.0")), "ok")
        self.assertEqual(self.calls("COM7"), [firmware_args("COM7", "blink"), file_system_args("COM7")])
        self.assertEqual(json.loads(out)["result"], "flashed")

    def test_station_records_on_a_full_disk_fail_the_exit_and_scan_messages_stay_off_the_output(self):
        # A folder the scan cannot search (its path is too long to open): its
        # message goes to standard error, which has the station's other texts.
        folder = os.open(self.cwd, os.O_RDONLY)
        for level in range(24):
            os.mkdir("d" * 200, dir_fd=folder)
            inner = os.open("d" * 200, os.O_RDONLY, dir_fd=folder)
            os.close(folder)
            folder = inner
        os.close(folder)
        self.build_output("blink")
        self.write(ports="", mac_COM7="f4:12:fa:00:00:01")
        self.seed_board("COM7", "7&1A2B&0&0000", "F4:12:FA:00:00:01")
        app = self.start(["--station", "--record", "Z:\\dev\\full"])
        self.assertTrue(wait_until(lambda: b"\n" in pathlib.Path(app.out.name).read_bytes(), 30))
        app.stop()
        status, out, err = app.finish(timeout=30)
        self.assertEqual(status, 1, err)
        self.assertIn(b"Cannot search", err)
        self.assertIn(b"1 record(s) could not be kept", err)
        self.assertEqual([json.loads(line)["serial"] for line in out.splitlines()], ["F4:12:FA:00:00:01"])

    def test_an_esptool_without_the_chip_s_stub_writes_through_its_rom_loader(self):
        # As Debian's 4.7.0: it fails once it has named the chip, and writes and verifies each image with --no-stub.
        real = {name: read_text(os.path.join(ESPTOOL_OUTPUT, "v4.7.0-%s.txt" % name))
                for name in ("no-s3-stub-firmware", "rom-loader-firmware", "rom-loader-file-system")}
        app = self.flash_with(nostub="", say_1=real["rom-loader-firmware"], say_2=real["rom-loader-file-system"],
                              **{"v4.7.0-no-s3-stub-firmware.txt": real["no-s3-stub-firmware"]})
        stream = EventStream()
        self.addCleanup(stream.close)
        texts = [stream.read_event(timeout=20)]
        while texts[-1] != "App upload done." and "failed" not in texts[-1]:
            texts.append(stream.read_event(timeout=20))
        app.stop()
        status, out, err = app.finish()
        self.assertEqual(([t for t in texts if "%" not in t][-3:], [call[2] for call in self.calls()], status),
                         (["Firmware upload done.", UPLOADING_APP, "App upload done."], ["--port", "--no-stub", "--no-stub"], 0))
        self.assertIn(b"has no flasher stub for the ESP32-S3", out)

    def test_version_names_the_esptool_a_flash_would_run(self):
        self.write(say_0="esptool v5.3.1\r\n5.3.1\r\n")
        shutil.copy(FAKE_ESPTOOL, os.path.join(self.cwd, "esptool.exe"))
        for present, said in ((True, rb"esptool 5\.3\.1: [A-Z]:\\.*\\work\\esptool\.exe \(in this folder\)\r\n"),
                              (False, rb"esptool: none found\. Looked in this order:\r\n  this folder: esptool\.exe\r\n")):
            if not present:
                os.remove(os.path.join(self.cwd, "esptool.exe"))
            app = VornhaleExe(self.cwd, args=["--version"])
            self.addCleanup(app.close)
            self.assertRegex(app.finish()[1], rb"^vornhale [0-9.]+\r\n" + said + rb"$")
        self.assertEqual(self.calls(), [["version"]])

    def test_a_run_in_progress_completes_when_vornhale_is_killed(self):
        app = self.flash_with(sleep_0="2000", then_0="Hash of data verified.\r\n")
        wine("taskkill", "/F", "/IM", "vornhale.exe")  # TerminateProcess, as a crash ends it
        app.proc.wait(10)
        self.assertTrue(wait_until(lambda: read_text(os.path.join(self.cwd, "done.0")), 10))
        self.assertEqual(read_text(os.path.join(self.cwd, "done.0")), "ok")

    def test_a_loader_beside_the_executable_comes_first(self):
        calls_log = self.install_runtime()
        folder = os.path.join(self.tmp.name, "program")
        os.mkdir(folder)
        shutil.copy(EXE, folder)
        shutil.copy(STANDIN, os.path.join(folder, "WebView2Loader.dll"))
        app = VornhaleExe(self.cwd, os.path.join(folder, os.path.basename(EXE)))
        self.addCleanup(app.close)
        app.wait_serving()
        loader_log = os.path.join(folder, "calls.log")
        self.assertTrue(wait_until(lambda: "Navigate" in read_text(loader_log), 20))
        close_window("VornhaleWindow")
        self.assertEqual(app.finish()[0], 0)
        self.assertEqual(read_text(loader_log).splitlines()[0],
                         "environment entry=loader browser=(none) profile=%s\\vornhale.exe options=none" % self.roaming)
        self.assertFalse(os.path.exists(calls_log))

if __name__ == "__main__":
    unittest.main(argv=sys.argv)
