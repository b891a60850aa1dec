#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Tamboro 2.0 as a native Wayland client: the game under weston, nested in Xvfb with its
X11 backend, so the test sees weston's output on the X screen and its hands (xdotool)
reach weston as a seat. Two shells, each in a world of its own:

- the desktop shell: start-up full screen, the minimise icon, Super+Tab back to the game
  with the ad above it and skipped, keys 1 to 8 playing a game, the close icon (status 0);
- the kiosk shell, which gives every window the whole output: the ad at the end of the
  second game with its "Skip" button on the output and pressable, and the keyboard back
  with the game after it.

    test_wayland.py --game build/tamboro [--source REPO] --port PORT [--shots DIR]
"""

import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import *  # noqa: E402,F401,F403

# weston's output, square so the portrait scene has black bars on both sides.
OUTPUT = 900
# A pure white row of at least this length is one of the dialog's margins (the dialog is
# about 350 px wide at 1:1, drawn larger over this scene); the scene has none.
DIALOG_ROW = 250


class WestonWorld(World):
    """Xvfb, weston on it with the given shell, bus, service and the game as a Wayland client."""

    def __init__(self, shell, port):
        super().__init__(Stage(OUTPUT, OUTPUT), port)
        self.shell = shell

    def start_desktop(self, window_manager):
        """weston with the world's shell on the screen, in place of a window manager."""
        runtime = self.path("weston-runtime")
        os.makedirs(runtime, mode=0o700)
        socket = f"tamboro-test-{os.getpid()}-{self.shell}"
        self.spawn("weston", ["weston", "--backend=x11-backend.so", "--use-pixman", "--no-config",
                              f"--shell={self.shell}-shell.so", f"--socket={socket}", "--idle-time=0",
                              f"--width={OUTPUT}", f"--height={OUTPUT}"],
                   env=dict(os.environ, DISPLAY=self.env["DISPLAY"], XDG_RUNTIME_DIR=runtime))
        path = os.path.join(runtime, socket)
        if not wait_until(lambda: os.path.exists(path + ".lock") and os.path.exists(path), 15):
            raise RuntimeError(f"weston did not open its socket within 15 s:\n{self.output('weston')}")
        # weston's window is its output, at the screen's corner; the pointer rests on it, so
        # the keys go there too.
        if not wait_until(lambda: self.x("search", "--classname", "weston").stdout.strip(), 10):
            raise RuntimeError("weston showed no output window")
        self.x("mousemove", OUTPUT // 2, OUTPUT - 5)
        # A path reaches the socket whatever the game's own runtime folder is.
        self.env.update(WAYLAND_DISPLAY=path, QT_QPA_PLATFORM="wayland")

    def output(self, name):
        try:
            with open(self.path(name + ".out"), errors="replace") as f:
                return f.read()[-3000:]
        except OSError:
            return ""

    def key(self, *keys):
        self.x("key", "--delay", "60", *keys)


WHITE = bytes.maketrans(bytes(range(256)), bytes(int(value >= 250) for value in range(256)))
RUN = re.compile(rb"\x01+")


def white_runs(shot, y):
    """(length, start) of the longest run of pure white pixels in screen row y."""
    row = shot.data[y * shot.stride:y * shot.stride + 4 * shot.width]
    masks = [int.from_bytes(row[channel::4].translate(WHITE), "big") for channel in range(3)]
    white = (masks[0] & masks[1] & masks[2]).to_bytes(shot.width, "big")
    return max(((m.end() - m.start(), m.start()) for m in RUN.finditer(white)), default=(0, 0))


def find_dialog(shot):
    """The ad dialog on the screen as (left, right, top, bottom) of its white margin rows,
    or None. Its buttons sit just above its bottom margin."""
    rows = [(y, *white_runs(shot, y)) for y in range(0, shot.height, 2)]
    margins = [(y, start, start + length) for y, length, start in rows if length >= DIALOG_ROW]
    if len(margins) < 3:
        return None
    left = min(m[1] for m in margins)
    right = max(m[2] for m in margins)
    return left, right, margins[0][0], margins[-1][0]


def skip_button(dialog, shot):
    """Where to press "Skip", the left button of the row above the dialog's bottom margin:
    the first rows above it that are not white in the left half."""
    left, right, _, bottom = dialog
    x = left + (right - left) // 4
    y = bottom
    while y > 0 and white_runs(shot, y)[0] >= DIALOG_ROW:
        y -= 1
    return x, y - 8


def scene_shown(shot):
    """The game full screen: the scene in the middle, black bars beside it."""
    def pixel(x, y):
        i = y * shot.stride + 4 * x
        return shot.data[i:i + 3]
    bars = [pixel(x, y) for y in range(100, OUTPUT - 100, 40) for x in (20, OUTPUT - 20)]
    middle = [pixel(OUTPUT // 2, y) for y in range(100, OUTPUT - 100, 40)]
    # The compositor places a dialog where it likes, over one bar or the other.
    # The scene may lie under the game-over overlay, darkened to about a third.
    return sum(max(p) < 8 for p in bars) >= 0.7 * len(bars) and sum(max(p) > 20 for p in middle) > len(middle) // 2


class WaylandSteps(Steps):
    shell = None
    game_may_have_exited = ("test_9_close_ends_with_status_0",)

    @classmethod
    def setUpClass(cls):
        cls.world = WestonWorld(cls.shell, OPTIONS.port)
        cls.world.start(OPTIONS.source, OPTIONS.game)

    def keep(self, name, shot):
        if OPTIONS.shots:
            os.makedirs(OPTIONS.shots, exist_ok=True)
            shot.save_png(os.path.join(OPTIONS.shots, f"wayland-{self.shell}-{name}.png"))

    def wait_for_dialog(self, timeout, name):
        shot = self.world.wait_for_shot(lambda s: find_dialog(s) is not None, timeout, settle=0.3,
                                        unmet=f"{self.shell}-{name}")
        self.assertIsNotNone(shot, f"no ad dialog on the output ({name})")
        return shot

    def close_ends_with_status_0(self):
        """The close icon, its ad skipped, and the game ends well."""
        world = self.world
        world.tap(CLOSE)
        self.skip(self.wait_for_dialog(5, "close"))
        try:
            status = world.game.wait(10)
        except subprocess.TimeoutExpired:
            status = None
        self.assertEqual(status, 0, world.game_output())

    def skip(self, shot):
        """Presses the dialog's "Skip" and sees the dialog go."""
        dialog = find_dialog(shot)
        x, y = skip_button(dialog, shot)
        self.assertTrue(0 < x < OUTPUT and 0 < y < OUTPUT, f"Skip is off the output: {x},{y}")
        self.world.x("mousemove", x, y, "sleep", 0.1, "click", 1)
        gone = self.world.wait_for_shot(lambda s: find_dialog(s) is None, 5, settle=0.2,
                                        unmet=f"{self.shell}-skip")
        self.assertIsNotNone(gone, "Skip did not close the ad")
        return dialog

    def startup(self):
        self.assertTrue(self.world.wait_for_shot(start_title_shown, 20, unmet=f"{self.shell}-start"),
                        "no start screen")
        # The connection probe answers late so that the ad is ready when it comes; on a
        # loaded machine the ad may still be on its way, and by design none is shown.
        shot = self.world.wait_for_shot(lambda s: find_dialog(s) is not None, PROBE_DELAY_MS / 1000 + 8, settle=0.3)
        if shot:
            self.keep("startup-ad", shot)
            self.skip(shot)
        # The ads asked for later need the whole ad: its picture is the last thing fetched.
        self.assertTrue(wait_until(lambda: any(r["path"].startswith("/ads/") for r in self.world.requests()), 20),
                        "the ad's picture was never fetched")
        time.sleep(1)
        shot = self.world.wait_for_shot(lambda s: start_screen_uncovered(s) and scene_shown(s), 5)
        self.assertIsNotNone(shot, "the start screen is not shown full screen after the ad")
        return shot


class DesktopShell(WaylandSteps):
    shell = "desktop"

    def test_1_full_screen_start(self):
        self.keep("start", self.startup())

    def test_2_minimise_then_super_tab(self):
        world = self.world
        world.tap(MINIMISE, hover=0.2)
        shot = world.wait_for_shot(lambda s: not scene_shown(s), 5, unmet="minimised")
        self.assertTrue(shot, "the game did not minimise")
        # The ad waits for the player's return, as the game does.
        self.assertIsNone(find_dialog(shot), "the ad showed without the game")
        # The desktop's own way back: the window switcher.
        world.key("super+Tab")
        shot = world.wait_for_shot(lambda s: scene_shown(s) and find_dialog(s) is not None, 5, settle=0.3,
                                   unmet="restored")
        self.assertIsNotNone(shot, "Super+Tab did not bring back the game with the ad above it")
        self.keep("restored-ad", shot)
        self.skip(shot)
        self.assertTrue(world.wait_for_shot(start_screen_uncovered, 5), "the start screen did not come back")

    def test_3_keys_play_a_game(self):
        world = self.world
        world.tap(NEW_GAME)
        self.assertTrue(world.wait_for_shot(game_screen_shown, 5), "New Game did not start a game")
        # The first monkeys seen are hit with their keys, a few of them in case one hides
        # before its key comes; then three escape and the game ends. Only what the keys won
        # is stored, as nothing is tapped.
        pressed, deadline = 0, time.monotonic() + 40
        while not world.stored_scores() and time.monotonic() < deadline:
            shot = world.shot()
            if pressed >= 5:
                time.sleep(0.5)
                continue
            for number in range(1, 9):
                if monkey_in(shot, number):
                    world.key(str(number))
                    pressed += 1
                    break
        self.assertGreater(pressed, 0, "no monkey showed")
        scores = world.stored_scores()
        self.assertTrue(scores, "the game did not end with a score: no key hit a monkey")
        self.assertGreater(scores[0][0], 0, "no key hit a monkey")

    def test_9_close_ends_with_status_0(self):
        self.close_ends_with_status_0()


class KioskShell(WaylandSteps):
    shell = "kiosk"

    def test_1_full_screen_start(self):
        self.startup()

    def test_2_game_over_ad(self):
        world = self.world
        # The first game is left at once with Escape, so the second one ends with an ad.
        world.tap(NEW_GAME)
        self.assertTrue(world.wait_for_shot(game_screen_shown, 10, unmet="kiosk-first-game"),
                        "New Game did not start a game")
        world.key("Escape")
        # A loaded machine draws the slide late, and a tap during the slide is refused by
        # design: the screen is taken as home only once it has stood still a second.
        self.assertTrue(world.wait_for_shot(start_screen_uncovered, 10, settle=1.0, unmet="kiosk-home"),
                        "Escape did not lead home")
        world.tap(NEW_GAME)
        self.assertTrue(world.wait_for_shot(game_screen_shown, 10, unmet="kiosk-second-game"),
                        "New Game did not start a game")
        shot = self.wait_for_dialog(30, "gameover")
        self.keep("gameover-ad", shot)
        self.skip(shot)
        self.assertTrue(world.wait_for_shot(scene_shown, 5), "the game is not shown after the ad")

    def test_9_close_ends_with_status_0(self):
        self.close_ends_with_status_0()


OPTIONS = None

if __name__ == "__main__":
    run_game_tests(__doc__, lambda parser: parser.add_argument(
        "--shots", help="a folder for screenshots of the start screen and the ads"))
