#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Every source file names its licence in an SPDX line at its head.

    tools/spdx-heads.py [--check] [--source DIR]

Code (C++, QML, JavaScript, Python, shell, CMake, the desktop entry, the metainfo, the
manual page and the templates they are made from) is under GPL-3.0-or-later; the vector
sources of the pictures (SVG) are under CC-BY-SA-4.0, like the pictures themselves, which
have no room for a comment (packaging/copyright lists them). Without --check, adds the
line where it is missing: after a "#!" line or an XML declaration, else first. With
--check, changes nothing and lists the files without the right line (exit status 1).
The files are those git tracks, else every file outside build folders and hidden ones.
"""

import argparse
import os
import subprocess
import sys

CODE = "GPL-3.0-or-later"
PICTURES = "CC-BY-SA-4.0"
# How a comment is written, by file name ending.
COMMENTS = [
    ((".cpp", ".h", ".h.in", ".qml", ".js"), "// {}"),
    ((".py", ".sh", ".cmake", "CMakeLists.txt", ".desktop", "tamboro-launcher.in", ".ci/run"), "# {}"),
    ((".svg", ".xml.in"), "<!-- {} -->"),
    ((".6.in",), '.\\" {}'),
]
# The head line must be within this many lines of the top.
HEAD_LINES = 3


def source_files(root):
    tracked = subprocess.run(["git", "-C", root, "ls-files", "-z"], capture_output=True)
    if tracked.returncode == 0 and tracked.stdout:
        return sorted(name for name in tracked.stdout.decode().split("\0") if name)
    found = []
    for folder, dirs, names in os.walk(root):
        dirs[:] = [d for d in dirs if not d.startswith(".") and not d.startswith("build")]
        found += [os.path.relpath(os.path.join(folder, n), root) for n in names]
    return sorted(found)


def head_line(name):
    """The SPDX line a file must carry, or None for a file that is no source."""
    for endings, comment in COMMENTS:
        if name.endswith(endings):
            licence = PICTURES if name.endswith(".svg") else CODE
            return comment.format("SPDX-License-Identifier: " + licence)
    return None


def carries(text, line):
    return line in text.splitlines()[:HEAD_LINES]


def with_head(text, line):
    lines = text.splitlines(keepends=True)
    at = 1 if lines and (lines[0].startswith("#!") or lines[0].startswith("<?xml")) else 0
    return "".join(lines[:at] + [line + "\n"] + lines[at:])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", action="store_true", help="only list the files without the line")
    parser.add_argument("--source", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    options = parser.parse_args()
    missing = []
    for name in source_files(options.source):
        line = head_line(name)
        if not line:
            continue
        path = os.path.join(options.source, name)
        with open(path, encoding="utf-8", newline="") as f:
            text = f.read()
        if carries(text, line):
            continue
        # A file whose head names another licence is not for this script to change.
        if options.check or "SPDX-License-Identifier:" in "".join(text.splitlines()[:HEAD_LINES]):
            missing.append(name)
            continue
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(with_head(text, line))
        print(f"added to {name}")
    for name in missing:
        print(f"{name}: no \"{head_line(name)}\" in its first {HEAD_LINES} lines", file=sys.stderr)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
