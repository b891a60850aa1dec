# SPDX-License-Identifier: GPL-3.0-or-later
"""Tests of the game's launcher (tools/tamboro-launcher.in) with the real local service and a
stand-in game with a few threads that notes what it found at its start and lives as told."""

import contextlib
import ctypes
import os
import random
import re
import signal
import socket
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from test_adnet import TOOLS, die_with_parent

NOBODY = 65534

# It reports whether its service answered, how many children it has, and the port it was handed, if any.
STAND_IN_GAME = '''#!/usr/bin/python3
import os, socket, sys, threading, time
report, port, life = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
handed = os.environ.get("TAMBORO_LOCAL_SERVICE_PORT")
for _ in range(8):
    threading.Thread(target=time.sleep, args=(3600,), daemon=True).start()
with socket.socket() as probe:
    served = probe.connect_ex(("127.0.0.1", int(handed or port))) == 0
children = sum(len(open(f"/proc/self/task/{t}/children").read().split())
               for t in os.listdir("/proc/self/task"))
with open(report, "a") as file:
    file.write(f"{'served' if served else 'unserved'} {children} {'handed:' + handed if handed else 'compiled'}\\n")
time.sleep(life)
'''


# Stands for another user's program on the port; passed as text, as that user may not read this folder.
LISTENER = Path(__file__).with_name("listener.py").read_text()


def test_port():
    """The port the build gives the tests' services; run by hand without one, any free port."""
    if os.environ.get("TAMBORO_SERVICE_PORT"):
        return int(os.environ["TAMBORO_SERVICE_PORT"])
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def listening(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


def live_children():
    """This process's children that still run; ended ones are reaped on the way."""
    with contextlib.suppress(ChildProcessError):
        while os.waitpid(-1, os.WNOHANG)[0]:
            pass
    return [int(pid) for task in Path("/proc/self/task").iterdir()
            for pid in (task / "children").read_text().split()]


def wait_until(condition, seconds=30):
    deadline = time.monotonic() + seconds
    while not (result := condition()) and time.monotonic() < deadline:
        time.sleep(0.01)
    return result


class LauncherTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Whatever the game leaves behind becomes this test's child, where it can be seen.
        ctypes.CDLL(None, use_errno=True).prctl(36, 1)  # PR_SET_CHILD_SUBREAPER

    def setUp(self):
        self.root = Path(self.enterContext(tempfile.TemporaryDirectory(prefix="launcher-test-")))
        self.addCleanup(self.end_leftovers)
        self.port = test_port()
        self.report = self.root / "report"
        self.report.touch()
        self.stderr_file = self.enterContext(open(self.root / "stderr.txt", "a", encoding="utf-8"))
        values = {"TAMBORO_LOCAL_SERVICE_PORT": str(self.port), "LAUNCHER_TO_GAME": str(self.root / "game"),
                  "LAUNCHER_TO_SERVICE": os.path.join(TOOLS, "adnet.py"),
                  "LAUNCHER_TO_STATIC": os.path.join(TOOLS, "static")}
        launcher = re.sub(r"@(\w+)@", lambda match: values[match[1]],
                          Path(TOOLS, "tamboro-launcher.in").read_text(encoding="utf-8"))
        self.launcher = self.root / "tamboro"
        for path, text in ((self.root / "game", STAND_IN_GAME), (self.launcher, launcher)):
            path.write_text(text, encoding="utf-8")
            path.chmod(0o755)
        self.env = dict(os.environ, XDG_DATA_HOME=str(self.root / "data"), PYTHONDONTWRITEBYTECODE="1")

    def end_leftovers(self):
        for pid in live_children():
            os.kill(pid, signal.SIGKILL)
        wait_until(lambda: not live_children(), 10)

    def launch(self, life, port=None):
        return subprocess.Popen([self.launcher, self.report, str(port or self.port), str(life)], env=self.env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.stderr_file,
                                preexec_fn=die_with_parent)

    def stderr(self):
        return (self.root / "stderr.txt").read_text(encoding="utf-8")

    def test_service_ends_with_its_game_however_the_game_ends(self):
        rng = random.Random(seed := random.randrange(1 << 32))
        exits = 0
        for round_number in range(100):
            ending = rng.choice(("SIGTERM", "SIGKILL", "exit"))
            # From before the service listens to well after the game has started.
            moment = rng.uniform(0, 0.5)
            game = self.launch(moment if ending == "exit" else 3600)
            exits += ending == "exit"
            if ending != "exit":
                time.sleep(moment)
                game.send_signal(getattr(signal, ending))
            game.wait(30)
            ended = wait_until(lambda: not live_children() and not listening(self.port))
            self.assertTrue(ended, f"round {round_number} (seed {seed}): after {ending} at {moment:.2f} s "
                                   f"a service is left: {live_children()}\n" + self.stderr())
        # Every game that got to run (each one left to end by itself did) found its own service listening.
        reports = self.report.read_text(encoding="utf-8").splitlines()
        self.assertGreaterEqual(len(reports), exits, f"seed {seed}")
        self.assertEqual(set(reports), {"served 1 compiled"}, self.stderr())

    def reports(self, count):
        """The first count lines the stand-in games have reported, once there are as many."""
        return wait_until(lambda: (lines := self.report.read_text(encoding="utf-8").splitlines())[count - 1:]
                          and lines[:count])

    def listen_as(self, user):
        """A listener on the launcher's port as user, which ends when its stdin closes."""
        listener = subprocess.Popen(["/usr/bin/python3", "-c", LISTENER, str(self.port)], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, text=True,
                                    preexec_fn=lambda: (die_with_parent(), os.setgid(user), os.setuid(user)))
        self.addCleanup(self.end_listener, listener)
        listener.stdout.readline()
        return listener

    @staticmethod
    def end_listener(listener):
        listener.kill()
        listener.wait()
        for pipe in (listener.stdin, listener.stdout):
            pipe.close()

    def test_a_port_not_held_by_a_service_of_this_user_is_left_alone_and_the_game_gets_its_own(self):
        # Who holds the compiled-in port, and whether the game is handed a port of its own.
        rows = [("this user, by hand", False), ("another game", True)]
        rows += [("another user", True)] if os.getuid() == 0 else []
        for holder, handed in rows:
            with self.subTest(holder):
                self.end_leftovers()
                self.report.write_text("", encoding="utf-8")
                os.truncate(self.root / "stderr.txt", 0)
                listener = first = None
                if holder == "another game":
                    first = self.launch(3600)
                    self.assertEqual(self.reports(1), ["served 1 compiled"], self.stderr())
                else:
                    listener = self.listen_as(NOBODY if holder == "another user" else os.getuid())
                game = self.launch(3600)
                report = (self.reports(2 if first else 1) or [""])[-1]
                self.assertEqual(report.split(":")[0], "served 1 handed" if handed else "served 0 compiled",
                                 self.stderr())
                own = int(report.split(":")[1]) if handed else self.port
                if first:
                    # The first game's end takes its service along, not the second game's.
                    first.kill()
                    first.wait(30)
                    self.assertTrue(wait_until(lambda: not listening(self.port)), self.stderr())
                    self.assertTrue(listening(own))
                game.kill()
                game.wait(30)
                self.assertTrue(wait_until(lambda: not handed or not listening(own)))
                if listener:
                    listener.stdin.close()
                    # Neither the launcher nor the game so much as connects to a program not the player's.
                    self.assertEqual(int(listener.stdout.readline()), 0 if handed else 1)
                foreign = ["a program of another user (uid 65534)"] if holder == "another user" else []
                self.assertEqual(re.findall(r"held by (.*?);", self.stderr()), foreign)
                self.end_leftovers()


if __name__ == "__main__":
    unittest.main()
