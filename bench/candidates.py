#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Builds the game with candidate changes in scratch copies and measures them with run.py.

usage: python3 bench/candidates.py [NAME ...] [-- run.py options, e.g. --reps 7 --only startup,session]

Each candidate is the current tree (working files as they stand, without build/ and .git)
copied to build/bench-scratch/NAME/src, changed by the function below, and built in
Release beside it against the same local service port as build/bench. Nothing in the
real tree changes. run.py then measures the bare window, the game as it stands and every
candidate in the same run (--skip-build: build/bench must exist; run run.py once first).
"""

import os
import re
import shutil
import subprocess
import sys

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
SCRATCH = os.path.join(ROOT, "build", "bench-scratch")
HIDDEN_SCREENS = ["GameScreen.qml", "InfoScreen.qml", "HighScoreScreen.qml", "Hole.qml"]


def edit(src, relative, change):
    path = os.path.join(src, relative)
    with open(path) as f:
        text = f.read()
    changed = change(text)
    if changed == text:
        raise SystemExit(f"candidate does not apply to {relative}")
    with open(path, "w") as f:
        f.write(changed)


def async_images(src):
    """Pictures of the screens hidden at start are decoded on a loader thread."""
    for name in HIDDEN_SCREENS:
        edit(src, "resources/" + name,
             lambda t: re.sub(r"(\bImage \{\n)(\s*)", r"\1\2asynchronous: true\n\2", t))


def installed_font(src):
    """Text asks for a family fontconfig has, instead of falling back from a missing one."""
    for name in os.listdir(os.path.join(src, "resources")):
        if name.endswith(".qml"):
            path = os.path.join(src, "resources", name)
            text = open(path).read()
            new = text.replace('"MV Boli"', '"DejaVu Sans"').replace('"MS Shell Dlg 2"', '"DejaVu Sans"')
            if new != text:
                open(path, "w").write(new)


def qml_module(src):
    """The scene compiled ahead of time by qmlcachegen (qt_add_qml_module), same qrc paths."""
    def change(text):
        files = re.search(r"FILES\n(.*?)\n\)", text, re.S).group(1).split()
        qml = [f for f in files if f.endswith((".qml", ".js"))]
        images = [f for f in files if not f.endswith((".qml", ".js"))]
        head = text[:text.index("add_library(tamboro_scene")]
        return head + (
            "add_library(tamboro_scene STATIC)\n"
            "qt_add_qml_module(tamboro_scene\n"
            "    URI resources\n    VERSION 1.0\n    RESOURCE_PREFIX /\n    NO_PLUGIN\n"
            "    QML_FILES\n        " + "\n        ".join(qml) + "\n"
            "    RESOURCES\n        " + "\n        ".join(images) + "\n)\n")
    edit(src, "resources/CMakeLists.txt", change)


def without_hidden_screens(src):
    """Upper bound of creating the hidden screens only when first shown (a Loader each):
    the game, help and high-score screens are emptied down to their property declarations.
    Only the start screen works in this build; it prices what a lazy scene could save."""
    for name in ["GameScreen.qml", "InfoScreen.qml", "HighScoreScreen.qml"]:
        def change(text):
            declarations = [re.sub(r"property alias (\w+):.*", r"property var \1", line)
                            for line in text.splitlines()
                            if re.match(r"    (readonly )?property ", line) and "readonly" not in line]
            return "import QtQuick\n\nRectangle {\n" + "\n".join(declarations) + "\n}\n"
        edit(src, "resources/" + name, change)


CANDIDATES = {
    # The same snapshot unchanged: the tree moves on while others work, so candidates are
    # compared with this, not with build/bench.
    "baseline": [],
    "async-images": [async_images],
    "installed-font": [installed_font],
    "qml-module": [qml_module],
    "all": [async_images, installed_font, qml_module],
    "no-hidden-screens": [without_hidden_screens],
}


def port_of_bench_build():
    cache = open(os.path.join(ROOT, "build", "bench", "CMakeCache.txt")).read()
    return re.search(r"TAMBORO_AD_HOST:\w+=127\.0\.0\.1:(\d+)", cache).group(1)


def build(name, changes, port):
    base = os.path.join(SCRATCH, name)
    src = os.path.join(base, "src")
    if os.path.exists(src):
        shutil.rmtree(src)
    shutil.copytree(ROOT, src, ignore=shutil.ignore_patterns("build", ".git"))
    for change in changes:
        change(src)
    host = f"127.0.0.1:{port}"
    out = os.path.join(base, "build")
    subprocess.run(["cmake", "-S", src, "-B", out, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", "-DTAMBORO_TESTS=OFF",
                    f"-DTAMBORO_AD_HOST={host}", f"-DTAMBORO_AD_WEB_HOST={host}", f"-DTAMBORO_SCORE_HOST={host}",
                    f"-DTAMBORO_STORE_URL=http://{host}/store/kelto"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", out, "--target", "tamboro"], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(out, "tamboro")


def main():
    argv = sys.argv[1:]
    passthrough = []
    if "--" in argv:
        passthrough = argv[argv.index("--") + 1:]
        argv = argv[:argv.index("--")]
    names = ["baseline"] + [a for a in argv if not a.startswith("-") and a != "baseline"]
    if len(names) == 1:
        names = list(CANDIDATES)
    port = port_of_bench_build()
    extras = []
    for name in names:
        print(f"building candidate {name}", file=sys.stderr, flush=True)
        extras += ["--extra", f"{name}={build(name, CANDIDATES[name], port)}"]
    subprocess.run([sys.executable, os.path.join(BENCH, "run.py"), "--skip-build"] + extras + passthrough, check=True)


if __name__ == "__main__":
    main()
