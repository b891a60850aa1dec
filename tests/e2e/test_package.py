#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The Debian package as a player gets it.

MakePackage builds it in --build from a Release build configured with the given cache values
(the test build's hosts, so its port cannot collide with anyone else's). PackageTest checks
the package found there, unpacked, and the game started from its menu entry under Xvfb."""

import configparser
import fnmatch
import re
import socket
import struct

from harness import *  # noqa: F401,F403

OPTIONS = None
GAME = "usr/libexec/tamboro/tamboro"
PLAYER = "usr/games/tamboro"
MANUAL = "usr/share/man/man6/tamboro.6.gz"
DOC = "usr/share/doc/tamboro"
ENTRY = "usr/share/applications/tamboro.desktop"
METAINFO = "usr/share/metainfo/net.kelto.tamboro.metainfo.xml"
# What only the tests' own service (tests/tools/adnet_faults.py) has: the switchboard and its fault modes.
FAULT_MARKS = (b"/_control", b"--probe-empty", b"probe_delay_ms", b"hugelength", b"dtdattributes", b"giantpicture",
               b"billion", b"adnet_faults")
# The licences of the copyright file under the names the files' SPDX lines give them.
SPDX_NAMES = {"GPL-3+": "GPL-3.0-or-later", "CC-BY-SA-4.0": "CC-BY-SA-4.0"}


class MakePackage(unittest.TestCase):
    def test_make(self):
        tree = os.path.join(OPTIONS.build, "release")
        launcher = OPTIONS.compiler_launcher or shutil.which("ccache") or ""
        configure = ["cmake", "-S", OPTIONS.source, "-B", tree, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                     "-DTAMBORO_TESTS=OFF", "-DTAMBORO_BENCH=OFF", "-DCMAKE_CXX_COMPILER_LAUNCHER=" + launcher,
                     *("-D" + d for d in OPTIONS.define)]
        # Paths relative to the checkout let the compiler cache serve other build folders too.
        env = {"CCACHE_BASEDIR": os.path.dirname(os.path.abspath(OPTIONS.source)), **os.environ}
        for old in glob.glob(os.path.join(tree, "*.deb")):
            os.remove(old)
        subprocess.run(configure, check=True, env=env, stdout=subprocess.DEVNULL)
        # With tests and benchmarks off, the package target builds the game and nothing else.
        subprocess.run(["cmake", "--build", tree, "--parallel", "2", "--target", "package"], check=True, env=env)


def listening(port):
    with socket.socket() as probe:
        probe.settimeout(1)
        return probe.connect_ex(("127.0.0.1", port)) == 0


def services(pid):
    """The local services that pid started."""
    children = " ".join(read_file(task) for task in glob.glob(f"/proc/{pid}/task/*/children")).split()
    return [int(child) for child in children if "adnet.py" in read_file(f"/proc/{child}/cmdline")]


def alive(pid):
    """True while pid runs (a zombie counts as ended)."""
    return read_file(f"/proc/{pid}/stat").rsplit(")", 1)[-1].split()[:1] not in ([], ["Z"])


def source_files():
    """The source tree's files, relative to it: those git tracks, else every file outside
    build folders and hidden ones."""
    tracked = subprocess.run(["git", "-C", OPTIONS.source, "ls-files", "-z"], capture_output=True).stdout
    if tracked:
        return [name for name in tracked.decode().split("\0") if name]
    found = []
    for folder, dirs, names in os.walk(OPTIONS.source):
        dirs[:] = [d for d in dirs if not d.startswith(".") and d != "build"]
        found += [os.path.relpath(os.path.join(folder, n), OPTIONS.source) for n in names]
    return found


def dep5(path):
    """A machine-readable copyright file as ([(patterns, licence)], {licence: text})."""
    stanzas, texts = [], {}
    for paragraph in re.split(r"\n\s*\n", read_file(path)):
        fields = dict(re.findall(r"^([\w-]+):[ \t]*((?:.*)(?:\n[ \t].*)*)", paragraph, re.M))
        licence, _, text = fields.get("License", "").partition("\n")
        if "Files" in fields:
            stanzas.append((fields["Files"].split(), licence.strip()))
        elif licence:
            texts[licence.strip()] = text.strip()
    return stanzas, texts


def package_of(path):
    """The installed package that holds a file, or None. With /lib a link to /usr/lib,
    dpkg may know the file under either name."""
    real = os.path.realpath(path)
    found = (run("dpkg", "-S", name) for name in dict.fromkeys([path, real, real.removeprefix("/usr"), "/usr" + path]))
    return next((known.stdout.split(":")[0] for known in found if known.returncode == 0), None)


def run(*argv):
    return subprocess.run(argv, capture_output=True, text=True, timeout=60)


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        debs = glob.glob(os.path.join(OPTIONS.build, "release", "tamboro_*.deb"))
        if len(debs) != 1:
            raise RuntimeError(f"expected one package in {OPTIONS.build}/release, found {debs}")
        cls.deb = debs[0]
        cls.root = tempfile.mkdtemp(prefix="tamboro-package-")
        subprocess.run(["dpkg", "-x", cls.deb, cls.root], check=True, timeout=60)
        # Debian's own checker takes a while; it runs beside the games and is heard last.
        cls.lintian = subprocess.Popen(["lintian", "--fail-on", "error,warning", cls.deb],
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    @classmethod
    def tearDownClass(cls):
        if cls.lintian.poll() is None:
            cls.lintian.kill()
        cls.lintian.communicate()
        shutil.rmtree(cls.root, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def entry(self):
        parser = configparser.ConfigParser(interpolation=None, strict=True)
        parser.optionxform = str
        parser.read(self.path(ENTRY), encoding="utf-8")
        return parser["Desktop Entry"]

    def launch(self, own_service=False, port_taken=False):
        """A fresh display, bus and home, optionally a service of the test's own on the
        port, and the game started from the menu entry; without one, returns the world and
        the bundled service the game started: its child, once it listens (on a port of its
        own when the port is taken, which is then not even connected to)."""
        # The entry's program is looked up as a desktop would: on a PATH that has the
        # unpacked root's usr/games first.
        argv = self.entry()["Exec"].split()
        self.assertEqual(len(argv), 1, f"Exec takes no arguments: {argv}")
        game = shutil.which(argv[0], path=os.path.dirname(self.path(PLAYER)) + os.pathsep + os.environ["PATH"])
        self.assertEqual(game, self.path(PLAYER), "Exec does not start the packaged program")
        if not own_service and not port_taken:
            self.assertFalse(listening(OPTIONS.port), f"something already listens on port {OPTIONS.port}")
        world = World(port=OPTIONS.port)
        self.addCleanup(world.end, passed=True)
        world.start(own_service and OPTIONS.source, game)
        if own_service:
            return world

        found = wait_until(lambda: (port_taken or listening(OPTIONS.port)) and services(world.game.pid), 20)
        self.assertTrue(found, "the launcher started no local service\n" + world.game_output())
        self.assertEqual(len(found), 1, found)
        # A service that outlives its game is stopped here, not left for the next step.
        self.addCleanup(lambda: alive(found[0]) and os.kill(found[0], signal.SIGKILL))
        return world, found[0]

    def assert_service_gone(self, service):
        # A loaded machine may take a few seconds to run the service's shutdown.
        self.assertTrue(wait_until(lambda: not alive(service), 15), "the service outlived the game")
        # Its other threads may still hold the socket a moment after the first has ended.
        self.assertTrue(wait_until(lambda: not listening(OPTIONS.port), 5), "the service's port stayed taken")

    def test_1_depends_and_files(self):
        # packaging/runtime-packages.txt's hand list as it is, then the packages it marks as
        # linked with the versions dpkg-shlibdeps found.
        with open(os.path.join(OPTIONS.source, "packaging", "runtime-packages.txt")) as f:
            rows = [line.split("#")[0].split() for line in f if line.split("#")[0].strip()]
        by_hand = [row[0] for row in rows if row[1:] != ["[linked]"]]
        linked = [row[0] for row in rows if row[1:] == ["[linked]"]]
        depends = run("dpkg-deb", "-f", self.deb, "Depends").stdout.strip().split(", ")
        self.assertEqual(depends[:len(by_hand)], by_hand)
        found = [re.fullmatch(r"(\S+) \(>= \S+\)", d) for d in depends[len(by_hand):]]
        self.assertTrue(all(found), f"not found by dpkg-shlibdeps: {depends[len(by_hand):]}")
        self.assertEqual(sorted(match[1] for match in found), sorted(linked))
        depends = by_hand + linked

        listing = run("dpkg-deb", "-c", self.deb).stdout.splitlines()
        files = {line.split()[-1].lstrip("./") for line in listing if not line.startswith("d")}
        static = os.path.join(OPTIONS.source, "tools", "static")
        expected = {PLAYER, GAME, MANUAL, f"{DOC}/copyright", f"{DOC}/changelog.gz", ENTRY, METAINFO,
                    "usr/share/icons/hicolor/scalable/apps/tamboro.svg"}
        expected |= {f"usr/libexec/tamboro/{name}.py" for name in ("adnet", "adnet_pages", "adnet_store")}
        expected |= {f"usr/share/icons/hicolor/{size}x{size}/apps/tamboro.png" for size in (256, 64)}
        expected |= {os.path.join("usr/share/tamboro/static", os.path.relpath(p, static))
                     for p in glob.glob(os.path.join(static, "**", "*.*"), recursive=True)}
        self.assertEqual(files, expected)
        # The tests' switchboard and fault modes stay out of a player's system.
        for name in files:
            with open(self.path(name), "rb") as f:
                content = f.read()
            self.assertEqual([mark for mark in FAULT_MARKS if mark in content], [], name)
        programs = (PLAYER, GAME, "usr/libexec/tamboro/adnet.py")
        self.assertEqual([p for p in programs if not os.access(self.path(p), os.X_OK)], [], "not executable")

        # Stripped, and every library it links to comes from a package it depends on.
        sections = run("readelf", "-S", "-W", self.path(GAME)).stdout
        self.assertFalse(re.search(r"\.symtab|\.debug_info", sections), "the game is not stripped")
        needed = re.findall(r"\(NEEDED\).*\[(.+)\]", run("readelf", "-d", self.path(GAME)).stdout)
        resolved = dict(re.findall(r"^\s*(\S+) => (/\S+)", run("ldd", self.path(GAME)).stdout, re.M))
        self.assertTrue(needed)
        for library in needed:
            self.assertIn(library, resolved, f"{library} is not found on this machine")
            owner = package_of(resolved[library])
            self.assertIn(owner, depends, f"{library} comes from {owner or 'no package'}")

    def test_1_manual_and_copyright(self):
        manual = run("man", "--warnings", "-l", self.path(MANUAL))
        self.assertEqual((manual.returncode, manual.stderr), (0, ""), "the manual page does not render")
        self.assertRegex(manual.stdout, r"(?m)^NAME\n\s+tamboro - ")

        # Every file of the source has a licence with its text, the one its SPDX line
        # names, and a picture's is the pictures' licence.
        stanzas, texts = dep5(self.path(DOC, "copyright"))
        folders = set()
        for name in source_files():
            licence = next((lic for patterns, lic in reversed(stanzas)
                            if any(fnmatch.fnmatchcase(name, p) for p in patterns)), None)
            self.assertIn(licence, SPDX_NAMES, f"the copyright file names no known licence for {name}")
            self.assertTrue(texts.get(licence), f"the copyright file has no text of {licence}")
            declared = re.search(r"SPDX-License-Identifier: ([\w.+-]+)",
                                 read_file(os.path.join(OPTIONS.source, name))[:1000])
            if declared:
                self.assertEqual(SPDX_NAMES[licence], declared[1], name)
            if name.endswith((".png", ".jpg", ".gif", ".svg")):
                self.assertEqual(licence, "CC-BY-SA-4.0", name)
            folders.add(name.split("/")[0] if "/" in name else ".")
        self.assertTrue({"shell", "ads", "resources", "art", "tools", "tests"} <= folders, folders)

    def test_2_menu_entry_and_metainfo(self):
        entry = self.entry()
        self.assertEqual((entry.get("Name"), entry.get("Icon")), ("Tamboro 2.0", "tamboro"))
        metainfo = self.path(METAINFO)
        for check in (["desktop-file-validate", self.path(ENTRY)],
                      ["appstreamcli", "validate", "--no-net", "--pedantic", metainfo]):
            result = run(*check)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        # The software centre shows the screenshots the README shows (not those it only links).
        shown = re.findall(r"!\[[^]]*\]\(docs/screenshots/([\w-]+\.png)\)",
                           read_file(os.path.join(OPTIONS.source, "README.md")))
        listed = re.findall(r"<image[^>]*>[^<]*/([\w-]+\.png)</image>", read_file(metainfo))
        self.assertTrue(shown)
        self.assertEqual(sorted(listed), sorted(shown))

        # The theme lookup trusts a size folder's name for its pictures' size.
        for icon in glob.glob(self.path("usr/share/icons/hicolor/*/apps/tamboro.png")):
            width = re.fullmatch(r"(\d+)x\1", icon.split(os.sep)[-3])
            self.assertIsNotNone(width, icon)
            with open(icon, "rb") as f:
                head = f.read(24)
            self.assertEqual((head[:8], head[12:16]), (b"\x89PNG\r\n\x1a\n", b"IHDR"), f"{icon} is no PNG")
            self.assertEqual(struct.unpack(">II", head[16:24]), (int(width[1]),) * 2, icon)

    def test_3_play_from_the_menu(self):
        world, service = self.launch()
        self.assertIsNotNone(world.wait_for_shot(start_screen_uncovered, 30),
                             "the start screen stayed blocked\n" + world.game_output())
        self.assertTrue(glob.glob(os.path.join(world.data_home, "tamboro-local-service", "*")),
                        "the service keeps no data in the player's data folder")
        self.assertIsNot(world.dismiss_dialog(1), False, "Escape left the ad open")

        world.tap(NEW_GAME)
        play_to_game_over(self, world, 2, 30)

        world.tap(CLOSE)
        self.assertIsNot(world.dismiss_dialog(10), False, "Escape left the ad open")
        self.assertEqual(world.exit_status(), 0, "the game did not quit, or failed\n" + world.game_output())
        self.assert_service_gone(service)

    def test_4_killed_game_takes_its_service_along(self):
        world, service = self.launch()
        world.game.kill()
        world.game.wait(10)
        self.assert_service_gone(service)

    def test_5_running_service_is_used_and_left_running(self):
        world = self.launch(own_service=True)
        self.assertTrue(wait_until(lambda: world.requests(PROBE_PATH), 20),
                        "the game did not reach the service that was already listening")
        self.assertEqual(services(world.game.pid), [])
        world.stop(world.game)
        service = next(process for name, process in world.processes if name == "adnet")
        self.assertIsNone(service.poll(), "the service that was already listening was stopped")

    def test_5_another_users_listener_is_left_alone(self):
        if os.getuid() != 0:
            self.skipTest("a listener of another user needs root to start")
        # Passed as text, as another user may not read the source folder.
        script = read_file(os.path.join(OPTIONS.source, "tests", "tools", "listener.py"))
        listener = subprocess.Popen([sys.executable, "-c", script, str(OPTIONS.port)], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, text=True,
                                    preexec_fn=lambda: (os.setgid(65534), os.setuid(65534)))
        self.addCleanup(lambda: (listener.kill(), listener.wait(), listener.stdin.close(), listener.stdout.close()))
        listener.stdout.readline()
        world, service = self.launch(port_taken=True)
        self.assertIsNotNone(world.wait_for_shot(start_screen_uncovered, 30),
                             "the start screen stayed blocked\n" + world.game_output())
        self.assertIsNot(world.dismiss_dialog(1), False, "Escape left the ad open")
        world.tap(CLOSE)
        self.assertIsNot(world.dismiss_dialog(10), False, "Escape left the ad open")
        self.assertEqual(world.exit_status(), 0, "the game did not quit, or failed\n" + world.game_output())
        self.assertTrue(wait_until(lambda: not alive(service), 15), "the service outlived the game")
        # No probe, no ad request, not even a connection reached the other user's program.
        listener.stdin.close()
        self.assertEqual(listener.stdout.readline().strip(), "0")

    def test_6_lintian(self):
        output, _ = self.lintian.communicate(timeout=180)
        self.assertEqual(self.lintian.returncode, 0, "lintian:\n" + output)
        self.assertFalse(re.search(r"^[EW]: ", output, re.M), "lintian:\n" + output)
        # A tag the package silences is silenced for a reason written right above it.
        overrides = read_file(self.path("usr/share/lintian/overrides/tamboro"))
        lines = [line.strip() for line in overrides.splitlines() if line.strip()]
        for above, line in zip([""] + lines, lines):
            self.assertTrue(line.startswith("#") or above.startswith("#"), f"override without a reason: {line}")


def options(parser):
    parser.add_argument("--build", required=True, help="folder for the package's own Release build")
    parser.add_argument("--define", action="append", default=[], metavar="NAME=VALUE",
                        help="a cache value for the package's build (MakePackage)")
    parser.add_argument("--compiler-launcher", default="", help="e.g. ccache (MakePackage)")


if __name__ == "__main__":
    run_game_tests(__doc__, options, game=False)
