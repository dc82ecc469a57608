"""The resources of the built vornhale.exe, read back out of it with wrestool
(icoutils): exactly one icon group IDI_ICON1, one manifest and one version
resource, all English (United States); seven 32-bit images, 256 as PNG, the
others bitmaps; the manifest asks for asInvoker without uiAccess and declares
nothing else; the version resource names the program, its version (the
project's) and its authors. And
the release zip: exactly the stripped program, the licence, the third-party
notices and the README for Windows users."""

import os
import re
import struct
import subprocess
import sys
import unittest
import zipfile
import xml.etree.ElementTree as ET

EXE = os.environ["VORNHALE_EXE"]
SOURCE = os.environ["VORNHALE_SOURCE_DIR"]
ZIP = os.environ["VORNHALE_ZIP"]
VERSION = os.environ["VORNHALE_VERSION"]
SIZES = [256, 128, 96, 64, 48, 32, 16]
ENGLISH_US = "1033"
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = "3", "14", "16", "24"


def wrestool(*args):
    return subprocess.run(["wrestool", *args, EXE], check=True, capture_output=True).stdout


def raw(kind, name):
    return wrestool("-x", "--raw", "--type=" + kind, "--name=" + name)


class Resources(unittest.TestCase):
    def test_only_the_icon_the_manifest_and_the_version(self):
        listing = re.findall(rb"--type=(\d+) --name=(\S+) --language=(\d+)", wrestool("-l"))
        kinds = sorted((kind.decode(), name.decode().strip("'"), language.decode())
                       for kind, name, language in listing)
        expected = sorted([(RT_ICON, str(i), ENGLISH_US) for i in range(1, 8)]
                          + [(RT_GROUP_ICON, "IDI_ICON1", ENGLISH_US), (RT_MANIFEST, "1", ENGLISH_US),
                             (RT_VERSION, "1", ENGLISH_US)])
        self.assertEqual(kinds, expected)

    def test_version_names_the_program_its_version_and_authors(self):
        version = raw(RT_VERSION, "1")
        major, minor, patch = map(int, VERSION.split("."))
        # VS_FIXEDFILEINFO: its signature, its layout's version, then the file's and the product's version.
        fixed = struct.unpack_from("<4I", version, version.index(b"\xbd\x04\xef\xfe") + 8)
        self.assertEqual(fixed, (major << 16 | minor, patch << 16) * 2)
        with open(os.path.join(SOURCE, "LICENSE")) as f:
            holder = next(line.strip() for line in f if line.startswith("Copyright"))
        # Each string: its name, padding to 32 bits, its value, all UTF-16.
        strings = version.decode("utf-16-le", errors="replace")
        for name, value in (("ProductName", "Vornhale"), ("FileVersion", VERSION), ("ProductVersion", VERSION),
                            ("LegalCopyright", holder), ("FileDescription", "Vornhale, the ESP32-S3 flasher")):
            self.assertRegex(strings, "%s\0+%s\0" % (name, re.escape(value)))

    def test_icon_group_has_seven_32_bit_images(self):
        group = raw(RT_GROUP_ICON, "IDI_ICON1")
        reserved, kind, count = struct.unpack_from("<HHH", group)
        self.assertEqual((reserved, kind, count), (0, 1, 7))
        self.assertEqual(len(group), 6 + 14 * count)
        for index, size in enumerate(SIZES):
            width, height, colours, _, planes, bits, length, image_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * index)
            with self.subTest(size=size):
                self.assertEqual((width or 256, height or 256, colours, planes, bits), (size, size, 0, 1, 32))
                image = raw(RT_ICON, str(image_id))
                self.assertEqual(len(image), length)
                if size == 256:
                    # Stored as PNG: the drawn file itself.
                    with open(os.path.join(SOURCE, "app", "icons", "vornhale-256.png"), "rb") as drawn:
                        self.assertEqual(image, drawn.read())
                    self.assertEqual(struct.unpack_from(">IIBB", image, 16), (256, 256, 8, 6))  # RGBA, 8 bits
                else:
                    # An uncompressed bitmap, twice as high (colour and mask).
                    header = struct.unpack_from("<IiiHHI", image)
                    self.assertEqual(header, (40, size, 2 * size, 1, 32, 0))

    def test_manifest_asks_for_as_invoker_and_nothing_else(self):
        manifest = raw(RT_MANIFEST, "1")
        with open(os.path.join(SOURCE, "app", "vornhale.exe.manifest"), "rb") as source:
            self.assertEqual(manifest, source.read())
        root = ET.fromstring(manifest)
        v1, v3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
        elements = [element.tag for element in root.iter()]
        self.assertEqual(elements, [v1 + "assembly", v3 + "trustInfo", v3 + "security", v3 + "requestedPrivileges",
                                    v3 + "requestedExecutionLevel"])
        level = root.find("./{0}trustInfo/{0}security/{0}requestedPrivileges/{0}requestedExecutionLevel".format(v3))
        self.assertEqual(level.attrib, {"level": "asInvoker", "uiAccess": "false"})


class ReleaseZip(unittest.TestCase):
    def test_holds_the_program_its_licences_and_a_readme(self):
        top = os.path.basename(ZIP)[:-len(".zip")] + "/"
        with zipfile.ZipFile(ZIP) as release:
            files = sorted(name for name in release.namelist() if not name.endswith("/"))
            self.assertEqual(files, sorted(top + name for name in
                                           ("vornhale.exe", "LICENSE.txt", "THIRD-PARTY-NOTICES.txt", "README.txt")))
            exe = release.read(top + "vornhale.exe")
            notices = release.read(top + "THIRD-PARTY-NOTICES.txt").decode()
            readme = release.read(top + "README.txt").decode()
            with open(os.path.join(SOURCE, "LICENSE"), "rb") as f:
                self.assertEqual(release.read(top + "LICENSE.txt"), f.read())
        # The built program, stripped: a 64-bit Windows GUI executable.
        header = struct.unpack_from("<I", exe, 0x3C)[0]
        self.assertEqual(exe[header:header + 4], b"PE\0\0")
        self.assertEqual(struct.unpack_from("<H", exe, header + 4)[0], 0x8664)
        self.assertEqual(struct.unpack_from("<H", exe, header + 24 + 68)[0], 2)
        self.assertLess(len(exe), os.path.getsize(EXE))
        for carried in ("Pico CSS", "cpp-httplib", "{fmt}", "winpthreads"):
            self.assertIn(carried, notices)
        self.assertIn("esptool.exe", readme)
        self.assertEqual(readme.count("\n"), readme.count("\r\n"), "README.txt has CR LF line ends")


if __name__ == "__main__":
    unittest.main(argv=sys.argv)
