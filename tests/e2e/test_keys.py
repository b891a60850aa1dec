#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Tamboro 2.0 played from the keyboard alone, under the openbox window manager on Xvfb.

Only key events reach the game (xdotool key and type), never a pointer event: the
start-up ad skipped, "New Game", a game played with the number keys to a score that
enters the list, the high-score screen, the upload form filled in and sent (the local
score board records it), home, "Help", home, and "Exit", whose ad is skipped too; the
game ends with status 0. The screen is read from screenshots (harness.py); the steps run
in order.

    test_keys.py --game build/tamboro [--source REPO] --port PORT
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import *  # noqa: E402,F401,F403

PLAYER = "keyboard_player"
PASSWORD = "k&y=b+rd%41 #!"
OPTIONS = None


class KeysTest(Steps):
    playing_gap = None
    game_may_have_exited = ("test_5_exit_ad_skipped_by_keyboard",)

    @classmethod
    def setUpClass(cls):
        cls.world = World(port=OPTIONS.port)
        cls.world.start(OPTIONS.source, OPTIONS.game, window_manager=True)

    def keys(self, *names):
        for name in names:
            self.world.x("key", "--delay", "60", name)

    def shows(self, condition, what, timeout=5):
        shot = self.world.wait_for_shot(condition, timeout, unmet=self._testMethodName)
        self.assertIsNotNone(shot, what)
        return shot

    def skip_ad(self, dialog, what):
        """Tab leaves the banner for "Skip", and Space presses it."""
        self.world.x("windowfocus", dialog[0])
        time.sleep(0.2)
        self.keys("Tab", "space")
        self.assertTrue(wait_until(lambda: self.world.dialog() is None, 4, interval=0.1),
                        f"Tab and Space did not skip the ad {what}")

    def test_1_start_screen_takes_the_keyboard(self):
        main = wait_until(self.world.main_window, 20)
        self.assertIsNotNone(main, "no full-screen game window")
        # The start-up ad comes when the ad chain was done before the probe's answer.
        dialog = wait_until(self.world.dialog, PROBE_DELAY_MS / 1000 + 8, interval=0.2)
        if dialog:
            self.skip_ad(dialog, "at start-up")
        self.shows(start_screen_uncovered, "the start screen stayed covered", 15)

    def test_2_new_game_played_with_number_keys(self):
        # "New Game" has the keyboard as soon as the overlay has gone.
        self.keys("Return")
        shot = self.shows(game_screen_shown, "Return did not start a game")
        KeysTest.playing_gap = board_gap(shot)
        hits, pressed_at = 0, {}
        deadline = time.monotonic() + 30
        while hits < 3 and time.monotonic() < deadline:
            shot = self.world.shot()
            for number in range(1, 9):
                if monkey_in(shot, number) and time.monotonic() - pressed_at.get(number, 0) > 0.8:
                    self.world.x("key", str(number))
                    pressed_at[number] = time.monotonic()
                    hits += 1
        self.assertGreaterEqual(hits, 3, "fewer than three monkeys showed in 30 s")
        # Three escapes end the game.
        self.shows(lambda s: game_over_shown(s, KeysTest.playing_gap), "no \"Game over!\" overlay", 20)
        scores = self.world.stored_scores()
        self.assertEqual(len(scores), 1, f"expected one stored score, found {scores}")
        self.assertGreaterEqual(scores[0][0], 1, "the number keys scored nothing")

    def test_3_upload_from_the_keyboard(self):
        # Hole 1 has had the keyboard since the game screen came; back from it lie the
        # corner icons and then the high-score icon.
        self.keys("shift+Tab", "shift+Tab", "shift+Tab", "Return")
        self.shows(high_score_screen_shown, "the high-score icon did not show the list")
        self.keys("Return")
        self.shows(upload_form_shown, "\"Upload high score\" did not open the form")
        world = self.world
        world.x("type", "--delay", "40", PLAYER)
        self.keys("Tab")
        world.x("type", "--delay", "40", PASSWORD)
        self.keys("Return")
        uploads = wait_until(lambda: [e for e in world.requests(UPLOAD_PATH)
                                      if (e.get("form") or {}).get("username") == PLAYER], 10)
        self.assertEqual(len(uploads or []), 1, "the form sent nothing, or more than once")
        self.assertEqual(uploads[0]["form"].get("score"), str(world.stored_scores()[0][0]))
        sys.path.insert(0, os.path.join(OPTIONS.source, "tools"))
        import adnet_store
        store = adnet_store.Store(world.path("service"))
        top = wait_until(lambda: [r for r in store.top_scores("tamboro") if r["username"] == PLAYER], 5)
        self.assertTrue(top, "the score board did not record the upload")
        self.assertTrue(adnet_store.verify_upload(world.path("service"), top[0]["id"], PASSWORD),
                        "the password did not reach the score board as typed")
        self.shows(lambda s: not upload_form_shown(s), "the form stayed open after the upload")

    def test_4_home_help_home(self):
        self.keys("Escape")
        self.shows(start_screen_uncovered, "Escape did not lead home from the high scores")
        # New Game, Highscores, More Games, Help.
        self.keys("Down", "Down", "Down", "Return")
        self.shows(help_screen_shown, "Down to \"Help\" and Return did not show the help")
        self.keys("Escape")
        self.shows(start_screen_uncovered, "Escape did not lead home from the help")

    def test_5_exit_ad_skipped_by_keyboard(self):
        # New Game, Highscores, More Games, Help, Exit.
        self.keys("Down", "Down", "Down", "Down", "Return")
        dialog = wait_until(self.world.dialog, 15, interval=0.2)
        self.assertIsNotNone(dialog, "no ad dialog on \"Exit\"")
        self.skip_ad(dialog, "on \"Exit\"")
        self.assertTrue(wait_until(lambda: self.world.game.poll() is not None, 10), "the game kept running")
        self.assertEqual(self.world.game.returncode, 0, self.world.game_output())


if __name__ == "__main__":
    run_game_tests(__doc__)
