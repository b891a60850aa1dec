#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Tamboro 2.0 played from the keyboard alone (xdotool key and type, never the pointer)
under openbox: ads skipped, a game, the upload form, home, "Help" and "Exit" (status 0)."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import *  # noqa: E402,F401,F403

PLAYER = "keyboard_player"
PASSWORD = "k&y=b+rd%41 #!"


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
        self.world.x("type", "--delay", "40", PLAYER)
        self.world.key("Tab")
        self.world.x("type", "--delay", "40", PASSWORD)
        self.world.key("Return")
        self.check_upload(PLAYER, PASSWORD)

    def test_4_home_help_home(self):
        # The menu reads New Game, Highscores, More Games, Help.
        for keys, shown, what in [
                (["Escape"], start_screen_uncovered, "Escape did not lead home from the high scores"),
                (["Down"] * 3 + ["Return"], help_screen_shown, "Down to \"Help\" and Return did not show the help"),
                (["Escape"], start_screen_uncovered, "Escape did not lead home from the help")]:
            self.world.key(*keys)
            self.shows(shown, what)

    def test_5_exit_ad_skipped_by_keyboard(self):
        # New Game, Highscores, More Games, Help, Exit.
        self.world.key("Down", "Down", "Down", "Down", "Return")
        self.exits_after_ad(self.skip_ad, "on \"Exit\"")


if __name__ == "__main__":
    run_game_tests(__doc__)
