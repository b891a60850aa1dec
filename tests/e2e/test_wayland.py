#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Tamboro 2.0 as a Wayland client of weston nested in Xvfb, xdotool its seat: the desktop shell
(minimise, Super+Tab back to the ad, keys 1 to 8, close), the kiosk shell, which gives the
ad at the end of the second game the whole output, its "Skip" pressable, and the desktop shell
with another program over the game as its second game ends."""

import re

from harness import *  # noqa: F401,F403

# weston's output, square so the portrait scene has black bars on both sides.
OUTPUT = 900
# A pure white row of at least this length is one of the dialog's margins (the dialog is
# about 350 px wide at 1:1, drawn larger over this scene); the scene has none.
DIALOG_ROW = 250
AD_REQUEST = "/simpleM2M/clientRequestAd"
# How long a press may take to change the screen: "New Game" builds the game screen before it
# slides in, 1.5 s after the press on a machine loaded ten times over. A change later than this
# is no proof of the press.
PRESS_SECONDS = 3
# The game's Wayland traffic (WAYLAND_DEBUG) as it hears its pointer.
POINTER_EVENT = re.compile(r"wl_pointer@\d+\.(enter|leave|motion|button)\(([^)]*)\)")
WAYLAND_LINE = re.compile(r"^\[\s*\d+\.\d+\]")

for _name, _args in [("XGrabPointer", [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_uint, ctypes.c_int,
                                        ctypes.c_int, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong]),
                     ("XUngrabPointer", [ctypes.c_void_p, ctypes.c_ulong]), ("XSync", [ctypes.c_void_p, ctypes.c_int])]:
    getattr(XLIB, _name).restype, getattr(XLIB, _name).argtypes = ctypes.c_int, _args


class WestonWorld(World):
    """Xvfb, weston on it with the shell named as its window manager, bus, service and the game
    as a Wayland client."""

    def start_desktop(self, shell):
        runtime = self.path("weston-runtime")
        os.makedirs(runtime, mode=0o700)
        socket = f"tamboro-test-{os.getpid()}-{shell}"
        self.spawn("weston", ["weston", "--backend=x11-backend.so", "--use-pixman", "--no-config",
                              f"--shell={shell}-shell.so", f"--socket={socket}", "--idle-time=0",
                              f"--width={OUTPUT}", f"--height={OUTPUT}"],
                   env=dict(os.environ, DISPLAY=self.env["DISPLAY"], XDG_RUNTIME_DIR=runtime))
        path = os.path.join(runtime, socket)
        if not wait_until(lambda: os.path.exists(path + ".lock") and os.path.exists(path), 15):
            raise RuntimeError(f"weston did not open its socket within 15 s:\n{self.game_output('weston')}")
        # weston's window is its output, at the screen's corner; the pointer rests on it, so
        # the keys go there too.
        if not wait_until(lambda: self.x("search", "--classname", "weston").stdout.strip(), 10):
            raise RuntimeError("weston showed no output window")
        self.x("mousemove", OUTPUT // 2, OUTPUT - 5)
        # A path reaches the socket whatever the game's own runtime folder is. The game logs its
        # Wayland traffic, so a step can tell where a press reached it.
        self.env.update(WAYLAND_DISPLAY=path, QT_QPA_PLATFORM="wayland", WAYLAND_DEBUG="client")
        self.pointer_log, self.pointer_at, self.surface = 0, "nowhere: the game has not seen the pointer", None

    def pointer_to(self, x, y):
        """weston's X11 backend moves its pointer by the steps between X motion events, counted
        from where the pointer last entered its window; an entry it misread (its first often is)
        pins its pointer near the corner wherever the X pointer goes. A grab and release of the X
        pointer makes weston's window see it leave and enter again where it truly is."""
        if XLIB.XGrabPointer(self.display, XLIB.XDefaultRootWindow(self.display), False, 0, 1, 1, 0, 0, 0) != 0:
            raise RuntimeError("the X pointer could not be grabbed")
        XLIB.XUngrabPointer(self.display, 0)
        XLIB.XSync(self.display, False)
        super().pointer_to(x, y)

    def heard_presses(self):
        """The presses the game heard since the last call, each as where it landed."""
        with open(self.path("game.out"), "rb") as log:
            log.seek(self.pointer_log)
            text = log.read().decode(errors="replace")
        # Only whole lines: the game may be writing the last one.
        text = text[:text.rfind("\n") + 1]
        self.pointer_log += len(text.encode())
        presses = []
        for event, args in POINTER_EVENT.findall(text):
            values = [value.strip() for value in args.split(",")]
            if event == "enter":
                self.surface, self.pointer_at = values[1], f"{float(values[2]):.0f},{float(values[3]):.0f}"
            elif event == "motion":
                self.pointer_at = f"{float(values[1]):.0f},{float(values[2]):.0f}"
            elif event == "leave":
                self.pointer_at = "outside the game's windows"
            elif values[-1] == "1":
                presses.append(f"{self.pointer_at} of the game's {self.surface}")
        return presses

    def game_output(self, name="game"):
        """The game's own messages, without its Wayland traffic."""
        if name != "game":
            return super().game_output(name)
        lines = read_file(self.path("game.out")).splitlines(keepends=True)
        return "".join(line for line in lines if not WAYLAND_LINE.match(line))[-4000:]


WHITE = bytes.maketrans(bytes(range(256)), bytes(int(value >= 250) for value in range(256)))
RUN = re.compile(rb"\x01+")


def white_runs(shot, y):
    """(length, start) of the longest run of pure white pixels in screen row y."""
    row = shot.data[y * shot.stride:y * shot.stride + 4 * shot.width]
    masks = [int.from_bytes(row[channel::4].translate(WHITE), "big") for channel in range(3)]
    white = (masks[0] & masks[1] & masks[2]).to_bytes(shot.width, "big")
    return max(((m.end() - m.start(), m.start()) for m in RUN.finditer(white)), default=(0, 0))


def find_dialog(shot):
    """The ad dialog on the screen as (left, right, top, bottom) of its white margin rows, or None."""
    margins = [(y, start, start + length) for y in range(0, shot.height, 2)
               for length, start in [white_runs(shot, y)] if length >= DIALOG_ROW]
    if len(margins) < 3:
        return None
    return min(m[1] for m in margins), max(m[2] for m in margins), margins[0][0], margins[-1][0]


def darkness(p):
    return 1 - min(p) / 255


def ink_box(value, width, height, floor=0.3):
    """(x0, y0, x1, y1) around the values of value(x, y) over floor, or None."""
    inked = [(x, y) for y in range(height) for x in range(width) if value(x, y) > floor]
    return inked and (min(x for x, _ in inked), min(y for _, y in inked),
                      max(x for x, _ in inked) + 1, max(y for _, y in inked) + 1)


def resampled(value, box, width, height):
    """The mean of value(x, y) over each cell of box cut into width x height cells."""
    x0, y0, x1, y1 = box

    def cell(start, end, i, count):
        return range(start + (end - start) * i // count, max(start + (end - start) * (i + 1) // count,
                                                             start + (end - start) * i // count + 1))
    return [statistics.mean(value(x, y) for y in cell(y0, y1, j, height) for x in cell(x0, x1, i, width))
            for j in range(height) for i in range(width)]


class Numbers:
    """The countdown's numbers drawn large in the font the dialog's label uses (the desktop's bold
    sans serif), to read the label against."""

    def __init__(self):
        font = subprocess.run(["fc-match", "-f", "%{file}", "sans-serif:bold"], capture_output=True, text=True).stdout
        self.glyphs = {}
        for number in range(1, 11):
            pgm = subprocess.run(["convert", "-background", "white", "-fill", "black", "-font", font,
                                  "-pointsize", "80", f"label:{number}", "-depth", "8", "pgm:-"],
                                 capture_output=True, check=True).stdout
            _, size, _, data = pgm.split(b"\n", 3)
            width, height = map(int, size.split())
            self.glyphs[number] = (width, height, data[:width * height])

    def read(self, value, box):
        """The number whose drawing matches the ink of value(x, y) in box best, by shape and proportion."""
        x0, y0, x1, y1 = box
        width, height = x1 - x0, y1 - y0
        seen = resampled(value, box, width, height)
        scores = {}
        for number, (w, h, data) in self.glyphs.items():
            glyph = lambda x, y: 1 - data[y * w + x] / 255  # noqa: E731
            inked = ink_box(glyph, w, h)
            aspect = (inked[2] - inked[0]) / (inked[3] - inked[1])
            if abs(aspect / (width / height) - 1) > 0.4:
                continue
            drawn = resampled(glyph, inked, width, height)
            scores[number] = sum(abs(a - b) for a, b in zip(seen, drawn)) / len(seen)
        return min(scores, key=scores.get) if scores else None


def countdown_shown(shot, dialog, numbers):
    """The number of the dialog's "Skip in N" label, read from its pixels: the last word of the
    band of dark rows above the buttons. None where no label shows."""
    left, right, _, bottom = dialog
    # The middle half: the dialog's margins may run on into white behind it.
    x0, x1 = left + (right - left) // 4, right - (right - left) // 4

    def clean(y):
        return white_runs(shot, y)[0] >= DIALOG_ROW
    y = bottom
    while y > 0 and clean(y):  # the bottom margin
        y -= 1
    while y > 0 and not clean(y):  # the buttons
        y -= 1
    while y > 0 and clean(y):  # the gap above them
        y -= 1
    label_bottom = y + 1
    while y > 0 and not clean(y) and label_bottom - y < 40:
        y -= 1
    if not clean(y):
        return None
    top = y + 1
    columns = [x for x in range(x0, x1) if any(darkness(shot.at(x, yy)) > 0.3 for yy in range(top, label_bottom))]
    if not columns:
        return None
    # Words are parted by gaps wider than a quarter of the text's height.
    gap = max(2, (label_bottom - top) // 4)
    start = columns[0]
    for before, after in zip(columns, columns[1:]):
        if after - before > gap:
            start = after
    value = lambda x, y: darkness(shot.at(start + x, top + y))  # noqa: E731
    box = ink_box(value, columns[-1] + 1 - start, label_bottom - top)
    return box and numbers.read(value, box)


def screen_changed(before, after, x, y):
    """Whether a score of points on a grid of the screen changed, leaving out the points near the
    pointer at x,y (its picture may change with what it hovers) and the desktop panel's clock."""
    changed = 0
    for row in range(36, before.height, 6):
        start, end = row * before.stride, row * before.stride + 4 * before.width
        if before.data[start:end] == after.data[start:end]:
            continue
        changed += sum(max(abs(a - b) for a, b in zip(before.at(column, row), after.at(column, row))) > 48
                       for column in range(0, before.width, 6) if abs(column - x) >= 48 or abs(row - y) >= 48)
    return changed >= 20


def scene_shown(shot):
    """The game full screen: the scene in the middle, black bars beside it."""
    bars = [shot.at(x, y) for y in range(100, OUTPUT - 100, 40) for x in (20, OUTPUT - 20)]
    middle = [shot.at(OUTPUT // 2, y) for y in range(100, OUTPUT - 100, 40)]
    # The compositor places a dialog where it likes, over one bar or the other.
    # The scene may lie under the game-over overlay, darkened to about a third.
    return sum(max(p) < 8 for p in bars) >= 0.7 * len(bars) and sum(max(p) > 20 for p in middle) > len(middle) // 2


class WaylandSteps:
    """The steps of both shells; a mixin, so that it runs only as one of them."""

    world_type, stage = WestonWorld, Stage(OUTPUT, OUTPUT)
    game_may_have_exited = ("test_9_close_ends_with_status_0",)

    def keep(self, name, shot):
        super().keep(f"wayland-{self.shell}-{name}", shot)

    @classmethod
    def setUpClass(cls):
        cls.numbers = Numbers()
        super().setUpClass()

    def test_9_close_ends_with_status_0(self):
        self.skip(self.tap_shows(CLOSE, find_dialog, "no ad dialog on the output on close", settle=0.3))
        self.assertEqual(self.world.exit_status(), 0, self.world.game_output())

    def landing(self, x, y):
        """Where the game heard the press at x,y land, for a step that found no sign of it."""
        presses = self.world.heard_presses()
        heard = f"landed at {' and '.join(presses)}" if presses else \
            f"reached no window of the game (its pointer was last {self.world.pointer_at})"
        return f"the press at {x:.0f},{y:.0f} {heard}"

    def press_shows(self, x, y, change, what, hover=0, **how):
        """A click at x,y of the screen, which must change the screen at once (an idle game draws
        nothing) and then bring a screenshot that shows change, which is returned. Else the step
        fails, naming where the press landed."""
        world = self.world
        world.heard_presses()
        world.pointer_to(x, y)
        time.sleep(hover)
        before = world.shot()
        world.x("click", "1")

        def answered():
            shot = world.shot()
            return change(shot) or screen_changed(before, shot, x, y)
        self.assertTrue(wait_until(answered, PRESS_SECONDS),
                        f"{what}: nothing changed on the screen after the press: {self.landing(x, y)}")
        shot = world.wait_for_shot(change, 10, unmet=self._testMethodName, **how)
        self.assertIsNotNone(shot, f"{what}: {self.landing(x, y)}")
        return shot

    def tap_shows(self, point, change, what, **how):
        return self.press_shows(*self.stage.to_screen(*point), change, what, **how)

    def skip(self, shot):
        """Presses "Skip", which must close the dialog while its countdown still shows 5 or more,
        read from the screen: the countdown itself closes it only after 1. The button lies in the
        dialog's left half, in the first rows above the bottom margin not white."""
        # Only "Click" has the game ask for its next ad, so one request means no Skip opened the ad.
        self.assertEqual(len(self.world.requests(AD_REQUEST)), 1, "an earlier Skip opened the ad as Click does")
        dialog = find_dialog(shot)
        left, right, _, y = dialog
        while y > 0 and white_runs(shot, y)[0] >= DIALOG_ROW:
            y -= 1
        x, y = left + (right - left) // 4, y - 8
        self.assertTrue(0 < x < OUTPUT and 0 < y < OUTPUT, f"Skip is off the output: {x},{y}")
        shown = countdown_shown(shot, dialog, self.numbers)
        self.assertGreaterEqual(shown or 0, 5, f"the ad's countdown was read as {shown} before Skip was pressed")
        self.world.heard_presses()
        self.world.click_at(x, y)

        def gone_or_late():
            nonlocal shown
            shot = self.world.shot()
            dialog = find_dialog(shot)
            # A dialog whose countdown cannot be read could be counting down unseen.
            shown = countdown_shown(shot, dialog, self.numbers) if dialog else shown
            return dialog is None or (shown or 0) < 5
        # The countdown ends the dialog in any case, 10 s after it showed at most.
        wait_until(gone_or_late, 30)
        self.assertGreaterEqual(shown or 0, 5, f"Skip did not close the ad before its countdown showed {shown}: "
                                f"{self.landing(x, y)}")
        self.assertIsNone(find_dialog(self.world.shot()), f"Skip did not close the ad: {self.landing(x, y)}")

    def test_1_full_screen_start(self):
        self.shows(start_title_shown, "no start screen", 20)
        # The connection probe answers late so that the ad is ready when it comes; on a
        # loaded machine the ad may still be on its way, and by design none is shown.
        shot = self.world.wait_for_shot(find_dialog, PROBE_DELAY_MS / 1000 + 8, settle=0.3)
        if shot:
            self.keep("startup-ad", shot)
            self.skip(shot)
        # The ads asked for later need the whole ad: its picture is the last thing fetched.
        self.assertTrue(wait_until(lambda: self.world.requests("/ads/"), 20), "the ad's picture was never fetched")
        time.sleep(1)
        self.keep("start", self.shows(lambda s: start_screen_uncovered(s) and scene_shown(s),
                                      "the start screen is not shown full screen after the ad"))


class DesktopShell(WaylandSteps, Steps):
    shell = "desktop"
    start_options = {"window_manager": shell}

    def test_2_minimise_then_super_tab(self):
        world = self.world
        self.tap_shows(MINIMISE, lambda s: not scene_shown(s), "the game did not minimise", hover=0.2)
        # The ad waits for the player's return, as the game does, also past the second in
        # which the game waits for a compositor that ignores the minimise; only the return
        # shows it then.
        time.sleep(2)
        self.assertIsNone(find_dialog(world.shot()), "the ad showed without the game")
        world.key("super+Tab")
        shot = self.shows(lambda s: scene_shown(s) and find_dialog(s),
                          "Super+Tab did not bring back the game with the ad above it", settle=0.3)
        self.keep("restored-ad", shot)
        self.skip(shot)
        self.shows(start_screen_uncovered, "the start screen did not come back")

    def test_3_keys_play_a_game(self):
        self.tap_shows(NEW_GAME, game_screen_shown, "New Game did not start a game", settle=0)
        # A few monkeys are hit with their keys, in case one hides before its key comes; then
        # three escape. Nothing is tapped, so a score is what the keys won.
        play_to_game_over(self, self.world, 5, 40, hit=lambda n: self.world.key(str(n)))
        self.assertGreater(self.world.stored_scores()[0][0], 0, "no key hit a monkey")


class KioskShell(WaylandSteps, Steps):
    shell = "kiosk"
    start_options = {"window_manager": shell}

    def test_2_game_over_ad(self):
        world = self.world
        # The first game is left at once with Escape, so the second one ends with an ad.
        # Cards turn all the time in a game, so one screenshot of the board is taken as enough.
        self.tap_shows(NEW_GAME, game_screen_shown, "New Game did not start the first game", settle=0)
        world.key("Escape")
        # A loaded machine draws the slide late, and a tap during the slide is refused by
        # design: the screen is taken as home only once it has stood still a second.
        self.shows(start_screen_uncovered, "Escape did not lead home", 10, settle=1.0)
        # Only a game that ended brings the ad (a loaded machine's screenshots may miss the
        # whole unhit game).
        self.tap_shows(NEW_GAME, lambda s: game_screen_shown(s) or find_dialog(s),
                       "New Game did not start the second game", settle=0)
        shot = self.shows(find_dialog, "New Game did not start a second game that ends with an ad", 30, settle=0.3)
        self.keep("gameover-ad", shot)
        self.skip(shot)
        self.shows(scene_shown, "the game is not shown after the ad")



class CoveredGame(WaylandSteps, Steps):
    """The desktop shell, where another program raised full screen over the game, with the
    keyboard, stands in for a compositor's minimise, of which a Wayland client hears nothing.
    The second game ends behind it: its ad does not show over the other program."""
    shell = "desktop"
    start_options = {"window_manager": shell}
    # About as long as an unplayed game takes, so the ad is held, not yet closed, as the game
    # comes back (had the game ended sooner, the ad has closed unseen: both are right).
    COVERED_S = 8

    def test_2_game_over_ad_waits_for_the_game(self):
        world = self.world
        world.tap(NEW_GAME)
        self.shows(game_screen_shown, "New Game did not start the first game", 10)
        world.key("Escape")
        self.shows(start_screen_uncovered, "Escape did not lead home", 10, settle=1.0)
        world.tap(NEW_GAME)
        self.shows(game_screen_shown, "New Game did not start the second game", 10)
        runtime = self.world.path("cover-runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        cover = world.spawn("cover", ["weston-fullscreen", "-w", str(OUTPUT), "-h", str(OUTPUT)],
                            env=dict(os.environ, WAYLAND_DISPLAY=world.env["WAYLAND_DISPLAY"],
                                     XDG_RUNTIME_DIR=runtime))
        self.shows(lambda s: not scene_shown(s) and not game_screen_shown(s), "the other program did not cover the game")
        world.key("f")
        covered_until = time.monotonic() + self.COVERED_S
        while time.monotonic() < covered_until:
            shot = world.shot()
            if find_dialog(shot):
                self.keep("covered-ad", shot)
                self.fail("the ad showed over the program covering the game")
            time.sleep(0.3)
        world.stop(cover)
        self.point_again()
        # Back with the game: its ad shows above it, or has closed unseen after its countdown.
        shot = world.wait_for_shot(find_dialog, 5, settle=0.3)
        if shot:
            self.keep("uncovered-ad", shot)
            # Its countdown ran on while it was held, so it ends on its own, as a countdown does.
            self.assertTrue(wait_until(lambda: find_dialog(world.shot()) is None, 15),
                            "the ad held behind the cover did not close at the end of its countdown")
        self.shows(scene_shown, "the game is not shown after the other program went")
        self.point_again()

    def test_9_close_ends_with_status_0(self):
        # Right after a window went, weston may lose a click that comes without a hover first.
        self.world.tap(CLOSE, hover=0.3)
        self.skip(self.shows(find_dialog, "no ad dialog on the output on close", settle=0.3))
        self.assertEqual(self.world.exit_status(), 0, self.world.game_output())

    def point_again(self):
        """weston gives the pointer to the window under it, after one went, only once it moves."""
        self.world.x("mousemove", OUTPUT // 2, OUTPUT // 2, "sleep", 0.2, "mousemove", OUTPUT // 2, OUTPUT - 5)

if __name__ == "__main__":
    run_game_tests(__doc__)
