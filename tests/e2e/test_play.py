#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Tamboro 2.0 played in a real X window, the way a player meets it.

In a world of its own (harness.py: Xvfb at the phone's 480x800, so window and scene
coordinates are the same, a private bus, the local service, a private home) the test
plays through the game with xdotool and judges what the player would see from
screenshots of the root window.

The steps depend on each other and run in order; once one fails, the rest are
skipped rather than failing for the same reason. Two short runs of their own show the
game on screens that draw the scene above 1:1: a 1920x1080 desktop and a screen with
QT_SCALE_FACTOR=2.

    test_play.py --game build/tamboro [--source REPO] [--shots DIR] [--update-docs]
"""

import os
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import *  # noqa: E402,F401,F403

PLAYER = "kelto_player"
# Every character the form encoding has to protect, plus a space.
PASSWORD = "p&ss=w+rd%41 #!"

OPTIONS = None


class PlayTest(Steps):
    ad_kept = False
    kept = {}
    playing_gap = None
    shots_dir = None
    game_may_have_exited = ("test_9_close_shows_ad_and_exits",)

    @classmethod
    def setUpClass(cls):
        cls.world = World(port=OPTIONS.port)
        cls.shots_dir = OPTIONS.shots or cls.world.path("shots")
        os.makedirs(cls.shots_dir, exist_ok=True)
        try:
            cls.world.start(OPTIONS.source, OPTIONS.game)
        except Exception:
            cls.broken = "setting up"
            cls.failed = True
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        write_shots(cls.kept, cls.shots_dir)
        if cls.failed:
            return
        for path in (cls.world.path(name) for name in os.listdir(cls.world.tmp)):
            if os.path.isdir(path) and path != cls.shots_dir:
                shutil.rmtree(path, ignore_errors=True)
            elif path != cls.shots_dir:
                os.remove(path)
        if not os.listdir(cls.world.tmp):
            os.rmdir(cls.world.tmp)
        if cls.kept:
            print(f"\nscreenshots in {cls.shots_dir}", file=sys.stderr)

    def keep(self, name, shot):
        """Screenshots are written at the end: compressing one takes longer than a
        monkey waits to be tapped."""
        PlayTest.kept[name] = shot

    def wait_for_shot(self, condition, timeout):
        return self.world.wait_for_shot(condition, timeout, unmet=self._testMethodName)

    def close_dialog(self, what):
        """Escape closes an ad dialog well before its ten-second countdown could."""
        dialog = wait_until(self.world.dialog, 15, interval=0.2)
        self.assertIsNotNone(dialog, f"no ad dialog appeared {what}")
        shown = time.monotonic()
        if not PlayTest.ad_kept:
            time.sleep(0.5)
            self.keep("ad", self.world.shot())
            PlayTest.ad_kept = True
        self.world.press_escape(dialog[0])
        self.assertTrue(wait_until(lambda: self.world.dialog() is None, 4, interval=0.1),
                        f"Escape did not close the ad dialog {what}")
        self.assertLess(time.monotonic() - shown, 8, "the dialog may have closed by its countdown")
        return dialog

    def probe_sent_at(self):
        probes = self.world.requests(PROBE_PATH)
        return logged_time(probes[0]) if probes else None

    def test_1_overlay_until_probe_answers(self):
        sent = wait_until(self.probe_sent_at, 20)
        self.assertIsNotNone(sent, "the game sent no connection probe")
        left = sent + PROBE_DELAY_MS / 1000 - 1 - time.time()
        self.assertIsNotNone(self.wait_for_shot(start_screen_covered, max(left, 0.5)),
                             "the start screen's buttons were not covered while the probe was unanswered")

    def test_2_startup_ad_closes_on_escape(self):
        answered = self.probe_sent_at() + PROBE_DELAY_MS / 1000
        dialog = wait_until(self.world.dialog, PROBE_DELAY_MS / 1000 + 15, interval=0.2)
        if dialog is None:
            pictures = [logged_time(e) for e in self.world.requests() if e["path"].startswith("/ads/")]
            # The game shows the ad only if its picture had arrived when the probe answered.
            if not pictures or pictures[0] > answered - 1:
                self.skipTest("no ad dialog at start-up: the ad chain finished only after the probe "
                              f"had answered ({len(pictures)} pictures fetched)")
        self.assertIsNotNone(dialog, "no ad dialog at start-up although the ad was downloaded "
                             "before the probe answered")
        self.assertLess(dialog[1] * dialog[2], SCREEN_W * SCREEN_H)
        self.close_dialog("at start-up")

    def test_3_start_screen_uncovered(self):
        shot = self.wait_for_shot(start_screen_uncovered, 10)
        self.assertIsNotNone(shot, "the connection overlay still covers the start screen's buttons")
        self.keep("start", shot)

    def test_4_play_a_game(self):
        world = self.world
        world.tap(NEW_GAME)
        shot = self.wait_for_shot(game_screen_shown, 5)
        self.assertIsNotNone(shot, "\"New Game\" did not bring up the board of eight holes")
        PlayTest.playing_gap = board_gap(shot)

        # Tap a few monkeys, then let three escape so the game ends on its own. The first
        # monkey is let turn all the way round for the picture; it stays up for 1.5 s, time
        # enough to tap it afterwards.
        def picture(shot):
            time.sleep(FLIP_SECONDS)
            self.keep("game", world.shot())
        taps, seen = tap_monkeys(world, 4, 45, PlayTest.playing_gap, first_seen=picture)
        self.assertTrue(seen, "no monkey showed up in 45 s of play")
        self.assertGreaterEqual(len(taps), 1)
        PlayTest.taps = taps

    def test_5_game_over(self):
        shot = self.wait_for_shot(lambda s: game_over_shown(s, PlayTest.playing_gap), 30)
        self.assertIsNotNone(shot, "no \"Game over!\" overlay within 30 s of the last tap")
        self.keep("gameover", shot)
        scores = self.world.stored_scores()
        self.assertEqual(len(scores), 1, f"expected one stored score after the game, found {scores}")
        score, grid, _ = scores[0]
        self.assertEqual(grid, 8)
        self.assertGreaterEqual(score, 1)
        self.assertLessEqual(score, sum({"blue": 1, "violet": 2, "yellow": 3}[c] for c in PlayTest.taps),
                             f"stored score {score} is more than the tapped monkeys {PlayTest.taps} give")

    def test_6_high_scores_list_the_game(self):
        # The home button from the game-over board, then from the help screen.
        for button, shown, picture, what in [
                (HOME, start_screen_uncovered, None, "the home button did not lead back to the start screen"),
                (HELP, help_screen_shown, "help", "\"Help\" did not show the help screen"),
                (HOME, start_screen_uncovered, None, "the help screen's home button did not lead back"),
                (HIGHSCORES, high_score_screen_shown, "highscores", "\"Highscores\" did not show its screen")]:
            self.world.tap(button)
            shot = self.wait_for_shot(shown, 5)
            self.assertIsNotNone(shot, what)
            if picture:
                self.keep(picture, shot)
        # One stored score: one line of the listing at (50, 100), nothing below it.
        self.assertGreater(shot.white_count(50, 104, 330, 128), 40, "the listing shows no score")
        self.assertLess(shot.white_count(50, 140, 330, 166), 10, "the listing shows a second line")

    def test_7_upload_the_score(self):
        world = self.world
        world.tap(UPLOAD_HIGH_SCORE)
        shot = self.wait_for_shot(upload_form_shown, 5)
        self.assertIsNotNone(shot, "\"Upload high score\" did not open the login form")
        self.keep("upload", shot)
        main = world.main_window()
        world.x("windowfocus", main[0])
        world.tap(USERNAME_BOX)
        world.x("type", "--delay", "40", PLAYER)
        world.tap(PASSWORD_BOX)
        world.x("type", "--delay", "40", PASSWORD)
        world.tap(UPLOAD_SCORE_IN_FORM)

        # Only this player's: in a shared session another game may post to the same port.
        uploads = wait_until(lambda: [e for e in world.requests(UPLOAD_PATH)
                                      if (e.get("form") or {}).get("username") == PLAYER], 10)
        self.assertEqual(len(uploads or []), 1, "the form posted nothing, or more than once, to the score board")
        upload = uploads[0]
        best, _, stored_name = world.stored_scores()[0]
        self.assertEqual(upload["method"], "POST")
        form = dict(upload["form"])
        name = form.pop("name", None)
        self.assertEqual(form, {"score": str(best), "gridSize": "8", "game": "tamboro",
                                "username": PLAYER})
        self.assertEqual(world.files_containing(PASSWORD.encode(), world.path("home")), [],
                         "the game wrote the password to disk")

        # The board stored the score under the player's name, with the password as typed.
        sys.path.insert(0, os.path.join(OPTIONS.source, "tools"))
        import adnet_store
        # The log line is written before the board stores the upload.
        store = adnet_store.Store(world.path("service"))
        top = wait_until(lambda: [row for row in store.top_scores("tamboro")
                                  if row["username"] == PLAYER], 5) or []
        self.assertEqual([row["score"] for row in top], [best])
        self.assertTrue(adnet_store.verify_upload(world.path("service"), top[0]["id"], PASSWORD),
                        "the password did not reach the score board unchanged")
        self.assertEqual(world.files_containing(PASSWORD.encode(), world.tmp), [],
                         "the password is stored or logged in clear")

        self.assertIsNotNone(self.wait_for_shot(lambda s: not upload_form_shown(s), 5),
                             "the form stayed open after the upload completed")

        self.later_steps_unaffected = True
        self.assertEqual(name, "", "the score's name, never asked for, must go out empty; "
                         f"the local database holds {stored_name!r} for it")

    def test_8_minimise_signals_desktop(self):
        world = self.world
        self.assertEqual(world.bus_signals(), [])
        world.tap(MINIMISE)
        self.assertTrue(wait_until(lambda: len(world.bus_signals()) >= 2, 5),
                        "fewer than two exit_app_view signals on the bus")
        # Whatever follows the minimise (its ad) must not send more.
        self.close_dialog("after minimising")
        signals = world.bus_signals()
        self.assertEqual(len(signals), 2, "".join(signals))
        for line in signals:
            self.assertIn("path=/;", line)
            self.assertIn("interface=com.nokia.hildon_desktop;", line)

    def test_9_close_shows_ad_and_exits(self):
        world = self.world
        world.tap(CLOSE)
        self.assertTrue(wait_until(world.dialog, 15, interval=0.2), "no ad dialog on the close icon")
        self.assertIsNone(world.game.poll(), "the game quit before its ad was dismissed")
        self.close_dialog("on the close icon")
        status = wait_until(lambda: world.game.poll() is not None, 10)
        self.assertTrue(status, "the game kept running after its ad was skipped")
        self.assertEqual(world.game.returncode, 0, world.game_output())


def write_shots(shots, folder):
    """Screenshots by name into folder, and into docs/screenshots/ with --update-docs."""
    folders = [folder] if folder else []
    if OPTIONS.update_docs:
        folders.append(os.path.join(OPTIONS.source, "docs", "screenshots"))
    for path in folders:
        os.makedirs(path, exist_ok=True)
        for name, shot in shots.items():
            shot.save_png(os.path.join(path, name + ".png"))


class LargeScreenTest(unittest.TestCase):
    """The game on screens that show the scene above 1:1: a full-HD desktop, where the
    stage is letterboxed at 1.35x, and a screen doubling every pixel (QT_SCALE_FACTOR=2).
    Each gets a world of its own; the probe answers at once, as a quick network would."""

    world = None

    def setUp(self):
        self.shots = {}
        self.passed = False

    def tearDown(self):
        world, LargeScreenTest.world = LargeScreenTest.world, None
        if world:
            world.stop_all()
            if self.passed:
                shutil.rmtree(world.tmp, ignore_errors=True)
            else:
                print(f"\nkept for inspection: {world.tmp}", file=sys.stderr)
        write_shots(self.shots, OPTIONS.shots)

    def start(self, stage):
        self.world = LargeScreenTest.world = World(stage, port=OPTIONS.port)
        self.world.start(OPTIONS.source, OPTIONS.game, probe_delay_ms=0)
        self.world.fill_screen()

    def escaped(self):
        """Sends a start-up ad away; True if one was there."""
        dialog = self.world.dialog()
        if dialog:
            self.world.press_escape(dialog[0])
        return bool(dialog)

    def start_screen(self):
        """The uncovered start screen, once any start-up ad has been sent away."""
        latest = {}

        def uncovered():
            if self.escaped():
                return None
            latest["shot"] = self.world.shot()
            return start_screen_uncovered(latest["shot"])
        if not wait_until(uncovered, 30, interval=0.3):
            if "shot" in latest:
                latest["shot"].save_png(self.world.path("unmet-start.png"))
            self.fail(f"no start screen on {self.world.stage.screen_size}:\n{self.world.game_output()}")
        return latest["shot"]

    def test_full_hd_desktop(self):
        self.start(Stage(1920, 1080))
        self.shots["start-1920x1080"] = self.start_screen()
        self.world.tap(NEW_GAME)

        def monkey_on_board():
            # A start-up ad may come only now, and take the tap meant for "New Game".
            if self.escaped():
                return None
            shot = self.world.shot()
            if start_screen_uncovered(shot):
                self.world.tap(NEW_GAME)
                return None
            return game_screen_shown(shot) and any(monkey_in(shot, n) for n in range(1, 9))
        self.assertTrue(wait_until(monkey_on_board, 30, interval=0.3), "no monkey on the board at 1920x1080")
        # The first monkey is let turn all the way round for the picture.
        time.sleep(FLIP_SECONDS)
        self.shots["game-1920x1080"] = self.world.shot()
        self.passed = True

    def test_doubled_pixels(self):
        self.start(Stage(960, 1600, scale_factor=2))
        self.shots["start-scale2"] = self.start_screen()
        self.passed = True


def play_options(parser):
    parser.add_argument("--shots", help="folder for the screenshots (default: the test's temp dir)")
    parser.add_argument("--update-docs", action="store_true",
                        help="also write the screenshots to docs/screenshots/ of the source tree")


if __name__ == "__main__":
    run_game_tests(__doc__, play_options)
