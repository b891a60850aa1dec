#!/usr/bin/python3
"""What `cmake --install` leaves for a Linux desktop: the game on the PATH of the prefix,
a menu entry that starts it and the icon that entry names, where the freedesktop.org
menu and icon-theme lookups search (share/applications, share/icons/hicolor).

    test_install.py --build BUILD_DIR
"""

import argparse
import configparser
import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

OPTIONS = None


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


class InstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp(prefix="tamboro-install-")
        cls.result = subprocess.run(["cmake", "--install", OPTIONS.build, "--prefix", cls.prefix],
                                    capture_output=True, text=True, timeout=120)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.prefix, ignore_errors=True)

    def setUp(self):
        self.assertEqual(self.result.returncode, 0, self.result.stdout + self.result.stderr)

    def entry(self):
        parser = configparser.ConfigParser(interpolation=None, strict=True)
        parser.optionxform = str
        path = os.path.join(self.prefix, "share", "applications", "tamboro.desktop")
        self.assertTrue(os.path.isfile(path), "no share/applications/tamboro.desktop")
        parser.read(path, encoding="utf-8")
        self.assertIn("Desktop Entry", parser)
        return parser["Desktop Entry"]

    def test_executable_in_bin(self):
        game = os.path.join(self.prefix, "bin", "tamboro")
        self.assertTrue(os.path.isfile(game), "no bin/tamboro")
        self.assertTrue(os.access(game, os.X_OK), "bin/tamboro is not executable")
        with open(game, "rb") as f:
            self.assertEqual(f.read(4), b"\x7fELF")
        # Nothing outside the prefix's own layout: a desktop only looks in bin/ and share/.
        top = sorted(os.listdir(self.prefix))
        self.assertEqual(top, ["bin", "share"], top)

    def test_menu_entry_starts_the_game(self):
        entry = self.entry()
        self.assertEqual(entry.get("Type"), "Application")
        self.assertEqual(entry.get("Name"), "Tamboro 2.0")
        self.assertEqual(entry.get("Terminal", "false"), "false")
        # Exec names the program as found on the PATH, so the entry works for any prefix.
        self.assertEqual(entry.get("Exec"), "tamboro")
        self.assertTrue(os.access(os.path.join(self.prefix, "bin", entry["Exec"].split()[0]), os.X_OK))
        categories = entry.get("Categories", "")
        self.assertTrue(categories.endswith(";") and "Game" in categories.split(";"), categories)
        validate = shutil.which("desktop-file-validate")
        if validate:
            check = subprocess.run([validate, os.path.join(self.prefix, "share", "applications",
                                                           "tamboro.desktop")],
                                   capture_output=True, text=True, timeout=30)
            self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

    def test_icon_found_by_the_theme_lookup(self):
        self.assertEqual(self.entry().get("Icon"), "tamboro")
        icons = glob.glob(os.path.join(self.prefix, "share", "icons", "hicolor", "*", "apps", "tamboro.png"))
        self.assertTrue(icons, "no share/icons/hicolor/SIZE/apps/tamboro.png")
        for icon in icons:
            folder = icon.split(os.sep)[-3]
            match = re.fullmatch(r"(\d+)x(\d+)", folder)
            self.assertIsNotNone(match, f"{folder} is no size folder of the hicolor theme")
            # The theme lookup trusts the folder name for the picture's size.
            self.assertEqual(png_size(icon), (int(match[1]), int(match[2])), icon)
        for scalable in glob.glob(os.path.join(self.prefix, "share", "icons", "hicolor", "scalable",
                                               "apps", "*")):
            self.assertEqual(os.path.basename(scalable), "tamboro.svg")
            with open(scalable, encoding="utf-8") as f:
                self.assertIn("<svg", f.read(4096))


def main():
    global OPTIONS
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True, help="the configured and built build folder")
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
