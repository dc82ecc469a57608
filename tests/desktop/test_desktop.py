"""The desktop entry and the icons: valid, and installed where desktops look."""

import os
import struct
import subprocess
import sys
import tempfile
import unittest

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
        result = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(result.stdout + result.stderr, "")
        with open(entry) as f:
            lines = f.read().splitlines()
        for line in ("Name=Vornhale", "Exec=vornhale", "Icon=vornhale", "Categories=Development;Electronics;"):
            self.assertIn(line, lines)

    def test_install_places_entry_and_every_icon(self):
        with tempfile.TemporaryDirectory(prefix="vornhale-install-") as prefix:
            subprocess.run(["cmake", "--install", os.environ["VORNHALE_BUILD_DIR"], "--prefix", prefix],
                           check=True, capture_output=True)
            self.assertTrue(os.path.isfile(os.path.join(prefix, "share/applications/vornhale.desktop")))
            for size in SIZES:
                with self.subTest(size=size):
                    icon = os.path.join(prefix, "share/icons/hicolor/%dx%d/apps/vornhale.png" % (size, size))
                    # 8 bits per channel, colour type 6: RGBA.
                    self.assertEqual(png_header(icon), (size, size, 8, 6))


if __name__ == "__main__":
    unittest.main(argv=sys.argv)
