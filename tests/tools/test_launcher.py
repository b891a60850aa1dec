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

STAND_IN_GAME = '''#!/usr/bin/python3
import os, socket, sys, threading, time
report, port, life = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
for _ in range(8):
    threading.Thread(target=time.sleep, args=(3600,), daemon=True).start()
with socket.socket() as probe:
    served = probe.connect_ex(("127.0.0.1", port)) == 0
children = sum(len(open(f"/proc/self/task/{t}/children").read().split())
               for t in os.listdir("/proc/self/task"))
with open(report, "a") as file:
    file.write(f"{'served' if served else 'unserved'} {children}\\n")
time.sleep(life)
'''


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

    def launch(self, life):
        return subprocess.Popen([self.launcher, self.report, str(self.port), str(life)], env=self.env,
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
        self.assertEqual(set(reports), {"served 1"}, self.stderr())

    def test_a_listener_of_this_user_is_used_and_one_of_another_user_left_alone(self):
        for user in ((os.getuid(), NOBODY) if os.getuid() == 0 else (os.getuid(),)):
            # The listener ends when the with block closes its stdin.
            with self.subTest(user=user), subprocess.Popen(
                    ["/usr/bin/python3", "-c", "import socket, sys;"
                     " s = socket.create_server(('127.0.0.1', int(sys.argv[1])));"
                     " print(flush=True); sys.stdin.read()", str(self.port)],
                    stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                    preexec_fn=lambda: (die_with_parent(), os.setgid(user), os.setuid(user))) as listener:
                listener.stdout.readline()
                game = self.launch(0)
                self.assertEqual(game.wait(30), 0, self.stderr())
                # The game ran beside the listener and no service was started for it.
                self.assertEqual(self.report.read_text(encoding="utf-8").splitlines()[-1], "served 0")
                self.assertIsNone(listener.poll())
                foreign = ["a program of another user (uid 65534)"] if user == NOBODY else []
                self.assertEqual(re.findall(r"held by (.*?);", self.stderr()), foreign)

if __name__ == "__main__":
    unittest.main()
