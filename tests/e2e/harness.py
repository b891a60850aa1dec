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
import statistics
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

# A card turns in half the spawn interval, 500 ms at the start of a game.
FLIP_SECONDS = 0.55


# Scene positions of the controls a player uses.
NEW_GAME, HIGHSCORES, HELP, HOME = (242, 333), (242, 393), (128, 513), (240, 751)
UPLOAD_HIGH_SCORE, UPLOAD_SCORE_IN_FORM = (240, 605), (240, 392)
USERNAME_BOX, PASSWORD_BOX = (240, 208), (240, 298)
MINIMISE, CLOSE = (25, 25), (455, 25)


class XImage(ctypes.Structure):
    _fields_ = ([(n, ctypes.c_int) for n in ("width", "height", "xoffset", "format")]
                + [("data", ctypes.POINTER(ctypes.c_ubyte))]
                + [(n, ctypes.c_int) for n in ("byte_order", "bitmap_unit", "bitmap_bit_order", "bitmap_pad",
                                               "depth", "bytes_per_line", "bits_per_pixel")])


class Stage:
    """Where the 480x800 scene lies on a screen: scaled to fit and centred. QT_SCALE_FACTOR
    divides the screen the game fits into and multiplies the fit, which it leaves as it is."""

    def __init__(self, screen_w=SCREEN_W, screen_h=SCREEN_H, scale_factor=1):
        self.screen_size, self.scale_factor = (screen_w, screen_h), scale_factor
        self.scale = min(screen_w / SCREEN_W, screen_h / SCREEN_H)
        self.left = (screen_w - SCREEN_W * self.scale) / 2
        self.top = (screen_h - SCREEN_H * self.scale) / 2

    def to_screen(self, x, y):
        return self.left + x * self.scale, self.top + y * self.scale


# Screenshots are read straight from the X server, fast enough to catch a monkey.
XLIB = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
for _name, _result, _args in [
        ("XOpenDisplay", ctypes.c_void_p, [ctypes.c_char_p]), ("XDefaultRootWindow", ctypes.c_ulong, [ctypes.c_void_p]),
        ("XGetImage", ctypes.POINTER(XImage), [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                               ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]),
        ("XDestroyImage", ctypes.c_int, [ctypes.POINTER(XImage)]), ("XCloseDisplay", ctypes.c_int, [ctypes.c_void_p])]:
    getattr(XLIB, _name).restype, getattr(XLIB, _name).argtypes = _result, _args


class Shot:
    """One screenshot of 32-bit pixels, blue first, read at scene coordinates."""

    def __init__(self, width, height, stride, data, stage):
        self.width, self.height, self.stride, self.data, self.stage = width, height, stride, data, stage

    def pixel(self, x, y):
        return self.at(*self.stage.to_screen(x, y))

    def at(self, x, y):
        """The pixel at a point of the screen."""
        i = int(y) * self.stride + 4 * int(x)
        return self.data[i + 2], self.data[i + 1], self.data[i]

    def pixels(self, x0, y0, x1, y1, step=3):
        for y in range(int(y0), int(y1), step):
            for x in range(int(x0), int(x1), step):
                yield self.pixel(x, y)

    def brightness(self, x0, y0, x1, y1, step=3):
        return statistics.mean(sum(p) / 3 for p in self.pixels(x0, y0, x1, y1, step))

    def white_count(self, x0, y0, x1, y1, step=1, floor=215):
        return sum(min(p) >= floor for p in self.pixels(x0, y0, x1, y1, step))

    def white_fraction(self, x0, y0, x1, y1, step=3, floor=215):
        return statistics.mean(min(p) >= floor for p in self.pixels(x0, y0, x1, y1, step))

    def save_png(self, path):
        rows = b"".join(self.data[y * self.stride:y * self.stride + 4 * self.width] for y in range(self.height))
        # The fourth byte of a pixel on a 24-bit screen is no alpha.
        subprocess.run(["convert", "-size", f"{self.width}x{self.height}", "-depth", "8", "bgra:-",
                        "-alpha", "off", "png24:" + path], input=rows, check=True)


def monkey_colour(p):
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


def card_area(number):
    """The middle of the card of hole 1 to 8 (four rows of two on the scene), inside the rim's opening."""
    w, h, column, row = SCREEN_W / 2.5, SCREEN_H / 4.7, (number - 1) % 2, (number - 1) // 2
    x, y = w / 8 * (1 + 10 * column), h * row + h / 10
    return x + 0.3 * w, y + 0.25 * h, x + 0.7 * w, y + 0.75 * h


def monkey_in(shot, number):
    values = list(shot.pixels(*card_area(number), step=4))
    counts = collections.Counter(filter(None, map(monkey_colour, values)))
    return counts.most_common(1)[0][0] if counts and sum(counts.values()) >= 0.12 * len(values) else None


def monkey_holes(shot):
    return [n for n in range(1, 9) if monkey_in(shot, n)]


def wait_until(predicate, timeout, interval=0.1):
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


class World:
    """Every process the test starts, stopped in reverse order however the test ends."""

    def __init__(self, stage=None, port=None):
        WORLDS.append(self)
        self.port = port or SERVICE_PORT
        self.tmp = tempfile.mkdtemp(prefix="tamboro-e2e-")
        self.processes, self.env, self.display = [], {}, None
        self.stage = stage or Stage()

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def spawn(self, name, argv, **kwargs):
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        # PR_SET_PDEATHSIG in the child before exec: it is stopped with the test, even a killed one.
        kwargs.setdefault("preexec_fn", lambda: ctypes.CDLL(None).prctl(1, signal.SIGTERM))
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
        if self.display:
            XLIB.XCloseDisplay(self.display)
            self.display = None
        for _, process in reversed(self.processes):
            self.stop(process)
            for stream in filter(None, (process.stdout, process.stderr)):
                stream.close()

    def end(self, passed):
        self.stop_all()
        if passed:
            shutil.rmtree(self.tmp, ignore_errors=True)
        else:
            print(f"\nkept for inspection: {self.tmp}", file=sys.stderr)

    def start(self, source, game, probe_delay_ms=PROBE_DELAY_MS, window_manager=False):
        """No service without a source. The caller ends the world, also when this fails."""
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
        self.display = XLIB.XOpenDisplay(self.env["DISPLAY"].encode())
        if not self.display:
            raise RuntimeError(f"cannot open display {self.env['DISPLAY']}")
        self.start_desktop(window_manager)
        self.start_bus()
        if source:
            self.start_service(source, probe_delay_ms)
        self.start_game(game)

    def start_desktop(self, window_manager):
        if window_manager:
            self.spawn("openbox", ["openbox", "--sm-disable"], env=dict(os.environ, **self.env))

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

    def start_service(self, source, probe_delay_ms):
        """The port is compiled into the game; another run holding it is waited out."""
        self.service_log = self.path("requests.log")
        deadline = time.monotonic() + 120
        while True:
            with open(self.path("adnet.err"), "wb") as err:
                faults = os.path.join(source, "tests", "tools", "adnet_faults.py")
                service = self.spawn("adnet", [sys.executable, faults,
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
        home, runtime = self.path("home"), self.path("runtime")
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

    def exit_status(self, timeout=10):
        """The game's, or None while it runs on after timeout seconds."""
        try:
            return self.game.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def run(self, *argv, timeout=10):
        return subprocess.run(argv, env=dict(os.environ, **self.env), capture_output=True, text=True, timeout=timeout)

    def x(self, *args):
        return self.run("xdotool", *map(str, args))

    def key(self, *names):
        self.x("key", "--delay", "60", *names)

    def pointer_to(self, x, y):
        """The X pointer moved to a point of the screen."""
        self.x("mousemove", int(x), int(y))

    def click_at(self, x, y, hover=0):
        """A click at a point of the screen, the pointer resting there hover seconds first."""
        self.pointer_to(x, y)
        self.x(*(("sleep", hover) if hover else ()), "click", "1")

    def tap(self, point, hover=0):
        """A click at a point of the scene, the pointer resting there hover seconds first."""
        self.click_at(*self.stage.to_screen(*point), hover=hover)

    def shot(self):
        width, height = self.stage.screen_size
        all_planes, z_pixmap = 0xFFFFFFFFFFFFFFFF, 2
        image = XLIB.XGetImage(self.display, XLIB.XDefaultRootWindow(self.display), 0, 0, width, height,
                               all_planes, z_pixmap)
        if not image:
            raise RuntimeError("XGetImage failed")
        try:
            info = image.contents
            if info.bits_per_pixel != 32 or info.byte_order != 0:
                raise RuntimeError(f"unexpected screen format: {info.bits_per_pixel} bits per pixel")
            data = ctypes.string_at(info.data, info.bytes_per_line * info.height)
            return Shot(info.width, info.height, info.bytes_per_line, data, self.stage)
        finally:
            XLIB.XDestroyImage(image)

    def windows(self):
        """Visible top-level windows of the game, as (id, width, height)."""
        found = self.x("search", "--onlyvisible", "--pid", self.game.pid).stdout.split()
        shapes = [dict(value.split("=", 1) for value in self.x("getwindowgeometry", "--shell", window).stdout.split()
                       if "=" in value) for window in found]
        return [(window, int(shape["WIDTH"]), int(shape["HEIGHT"])) for window, shape in zip(found, shapes)
                if "WIDTH" in shape]

    def dialog(self):
        """The ad dialog: a visible window of the game that is not the full-screen view."""
        return next((w for w in self.windows() if (w[1], w[2]) != self.stage.screen_size), None)

    def main_window(self):
        return next((w for w in self.windows() if (w[1], w[2]) == self.stage.screen_size), None)

    def wait_for_shot(self, condition, timeout, settle=0.4, unmet=None):
        """The first screenshot within timeout for which condition holds, still after settle
        seconds (past a 300 ms slide by default); else None, the last saved as unmet-NAME.png if named."""
        latest = {}

        def check():
            latest["shot"] = self.shot()
            held = condition(latest["shot"])
            if held and settle:
                time.sleep(settle)
                latest["shot"] = self.shot()
                held = condition(latest["shot"])
            return held
        if wait_until(check, timeout, interval=0.2):
            return latest["shot"]
        if unmet:
            latest["shot"].save_png(self.path(f"unmet-{unmet}.png"))
        return None

    def press(self, window, *keys):
        self.x("windowfocus", window)
        time.sleep(0.2)
        self.key(*keys)

    def dismiss_dialog(self, patience=0, dialog=None):
        """Escape on the ad dialog, or on one that shows within patience seconds: whether it went
        within 6 s, before its 10 s countdown could; None when none showed."""
        dialog = dialog or wait_until(self.dialog, patience, interval=0.2)
        if not dialog:
            return None
        self.press(dialog[0], "Escape")
        return bool(wait_until(lambda: self.dialog() is None, 6))

    def requests(self, path=None):
        """Requests in the service's log, optionally only those of "path[?query]" (or below "path/")."""
        entries = [json.loads(line) for line in read_file(self.service_log).splitlines() if line.strip()]
        want_path, _, want_query = (path or "").partition("?")
        return [e for e in entries if path is None or (
            (e["path"] == want_path or want_path.endswith("/") and e["path"].startswith(want_path))
            and (not want_query or e.get("query") == want_query))]

    def sent_at(self, path=PROBE_PATH):
        """When the game first asked for path, as a time.time(); None if it has not."""
        sent = self.requests(path)
        return datetime.datetime.fromisoformat(sent[0]["time"]).timestamp() if sent else None

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
                return db.execute("SELECT score, gridSize, name FROM Scores ORDER BY score DESC").fetchall()
            except sqlite3.Error:
                pass
            finally:
                db.close()
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


def high_score_screen_shown(shot):
    return (shot.brightness(75, 590, 405, 622) < 70 and shot.white_count(75, 588, 405, 624, floor=160) > 40
            and not game_screen_shown(shot) and not start_title_shown(shot))


def help_screen_shown(shot):
    """White lines of help text on the grey ground, and no other screen."""
    return (shot.white_count(40, 110, 440, 400, step=2) > 400 and not high_score_screen_shown(shot)
            and not game_screen_shown(shot) and not start_title_shown(shot))


def upload_form_shown(shot):
    # The panel is drawn at opacity 0.5, so its white input boxes come out mid grey on black.
    return (all(shot.white_fraction(80, top, 400, top + 32, floor=120) > 0.9 for top in (192, 282))
            and shot.brightness(240, 236, 420, 266) < 70)


def tap_hole(world, number):
    x0, y0, x1, y1 = card_area(number)
    world.tap(((x0 + x1) // 2, (y0 + y1) // 2))


def play_to_game_over(test, world, hits, seconds, first_seen=None, hit=None):
    """From "New Game" chosen: monkeys hit (tapped, or hit(number)) until hits, game over or
    seconds, then three let escape; the game-over overlay must come and one score be stored.
    first_seen(shot) runs at the first monkey. Returns the colours hit and the overlay's shot."""
    hit = hit or (lambda number: tap_hole(world, number))
    shot = world.wait_for_shot(game_screen_shown, 5, unmet="new-game")
    test.assertIsNotNone(shot, "\"New Game\" did not bring up the board of eight holes")
    # The game-over overlay darkens the gap between the hole columns; its title is white at the top.
    gap = (222, 200, 258, 680)
    dark = 0.7 * shot.brightness(*gap, step=4)

    def game_over_shown(shot):
        return shot.brightness(*gap, step=4) < dark and shot.white_count(170, 22, 310, 75) > 60
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
            hit(number)
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
    """Steps in order in one world (a world_type on stage, started with start_options): after a failure
    the later ones are skipped, unless the step set later_steps_unaffected. A failed run keeps its files."""

    later_steps_unaffected = False
    game_may_have_exited = ()  # steps that may find the game gone
    world_type, stage, start_options = World, None, {}

    @classmethod
    def setUpClass(cls):
        cls.kept, cls.broken, cls.failed = {}, None, False
        cls.world = cls.world_type(cls.stage, port=OPTIONS.port)
        try:
            cls.world.start(OPTIONS.source, OPTIONS.game, **cls.start_options)
        except Exception:
            cls.failed = True
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.world.end(passed=not cls.failed)
        # The screenshots by name into --shots, and into docs/screenshots/ with --update-docs.
        docs = getattr(OPTIONS, "update_docs", False) and os.path.join(OPTIONS.source, "docs", "screenshots")
        for path in filter(None, [OPTIONS.shots, docs]):
            os.makedirs(path, exist_ok=True)
            for name, shot in cls.kept.items():
                shot.save_png(os.path.join(path, name + ".png"))

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
        self.assertEqual(self.world.exit_status(), 0, f"the game kept running after its ad {what} was sent "
                         f"away, or failed:\n{self.world.game_output()}")

    def escape_ad(self, dialog, what):
        self.assertTrue(self.world.dismiss_dialog(dialog=dialog), f"Escape did not close the ad {what}")

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


def run_game_tests(doc, add_options=None, game=True):
    """The calling script's tests (against --game if game), the options (and add_options') in
    OPTIONS; a SIGTERM stops every world (unittest would take SystemExit for an error)."""
    global OPTIONS
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("--source", default=os.path.dirname(os.path.dirname(
        os.path.dirname(os.path.abspath(__file__)))), help="the source tree (for tools/adnet.py)")
    parser.add_argument("--port", type=int, default=SERVICE_PORT, help="the service port compiled into the game")
    parser.add_argument("--game", required=game, help="the tamboro executable")
    parser.add_argument("--shots", help="folder for the screenshots")
    if add_options:
        add_options(parser)
    OPTIONS, rest = parser.parse_known_args()
    OPTIONS.game = OPTIONS.game and os.path.abspath(OPTIONS.game)
    sys.modules["__main__"].OPTIONS = OPTIONS

    def stop(number, _frame):
        for world in WORLDS:
            world.stop_all()
        os._exit(128 + number)
    signal.signal(signal.SIGTERM, stop)
    unittest.main(argv=[sys.argv[0], "-v", *rest])
