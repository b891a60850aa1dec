#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Tamboro 2.0 as a screen reader meets it, through pyatspi and at-spi2-core's bus on the world's
session bus (the game's AT-SPI bridge always on): each screen shows exactly its own controls."""

from harness import *  # noqa: F401,F403

BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
CORNERS = {"Minimise", "Close"}
SCREENS = {
    "start": {"New Game", "Highscores", "More Games", "Help", "Exit"} | CORNERS,
    "game": {f"Hole {n}" for n in range(1, 9)} | {"Restart", "Home", "High scores"} | CORNERS,
    "help": {"Home"} | CORNERS,
    "highscores": {"Upload high score", "Show global top list", "Home"} | CORNERS,
}
pyatspi = None  # imported once the world's buses are known


class AccessibleWorld(World):
    """harness.py's world with an accessibility bus, the game's bridge on without a screen reader."""

    def start_bus(self):
        super().start_bus()
        self.env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        # The launcher starts the accessibility bus (which starts the registry on demand)
        # and tells its address on the session bus; the bus it started dies with it.
        self.spawn("at-spi-bus", [BUS_LAUNCHER, "--launch-immediately"], env=dict(os.environ, **self.env))
        ask = ["dbus-send", "--session", "--print-reply=literal", "--dest=org.a11y.Bus", "/org/a11y/bus",
               "org.a11y.Bus.GetAddress"]
        if not wait_until(lambda: self.run(*ask).stdout.strip(), 15, interval=0.2):
            raise RuntimeError("the accessibility bus did not start within 15 s")
        global pyatspi
        # The client side reads the same buses as the game.
        os.environ.update(DBUS_SESSION_BUS_ADDRESS=self.env["DBUS_SESSION_BUS_ADDRESS"], DISPLAY=self.env["DISPLAY"])
        import pyatspi


def state_of(node):
    states = node.getState()
    return states.contains(pyatspi.STATE_SHOWING), states.contains(pyatspi.STATE_FOCUSABLE)


def current_name(node):
    """The name as the game tells it now, not as the client library last kept it."""
    node.clear_cache()
    return node.name


def children(node):
    return [node.getChildAtIndex(i) for i in range(node.childCount)]


def descendants(node, depth=0):
    if node is None or depth > 30:
        return
    yield node
    for child in children(node):
        yield from descendants(child, depth + 1)


class AccessTest(Steps):
    scene = None
    world_type, start_options = AccessibleWorld, {"probe_delay_ms": 0}

    def nodes(self):
        return list(descendants(AccessTest.scene))

    def node(self, name):
        """The accessible of that name, the showing one where screens share a name."""
        named = [n for n in self.nodes() if current_name(n) == name]
        return next((n for n in named if state_of(n)[0]), named[0] if named else None)

    def press(self, name, node=None):
        node = node or self.node(name)
        self.assertIsNotNone(node, f"no accessible named {name!r}")
        action = node.queryAction()
        names = [action.getName(i) for i in range(action.nActions)]
        self.assertIn("Press", names, f"{name!r} offers no Press action")
        self.assertTrue(action.doAction(names.index("Press")), f"Press on {name!r} was refused")

    def screen_is(self, screen, timeout=5):
        """Waits until the showing, focusable buttons and fields are those of the screen."""
        seen, controls = {}, (pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_ENTRY, pyatspi.ROLE_PASSWORD_TEXT)

        def exact():
            seen["controls"] = {n.name for n in self.nodes()
                                if n.getRole() in controls and state_of(n) == (True, True)}
            return seen["controls"] == SCREENS[screen]
        wait_until(exact, timeout, interval=0.2)
        self.assertEqual(seen["controls"], SCREENS[screen], f"controls listed as showing on the {screen} screen")
        shown_ad = [n.name for n in self.nodes() if n.name in ("VIEW", "SKIP") and state_of(n)[0]]
        self.assertEqual(shown_ad, [], "the invisible ad panel's buttons are listed as showing")

    def test_1_start_screen(self):
        # The game's scene window in the accessibility tree: the one holding "Minimise".
        game = self.world.game.pid
        AccessTest.scene = wait_until(lambda: next((
            window for app in children(pyatspi.Registry.getDesktop(0)) if app and app.get_process_id() == game
            for window in children(app) if any(n.name == "Minimise" for n in descendants(window))), None),
            20, interval=0.5)
        self.assertIsNotNone(AccessTest.scene, "the game did not appear on the accessibility bus")
        # A start-up ad, if the ad chain beat the probe, is let go.
        self.world.dismiss_dialog(3)
        self.screen_is("start", 15)

    def test_2_press_new_game_and_a_monkey(self):
        # Read once beforehand: a monkey waits only 1.5 s, less than a walk of the tree takes.
        holes = {n.name: n for n in self.nodes() if n.name.startswith("Hole ")}
        score = next(n for n in self.nodes() if n.name.startswith("Score "))
        self.press("New Game")
        self.assertTrue(wait_until(lambda: current_name(score) == "Score 0", 10),
                        "the score is not exposed with its value")
        self.shows(game_screen_shown, "Press on \"New Game\" showed no game")
        # A loaded machine may press after the monkey has hidden; a second monkey is tried
        # before three escapes end the game.
        for attempt in range(2):
            showing = wait_until(lambda: monkey_holes(self.world.shot()), 15, interval=0)
            self.assertTrue(showing or attempt, "no monkey showed in 15 s")
            if not showing:
                break
            self.press(f"Hole {showing[0]}", holes[f"Hole {showing[0]}"])
            if wait_until(lambda: current_name(score) not in ("Score 0", None), 3):
                break
        self.assertNotIn(current_name(score), ("Score 0", None), "Press on a hole with a monkey did not score")
        self.screen_is("game")
        # Three escapes end the game; its line is read as it shows.
        over = wait_until(lambda: self.node("Game over!"), 15, interval=0.3)
        self.assertIsNotNone(over, "the game-over line is not exposed")
        self.assertEqual(state_of(over)[0], True, "the game-over line is not listed as showing")

    def test_3_press_help_and_home(self):
        for name, screen in [("Home", "start"), ("Help", "help"), ("Home", "start"), ("Highscores", "highscores")]:
            self.press(name)
            self.screen_is(screen)


if __name__ == "__main__":
    run_game_tests(__doc__)
