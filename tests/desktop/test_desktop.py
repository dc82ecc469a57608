"""The desktop entry, the icons, the udev rule, the manual page and the
licences: valid, installed where they belong, and
"Open With Vornhale" on a folder starts the program in that folder."""

import json
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

from support.vornhale import EventStream, port_open, wait_until

SIZES = (256, 128, 96, 64, 48, 32, 16)


def png_header(path):
    """(width, height, bit depth, colour type) from a PNG's IHDR."""
    with open(path, "rb") as f:
        head = f.read(29)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        raise AssertionError("%s is not a PNG" % path)
    return struct.unpack(">IIBB", head[16:26])


class Desktop(unittest.TestCase):
    def test_entry_is_valid(self):
        entry = os.environ["VORNHALE_DESKTOP_ENTRY"]
        station = os.path.join(os.path.dirname(entry), "vornhale-station.desktop")
        result = subprocess.run(["desktop-file-validate", entry, station], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(result.stdout + result.stderr, "")
        with open(entry) as f:
            lines = f.read().splitlines()
        for line in ("Name=Vornhale", "Exec=vornhale %f", "Icon=vornhale", "NoDisplay=true",
                     "Categories=Development;Electronics;"):
            self.assertIn(line, lines)
        self.assertFalse([line for line in lines if line.startswith("MimeType")], "would open every folder")

    def test_install_places_entry_and_every_icon(self):
        with tempfile.TemporaryDirectory(prefix="vornhale-install-") as prefix:
            subprocess.run(["cmake", "--install", os.environ["VORNHALE_BUILD_DIR"], "--prefix", prefix],
                           check=True, capture_output=True)
            for path in ("share/applications/vornhale.desktop", "share/applications/vornhale-station.desktop",
                         "share/nemo/actions/vornhale-station.nemo_action",
                         "share/file-manager/actions/vornhale-station.desktop", "lib/udev/rules.d/70-vornhale.rules",
                         "share/man/man1/vornhale.1", "share/doc/vornhale/LICENSE",
                         "share/doc/vornhale/THIRD-PARTY-NOTICES", "share/nemo/actions/vornhale.nemo_action",
                         "share/file-manager/actions/vornhale.desktop", "share/kio/servicemenus/vornhale.desktop",
                         "share/nautilus-python/extensions/vornhale.py",
                         "share/metainfo/org.example.vornhale.metainfo.xml"):
                self.assertTrue(os.path.isfile(os.path.join(prefix, path)), path)
            self.assertTrue(os.access(os.path.join(prefix, "share/kio/servicemenus/vornhale.desktop"), os.X_OK), "KIO")
            for size in SIZES:
                with self.subTest(size=size):
                    icon = os.path.join(prefix, "share/icons/hicolor/%dx%d/apps/vornhale.png" % (size, size))
                    # 8 bits per channel, colour type 6: RGBA.
                    self.assertEqual(png_header(icon), (size, size, 8, 6))


    def launch(self, folder, cwd, entry=os.environ["VORNHALE_DESKTOP_ENTRY"], path=b"/event", count=4):
        """Runs the entry as the desktop does (gio launch), with folder as the
        file it is opened with (or none); returns the first count texts of the
        event stream at path."""
        with tempfile.TemporaryDirectory(prefix="vornhale-launch-") as tools:
            pid_file = os.path.join(tools, "pid")
            # `vornhale` on PATH: records its process id, then is the real program.
            with open(os.path.join(tools, "vornhale"), "w") as f:
                f.write('#!/bin/sh\necho $$ > "%s"\nexec "%s" "$@"\n' % (pid_file, os.environ["VORNHALE_BINARY"]))
            os.chmod(os.path.join(tools, "vornhale"), 0o755)
            env = dict(os.environ, PATH=tools + ":/usr/bin:/bin", HOME=cwd,
                       DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent")
            env.pop("DISPLAY", None)
            env.pop("WAYLAND_DISPLAY", None)
            subprocess.run(["gio", "launch", entry] + ([folder] if folder else []),
                           cwd=cwd, env=env, check=True, timeout=10)
            self.assertTrue(wait_until(lambda: os.path.exists(pid_file) and port_open(), timeout=10))
            with open(pid_file) as f:
                pid = int(f.read())
            try:
                stream = EventStream(path=path)
                texts = [stream.read_event(timeout=10) for _ in range(count)]
                stream.close()
                return texts
            finally:
                os.kill(pid, signal.SIGTERM)
                self.assertTrue(wait_until(lambda: not port_open(), timeout=10))
                time.sleep(0.1)

    def test_open_with_starts_in_the_folder(self):
        with tempfile.TemporaryDirectory(prefix="vornhale-home-") as home, \
                tempfile.TemporaryDirectory(prefix="vornhale-sketch-") as sketch:
            build = os.path.join(sketch, "sketch folder", "build")
            os.makedirs(build)
            open(os.path.join(build, "blink.ino.bin"), "w").close()
            open(os.path.join(home, "other.ino.bin"), "w").close()
            texts = self.launch(os.path.dirname(build), cwd=home)
            self.assertEqual(texts[2], "Firmware file found: blink.ino.bin")
            # Without a folder the desktop starts it in the home folder, which it does not search.
            texts = self.launch(None, cwd=home)
            self.assertEqual(texts[2], "Not searching the home folder for firmware: open a build folder with Vornhale.")
            self.assertEqual(texts[3], "Cannot upload firmware: file not found, or board not connected.")
            station = os.path.join(os.path.dirname(os.environ["VORNHALE_DESKTOP_ENTRY"]), "vornhale-station.desktop")
            page = json.loads(self.launch(None, cwd=home, entry=station, path=b"/station/event", count=1)[0])
            self.assertTrue(page["message"].startswith("Not searching the home folder for firmware: open a build "
                                                       "folder with Vornhale station. Nothing is flashed."), page)

    def test_folder_argument_errors_end_at_once(self):
        binary = os.environ["VORNHALE_BINARY"]
        usage = b"\nusage: vornhale [FOLDER]\n"
        for args, status, said in ((["/nonexistent-folder"], 2,
                                    b"Vornhale cannot open the folder /nonexistent-folder: No such file or directory\n"),
                                   (["a", "b"], 2, b"vornhale: one FOLDER at most: b is a second" + usage),
                                   (["--flash-everything"], 2, b"vornhale: unknown option --flash-everything" + usage),
                                   (["a", "-x\n"], 2, b"vornhale: unknown option -x\\x0a" + usage),
                                   (["--station", "--record"], 2, b"vornhale: --record needs a FILE" + usage),
                                   (["--summary", "--bogus"], 2, b"vornhale: unknown option --bogus" + usage),
                                   (["a.jsonl", "--csv"], 2, b"vornhale: --csv comes right after --summary" + usage),
                                   (["--help"], 0, b"usage: vornhale [FOLDER]"),
                                   (["-h"], 0, b"usage: vornhale [FOLDER]"),
                                   (["--version"], 0, b"vornhale %s\n" % os.environb[b"VORNHALE_VERSION"])):
            with self.subTest(args=args):
                result = subprocess.run([binary] + args, capture_output=True, timeout=10,
                                        env=dict(os.environ, DISPLAY=""))
                self.assertEqual(result.returncode, status)
                told, silent = (result.stdout, result.stderr) if status == 0 else (result.stderr, result.stdout)
                self.assertTrue(told.startswith(said), result)
                self.assertEqual(silent, b"")
                self.assertLessEqual(max(map(len, told.splitlines())), 80, told)
                if args in (["-h"], ["--help"]):
                    self.assertTrue(told.endswith(b"\nSee vornhale(1).\n"), told)

    def test_version_names_the_esptool_a_flash_would_run(self):
        # Its version as esptool 4 and 5 print it, or why it said none (it never answers), or where none was found.
        with tempfile.TemporaryDirectory(prefix="vornhale-version-") as folder:
            tool = os.path.join(folder, "esptool")
            for script, said in (('printf "esptool.py v4.7.0\\n4.7.0\\n"', "esptool 4.7.0: %s (in this folder)"),
                                 ('printf "esptool v5.3.1\\n5.3.1\\n"', "esptool 5.3.1: %s (in this folder)"),
                                 ("exec /bin/sleep 60", "esptool: %s (in this folder), which did not say its version within 3 s"),
                                 (None, "esptool: none found. Looked in this order:\n  this folder: esptool.exe, esptool,")):
                with open(tool, "w") as f:
                    f.write('#!/bin/sh\n[ "$*" = version ] && %s\n' % script)
                os.chmod(tool, 0o755 if script else 0o644)
                result = subprocess.run([os.environ["VORNHALE_BINARY"], "--version"], capture_output=True, timeout=10,
                                        cwd=folder, env=dict(os.environ, PATH=os.path.join(folder, "bin"), HOME=folder))
                self.assertTrue(result.returncode == 0 and result.stdout.decode().startswith(
                    "vornhale %s\n" % os.environ["VORNHALE_VERSION"] + (said % tool if "%s" in said else said)), result)
                self.assertLessEqual(max(map(len, result.stdout.decode().replace(tool, "").splitlines())), 80)

if __name__ == "__main__":
    unittest.main(argv=sys.argv)
