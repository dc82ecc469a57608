"""The Debian package: built by scripts/package.sh (lintian without errors),
installed with apt-get, the installed program flashing a build folder on a
fake board (umockdev), the udev rule and desktop entry in place, and nothing
left behind once it is removed. Needs root (skipped otherwise); runs itself in
a network namespace of its own."""

import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
from xml.etree import ElementTree

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

from support.vornhale import EventStream, Vornhale, write_build_folder  # noqa: E402

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BOARD_FILE = os.path.join(TOP, "tests", "support", "board.umockdev")
TTY = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/tty/ttyACM0"
RULE = "/usr/lib/udev/rules.d/70-vornhale.rules"
ENTRY = "/usr/share/applications/vornhale.desktop"
METAINFO = "/usr/share/metainfo/org.example.vornhale.metainfo.xml"
APT_ENV = dict(os.environ, DEBIAN_FRONTEND="noninteractive")

# Stands in for esptool in the build folder: says what a successful run says.
FAKE_TOOL = "#!/bin/sh\necho \"esptool.py v4.7.0 $*\" >> calls\necho 'Hash of data verified.'\n"


def folder_handlers(installed_files, file_manager):
    """xdg-mime's default for folders and GIO's report on them, on a desktop
    of its own (none named, an empty home, xdg-utils' defaults) that holds
    installed_files under /usr/share and, when file_manager, a file manager's
    entry (named as X File Explorer's, which sorts after ours in the cache)."""
    with tempfile.TemporaryDirectory(prefix="vornhale-xdg-") as root:
        applications = os.path.join(root, "share", "applications")
        os.makedirs(applications)
        if file_manager:
            with open(os.path.join(applications, "xfe.desktop"), "w") as f:
                f.write("[Desktop Entry]\nType=Application\nName=Files\nExec=xfe %F\nMimeType=inode/directory;\n")
        for path in (p for p in installed_files if p.startswith("/usr/share/") and os.path.isfile(p)):
            os.makedirs(os.path.dirname(root + path[len("/usr"):]), exist_ok=True)
            shutil.copy2(path, root + path[len("/usr"):])
        subprocess.run(["update-desktop-database", applications], check=True)  # as Debian's trigger does
        env = {"PATH": "/usr/bin:/bin", "HOME": root, "XDG_DATA_DIRS": os.path.join(root, "share"),
               "XDG_CONFIG_DIRS": root, "DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent"}
        return tuple(subprocess.run(command, env=env, capture_output=True, text=True, timeout=30).stdout
                     for command in (["xdg-mime", "query", "default", "inode/directory"], ["gio", "mime", "inode/directory"]))


def unsatisfied_on_debian13(depends):
    """The groups of a Depends field that no binary package of Debian 13
    satisfies, from the trixie source index the set-up keeps (no Debian 13
    binary is fetched). A library renamed for 64-bit time (libfoo1t64)
    provides its old name at its own version."""
    index = subprocess.run(["apt-get", "indextargets", "--format", "$(FILENAME)", "Identifier: Sources",
                            "Codename: trixie"], capture_output=True, text=True, check=True).stdout.split()
    assert index, "no Debian 13 source index: scripts/setup.sh adds deb-src trixie"
    sources = subprocess.run(["/usr/lib/apt/apt-helper", "cat-file", index[0]], capture_output=True, text=True,
                             check=True).stdout
    built = {}
    for paragraph in sources.split("\n\n"):
        fields = dict(re.findall(r"^(Binary|Version): (.*(?:\n .*)*)", paragraph, re.M))
        for name in re.split(r"[,\s]+", fields.get("Binary", "")):
            built.setdefault(name, []).append(fields.get("Version"))

    def satisfied(alternative):
        name, op, version = re.match(r"\s*(\S+)(?:\s*\((\S+)\s*(\S+)\))?", alternative).groups()
        return any(op is None or subprocess.run(["dpkg", "--compare-versions", have, op, version]).returncode == 0
                   for have in built.get(name, []) + built.get(name + "t64", []))
    return [group.strip() for group in depends.split(",") if not any(map(satisfied, group.split("|")))]


def debian13_appstream_tags(deb):
    """What Debian 13's lintian says of deb's AppStream metadata: it reads udev
    rules in /usr/lib/udev/rules.d too, Debian 12's only in /lib/udev/rules.d,
    so Debian 12's check runs on a copy of deb with the rule there."""
    with tempfile.TemporaryDirectory(prefix="vornhale-lintian-") as work:
        return subprocess.run(["sh", "-ec", 'dpkg-deb -R "$0" "$1/r"; mkdir -p "$1/r/lib/udev"; '
                               'mv "$1/r/usr/lib/udev/rules.d" "$1/r/lib/udev/"; '
                               'dpkg-deb --root-owner-group -b "$1/r" "$1/moved.deb" >/dev/null; '
                               'lintian --tags appstream-metadata-missing-modalias-provide "$1/moved.deb"', deb, work],
                              capture_output=True, text=True, check=True).stdout


def appstream_1_0_problems(metainfo, overrides):
    """What Debian 13's appstream 1.0 (its lintian's) faults and Debian 12's 0.16 does not know: no developer with a
    name and a lower-case reverse-DNS or e-mail id, developer_name, no homepage unless an override says why."""
    root = ElementTree.parse(metainfo).getroot()
    ident = next((developer.get("id", "") for developer in root.iter("developer")), "")
    return [problem for problem, holds in (
        ("developer-info-missing", root.findtext("developer/name", "").strip()),
        ("developer-id-invalid", re.fullmatch(r"[a-z0-9_-]+(\.[a-z0-9_-]+)+|[^@\s]+@[^@\s]+", ident)),
        ("developer-name-tag-deprecated", root.find("developer_name") is None),
        ("url-homepage-missing", root.findtext("url[@type='homepage']") or re.search(
            r"^#.*url-homepage-missing.*\n(#.*\n)*vornhale: appstream-metadata-validation-failed$", overrides, re.M)))
        if not holds]


def installed():
    result = subprocess.run(["dpkg-query", "-W", "-f=${Status}", "vornhale"], capture_output=True, text=True)
    return "ok installed" in result.stdout


def current_tags(board):
    """CURRENT_TAGS that udev's rules give the fake board's tty, without
    touching the system's udev database."""
    with tempfile.NamedTemporaryFile("w", suffix=".umockdev") as f:
        f.write(board)
        f.flush()
        result = subprocess.run(
            ["unshare", "-m", "sh", "-c",
             # An empty /run/udev of its own; where udev has never run there
             # is none to mount over, so an empty /run of its own holds it.
             '{ mount -t tmpfs tmpfs /run/udev 2>/dev/null || { mount -t tmpfs tmpfs /run && mkdir /run/udev; }; } '
             '&& exec umockdev-run --device "$0" -- udevadm test "$1"', f.name, TTY],
            capture_output=True, text=True, timeout=60, cwd="/")
    for line in result.stdout.splitlines():
        if line.startswith("CURRENT_TAGS="):
            return line.split("=", 1)[1].strip(":").split(":")
    raise AssertionError("udevadm test printed no tags: %s" % (result.stdout + result.stderr))


class Package(unittest.TestCase):
    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("installing a package needs root")
        if installed():
            self.skipTest("vornhale is already installed on this machine: not touching it")

    def tearDown(self):
        if installed():
            subprocess.run(["apt-get", "purge", "-y", "-q", "vornhale"], env=APT_ENV, capture_output=True)

    def test_install_use_remove(self):
        built = subprocess.run([os.path.join(TOP, "scripts", "package.sh"), os.environ["VORNHALE_BUILD_DIR"]],
                               capture_output=True, text=True, timeout=600)
        self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
        print(built.stdout)  # lintian's report
        # Lintian clean, here and as Debian 13's would check the udev rule.
        self.assertEqual(re.findall(r"^[EW]: .*", built.stdout, re.M), [])
        debs = glob.glob(os.path.join(TOP, "dist", "vornhale_*_amd64.deb"))
        self.assertEqual(len(debs), 1, debs)
        self.assertEqual(debian13_appstream_tags(debs[0]), "")

        # One package for Debian 12 and 13: {fmt} is compiled in (Debian 12's
        # libfmt9 is not in Debian 13), and Debian 13 builds everything it needs.
        depends = subprocess.run(["dpkg-deb", "-f", debs[0], "Depends"], capture_output=True, text=True,
                                 check=True).stdout
        self.assertNotIn("libfmt", depends)
        self.assertEqual(unsatisfied_on_debian13(depends), [], depends)

        # Installing never changes which program opens folders, with or without a file manager.
        handlers_before = [folder_handlers([], file_manager) for file_manager in (False, True)]
        self.assertEqual(handlers_before[1][0], "xfe.desktop\n")

        result = subprocess.run(["apt-get", "install", "-y", "-q", "--no-install-recommends", debs[0]],
                                env=APT_ENV, capture_output=True, text=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        files = subprocess.run(["dpkg", "-L", "vornhale"], capture_output=True, text=True, check=True).stdout.split()
        for path in ("/usr/bin/vornhale", ENTRY, RULE, "/usr/share/man/man1/vornhale.1.gz",
                     "/usr/share/doc/vornhale/copyright", "/usr/share/doc/vornhale/THIRD-PARTY-NOTICES",
                     "/usr/share/icons/hicolor/48x48/apps/vornhale.png", METAINFO):
            self.assertIn(path, files)
            self.assertTrue(os.path.isfile(path), path)
        needed = subprocess.run(["readelf", "-d", "/usr/bin/vornhale"], capture_output=True, text=True, check=True)
        self.assertIn("(NEEDED)", needed.stdout)
        self.assertNotIn("libfmt", needed.stdout)
        valid = subprocess.run(["desktop-file-validate", ENTRY], capture_output=True, text=True)
        self.assertEqual(valid.stdout + valid.stderr, "")
        # Software centres can offer Vornhale for the board the udev rule serves.
        valid = subprocess.run(["appstreamcli", "validate", "--no-net", METAINFO], capture_output=True, text=True)
        self.assertEqual(valid.returncode, 0, valid.stdout + valid.stderr)
        self.assertEqual(re.findall(r"^[EW]: .*", valid.stdout, re.M), [])
        with open("/usr/share/lintian/overrides/vornhale") as f:
            self.assertEqual(appstream_1_0_problems(METAINFO, f.read()), [])
        for file_manager, before in zip((False, True), handlers_before):
            with self.subTest(file_manager=file_manager):
                after = folder_handlers(files, file_manager)
                self.assertEqual(after, before)
                self.assertNotIn("vornhale", after[1])

        # The rule gives the board's port to the user at the desktop, and only the board's.
        with open(BOARD_FILE) as f:
            board = f.read()
        self.assertIn("uaccess", current_tags(board))
        self.assertNotIn("uaccess", current_tags(board.replace("idProduct=1001", "idProduct=1002")))

        self.flash_a_build_folder(board)

        result = subprocess.run(["apt-get", "purge", "-y", "-q", "vornhale"], env=APT_ENV, capture_output=True,
                                text=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertFalse(installed())
        left = [p for p in files if os.path.lexists(p) and not os.path.isdir(p)]
        self.assertEqual(left, [])
        self.assertFalse(os.path.exists("/usr/share/doc/vornhale"))

    def flash_a_build_folder(self, board):
        testbed = UMockdev.Testbed.new()
        testbed.add_from_string(board)
        with tempfile.TemporaryDirectory(prefix="vornhale-package-") as folder:
            write_build_folder(folder, "esptool", FAKE_TOOL)
            env = {"UMOCKDEV_DIR": testbed.get_root_dir(),
                   "LD_PRELOAD": "libumockdev-preload.so.0"}
            os.environ["VORNHALE_BINARY"] = "/usr/bin/vornhale"
            with Vornhale(cwd=folder, env=env) as app:
                app.wait_serving()
                stream = EventStream()
                texts = [stream.read_event(timeout=30) for _ in range(6)]
                app.signal(signal.SIGTERM)
                status, out, err = app.finish(timeout=30)
                stream.close()
            self.assertEqual(status, 0, err)
            self.assertEqual(texts, ["Device port: /dev/ttyACM0", "Firmware file found: blink.ino.bin",
                                     '<span aria-busy="true">Uploading firmware...</span>', "Firmware upload done.",
                                     '<span aria-busy="true">Uploading app...</span>', "App upload done."])
            with open(os.path.join(folder, "calls")) as f:
                self.assertEqual(len(f.read().splitlines()), 2)


if __name__ == "__main__":
    # The installed program binds 127.0.0.1:5000: in a network namespace of its own.
    if os.geteuid() == 0 and not os.environ.get("VORNHALE_OWN_NETWORK"):
        os.environ["VORNHALE_OWN_NETWORK"] = "1"
        os.execvp("unshare", ["unshare", "-n", "--", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
                              sys.executable] + sys.argv)
    unittest.main(argv=sys.argv)
