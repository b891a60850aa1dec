#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Tamboro 2.0 under the openbox window manager. DesktopTest: driven by fast hands, taps during
screen slides, minimising and restoring, the ad dialog's window, a press held while it opens.
KeysTest: played from the keyboard alone (xdotool key and type, never the pointer), ads
skipped, a game, the upload form, home, "Help" and "Exit" (status 0)."""

import re

from harness import *  # noqa: F401,F403

MORE_GAMES, EXIT = (245, 453), (356, 512)
PLAYER = "keyboard_player"
PASSWORD = "k&y=b+rd%41 #!"
MENU = ["New Game", "Highscores", "More Games", "Help", "Exit"]  # top to bottom on the start screen


class DesktopTest(Steps):
    """What the window manager knows of the game's windows is read with xprop."""

    game_window = None
    start_options = {"window_manager": True}

    def prop(self, window, name):
        return self.world.run("xprop", "-id", str(window), name).stdout

    def state(self, window):
        match = re.search(r"window state: (\w+)", self.prop(window, "WM_STATE"))
        return match.group(1) if match else None

    def full_screen(self, window):
        return "_NET_WM_STATE_FULLSCREEN" in self.prop(window, "_NET_WM_STATE")

    def tap(self, point, hover=0.05):
        self.world.tap(point, hover)

    def back_to_start(self):
        self.tap(HOME)
        self.shows(start_screen_uncovered, "home did not lead back to the start")

    def test_1_window_and_start(self):
        DesktopTest.game_window = game = int(self.reach_start_screen()[0])
        # Docks group the window with its desktop entry and show the monkey icon.
        entry = os.path.join(OPTIONS.source, "desktop", "tamboro.desktop")
        wanted = dict(line.strip().split("=", 1) for line in read_file(entry).splitlines() if "=" in line)
        instance = re.search(r'= "([^"]*)"', self.prop(game, "WM_CLASS")).group(1)
        self.assertEqual(instance, os.path.splitext(os.path.basename(entry))[0])
        self.assertEqual(instance, wanted.get("StartupWMClass", instance))
        self.assertIn("Icon (64 x 64)", self.prop(game, "_NET_WM_ICON"), "the window carries no icon of its own")
        self.assertTrue(self.full_screen(game))

    def test_2_taps_during_slides(self):
        sequences = [
            ("Help, then New Game", HELP, NEW_GAME, help_screen_shown),
            ("double-click on Help", HELP, HELP, help_screen_shown),
            ("Highscores, then Help (Exit slides under it)", HIGHSCORES, HELP, high_score_screen_shown),
            ("double-click on Highscores", HIGHSCORES, HIGHSCORES, high_score_screen_shown),
            ("Help, then More Games", HELP, MORE_GAMES, help_screen_shown),
            ("Highscores, then Exit", HIGHSCORES, EXIT, high_score_screen_shown),
            ("New Game, then Exit", NEW_GAME, EXIT, game_screen_shown),
            # Last: it starts the second game, whose end brings the ad of the next step.
            ("double-click on New Game", NEW_GAME, NEW_GAME, game_screen_shown),
        ]
        for name, first, second, reached in sequences:
            with self.subTest(name):
                self.tap(first)
                # About as fast as a hand taps twice; the slide lasts 300 ms.
                self.tap(second, hover=0.08)
                # A loaded machine may draw the slide late; where it ends is what counts.
                shot = self.world.wait_for_shot(reached, 5, unmet="slides") or self.world.shot()
                self.assertIsNone(self.world.game.poll(), f"{name}: the game quit")
                self.assertLess(shot.white_fraction(0, 60, 480, 800), 0.5, f"{name}: a blank screen")
                self.assertTrue(reached(shot), f"{name}: {reached.__name__} does not hold")
                if name != sequences[-1][0]:
                    self.back_to_start()

    def test_3_no_button_stays_pressed(self):
        # The second game goes on unseen; its end shows an ad while "New Game" is held down.
        # A loaded machine may draw either look late, so each is waited for.
        self.back_to_start()
        resting = self.world.shot().brightness(60, 312, 430, 354)
        self.world.x("mousemove", *NEW_GAME, "mousedown", "1")
        try:
            self.shows(lambda s: s.brightness(60, 312, 430, 354) > resting + 60, "the held button did not look pressed",
                       settle=0)
            self.assertTrue(self.world.dismiss_dialog(15), "no ad at the end of the second game, or it stayed")
        finally:
            self.world.x("mouseup", "1")
        self.shows(lambda s: s.brightness(60, 312, 430, 354) < resting + 20, "\"New Game\" stayed in its pressed look",
                   settle=0.3)

    def test_4_minimise_then_restore(self):
        game = self.game_window
        self.shows(start_screen_uncovered, "the start screen is not shown")
        # The dialog just closed; the game's window gets the focus back before the tap.
        self.world.x("windowactivate", game)
        time.sleep(0.5)
        self.tap(MINIMISE, hover=0.3)
        self.assertTrue(wait_until(lambda: self.state(game) == "Iconic", 8), "the game did not minimise")
        # Managed windows of the game process other than the game's own, shown or not.
        dialogs = wait_until(lambda: [w for w in map(int, self.world.x("search", "--pid", self.world.game.pid)
                                                    .stdout.split()) if w != game and self.state(w)], 10)
        self.assertTrue(dialogs, "no ad dialog after minimising")
        dialog = dialogs[0]
        transient = re.search(r"window id # (0x[0-9a-f]+)", self.prop(dialog, "WM_TRANSIENT_FOR"))
        self.assertEqual(transient and int(transient[1], 16), game, "the dialog's window is not the game's")
        time.sleep(0.5)
        self.assertEqual(self.state(dialog), "Iconic", "the dialog showed alone on the desktop")

        # Back from the task bar: full screen, the dialog with it, above it.
        self.world.x("windowactivate", game)
        self.assertTrue(wait_until(lambda: self.state(game) == "Normal", 5), "the game was not restored")
        self.assertTrue(wait_until(lambda: self.full_screen(game), 5), "restored, the game is not full screen")
        self.assertEqual(self.world.main_window()[1:], (SCREEN_W, SCREEN_H))
        self.assertTrue(wait_until(lambda: self.state(dialog) == "Normal", 5), "the dialog did not come back with the game")
        self.assertTrue(self.world.dismiss_dialog(5), "Escape did not close the ad dialog")
        self.shows(start_screen_uncovered, "the start screen did not come back")

    def test_5_f11_window_fits_the_screen(self):
        game = self.game_window
        self.world.x("windowactivate", game)
        time.sleep(0.3)
        self.world.x("key", "F11")
        self.assertTrue(wait_until(lambda: not self.full_screen(game), 5), "F11 did not leave full screen")
        # The scene's own 480x800 with a frame is taller than the screen: shrunk to fit, same shape.
        seen = []

        def fits():
            extents = re.findall(r"\d+", self.prop(game, "_NET_FRAME_EXTENTS").split("=")[-1])
            size = next((w[1:] for w in self.world.windows() if int(w[0]) == game), None)
            seen[:] = [size, extents]
            if len(extents) != 4 or not size:
                return None
            left, right, top, bottom = map(int, extents)
            return size[0] + left + right <= SCREEN_W and size[1] + top + bottom <= SCREEN_H and \
                abs(size[0] / size[1] - 480 / 800) < 0.01
        self.assertTrue(wait_until(fits, 5), f"the window and its frame do not fit the screen: size, extents {seen}")
        self.world.x("key", "F11")
        self.assertTrue(wait_until(lambda: self.full_screen(game), 5), "F11 did not go back to full screen")



class KeysTest(Steps):
    game_may_have_exited = ("test_5_exit_ad_skipped_by_keyboard",)
    start_options = {"window_manager": True}

    def skip_ad(self, dialog, what):
        """Tab leaves the banner for "Skip", and Space presses it."""
        self.world.press(dialog[0], "Tab", "space")
        self.assertTrue(wait_until(lambda: self.world.dialog() is None, 4, interval=0.1),
                        f"Tab and Space did not skip the ad {what}")

    def test_1_start_screen_takes_the_keyboard(self):
        self.reach_start_screen(self.skip_ad)

    def test_2_new_game_played_with_number_keys(self):
        # "New Game" has the keyboard as soon as the overlay has gone.
        self.world.key("Return")
        taps, _ = play_to_game_over(self, self.world, 3, 30, hit=lambda n: self.world.x("key", str(n)))
        self.assertGreaterEqual(len(taps), 3, "fewer than three monkeys showed in 30 s")
        self.assertGreaterEqual(self.world.stored_scores()[0][0], 1, "the number keys scored nothing")

    def test_3_upload_from_the_keyboard(self):
        # Hole 1 has had the keyboard since the game screen came; back from it lie the
        # corner icons and then the high-score icon.
        self.world.key("shift+Tab", "shift+Tab", "shift+Tab", "Return")
        self.shows(high_score_screen_shown, "the high-score icon did not show the list")
        self.world.key("Return")
        self.shows(upload_form_shown, "\"Upload high score\" did not open the form")
        for text, key in ((PLAYER, "Tab"), (PASSWORD, "Return")):
            self.world.x("type", "--delay", "40", text)
            self.world.key(key)
        self.check_upload(PLAYER, PASSWORD)

    def test_4_home_help_home(self):
        for keys, shown, what in [
                (["Escape"], start_screen_uncovered, "Escape did not lead home from the high scores"),
                (["Down"] * MENU.index("Help") + ["Return"], help_screen_shown, "Down to \"Help\" and Return did not show the help"),
                (["Escape"], start_screen_uncovered, "Escape did not lead home from the help")]:
            self.world.key(*keys)
            self.shows(shown, what)

    def test_5_exit_ad_skipped_by_keyboard(self):
        self.world.key(*["Down"] * MENU.index("Exit"), "Return")
        self.exits_after_ad(self.skip_ad, "on \"Exit\"")



if __name__ == "__main__":
    run_game_tests(__doc__)
