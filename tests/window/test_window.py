"""The real binary with a display (run under Xvfb): its window, and how closing
it ends the program."""

import http.server
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

from support.vornhale import (BOARD_FILE, ESPTOOL_OUTPUT, FAKE_TOOL, Vornhale, board_env, connections_accepted,  # noqa: E402
                              other_listener, wait_until, write_build_folder)

BOARD_FILE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support", "board.umockdev")

# Waits for a file "go" on its first call, then succeeds.
WAITING_TOOL = """#!/bin/sh
[ -e first ] || { touch first; while [ ! -e go ]; do sleep 0.05; done; }
exit 0
"""

# Twelve frames of the status page, one of them reloaded five times a second.
FRAMING_PAGE = ("<!DOCTYPE html><body>" + '<iframe src="http://127.0.0.1:5000/"></iframe>' * 12 +
                "<script>const f = document.querySelector('iframe');"
                " setInterval(() => { f.src = f.src; }, 200);</script>").encode()

PORT_PAGE_LINE = b"Vornhale cannot listen on 127.0.0.1:5000: Address already in use\n"


def visible_windows():
    """The ids of the visible windows named Vornhale, or None when the search
    failed. This xdotool ends its search with BadWindow (exit 1, like "none
    found") when any window goes away while it looks, as WebKit's helper
    windows do while it starts; it then says "X Error" on standard error."""
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Vornhale$"],
                           capture_output=True, timeout=30)
    if found.returncode == 0 and found.stdout.split():
        return [w.decode() for w in found.stdout.split()]
    return None if b"Error" in found.stderr else []


def find_window(app, timeout=120):
    """The program's window once it is shown. Searched again and again rather
    than with --sync, which a single failed search ends; the time is generous
    for a loaded machine."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        windows = visible_windows()
        if windows:
            return windows[0]
        if app.proc.poll() is not None:
            raise AssertionError("vornhale ended without a window: %r" % (app.finish(1.0),))
        time.sleep(0.1)
    raise AssertionError("no window named Vornhale within %d s" % timeout)


def client_size(window):
    info = subprocess.run(["xwininfo", "-id", window], capture_output=True, check=True, text=True).stdout
    width = int(re.search(r"Width: (\d+)", info).group(1))
    height = int(re.search(r"Height: (\d+)", info).group(1))
    return width, height


def window_shown():
    for _ in range(100):
        windows = visible_windows()
        if windows is not None:
            return windows != []
        time.sleep(0.1)
    raise AssertionError("xdotool's search keeps failing")


def close_like_a_user(window):
    subprocess.run([os.environ["VORNHALE_WM_CLOSE"], window], check=True, timeout=10)


def pixels(window):
    return subprocess.run(["import", "-window", window, "-depth", "8", "rgb:-"], capture_output=True,
                          check=True, timeout=20).stdout


def animating(window, shots=4, pause=0.25):
    """Whether the window's content changes by itself (the busy indicator turns)."""
    first = pixels(window)
    for _ in range(shots - 1):
        time.sleep(pause)
        if pixels(window) != first:
            return True
    return False


class FramingSite:
    """A page on another loopback port that frames ours, open in headless Chromium."""

    def __enter__(self):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.end_headers()
                self.wfile.write(FRAMING_PAGE)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.profile = tempfile.TemporaryDirectory(prefix="vornhale-chromium-")
        self.browser = subprocess.Popen(
            ["/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--user-data-dir=" + self.profile.name, "http://127.0.0.1:%d/" % self.server.server_port],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self

    def __exit__(self, *exc):
        self.browser.terminate()
        self.browser.wait(timeout=10)
        self.server.shutdown()
        self.server.server_close()
        self.profile.cleanup()


class Window(unittest.TestCase):
    def setUp(self):
        if not os.environ.get("DISPLAY"):
            self.skipTest("needs a display (run under xvfb-run)")

    def test_window_has_title_and_size_and_closing_ends_the_program(self):
        with Vornhale(headless=False) as app:
            window = find_window(app)
            self.assertEqual(client_size(window), (1280, 720))
            close_like_a_user(window)
            status, _, err = app.finish(timeout=15)
            self.assertEqual(status, 0, err)

    def test_stop_signal_closes_the_window(self):
        with Vornhale(headless=False) as app:
            find_window(app)
            app.signal(signal.SIGTERM)
            status, _, err = app.finish(timeout=15)
            self.assertEqual(status, 0, err)

    def test_window_goes_at_once_and_the_flash_is_finished(self):
        # A stop signal lets the running tool finish and starts no other run;
        # closing the window by hand lets the whole flash finish.
        for how in ("signal", "close"):
            with self.subTest(how=how), tempfile.TemporaryDirectory(prefix="vornhale-window-") as cwd:
                testbed = UMockdev.Testbed.new()
                with open(BOARD_FILE) as board:
                    testbed.add_from_string(board.read())

                def write(name, content="", mode=0o644):
                    with open(os.path.join(cwd, name), "w") as f:
                        f.write(content)
                    os.chmod(os.path.join(cwd, name), mode)
                write("blink.ino.bin")
                write("boot_app0.bin")
                write("fs.bin")
                write("esptool.exe", FAKE_TOOL, 0o755)
                write("run.0", "while [ ! -e release ]; do sleep 0.05; done\n")
                with Vornhale(cwd=cwd, headless=False, env=board_env(testbed)) as app:
                    window = find_window(app)
                    self.assertTrue(wait_until(lambda: os.path.exists(os.path.join(cwd, "call.0")), 30))
                    if how == "signal":
                        app.signal(signal.SIGTERM)
                    else:
                        close_like_a_user(window)
                    self.assertTrue(wait_until(lambda: not window_shown(), 5), "the window stays on screen")
                    self.assertIsNone(app.proc.poll(), "the tool was not waited for")
                    write("release")
                    status, _, err = app.finish(timeout=15)
                    # A stop signal skips fs.bin: not everything was written.
                    self.assertEqual(status, 0 if how == "close" else 1, err)
                self.assertEqual(os.path.exists(os.path.join(cwd, "call.1")), how == "close")

    def test_port_in_use_shows_our_page_and_exits_1(self):
        holder = other_listener()
        try:
            with Vornhale(headless=False) as app:
                window = find_window(app)
                out = os.path.join(os.environ.get("VORNHALE_ARTIFACTS", "."), "port-in-use.png")
                subprocess.run(["import", "-window", window, out], check=False, timeout=20)
                close_like_a_user(window)
                status, _, err = app.finish(timeout=15)
                self.assertEqual(status, 1)
                self.assertIn(PORT_PAGE_LINE, err)
            # The window never asked the other program for anything.
            self.assertEqual(connections_accepted(holder), 0)
        finally:
            holder.close()

    def test_window_after_a_successful_flash(self):
        """A fake board and a stand-in for esptool: the window during the first
        run and once both stages are done. The pictures (artifacts/flashing.png,
        flashed.png) are the README's."""
        import gi
        gi.require_version("UMockdev", "1.0")
        from gi.repository import UMockdev
        testbed = UMockdev.Testbed.new()
        testbed.add_from_file(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                           "support", "board.umockdev"))
        with tempfile.TemporaryDirectory(prefix="vornhale-window-") as folder:
            # The first run shows its progress, then waits: the picture of a flash under way.
            write_build_folder(folder, "esptool", "#!/bin/sh\necho run >> runs\n[ -e go ] && exit 0\n"
                                                  "echo 'Writing at 0x00010000... (42 %)'\n"
                                                  "while [ ! -e go ]; do sleep 0.05; done\n")
            # Without compositing the page is drawn into the window itself, where `import` sees it.
            env = {"UMOCKDEV_DIR": testbed.get_root_dir(), "LD_PRELOAD": "libumockdev-preload.so.0",
                   "WEBKIT_DISABLE_COMPOSITING_MODE": "1"}
            with Vornhale(cwd=folder, headless=False, env=env) as app:
                window = find_window(app)
                runs = os.path.join(folder, "runs")
                self.assertTrue(wait_until(lambda: os.path.exists(runs), timeout=30))
                time.sleep(2)  # until the page shows the progress
                artifacts = os.environ.get("VORNHALE_ARTIFACTS", ".")
                subprocess.run(["import", "-window", window, os.path.join(artifacts, "flashing.png")], check=True,
                               timeout=20)
                open(os.path.join(folder, "go"), "w").close()
                self.assertTrue(wait_until(lambda: os.path.exists(runs) and open(runs).read().count("run") == 2,
                                           timeout=30))
                time.sleep(2)  # until the page shows the last text
                subprocess.run(["import", "-window", window, os.path.join(artifacts, "flashed.png")], check=True,
                               timeout=20)
                close_like_a_user(window)
                status, _, err = app.finish(timeout=15)
                self.assertEqual(status, 0, err)

    def test_a_page_framing_ours_takes_no_text_from_the_window(self):
        import gi
        gi.require_version("UMockdev", "1.0")
        from gi.repository import UMockdev

        testbed = UMockdev.Testbed.new()
        with open(BOARD_FILE) as board:
            testbed.add_from_string(board.read())
        with tempfile.TemporaryDirectory(prefix="vornhale-frame-") as folder:
            write_build_folder(folder, "esptool.exe", WAITING_TOOL)
            env = {"UMOCKDEV_DIR": testbed.get_root_dir(), "LD_PRELOAD": "libumockdev-preload.so.0"}
            with Vornhale(cwd=folder, headless=False, env=env) as app:
                window = find_window(app)
                deadline = time.monotonic() + 20
                while not animating(window) and time.monotonic() < deadline:
                    pass
                self.assertTrue(animating(window), "the window never showed the busy indicator")
                with FramingSite():
                    time.sleep(3)
                    open(os.path.join(folder, "go"), "w").close()
                    time.sleep(5)
                    out = os.path.join(os.environ.get("VORNHALE_ARTIFACTS", "."), "framed-window.png")
                    subprocess.run(["import", "-window", window, out], check=False, timeout=20)
                    # "App upload done." reached the window: nothing turns any more.
                    self.assertFalse(animating(window), "the window still shows the busy indicator")
                app.signal(signal.SIGTERM)
                status, _, err = app.finish(timeout=15)
                self.assertEqual(status, 0, err)

    def test_station_window_shows_every_board(self):
        """Station mode with two boards, one flashed and one failing: the window
        opens on the station page (artifacts/station-window.png)."""
        import gi
        gi.require_version("UMockdev", "1.0")
        from gi.repository import UMockdev
        testbed = UMockdev.Testbed.new()
        with open(BOARD_FILE) as board:
            one = board.read()
        testbed.add_from_string(one.replace("A: idProduct=1001", "A: idProduct=1001\nA: serial=F4:12:FA:00:00:01"))
        testbed.add_from_string(one.replace("1-1", "1-2").replace("ttyACM0", "ttyACM1").replace("001/005", "001/006")
                                .replace("A: idProduct=1001", "A: idProduct=1001\nA: serial=F4:12:FA:00:00:02"))
        with tempfile.TemporaryDirectory(prefix="vornhale-station-") as folder:
            # esptool 5.3.1's own output, with the first board's MAC; the second board does not answer.
            write_build_folder(folder, "esptool", '#!/bin/sh\ncase "$*" in *ttyACM1*) echo "A fatal error occurred: '
                                                  'Failed to connect to ESP32-S3: No serial data received."; exit 2;; '
                                                  'esac\n'
                                                  'case "$*" in *fs.bin*) image=file-system;; *) image=firmware;; esac\n'
                                                  'sed s/f4:12:fa:5a:1c:30/f4:12:fa:00:00:01/ "%s/v5.3.1-$image.txt"\n'
                                                  % ESPTOOL_OUTPUT)
            env = {"UMOCKDEV_DIR": testbed.get_root_dir(), "LD_PRELOAD": "libumockdev-preload.so.0",
                   "WEBKIT_DISABLE_COMPOSITING_MODE": "1"}
            with Vornhale(cwd=folder, headless=False, env=env, args=["--station"]) as app:
                window = find_window(app)
                time.sleep(4)  # both boards' flashes end, and the page shows them
                out = os.path.join(os.environ.get("VORNHALE_ARTIFACTS", "."), "station-window.png")
                subprocess.run(["import", "-window", window, out], check=True, timeout=20)
                close_like_a_user(window)
                status, printed, err = app.finish(timeout=15)
                self.assertEqual(status, 0, err)
                self.assertEqual(sorted(json.loads(line)["result"] for line in printed.splitlines()
                                        if line.startswith(b"{")), ["failed", "flashed"])


if __name__ == "__main__":
    unittest.main(argv=sys.argv)
