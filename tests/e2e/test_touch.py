#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Tamboro 2.0 played with fingers: real touch points sent into the game through Qt's TUIO
touch input. A finger starts a game, two thumbs play it to its end and its score is stored;
a finger presses "Exit" and the ad's "Skip"."""

from harness import *  # noqa: F401,F403
import tuio

# "Exit", the start screen's last button, right of "Help".
EXIT = (356, 512)
# The game-over overlay darkens the gap between the hole columns; its title is white at the top.
COLUMN_GAP = (222, 200, 258, 680)
PAIRS = 5
# A monkey seen this long (of the 1.5 s it stays) is tapped alone rather than let escape.
LAST_MOMENT = 1.0
AD_REQUEST = "/simpleM2M/clientRequestAd"
POINTS = {"blue": 1, "violet": 2, "yellow": 3}


class TouchWorld(World):
    """The game listening for touch points on the UDP port numbered as this run's service port,
    which no other run of the suite shares."""

    def start_game(self, game):
        self.env["QT_QPA_GENERIC_PLUGINS"] = f"tuiotouch:udp={self.port}"
        self.fingers = tuio.TouchScreen(self.port)
        super().start_game(game)

    def stop_all(self):
        if getattr(self, "fingers", None):
            self.fingers.close()
            self.fingers = None
        super().stop_all()

    def scene_point(self, point):
        """A point of the scene as the fractions of the full-screen window a finger sends."""
        x, y = self.stage.to_screen(*point)
        width, height = self.stage.screen_size
        return x / width, y / height

    def focus(self, window):
        # Touch points go to the focused window, and nothing focuses one under a bare X server.
        self.x("windowfocus", window[0])
        time.sleep(0.2)

    def finger_tap(self, point):
        finger = self.fingers.down(point)
        time.sleep(0.05)
        self.fingers.up(*finger)


def hole_middle(number):
    x0, y0, x1, y1 = card_area(number)
    return (x0 + x1) / 2, (y0 + y1) / 2


class TouchTest(Steps):
    world_type = TouchWorld
    game_may_have_exited = ("test_3_exit_and_skip_by_finger",)

    def skip_by_finger(self, dialog, what):
        """A finger on "Skip", the left of the two buttons at the dialog's foot: the dialog goes
        at once, long before its ten-second countdown would take it away, and opens no ad."""
        world = self.world
        # An ad opened asks for the next one at once; a skipped one does not.
        asked = len(world.requests(AD_REQUEST))
        world.focus(dialog)
        # "Skip" is the left half of the button row, whose middle lies about 24 px above the foot.
        _, _, height = dialog
        world.finger_tap((0.25, (height - 24) / height))
        self.assertTrue(wait_until(lambda: world.dialog() is None, 6),
                        f"a finger on \"Skip\" did not close the ad {what}")
        time.sleep(1)
        self.assertEqual(len(world.requests(AD_REQUEST)), asked, f"the finger opened the ad {what}")

    def test_1_finger_starts_a_game(self):
        main = self.reach_start_screen(skip_ad=self.skip_by_finger)
        self.world.focus(main)
        self.world.finger_tap(self.world.scene_point(NEW_GAME))
        self.shows(game_screen_shown, "a finger on \"New Game\" did not start a game")

    def test_2_two_thumbs_play_to_the_end(self):
        """Whenever two monkeys are up, a thumb lands on each, the second 30 ms after the first,
        both held 40 ms; a monkey about to hide alone takes one thumb. The second thumbs'
        monkeys count as the first thumbs' do. Then three escape and the score is stored."""
        world = self.world
        dark = 0.7 * world.shot().brightness(*COLUMN_GAP, step=4)

        def game_over_shown(shot):
            return shot.brightness(*COLUMN_GAP, step=4) < dark and shot.white_count(170, 22, 310, 75) > 60
        firsts, seconds, tapped_at, seen_at = [], [], {}, {}
        deadline = time.monotonic() + 40
        while len(seconds) < PAIRS and time.monotonic() < deadline:
            shot = world.shot()
            if game_over_shown(shot):
                break
            now = time.monotonic()
            up = [(n, monkey_in(shot, n)) for n in range(1, 9)
                  if now - tapped_at.get(n, 0) > 0.8 and monkey_in(shot, n)]
            seen_at = {n: seen_at.get(n, now) for n, _ in up}
            up.sort(key=lambda monkey: seen_at[monkey[0]])
            if len(up) >= 2:
                (first, first_colour), (second, second_colour) = up[:2]
                thumbs = world.fingers.down(world.scene_point(hole_middle(first)))
                time.sleep(0.03)
                thumbs += world.fingers.down(world.scene_point(hole_middle(second)))
                time.sleep(0.04)
                world.fingers.up(*thumbs)
                tapped_at[first] = tapped_at[second] = time.monotonic()
                firsts.append(first_colour)
                seconds.append(second_colour)
            elif up and now - seen_at[up[0][0]] > LAST_MOMENT:
                world.finger_tap(world.scene_point(hole_middle(up[0][0])))
                tapped_at[up[0][0]] = time.monotonic()
                firsts.append(up[0][1])
        self.assertGreaterEqual(len(seconds), 2, f"two monkeys were up together only {len(seconds)} times")
        over = world.wait_for_shot(game_over_shown, 30, unmet="game-over")
        self.assertIsNotNone(over, "no \"Game over!\" overlay within 30 s of the last thumbs")
        scores = world.stored_scores()
        self.assertEqual(len(scores), 1, f"expected one stored score after the game, found {scores}")
        score = scores[0][0]
        # A monkey may hide just as a thumb lands, but not every second thumb's.
        first_points = sum(POINTS[c] for c in firsts)
        self.assertGreater(score, first_points, f"only the first thumbs' monkeys {firsts} counted, "
                           f"not the second thumbs' {seconds}")
        self.assertLessEqual(score, first_points + sum(POINTS[c] for c in seconds))

    def test_3_exit_and_skip_by_finger(self):
        world = self.world
        main = world.main_window()
        world.focus(main)
        world.finger_tap(world.scene_point(HOME))
        self.shows(start_screen_uncovered, "a finger on the home button did not lead back to the start screen")
        world.finger_tap(world.scene_point(EXIT))
        self.exits_after_ad(self.skip_by_finger, "on the way out")


if __name__ == "__main__":
    run_game_tests(__doc__)
