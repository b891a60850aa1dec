# SPDX-License-Identifier: GPL-3.0-or-later
"""What the end-to-end tests share: a world of their own (Xvfb, a logged private session bus,
the local service and the game with a private home) and screenshots and xdotool to drive it."""

import argparse
import collections
import ctypes
import ctypes.util
import datetime
import glob
import json
import os
import select
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest

SCREEN_W, SCREEN_H = 480, 800
SERVICE_PORT = 18765  # the default of World(port=...): the port compiled into the game under test
WORLDS = []  # every world made, for the SIGTERM handler to stop
OPTIONS = None  # the command line, set by run_game_tests
PROBE_PATH = "/content.asp?pageid=18"
# The probe is answered late so that the ad chain is done first (else no start-up ad shows)
# and a loaded machine has drawn the start screen under its connection overlay before it.
PROBE_DELAY_MS = 8000

# A screen change slides for 300 ms; a little more and it has surely ended.
SLIDE_SECONDS = 0.4
# A card turns in half the spawn interval, 500 ms at the start of a game.
FLIP_SECONDS = 0.55

# Hole geometry on the full 480x800 screen: four rows of two.
HOLE_W = SCREEN_W / 2.5
HOLE_H = SCREEN_H / 4.7

# Scene positions of the controls a player uses.
NEW_GAME, HIGHSCORES, HELP, HOME = (242, 333), (242, 393), (128, 513), (240, 751)
RESTART = (156, 751)  # left of home on the game screen
UPLOAD_HIGH_SCORE, UPLOAD_SCORE_IN_FORM = (240, 605), (240, 392)
USERNAME_BOX, PASSWORD_BOX = (240, 208), (240, 298)
MINIMISE, CLOSE = (25, 25), (455, 25)


class XImage(ctypes.Structure):
    _fields_ = ([(n, ctypes.c_int) for n in ("width", "height", "xoffset", "format")]
                + [("data", ctypes.POINTER(ctypes.c_ubyte))]
                + [(n, ctypes.c_int) for n in ("byte_order", "bitmap_unit", "bitmap_bit_order", "bitmap_pad",
                                               "depth", "bytes_per_line", "bits_per_pixel")])


class Stage:
    """Where the 480x800 scene lies on a screen: scaled to fit, centred, times QT_SCALE_FACTOR."""

    def __init__(self, screen_w=SCREEN_W, screen_h=SCREEN_H, scale_factor=1):
        logical_w, logical_h = screen_w / scale_factor, screen_h / scale_factor
        fit = min(logical_w / SCREEN_W, logical_h / SCREEN_H)
        self.screen_size = (screen_w, screen_h)
        self.scale_factor = scale_factor
        self.scale = fit * scale_factor
        self.left = (screen_w - SCREEN_W * self.scale) / 2
        self.top = (screen_h - SCREEN_H * self.scale) / 2

    def to_screen(self, x, y):
        return self.left + x * self.scale, self.top + y * self.scale


class Screen:
    """The root window read straight from the X server, fast enough to catch a monkey."""

    ALL_PLANES = 0xFFFFFFFFFFFFFFFF
    Z_PIXMAP = 2

    def __init__(self, display, stage):
        self.stage = stage
        self.xlib = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        c = ctypes
        for name, result, args in [
                ("XOpenDisplay", c.c_void_p, [c.c_char_p]), ("XDefaultRootWindow", c.c_ulong, [c.c_void_p]),
                ("XGetImage", c.POINTER(XImage),
                 [c.c_void_p, c.c_ulong, c.c_int, c.c_int, c.c_uint, c.c_uint, c.c_ulong, c.c_int]),
                ("XDestroyImage", c.c_int, [c.POINTER(XImage)]), ("XCloseDisplay", c.c_int, [c.c_void_p])]:
            getattr(self.xlib, name).restype, getattr(self.xlib, name).argtypes = result, args
        self.display = self.xlib.XOpenDisplay(display.encode())
        if not self.display:
            raise RuntimeError(f"cannot open display {display}")
        self.root = self.xlib.XDefaultRootWindow(self.display)

    def grab(self):
        width, height = self.stage.screen_size
        image = self.xlib.XGetImage(self.display, self.root, 0, 0, width, height,
                                    self.ALL_PLANES, self.Z_PIXMAP)
        if not image:
            raise RuntimeError("XGetImage failed")
        try:
            info = image.contents
            if info.bits_per_pixel != 32 or info.byte_order != 0:
                raise RuntimeError(f"unexpected screen format: {info.bits_per_pixel} bits per pixel")
            data = ctypes.string_at(info.data, info.bytes_per_line * info.height)
            return Shot(info.width, info.height, info.bytes_per_line, data, self.stage)
        finally:
            self.xlib.XDestroyImage(image)

    def close(self):
        if self.display:
            self.xlib.XCloseDisplay(self.display)
            self.display = None


class Shot:
    """One screenshot of 32-bit pixels, blue first, read at scene coordinates."""

    def __init__(self, width, height, stride, data, stage):
        self.width, self.height, self.stride, self.data = width, height, stride, data
        self.stage = stage

    def pixel(self, x, y):
        x, y = self.stage.to_screen(x, y)
        i = int(y) * self.stride + 4 * int(x)
        return self.data[i + 2], self.data[i + 1], self.data[i]

    def pixels(self, x0, y0, x1, y1, step=3):
        for y in range(int(y0), int(y1), step):
            for x in range(int(x0), int(x1), step):
                yield self.pixel(x, y)

    def brightness(self, x0, y0, x1, y1, step=3):
        values = [sum(p) / 3 for p in self.pixels(x0, y0, x1, y1, step)]
        return sum(values) / len(values)

    def white_count(self, x0, y0, x1, y1, step=1, floor=215):
        return sum(1 for p in self.pixels(x0, y0, x1, y1, step) if min(p) >= floor)

    def white_fraction(self, x0, y0, x1, y1, step=3, floor=215):
        return self.white_count(x0, y0, x1, y1, step, floor) / len(list(self.pixels(x0, y0, x1, y1, step)))

    def save_png(self, path):
        rows = b"".join(self.data[y * self.stride:y * self.stride + 4 * self.width] for y in range(self.height))
        # The fourth byte of a pixel on a 24-bit screen is no alpha.
        subprocess.run(["convert", "-size", f"{self.width}x{self.height}", "-depth", "8", "bgra:-",
                        "-alpha", "off", "png24:" + path], input=rows, check=True)


def monkey_colour(p):
    """'blue', 'violet' or 'yellow' for a monkey's fur, None for anything else."""
    r, g, b = p
    if max(p) - min(p) < 70:
        return None
    if b > r + 40 and b > g + 20:
        return "violet" if r > g + 30 else "blue"
    if r > g + 40 and b > g + 40:
        return "violet"
    if r > 150 and g > 110 and b < r - 80:
        return "yellow"
    return None


def hole_rect(number):
    """(x, y, w, h) of hole 1 to 8 on the screen."""
    column, row = (number - 1) % 2, (number - 1) // 2
    x = HOLE_W / 8 if column == 0 else HOLE_W + HOLE_W / 8 * 3
    return x, HOLE_H * row + HOLE_H / 10, HOLE_W, HOLE_H


def card_area(number):
    """The middle of a hole's card, inside the rim's opening."""
    x, y, w, h = hole_rect(number)
    return x + 0.3 * w, y + 0.25 * h, x + 0.7 * w, y + 0.75 * h


def monkey_in(shot, number):
    """The colour of the monkey standing in a hole, or None for an empty card."""
    values = list(shot.pixels(*card_area(number), step=4))
    counts = collections.Counter(filter(None, map(monkey_colour, values)))
    if not counts or sum(counts.values()) < 0.12 * len(values):
        return None
    return counts.most_common(1)[0][0]


def monkey_holes(shot):
    return [n for n in range(1, 9) if monkey_in(shot, n)]


def logged_time(entry):
    return datetime.datetime.fromisoformat(entry["time"]).timestamp()


def wait_until(predicate, timeout, interval=0.1):
    """The first true value of predicate() within timeout seconds, else None."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return None
        time.sleep(interval)


def read_file(path):
    """A file's text, or "" for one that is not there (yet or any more)."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def read_line(stream, timeout):
    ready, _, _ = select.select([stream], [], [], timeout)
    return stream.readline().decode(errors="replace").strip() if ready else None


def die_with_parent():
    """Run in each child before exec: it is stopped with the test, even a killed one."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


class World:
    """Every process the test starts, stopped in reverse order however the test ends."""

    def __init__(self, stage=None, port=None):
        WORLDS.append(self)
        self.port = port or SERVICE_PORT
        self.tmp = tempfile.mkdtemp(prefix="tamboro-e2e-")
        self.processes = []
        self.env = {}
        self.screen = None
        self.stage = stage or Stage()

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def spawn(self, name, argv, **kwargs):
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        kwargs.setdefault("preexec_fn", die_with_parent)
        if "stdout" in kwargs:
            process = subprocess.Popen(argv, **kwargs)
        else:
            with open(self.path(name + ".out"), "wb") as out:
                process = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, **kwargs)
        self.processes.append((name, process))
        return process

    def stop(self, process, grace=5):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(grace)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(grace)

    def stop_all(self):
        if self.screen:
            self.screen.close()
        for _, process in reversed(self.processes):
            self.stop(process)
            for stream in (process.stdout, process.stderr):
                if stream:
                    stream.close()

    def end(self, passed):
        self.stop_all()
        if passed:
            shutil.rmtree(self.tmp, ignore_errors=True)
        else:
            print(f"\nkept for inspection: {self.tmp}", file=sys.stderr)

    def start(self, source, game, probe_delay_ms=PROBE_DELAY_MS, window_manager=False):
        """No service without a source."""
        try:
            self.start_display()
            self.start_desktop(window_manager)
            self.start_bus()
            if source:
                self.start_service(source, probe_delay_ms)
            self.start_game(game)
        except Exception:
            self.stop_all()
            raise

    def start_desktop(self, window_manager):
        if window_manager:
            self.spawn("openbox", ["openbox", "--sm-disable"], env=dict(os.environ, **self.env))

    def start_display(self):
        # Xvfb picks a free display number itself and writes it to the pipe.
        reader, writer = os.pipe()
        try:
            width, height = self.stage.screen_size
            self.spawn("xvfb", ["Xvfb", "-displayfd", str(writer), "-screen", "0",
                                f"{width}x{height}x24", "-nolisten", "tcp", "-noreset"],
                       pass_fds=(writer,))
        finally:
            os.close(writer)
        with os.fdopen(reader, "rb") as stream:
            number = read_line(stream, 15)
        if not number:
            raise RuntimeError("Xvfb did not report a display within 15 s")
        self.env["DISPLAY"] = ":" + number
        self.screen = Screen(self.env["DISPLAY"], self.stage)

    def start_bus(self):
        bus = self.spawn("dbus", ["dbus-daemon", "--session", "--nofork", "--nopidfile",
                                  "--print-address=1"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        address = read_line(bus.stdout, 15)
        if not address:
            raise RuntimeError("dbus-daemon did not print its address within 15 s")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address
        self.spawn("dbus-monitor", ["dbus-monitor", "--address", address,
                                    "type='signal',interface='com.nokia.hildon_desktop'"])

    def start_service(self, source, probe_delay_ms, patience=120):
        """The port is compiled into the game; another run holding it is waited out."""
        self.service_log = self.path("requests.log")
        deadline = time.monotonic() + patience
        while True:
            with open(self.path("adnet.err"), "wb") as err:
                service = self.spawn("adnet", [sys.executable, os.path.join(source, "tools", "adnet.py"),
                                               "--port", str(self.port), "--data", self.path("service"),
                                               "--log", self.service_log, "--quiet",
                                               "--set", f"probe_delay_ms={probe_delay_ms}"],
                                     stdout=subprocess.PIPE, stderr=err)
            line = read_line(service.stdout, 15)
            if line and line.startswith("listening"):
                return
            self.stop(service)
            reason = read_file(self.path("adnet.err"))
            if "in use" not in reason or time.monotonic() > deadline:
                raise RuntimeError(f"local service did not start on port {self.port}: {reason}")
            time.sleep(1)

    def start_game(self, game):
        home = self.path("home")
        runtime = self.path("runtime")
        for folder in (home, runtime):
            os.makedirs(folder, mode=0o700)
        # The caller's own desktop and home stay out; QT_QUICK_BACKEND comes through.
        env = {key: value for key, value in os.environ.items()
               if not key.startswith(("XDG_", "DBUS_", "WAYLAND_", "QT_QPA_"))}
        env.update(self.env)
        env.update(HOME=home, XDG_DATA_HOME=os.path.join(home, "data"),
                   XDG_CONFIG_HOME=os.path.join(home, "config"),
                   XDG_CACHE_HOME=os.path.join(home, "cache"), XDG_RUNTIME_DIR=runtime,
                   QT_QPA_PLATFORM=self.env.get("QT_QPA_PLATFORM", "xcb"))
        if self.stage.scale_factor != 1:
            env["QT_SCALE_FACTOR"] = str(self.stage.scale_factor)
        self.data_home = env["XDG_DATA_HOME"]
        self.game = self.spawn("game", [game], env=env, cwd=home)

    def game_output(self, name="game"):
        return read_file(self.path(name + ".out"))[-4000:]

    # X input and output

    def run(self, *argv, timeout=10):
        return subprocess.run(argv, env=dict(os.environ, **self.env), capture_output=True, text=True, timeout=timeout)

    def x(self, *args):
        return self.run("xdotool", *map(str, args))

    def key(self, *names):
        self.x("key", "--delay", "60", *names)

    def tap(self, point, hover=0):
        """A click at a point of the scene, the pointer resting there hover seconds first."""
        x, y = self.stage.to_screen(*point)
        self.x("mousemove", int(x), int(y), *(("sleep", hover) if hover else ()), "click", "1")

    def shot(self):
        return self.screen.grab()

    def windows(self):
        """Visible top-level windows of the game, as (id, width, height)."""
        found = self.x("search", "--onlyvisible", "--pid", self.game.pid).stdout.split()
        result = []
        for window in found:
            info = self.x("getwindowgeometry", "--shell", window).stdout
            values = dict(line.split("=", 1) for line in info.split() if "=" in line)
            if "WIDTH" in values:
                result.append((window, int(values["WIDTH"]), int(values["HEIGHT"])))
        return result

    def dialog(self):
        """The ad dialog: a visible window of the game that is not the full-screen view."""
        return next((w for w in self.windows() if (w[1], w[2]) != self.stage.screen_size), None)

    def main_window(self):
        return next((w for w in self.windows() if (w[1], w[2]) == self.stage.screen_size), None)

    def wait_for_shot(self, condition, timeout, settle=SLIDE_SECONDS, unmet=None):
        """The first screenshot within timeout for which condition holds, still after settle
        seconds (a slide ended); else None, the last one saved as unmet-NAME.png if named."""
        latest = {}

        def check():
            latest["shot"] = self.shot()
            if condition(latest["shot"]) and settle:
                time.sleep(settle)
                latest["shot"] = self.shot()
            return condition(latest["shot"])
        if wait_until(check, timeout, interval=0.2):
            return latest["shot"]
        if unmet:
            latest["shot"].save_png(self.path(f"unmet-{unmet}.png"))
        return None

    def press(self, window, *keys):
        """Keys sent to a window once it has the focus."""
        self.x("windowfocus", window)
        time.sleep(0.2)
        self.key(*keys)

    def escape_dialog(self, dialog):
        """Escape on the ad dialog; whether it went within 6 s, before its 10 s countdown could."""
        self.press(dialog[0], "Escape")
        return bool(wait_until(lambda: self.dialog() is None, 6))

    def dismiss_dialog(self, patience):
        """escape_dialog on an ad dialog that shows within patience seconds, None when none does."""
        dialog = wait_until(self.dialog, patience, interval=0.2)
        return self.escape_dialog(dialog) if dialog else None

    # What the services saw

    def requests(self, path=None):
        """Requests in the service's log, optionally only those of "path[?query]"."""
        entries = [json.loads(line) for line in read_file(self.service_log).splitlines() if line.strip()]
        want_path, _, want_query = (path or "").partition("?")
        return [e for e in entries if path is None or (
            e["path"] == want_path and (not want_query or e.get("query") == want_query))]

    def bus_signals(self):
        return [line for line in read_file(self.path("dbus-monitor.out")).splitlines(keepends=True)
                if line.startswith("signal ") and "member=exit_app_view" in line]

    def stored_scores(self):
        """Scores in the game's local database, best first, looked for only in the folder named
        after the application: a renamed game would lose its players' scores."""
        databases = os.path.join(self.data_home, "Tamboro 2.0", "QML", "OfflineStorage", "Databases")
        for path in glob.glob(os.path.join(databases, "*.sqlite")):
            db = sqlite3.connect(f"file:{path}?mode=ro", uri=True, timeout=5)
            try:
                rows = db.execute("SELECT score, gridSize, name FROM Scores ORDER BY score DESC").fetchall()
            except sqlite3.Error:
                continue
            finally:
                db.close()
            return rows
        return []


def start_title_shown(shot):
    """The start screen's orange "Tamboro" lettering, which no other screen has."""
    return sum(1 for p in shot.pixels(40, 60, 440, 140) if p[0] > 180 and p[2] < 100) > 100


def start_screen_overlay(shot):
    """None off the start screen, else whether the connection overlay covers it: it darkens the
    strip beside the buttons to a fifth and leaves "New Game"'s letters (at opacity 0.68) dim."""
    if not start_title_shown(shot):
        return None
    dark = shot.brightness(31, 350, 36, 495, step=2) < 0.5 * shot.brightness(8, 350, 26, 495, step=2)
    letters = shot.white_count(150, 318, 340, 350, floor=160)
    return True if dark and letters < 10 else False if not dark and letters > 40 else None


def start_screen_uncovered(shot):
    return start_screen_overlay(shot) is False


def game_screen_shown(shot):
    # Six or more holes show their card: a white oval or a monkey.
    return not start_title_shown(shot) and sum(
        shot.white_fraction(*card_area(n)) > 0.5 or monkey_in(shot, n) is not None for n in range(1, 9)) >= 6


def board_gap(shot):
    """Brightness between the hole columns; the game-over overlay darkens it, its title white at the top."""
    return shot.brightness(222, 200, 258, 680, step=4)


def high_score_screen_shown(shot):
    return (shot.brightness(75, 590, 405, 622) < 70 and shot.white_count(75, 588, 405, 624, floor=160) > 40
            and not game_screen_shown(shot) and not start_title_shown(shot))


def help_screen_shown(shot):
    """White lines of help text on the grey ground, and no other screen."""
    return (shot.white_count(40, 110, 440, 400, step=2) > 400 and not high_score_screen_shown(shot)
            and not game_screen_shown(shot) and not start_title_shown(shot))


def upload_form_shown(shot):
    # The panel is drawn at opacity 0.5, so its white input boxes come out mid grey on black.
    return (shot.white_fraction(80, 192, 400, 224, floor=120) > 0.9
            and shot.white_fraction(80, 282, 400, 314, floor=120) > 0.9
            and shot.brightness(240, 236, 420, 266) < 70)


def play_to_game_over(test, world, hits, seconds, first_seen=None, hit=None):
    """From "New Game" chosen: monkeys hit (tapped, or hit(number)) until hits, game over or
    seconds, then three let escape; the game-over overlay must come and one score be stored.
    first_seen(shot) runs at the first monkey. Returns the colours hit and the overlay's shot."""
    shot = world.wait_for_shot(game_screen_shown, 5, unmet="new-game")
    test.assertIsNotNone(shot, "\"New Game\" did not bring up the board of eight holes")
    gap = board_gap(shot)

    def game_over_shown(shot):
        return board_gap(shot) < 0.7 * gap and shot.white_count(170, 22, 310, 75) > 60
    taps, tapped_at, seen = [], {}, False
    deadline = time.monotonic() + seconds
    while len(taps) < hits and time.monotonic() < deadline:
        shot = world.shot()
        if game_over_shown(shot):
            break
        if not seen and monkey_holes(shot):
            seen = True
            if first_seen:
                first_seen(shot)
                shot = world.shot()
        for number in range(1, 9):
            colour = monkey_in(shot, number)
            if not colour or time.monotonic() - tapped_at.get(number, 0) < 0.8:
                continue
            if hit:
                hit(number)
            else:
                x, y, w, h = hole_rect(number)
                world.tap((int(x + w / 2), int(y + h / 2)))
            tapped_at[number] = time.monotonic()
            taps.append(colour)
    test.assertTrue(seen, f"no monkey showed up in {seconds} s of play")
    test.assertTrue(taps, "no monkey was hit")
    over = world.wait_for_shot(game_over_shown, 30, unmet="game-over")
    test.assertIsNotNone(over, "no \"Game over!\" overlay within 30 s of the last hit")
    scores = world.stored_scores()
    test.assertEqual(len(scores), 1, f"expected one stored score after the game, found {scores}")
    return taps, over


class Steps(unittest.TestCase):
    """Steps in order in one world (make_world, started with start_options): after a failure the
    later ones are skipped, unless the step set later_steps_unaffected. A failed run keeps its files."""

    world = None
    broken = None
    failed = False
    later_steps_unaffected = False
    game_may_have_exited = ()  # steps that may find the game gone
    start_options = {}

    @classmethod
    def make_world(cls):
        return World(port=OPTIONS.port)

    @classmethod
    def setUpClass(cls):
        cls.kept = {}
        cls.world = cls.make_world()
        try:
            cls.world.start(OPTIONS.source, OPTIONS.game, **cls.start_options)
            cls.world_started()
        except Exception:
            cls.failed = True
            cls.tearDownClass()
            raise

    @classmethod
    def world_started(cls):
        """What a script adds once its world runs."""

    @classmethod
    def tearDownClass(cls):
        cls.world.end(passed=not cls.failed)
        write_shots(cls.kept)

    def keep(self, name, shot):  # written at the end: compressing one takes longer than a monkey waits
        type(self).kept[name] = shot

    def setUp(self):
        steps = type(self)
        if steps.broken:
            self.skipTest(f"an earlier step failed ({steps.broken})")
        if self.world.game.poll() is not None and self._testMethodName not in self.game_may_have_exited:
            steps.broken = self._testMethodName
            self.fail(f"the game exited with status {self.world.game.returncode}:\n{self.world.game_output()}")

    def run(self, result=None):
        before = len(result.failures) + len(result.errors) if result else 0
        outcome = super().run(result)
        if result and len(result.failures) + len(result.errors) > before:
            type(self).failed = True
            if not type(self).broken and not self.later_steps_unaffected:
                type(self).broken = self._testMethodName
        return outcome

    def shows(self, condition, what, timeout=5, **how):
        shot = self.world.wait_for_shot(condition, timeout, unmet=self._testMethodName, **how)
        self.assertIsNotNone(shot, what)
        return shot

    def ad_dialog(self, what):
        dialog = wait_until(self.world.dialog, 15, interval=0.2)
        self.assertIsNotNone(dialog, f"no ad dialog {what}")
        return dialog

    def exits_after_ad(self, send_away, what):
        """The ad on the way out, sent away by send_away(dialog, what); then the game quits with 0."""
        dialog = self.ad_dialog(what)
        self.assertIsNone(self.world.game.poll(), "the game quit before its ad was sent away")
        send_away(dialog, what)
        self.assertTrue(wait_until(lambda: self.world.game.poll() is not None, 10),
                        f"the game kept running after its ad {what} was sent away")
        self.assertEqual(self.world.game.returncode, 0, self.world.game_output())

    def escape_ad(self, dialog, what):
        self.assertTrue(self.world.escape_dialog(dialog), f"Escape did not close the ad {what}")

    def reach_start_screen(self, skip_ad=None):
        """The full-screen window (returned), its start-up ad if any sent away by skip_ad(dialog,
        what) or Escape, and the start screen uncovered."""
        main = wait_until(self.world.main_window, 20)
        self.assertIsNotNone(main, "no full-screen game window")
        dialog = wait_until(self.world.dialog, PROBE_DELAY_MS / 1000 + 8, interval=0.2)
        if dialog:
            (skip_ad or self.escape_ad)(dialog, "at start-up")
        self.shows(start_screen_uncovered, "the start screen stayed covered", 15)
        return main

    def check_upload(self, player, password):
        """The form's one upload (its log entry returned), of the best score under player's name,
        recorded with the password as typed and nowhere in clear; then the form closes."""
        world = self.world
        # Only this player's: in a shared session another game may post to the same port.
        uploads = wait_until(lambda: [e for e in world.requests("/scores/upload.php")
                                      if (e.get("form") or {}).get("username") == player], 10)
        self.assertEqual(len(uploads or []), 1, "the form posted nothing, or more than once, to the score board")
        best = world.stored_scores()[0][0]
        self.assertEqual(uploads[0]["form"].get("score"), str(best))
        sys.path.insert(0, os.path.join(OPTIONS.source, "tools"))
        import adnet_store
        # The log line is written before the board stores the upload.
        store = adnet_store.Store(world.path("service"))
        top = wait_until(lambda: [row for row in store.top_scores("tamboro") if row["username"] == player], 5)
        self.assertEqual([row["score"] for row in top or []], [best], "the score board did not record the upload")
        self.assertTrue(adnet_store.verify_upload(world.path("service"), top[0]["id"], password),
                        "the password did not reach the score board as typed")
        in_clear = subprocess.run(["grep", "-rlsF", "-D", "skip", "-e", password, world.tmp], capture_output=True)
        self.assertEqual(in_clear.stdout.decode(), "", "the password is stored or logged in clear")
        self.shows(lambda s: not upload_form_shown(s), "the form stayed open after the upload")
        return uploads[0]


def write_shots(shots):
    """Screenshots by name into --shots, and into docs/screenshots/ with --update-docs."""
    folders = [OPTIONS.shots] if getattr(OPTIONS, "shots", None) else []
    if getattr(OPTIONS, "update_docs", False):
        folders.append(os.path.join(OPTIONS.source, "docs", "screenshots"))
    for path in folders:
        os.makedirs(path, exist_ok=True)
        for name, shot in shots.items():
            shot.save_png(os.path.join(path, name + ".png"))


def arguments(doc):
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("--source", default=os.path.dirname(os.path.dirname(
        os.path.dirname(os.path.abspath(__file__)))), help="the source tree (for tools/adnet.py)")
    parser.add_argument("--port", type=int, default=SERVICE_PORT, help="the service port compiled into the game")
    return parser


def run_game_tests(doc, add_options=None):
    """The calling script's tests against --game, the options (and add_options') in OPTIONS."""
    global OPTIONS
    parser = arguments(doc)
    parser.add_argument("--game", required=True, help="the tamboro executable")
    parser.add_argument("--shots", help="folder for the screenshots")
    if add_options:
        add_options(parser)
    OPTIONS, rest = parser.parse_known_args()
    OPTIONS.game = os.path.abspath(OPTIONS.game)
    sys.modules["__main__"].OPTIONS = OPTIONS
    run_tests(rest)


def run_tests(rest):
    """unittest on the rest; a SIGTERM stops every world (unittest would take SystemExit for an error)."""
    def stop(number, _frame):
        for world in WORLDS:
            world.stop_all()
        os._exit(128 + number)
    signal.signal(signal.SIGTERM, stop)
    unittest.main(argv=[sys.argv[0], "-v", *rest])
