#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Builds the game and a bare Qt Quick window (Release) and measures both.

usage: python3 bench/run.py [--reps N] [--callgrind-reps N] [--port P] [--skip-build]
                            [--only KINDS] [--variants] [--markdown FILE]

Everything runs on this machine: the local ad network and score board (tools/adnet.py)
on a free loopback port that is compiled into the benchmark build (never the player's
8765), a private D-Bus session bus, and an Xvfb server with one 480x800x24 screen.

First frame: every program runs with the logging category
qt.scenegraph.time.renderloop switched on, so the scene graph's render loop writes
"Frame rendered with '<loop>' renderloop in ..." to stderr right after each frame has
been swapped (or, for the software loop, flushed to the backing store). The clock is
time.monotonic() taken just before the process is spawned and when the first such line
arrives on the pipe; nothing in the game is changed for it.

Figures (medians of --reps runs, bare and game runs interleaved):
  startup offscreen   QT_QPA_PLATFORM=offscreen, QT_QUICK_BACKEND=software
  startup xvfb        QT_QPA_PLATFORM=xcb on Xvfb, Qt's default backend (see the
                      backend line in the output: on this machine Mesa's llvmpipe)
  RSS first frame     VmRSS of /proc/PID/status when the first frame line arrives (xvfb)
  RSS after game      VmRSS after a game has been played: "New Game" clicked with
                      xdotool at (240, 333), then 10 s in which no monkey is tapped and
                      the game ends by escapes (the bare window gets the same click)
  CPU idle            utime+stime of /proc/PID/stat over 10 s on the start screen, 3 s
                      after the first frame (after Escape closed a start-up ad dialog, if
                      one showed), in percent of one core
  CPU play            the same over the 10 s after the click on "New Game"
  callgrind Ir        total instructions under valgrind --tool=callgrind, offscreen
                      software; the process is sent SIGTERM when the first frame line
                      arrives and callgrind writes its totals at that exit
  price               callgrind Ir of the bare window showing bench/bare/price/*.qml
                      instead: what one text, one picture... add on their own
  high scores         bench_scores: the game's statements through the scene engine's
                      offline storage on a 100,000-row table (microseconds per call)
  ad chain            bench_adchain: requestAd() to adDataReady() over loopback (ms)

--variants adds runs of the game with environment changes that stand for candidate
improvements (see VARIANTS below).
"""

import argparse
import datetime
import json
import os
import platform
import re
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "bench")
WRAP = os.path.join(ROOT, "build", "bench-wrap")
DEFAULT_PORT = 18790
# The basic and software loops log after each frame; the threaded loop's render thread
# logs also for frames it skipped (window not ready yet), so for it the first line that
# counts is the GUI thread's, which it writes only once the render thread has presented
# the first frame and woken it.
FRAME_LINE = re.compile(rb"Frame rendered with|\[gui thread\] Frame prepared")
CLK_TCK = os.sysconf("SC_CLK_TCK")
NEW_GAME = (240, 333)

# Environment changes tried on the game alone, to price candidate improvements.
# "@fresh" gives each run an empty folder: a first start, with nothing cached yet.
VARIANTS = {
    "game, first start (empty QML cache)": {"XDG_CACHE_HOME": "@fresh"},
    "game, no session bus": {"DBUS_SESSION_BUS_ADDRESS": ""},
}


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def port_free(port):
    with socket.socket() as s:
        # As the service binds: connections it closed a moment ago must not count.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def pick_port(wanted):
    if wanted != 8765 and port_free(wanted):
        return wanted
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def build(port):
    root_has_bench = "add_subdirectory(bench)" in open(os.path.join(ROOT, "CMakeLists.txt")).read()
    if root_has_bench:
        source = ROOT
        extra = ["-DTAMBORO_BENCH=ON"]
    else:
        # Until the root project adds this folder, a two-line wrapper project builds both.
        os.makedirs(WRAP, exist_ok=True)
        with open(os.path.join(WRAP, "CMakeLists.txt"), "w") as f:
            f.write("cmake_minimum_required(VERSION 3.25)\nproject(TamboroBenchWrap LANGUAGES CXX)\n"
                    f"add_subdirectory({ROOT} main)\nadd_subdirectory({ROOT}/bench bench)\n")
        source = WRAP
        extra = []
    cache = os.path.join(BUILD, "CMakeCache.txt")
    if os.path.exists(cache):
        home = re.search(r"CMAKE_HOME_DIRECTORY:INTERNAL=(.*)", open(cache).read())
        if home and os.path.realpath(home.group(1)) != os.path.realpath(source):
            # The build was configured from the other source; its generated files would clash.
            shutil.rmtree(BUILD)
    host = f"127.0.0.1:{port}"
    subprocess.run(["cmake", "-S", source, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DTAMBORO_TESTS=OFF", f"-DTAMBORO_AD_HOST={host}", f"-DTAMBORO_AD_WEB_HOST={host}",
                    f"-DTAMBORO_SCORE_HOST={host}", f"-DTAMBORO_STORE_URL=http://{host}/store/kelto"] + extra,
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "--target", "tamboro", "bench_bare", "bench_bare_widgets",
                    "bench_scores", "bench_adchain"], check=True)


def find_program(name):
    for sub in ("", "main", "bench"):
        path = os.path.join(BUILD, sub, name)
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    raise SystemExit(f"{name} not found under {BUILD}")


def configured_port():
    cache = open(os.path.join(BUILD, "CMakeCache.txt")).read()
    m = re.search(r"TAMBORO_AD_HOST:\w+=127\.0\.0\.1:(\d+)", cache)
    return int(m.group(1)) if m else None


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


class Services:
    """Local ad network, private session bus and Xvfb for the whole run."""

    def __init__(self, port):
        self.tmp = tempfile.mkdtemp(prefix="tamboro-bench-")
        self.port = port
        self.adnet = subprocess.Popen([sys.executable, os.path.join(ROOT, "tools", "adnet.py"), "--port", str(port),
                                       "--data", os.path.join(self.tmp, "adnet"), "--quiet"],
                                      stdout=subprocess.PIPE, text=True)
        line = self.adnet.stdout.readline()
        if "listening" not in line:
            raise SystemExit("the local ad network did not start")
        self.bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address"],
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.bus_address = self.bus.stdout.readline().strip()
        self.xvfb, self.display = self.start_xvfb()

    @staticmethod
    def start_xvfb():
        # Other servers start beside this one on the shared machine; one that lost the race
        # for a display number exits, and the next attempt picks another number.
        for _ in range(5):
            read, write = os.pipe()
            xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "480x800x24", "-nolisten", "tcp"],
                                    pass_fds=[write], stderr=subprocess.DEVNULL)
            os.close(write)
            display = ":" + os.read(read, 64).decode().strip()
            os.close(read)
            alive = display != ":" and subprocess.run(["xdotool", "getdisplaygeometry"], env={**os.environ, "DISPLAY": display},
                                                      capture_output=True).returncode == 0
            if alive and xvfb.poll() is None:
                return xvfb, display
            xvfb.terminate()
            xvfb.wait()
        raise SystemExit("Xvfb did not start")

    def home(self, name):
        """A home of its own for each program, kept across its runs like a player's."""
        path = os.path.join(self.tmp, "home-" + re.sub(r"\W+", "-", name))
        for sub in ("data", "config", "cache", "runtime"):
            os.makedirs(os.path.join(path, sub), exist_ok=True)
        os.chmod(os.path.join(path, "runtime"), 0o700)
        return path

    def env(self, name, xvfb, extra=None):
        home = self.home(name)
        env = {k: v for k, v in os.environ.items() if not k.startswith(("QT_", "QSG_", "QML_", "XDG_", "DBUS_"))}
        env.update({"HOME": home, "XDG_DATA_HOME": home + "/data", "XDG_CONFIG_HOME": home + "/config",
                    "XDG_CACHE_HOME": home + "/cache", "XDG_RUNTIME_DIR": home + "/runtime",
                    "DBUS_SESSION_BUS_ADDRESS": self.bus_address,
                    "QT_LOGGING_RULES": "qt.scenegraph.time.renderloop=true"})
        if xvfb:
            env.update({"QT_QPA_PLATFORM": "xcb", "DISPLAY": self.display})
        else:
            env.update({"QT_QPA_PLATFORM": "offscreen", "QT_QUICK_BACKEND": "software"})
        env.update(extra or {})
        for key, value in env.items():
            if value == "@fresh":
                env[key] = tempfile.mkdtemp(dir=home)
        return {k: v for k, v in env.items() if v != ""}

    def close(self):
        for p in (self.xvfb, self.bus, self.adnet):
            p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(self.tmp, ignore_errors=True)


class Run:
    """One program run; wait_frame() returns seconds from spawn to the first frame."""

    def __init__(self, argv, env):
        self.start = time.monotonic()
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        self.lines = []
        self.buffer = b""

    def wait_frame(self, timeout=120):
        deadline = self.start + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or self.proc.poll() is not None:
                raise RuntimeError("no first frame; stderr:\n" + b"".join(self.lines).decode(errors="replace")[-2000:])
            ready, _, _ = select.select([self.proc.stderr], [], [], left)
            if not ready:
                continue
            chunk = os.read(self.proc.stderr.fileno(), 65536)
            now = time.monotonic()
            self.buffer += chunk
            while b"\n" in self.buffer:
                line, self.buffer = self.buffer.split(b"\n", 1)
                self.lines.append(line + b"\n")
                if FRAME_LINE.search(line):
                    self.frame_time = now - self.start
                    return self.frame_time

    def drain(self):
        while select.select([self.proc.stderr], [], [], 0)[0]:
            if not os.read(self.proc.stderr.fileno(), 65536):
                break

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stderr.close()


def sleep_draining(run, seconds):
    end = time.monotonic() + seconds
    while (left := end - time.monotonic()) > 0:
        select.select([run.proc.stderr], [], [], left)
        run.drain()
        if run.proc.poll() is not None:
            raise RuntimeError("the program exited early")


def xdotool(services, *args):
    return subprocess.run(["xdotool", *args], env={**os.environ, "DISPLAY": services.display},
                          capture_output=True, text=True).stdout


def close_dialogs(services, pid):
    """Escape on every visible window of the process but the first (the scene view)."""
    # Window ids grow in creation order, and the scene view is created first.
    windows = sorted(xdotool(services, "search", "--onlyvisible", "--pid", str(pid)).split(), key=int)
    for window in windows[1:]:
        xdotool(services, "windowfocus", "--sync", window)
        xdotool(services, "key", "Escape")
    return len(windows[1:])


def measure_offscreen(services, name, argv, extra=None):
    run = Run(argv, services.env(name, xvfb=False, extra=extra))
    try:
        t = run.wait_frame()
        rss = rss_kib(run.proc.pid)
        cpu = cpu_seconds(run.proc.pid)
    finally:
        run.stop()
    return {"startup_offscreen_ms": t * 1000, "cpu_first_offscreen_ms": cpu * 1000, "rss_offscreen_mib": rss / 1024}


def measure_session(services, name, argv, extra=None, play_seconds=10.0, idle_seconds=10.0):
    run = Run(argv, services.env(name, xvfb=True, extra=extra))
    result = {}
    try:
        result["startup_xvfb_ms"] = run.wait_frame() * 1000
        result["cpu_first_xvfb_ms"] = cpu_seconds(run.proc.pid) * 1000
        result["rss_first_mib"] = rss_kib(run.proc.pid) / 1024
        # The connection probe and the first ad land in this time.
        sleep_draining(run, 2.0)
        result["dialogs_closed"] = close_dialogs(services, run.proc.pid)
        sleep_draining(run, 1.0)
        before = cpu_seconds(run.proc.pid)
        sleep_draining(run, idle_seconds)
        result["cpu_idle_pct"] = (cpu_seconds(run.proc.pid) - before) / idle_seconds * 100
        xdotool(services, "mousemove", str(NEW_GAME[0]), str(NEW_GAME[1]), "click", "1")
        before = cpu_seconds(run.proc.pid)
        sleep_draining(run, play_seconds)
        result["cpu_play_pct"] = (cpu_seconds(run.proc.pid) - before) / play_seconds * 100
        result["rss_after_game_mib"] = rss_kib(run.proc.pid) / 1024
    finally:
        run.stop()
    return result


def measure_callgrind(services, name, argv, tmp, extra=None):
    out = os.path.join(tmp, "callgrind." + re.sub(r"\W+", "-", name))
    run = Run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + argv,
              services.env(name, xvfb=False, extra=extra))
    try:
        run.wait_frame(timeout=600)
    finally:
        run.stop()
    totals = re.search(r"^totals: (\d+)", open(out).read(), re.M)
    return {"callgrind_mir": int(totals.group(1)) / 1e6, "callgrind_file": out}


def backend_info(services, argv, name):
    env = services.env(name, xvfb=True, extra={"QSG_INFO": "1"})
    run = Run(argv, env)
    try:
        run.wait_frame()
        sleep_draining(run, 0.5)
    finally:
        run.stop()
    text = b"".join(run.lines).decode(errors="replace")
    picks = [line.split(":", 1)[1].strip() for line in text.splitlines()
             if re.match(r"qt\.scenegraph\.general: (Using|GL_RENDERER|Render loop|.*render loop|Backend)", line, re.I)]
    renderer = re.search(r"RENDERER: ([^\n]*?) VERSION", text)
    loop = "threaded" if "[render thread" in text else (re.search(r"Frame rendered with '(\w+)'", text) or [None, "?"])[1]
    picks = list(dict.fromkeys(picks))
    return "; ".join(picks + ([f"OpenGL renderer: {renderer.group(1)}"] if renderer else []) + [f"render loop: {loop}"])


def run_tool(services, argv, name):
    env = services.env(name, xvfb=False)
    out = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        return {"error": out.stderr.strip()[-500:]}
    values = {}
    for line in out.stdout.splitlines():
        key, _, value = line.partition(" ")
        values[key] = float(value)
    return values


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def machine():
    cpu = "unknown"
    for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
        if line.startswith("Model name:"):
            cpu = line.split(":", 1)[1].strip()
    mem = int(open("/proc/meminfo").readline().split()[1]) // 1024
    qt = subprocess.run(["qtpaths6", "--qt-version"], capture_output=True, text=True).stdout.strip() or "?"
    return {"cpu": cpu, "cores": os.cpu_count(), "ram_mib": mem, "qt": qt, "kernel": platform.release(),
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")}


def fmt(value, digits=1):
    return "—" if value is None else f"{value:.{digits}f}"


ROWS = [
    ("Start-up to first frame, offscreen software (ms)", "startup_offscreen_ms", 1, "≤ 1.5× bare"),
    ("Start-up to first frame, Xvfb (ms)", "startup_xvfb_ms", 1, "≤ 1.5× bare"),
    ("CPU time to first frame, offscreen (ms, all threads)", "cpu_first_offscreen_ms", 0, ""),
    ("CPU time to first frame, Xvfb (ms, all threads)", "cpu_first_xvfb_ms", 0, ""),
    ("Instructions to first frame, callgrind (M Ir)", "callgrind_mir", 0, "≤ 1.5× bare"),
    ("RSS at first frame, Xvfb (MiB)", "rss_first_mib", 1, "≤ 1.5× bare"),
    ("RSS at first frame, offscreen (MiB)", "rss_offscreen_mib", 1, "≤ 1.5× bare"),
    ("RSS after one game, Xvfb (MiB)", "rss_after_game_mib", 1, "≤ 1.5× bare"),
    ("CPU over 10 s idle on the start screen (% of a core)", "cpu_idle_pct", 2, "< 0.5 %"),
    ("CPU over 10 s from \"New Game\" (% of a core)", "cpu_play_pct", 2, ""),
]


def table(results, columns):
    lines = ["| Figure | " + " | ".join(columns) + " | game / bare | Aim |",
             "|---|" + "---:|" * (len(columns) + 1) + "---|"]
    for title, key, digits, aim in ROWS:
        med = {c: median([r.get(key) for r in results.get(c, [])]) for c in columns}
        low = {c: min([r[key] for r in results.get(c, []) if r.get(key) is not None], default=None) for c in columns}
        ratio = med["game"] / med["bare"] if med.get("game") is not None and med.get("bare") else None
        ratio_text = "—" if ratio is None or key.endswith("pct") else f"{ratio:.2f}×"
        # Wall-clock start-up on a shared machine: the fastest run shows the cost without
        # the neighbours' load, so it is given beside the median.
        cells = [fmt(med[c], digits) + (f" ({fmt(low[c], digits)})" if key.startswith("startup") and low[c] else "")
                 for c in columns]
        lines.append(f"| {title} | " + " | ".join(cells) + f" | {ratio_text} | {aim} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--reps", type=int, default=7, help="repetitions of each timed run (default 7)")
    parser.add_argument("--callgrind-reps", type=int, default=1, help="callgrind runs per program (default 1)")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT, help="local service port (never 8765)")
    parser.add_argument("--skip-build", action="store_true", help="use the existing build as it is")
    parser.add_argument("--only", default="startup,session,callgrind,price,scores,adchain",
                        help="comma list of startup,session,callgrind,price,scores,adchain")
    parser.add_argument("--variants", action="store_true", help="also run the game with the VARIANTS environments")
    parser.add_argument("--extra", action="append", default=[], metavar="NAME=PATH[@KEY=VALUE;...]",
                        help="also measure another build of the game (a candidate change), optionally "
                             "with environment settings; may be repeated")
    parser.add_argument("--markdown", help="write the report (machine, command, tables) to this file")
    parser.add_argument("--json", help="write every single measurement to this file")
    args = parser.parse_args()
    only = set(args.only.split(","))

    if args.skip_build:
        port = configured_port()
        if port is None or not port_free(port):
            raise SystemExit("the configured service port is missing or busy; build again")
    else:
        port = pick_port(args.port)
        build(port)
    programs = {"bare": [find_program("bench_bare")], "bare + widgets": [find_program("bench_bare_widgets")],
                "game": [find_program("tamboro")]}
    columns = list(programs)
    runs = [(name, argv, None) for name, argv in programs.items()]
    if args.variants:
        for name, env in VARIANTS.items():
            runs.append((name, programs["game"], env))
            columns.append(name)
    for extra in args.extra:
        name, _, rest = extra.partition("=")
        path, _, settings = rest.partition("@")
        env = dict(item.split("=", 1) for item in settings.split(";") if item)
        runs.append((name, [os.path.abspath(path)], env))
        columns.append(name)

    services = Services(port)
    results = {name: [] for name in columns}
    info = {"machine": machine(), "port": port, "command": "python3 bench/run.py " + " ".join(sys.argv[1:])}
    try:
        if "session" in only:
            info["backend_xvfb"] = {name: backend_info(services, argv, name) for name, argv in programs.items()}
        # A first, unmeasured start fills each program's QML cache, as a player's first start does.
        for name, argv, env in runs:
            measure_offscreen(services, name, argv, env)
        for rep in range(args.reps):
            for name, argv, env in runs:
                entry = {}
                if "startup" in only:
                    entry.update(measure_offscreen(services, name, argv, env))
                if "session" in only:
                    entry.update(measure_session(services, name, argv, env))
                results[name].append(entry)
                log(f"rep {rep + 1}/{args.reps} {name}: " + ", ".join(
                    f"{k}={v:.2f}" for k, v in entry.items() if isinstance(v, float)))
        if "callgrind" in only:
            for _ in range(args.callgrind_reps):
                for name, argv, env in runs[:3] + runs[3 + (len(VARIANTS) if args.variants else 0):]:
                    entry = measure_callgrind(services, name, argv, services.tmp, env)
                    log(f"callgrind {name}: {entry['callgrind_mir']:.1f} M Ir")
                    keep = os.path.join(BUILD, os.path.basename(entry["callgrind_file"]))
                    shutil.copy(entry["callgrind_file"], keep)
                    results[name].append({"callgrind_mir": entry["callgrind_mir"]})
        if "price" in only:
            # What single elements of the game's scene cost on top of the bare window.
            folder = os.path.join(ROOT, "bench", "bare", "price")
            info["price"] = {}
            for scene in sorted(os.listdir(folder)):
                argv = programs["bare"] + [os.path.join(folder, scene)]
                measure_offscreen(services, "price " + scene, argv)
                info["price"][scene] = measure_callgrind(services, "price " + scene, argv, services.tmp)["callgrind_mir"]
                log(f"callgrind {scene}: {info['price'][scene]:.1f} M Ir")
        if "scores" in only:
            info["scores"] = run_tool(services, [find_program("bench_scores"), "21"], "scores")
        if "adchain" in only:
            info["adchain"] = run_tool(services, [find_program("bench_adchain"), "21"], "adchain")
    finally:
        services.close()

    m = info["machine"]
    report = [f"Machine: {m['cpu']}, {m['cores']} cores, {m['ram_mib']} MiB RAM, Linux {m['kernel']}, Qt {m['qt']}; "
              f"{m['date']}", f"Command: `{info['command']}` ({args.reps} repetitions, medians)", ""]
    if "backend_xvfb" in info:
        report += ["Scene graph under Xvfb:"] + [f"- {k}: {v}" for k, v in info["backend_xvfb"].items()] + [""]
    report += [table(results, columns), "", "Start-up cells: median (fastest run).", ""]
    if info.get("price"):
        bare = median([r.get("callgrind_mir") for r in results["bare"]])
        report += ["| Bare window plus one element (bench/bare/price) | M Ir to first frame | over bare |",
                   "|---|---:|---:|"]
        for scene, mir in info["price"].items():
            report.append(f"| {scene} | {mir:.0f} | {'—' if bare is None else f'+{mir - bare:.0f}'} |")
        report.append("")

    def scores_lines(s):
        lines = ["| High scores, 100,000 rows (µs per call) | as the game stores them | with an index on (gridSize, score) |",
                 "|---|---:|---:|"]
        for title, key in [("qualification check, typical score", "qualify_typical_us"),
                           ("qualification check, new record (whole table read)", "qualify_record_us"),
                           ("listing, the statement", "listing_us"),
                           ("listing, the game script's getScores()", "game_listing_us")]:
            if key in s:
                lines.append(f"| {title} | {fmt(s.get(key))} | {fmt(s.get(key + '_indexed'))} |")
        return lines + [""]

    def adchain_lines(a):
        return [f"Ad chain over loopback, requestAd() to adDataReady(): first (logo, ad, image) "
                f"{fmt(a.get('adchain_first_ms'), 2)} ms; later (ad, image) median "
                f"{fmt(a.get('adchain_next_ms'), 2)} ms; image {int(a.get('adchain_image_bytes', 0))} bytes"]
    # A tool that failed gets one line saying so in place of its figures.
    for kind, title, lines, tail in [("scores", "High scores", scores_lines, [""]), ("adchain", "Ad chain", adchain_lines, [])]:
        if kind in info:
            figures = info[kind]
            report += [f"{title}: failed: {figures['error']}"] + tail if "error" in figures else lines(figures)
    text = "\n".join(report)
    print(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text + "\n")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"info": info, "results": results}, f, indent=1, default=str)


if __name__ == "__main__":
    main()
