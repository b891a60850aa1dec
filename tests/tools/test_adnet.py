# SPDX-License-Identifier: GPL-3.0-or-later
"""Tests of the local ad network and score board (tools/adnet.py), run as the game sees it, mostly
through the tests' own server with fault modes (adnet_faults.py), which serves what the shipped one does."""

import ctypes
import contextlib
import hashlib
import http.client
import json
import os
import resource
import select
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET
from functools import partial
from pathlib import Path
from unittest import mock
from urllib.parse import quote, urlsplit

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.normpath(os.path.join(HERE, "..", "..", "tools"))
SHIPPED = os.path.join(TOOLS, "adnet.py")
FAULTS = os.path.join(HERE, "adnet_faults.py")
sys.dont_write_bytecode = True
sys.path.insert(0, TOOLS)
from adnet_store import DB_NAME, PasswordRefused, Store, verify_upload  # noqa: E402

AD_PATH = "/simpleM2M/clientRequestAd"
ACCOUNT_PATH = "/highscores/createaccount/"
GAME_QUERY = ("aid=Kelto_Tamboro_Qt&v=Sm2m-1.5.2-QT_1.5.2&o=true&po=551"
              "&k=games%2Cmonkeys%20fun&c=Games&time=1700000000")
AD_FILES = {"ad1.gif": b"GIF89a first ad", "ad2.png": b"\x89PNG\r\n\x1a\n second ad"}
# What the game's XMLHttpRequest sends beside Host and Content-Length: no Origin, no Referer.
GAME_UPLOAD_HEADERS = {"Content-Type": "application/x-www-form-urlencoded;charset=UTF-8",
                       "User-Agent": "Mozilla/5.0", "Accept-Language": "en,*"}
MIB = 1024 * 1024
encode_uri_component = partial(quote, safe="-_.!~*'()")


def die_with_parent():
    """Run in the service's process before it starts: it dies with the test, even a killed one."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def is_xml(body):
    with contextlib.suppress(ET.ParseError):
        return ET.fromstring(body) is not None
    return False


class ServiceTestCase(unittest.TestCase):
    """Each test has its own service process, whose output and request log go to a folder removed with the test."""
    password = "p&s=w+o%rd é 1"
    start_in_set_up = True

    def setUp(self):
        self.root = Path(self.enterContext(tempfile.TemporaryDirectory(prefix="adnet-test-")))
        self.data = self.root / "data"
        (self.root / "static" / "ads").mkdir(parents=True)
        for name, data in AD_FILES.items():
            (self.root / "static" / "ads" / name).write_bytes(data)
        self.process = None
        self.addCleanup(self.stop)
        if self.start_in_set_up:
            self.start()

    def start(self, *options, preexec=die_with_parent, program=FAULTS, quiet=True):
        self.stop()
        command = [sys.executable, program, "--port", "0", "--data", self.data, "--log", self.root / "requests.log",
                   "--static", self.root / "static", *(("--quiet",) if quiet else ()), *options]
        self.stderr = open(self.root / "stderr.txt", "ab")
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=self.stderr,
                                        preexec_fn=preexec, env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
        first_line = self.process.stdout.readline().decode()
        if not first_line.startswith("listening 127.0.0.1:"):
            self.stop()
            self.fail(f"service did not start: {first_line!r}")
        self.port = int(first_line.rsplit(":", 1)[1])

    def stop(self, timeout=5):
        if self.process is None or self.stderr.closed:
            return
        self.process.terminate()
        try:
            self.stdout = self.process.communicate(timeout=timeout)[0]
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.stdout = self.process.communicate()[0]
        self.stderr.close()

    def request(self, path, method="GET", body=None, headers=None, timeout=10):
        with contextlib.closing(http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)) as connection:
            connection.request(method, path, body=body, headers=headers or {})
            reply = connection.getresponse()
            return reply.status, dict(reply.getheaders()), reply.read()

    def control(self, query):
        status, _, body = self.request("/_control?" + query)
        return status, json.loads(body)

    def raw(self, path):
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        sock.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{self.port}\r\n\r\n".encode())
        return sock

    def log_entries(self):
        return [json.loads(line) for line in (self.root / "requests.log").read_bytes().splitlines()]

    def get(self, path):
        status, headers, body = self.request(path)
        self.assertEqual((status, int(headers["Content-Length"])), (200, len(body)), path)
        return body

    def ad(self, path=AD_PATH):
        return ET.fromstring(self.get(path))

    def client_id(self, query=""):
        return self.ad(AD_PATH + query).find("client").get("Id")

    def probe(self):
        return self.get("/content.asp?pageid=18")

    def post(self, path, headers=None, **fields):
        body = "&".join(f"{key}={encode_uri_component(value)}" for key, value in fields.items())
        return self.request(path, "POST", body.encode(), dict(GAME_UPLOAD_HEADERS, **(headers or {})))

    def upload(self, password=None, headers=None, **fields):
        """An upload as the game sends it: every field in the game's order."""
        values = {"name": "", "score": "120", "gridSize": "8", "game": "tamboro", "username": "ann+bob & co",
                  "password": password or self.password}
        return self.post("/scores/upload.php", headers, **dict(values, **fields))

    def stored(self):
        return Store(self.data).top_scores("tamboro")


class AdTests(ServiceTestCase):
    def test_assigned_id_is_echoed_survives_restart_and_a_foreign_one_is_replaced(self):
        first = self.client_id("?" + GAME_QUERY)
        self.assertRegex(first, r"^[0-9a-f]{8,}$")
        self.assertNotEqual(self.client_id("?cid="), first)
        self.assertEqual(self.client_id(f"?aid=x&cid={first}&time=1"), first)
        self.start()
        self.assertEqual(self.client_id(f"?cid={first}"), first)
        self.assertNotIn(self.client_id("?cid=notfromhere"), ("notfromhere", "", None))

    def test_normal_reply_names_served_images_in_turn(self):
        served = []
        for _ in range(3):
            ad = self.ad(AD_PATH + "?" + GAME_QUERY).find("ad")
            self.assertTrue(ad.findtext("text"))
            for field in ("url", "image"):
                address = urlsplit(ad.findtext(field))
                self.assertEqual(f"{address.scheme}://{address.netloc}", f"http://127.0.0.1:{self.port}")
                body = self.get(address.path)
            served.append((os.path.basename(address.path), body))
        self.assertEqual(served, [(name, AD_FILES[name]) for name in ("ad1.gif", "ad2.png", "ad1.gif")])

    def test_faulty_and_wrongly_typed_replies(self):
        def client(body):
            return ET.fromstring(body).find("client")

        def ads(body):
            return [[field.tag for field in ad] for ad in ET.fromstring(body).findall("ad")]

        # switches, the address asked (IMAGE: the picture the ad reply names), status and type, what holds
        for switches, path, reply, holds in [
                ("ad=notxml", AD_PATH, "200 text/plain; charset=utf-8", lambda body: not is_xml(body)),
                ("ad=empty", AD_PATH, "200 text/xml", lambda body: len(ET.fromstring(body)) == 0),
                ("ad=lowercaseid", AD_PATH, "200 text/xml",
                 lambda body: client(body).get("id") and client(body).get("Id") is None),
                ("ad=twoads", AD_PATH, "200 text/xml", lambda body: ads(body) == [["text", "url", "image"], ["text"]]),
                ("ad=status500", AD_PATH, "500 text/xml", lambda body: ET.fromstring(body).findtext("ad/image")),
                ("ad=oversized", AD_PATH, "200 text/xml",
                 lambda body: len(body) == 2 * MIB and ET.fromstring(body).find("ad/url") is not None),
                ("ad=attributes&attribute_count=300", AD_PATH, "200 text/xml",
                 lambda body: len(client(body).attrib) == 301 and client(body).get("a299") == "299"),
                ("logo=huge&hugeimage_mib=3", "/quillon_logo.png", "200 image/gif",
                 lambda body: len(body) == 3 * MIB and body.startswith(b"GIF89a")),
                ("ad=badimage", "IMAGE", "200 image/png",
                 lambda body: not body.startswith((b"GIF8", b"\x89PNG", b"\xff\xd8"))),
                ("image=xml", "IMAGE", "200 text/xml", lambda body: ET.fromstring(body).findtext("ad/image")),
                # The picture sent instead of the reply is the next one of the rotation.
                ("ad=picture", AD_PATH, "200 image/gif", lambda body: body == AD_FILES["ad1.gif"])]:
            with self.subTest(switches):
                self.control("reset=1&" + switches)
                if path == "IMAGE":
                    path = urlsplit(self.ad().findtext("ad/image")).path
                status, headers, body = self.request(path)
                self.assertEqual(f"{status} {headers['Content-Type']}", reply)
                self.assertEqual(int(headers["Content-Length"]), len(body))
                self.assertTrue(holds(body))

    def test_a_flood_of_cross_site_ad_requests_leaves_the_database_as_it_was(self):
        self.start(program=SHIPPED)
        known, database = self.client_id(), self.data / DB_NAME
        before = database.stat().st_size
        page = {"Origin": "http://evil.example", "Referer": "http://evil.example/page"}
        for number in range(1500):
            query = ("", f"?cid={number:032x}", f"?cid={known}")[number % 3]
            self.assertEqual(self.request(AD_PATH + query, headers=page)[0], 200)
        # Within a page of what it was; a row a request is some 50 bytes.
        self.assertLessEqual(abs(database.stat().st_size - before), 4096)

    def test_redirected_and_trickled_ads_arrive_whole(self):
        self.control("ad=redirect&slow=ad")
        status, headers, _ = self.request(AD_PATH)
        target = urlsplit(headers["Location"])
        self.assertEqual((status, target.query), (302, ""))
        started = time.monotonic()
        self.assertTrue(self.ad(target.path).findtext("ad/image"))
        self.assertGreater(time.monotonic() - started, 1.5)

    def test_content_length_lies_and_a_reset_without_a_byte(self):
        def raw_reply(mode):
            self.control("ad=" + mode)
            data = b""
            with self.raw(AD_PATH) as sock, contextlib.suppress(ConnectionResetError):
                while piece := sock.recv(65536):
                    data += piece
            return data

        # mode, how its Content-Length relates to the n bytes of body sent, whether that body is whole
        for mode, fits, whole in [("overlength", lambda length, n: length == n + 4096, True),
                                  ("underlength", lambda length, n: length == n // 2, True),
                                  ("hugelength", lambda length, n: length == 1024 ** 4, True),
                                  ("cutoff", lambda length, n: n == length // 2, False)]:
            with self.subTest(mode):
                head, _, body = raw_reply(mode).partition(b"\r\n\r\n")
                length = int(next(line.split(b":")[1] for line in head.split(b"\r\n")
                                  if line.lower().startswith(b"content-length:")))
                self.assertTrue(fits(length, len(body)), (length, len(body)))
                self.assertEqual(is_xml(body) and bool(ET.fromstring(body).findtext("ad/image")), whole)
        self.assertEqual(raw_reply("reset"), b"")

    def test_hanging_ad_and_held_upload_block_neither_other_requests_nor_shutdown(self):
        self.control("ad=hang&upload=hold")
        hung = self.enterContext(self.raw(AD_PATH))
        with contextlib.closing(http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)) as held:
            held.request("POST", "/scores/upload.php", b"score=7&gridSize=8&game=tamboro", GAME_UPLOAD_HEADERS)
            self.assertTrue(self.probe())
            self.assertEqual(select.select([hung, held.sock], [], [], 0.5)[0], [])
            # The held upload is answered once its switch is reset; the hanging ad is not.
            self.control("reset=1")
            reply = held.getresponse()
            self.assertEqual((reply.status, reply.read()), (200, b"OK\n"))
        self.assertEqual(select.select([hung], [], [], 0.2)[0], [])
        # Held up by the hanging reply, it would be killed at the end of the wait.
        self.stop(timeout=30)
        self.assertEqual((self.process.returncode, hung.recv(1024)), (0, b""))


class ControlTests(ServiceTestCase):
    def test_switches_change_all_or_nothing_and_reset_restores_the_start_up_setting(self):
        # Each row switches the probe away from its start-up setting: at the start, after the switch, after a reset.
        for options, switch in [((), "empty"), (("--probe-empty",), "ok")]:
            self.start(*options)
            status, reply = self.control(f"probe={switch}&ad=bogus")
            self.assertEqual((status, reply["switches"]["probe"] == switch), (400, False))
            answered = [bool(self.probe())]
            self.assertEqual(self.control("probe=" + switch)[1]["probe"], switch)
            answered.append(bool(self.probe()))
            self.control("reset=1")
            self.assertEqual(answered + [bool(self.probe())], [switch == "empty", switch == "ok", switch == "empty"])

    def test_log_keeps_raw_query_and_headers_also_for_unknown_paths(self):
        agent = "Mozilla/5.0 (X11; U; Linux armv7l) Maemo Browser 1.4.1.15 RX-51 N900"
        self.request(f"{AD_PATH}?{GAME_QUERY}", headers={"User-Agent": agent})
        self.assertEqual(self.request("/nowhere?x=%41+b")[0], 404)
        self.control("ad=hang&reset=1")
        entries = [(entry["method"], entry["path"], entry["query"], entry["headers"].get("User-Agent"))
                   for entry in self.log_entries()]
        self.assertEqual(entries, [("GET", AD_PATH, GAME_QUERY, agent), ("GET", "/nowhere", "x=%41+b", None),
                                   ("GET", "/_control", "ad=hang&reset=1", None)])

    def test_shipped_service_has_no_switches_and_makes_a_loose_database_private_again(self):
        # As an earlier version may have left them: readable by others.
        self.data.chmod(0o755)
        (self.data / DB_NAME).chmod(0o644)
        self.start(program=SHIPPED)  # as the launcher starts it
        for query in ("ad=hang", "reset=1&probe=empty"):
            self.assertEqual(self.request("/_control?" + query)[0], 404)
        self.assertTrue(self.ad().findtext("ad/image") and self.probe())
        self.assertEqual(self.upload()[0], 200)
        # The player's scores and accounts are theirs alone.
        self.assertEqual([path.stat().st_mode & 0o777 for path in (self.data, self.data / DB_NAME)], [0o700, 0o600])

    def test_requests_from_another_site_change_nothing(self):
        own = f"http://localhost:{self.port}"
        form = b"score=7&gridSize=8&game=tamboro&username=eve&password=x"
        for headers, status in [({"Host": f"evil.example:{self.port}"}, 421), ({"Host": "127.0.0.1"}, 421),
                                ({"Origin": "http://evil.example"}, 403), ({"Origin": "null"}, 403),
                                ({"Origin": f"http://127.0.0.1:{self.port + 1}"}, 403),
                                ({"Referer": "http://evil.example/"}, 403),
                                ({"Origin": own, "Referer": "http://evil.example/page"}, 403)]:
            for method, path in [("POST", "/scores/upload.php"), ("POST", ACCOUNT_PATH),
                                 ("GET", "/_control?probe=empty")]:
                with self.subTest(headers=headers, path=path):
                    answer, _, reply = self.request(path, method, form if method == "POST" else None,
                                                    dict(GAME_UPLOAD_HEADERS, **headers))
                    self.assertEqual(answer, status, reply)
        self.assertTrue(self.probe())
        self.assertEqual((self.stored(), Store(self.data).account_password("eve")), ([], None))
        # The game's own upload, also to the other name of this machine.
        self.assertEqual([self.upload(headers=headers)[0] for headers in
                          ({}, {"Host": f"localhost:{self.port}", "Origin": own})], [200, 200])
        self.assertEqual(len(self.stored()), 2)


class ScoreBoardTests(ServiceTestCase):
    def test_upload_keeps_no_password_material_and_an_account_a_verifiable_hash_under_one_name_rule(self):
        self.start(program=SHIPPED, quiet=False)
        status, _, reply = self.upload()
        self.assertEqual((status, reply.strip()), (200, b"OK"))
        [row] = self.stored()
        self.assertEqual((row["username"], row["score"], row["grid_size"], row["name"]), ("ann+bob & co", 120, 8, ""))
        self.assertEqual([entry["form"] for entry in self.log_entries()],
                         [dict(name="", score="120", gridSize="8", game="tamboro", username="ann+bob & co")])
        with contextlib.closing(sqlite3.connect(self.data / DB_NAME)) as db:
            kept = db.execute("SELECT password_salt, password_hash, password_iterations FROM scores").fetchall()
        self.assertEqual(kept, [(b"", b"", 0)])

        # As a browser posts the form the service served; a variant of a taken name is taken.
        own = f"http://127.0.0.1:{self.port}"
        browser = {"Content-Type": "application/x-www-form-urlencoded", "Origin": own, "Referer": own + ACCOUNT_PATH}
        self.get(ACCOUNT_PATH)
        for name, status in (("Kim ", 200), ("kim", 409), (" KIM", 409)):
            self.assertEqual(self.post(ACCOUNT_PATH, browser, username=name, password=self.password)[0], status)
        # An upload under a variant is listed under the name as registered.
        self.assertEqual(self.upload(username=" kIM ")[0], 200)
        [kims] = [row for row in self.stored() if row["username"] == "Kim"]
        # Only the very password opens either, not the ones a decoding slip would give.
        tries = (self.password, self.password.replace("+", " "), encode_uri_component(self.password))
        self.assertEqual([(verify_upload(self.data, kims["id"], tried), Store(self.data).verify_account("kim", tried))
                          for tried in tries], [(True, True), (False, False), (False, False)])

        self.stop()
        places = {path.name: path.read_bytes() for path in self.root.rglob("*") if path.is_file()}
        places["stdout"] = self.stdout
        self.assertIn(b"POST /scores/upload.php", places["stderr.txt"])
        for place, content in places.items():
            for sent in (self.password.encode(), encode_uri_component(self.password).encode()):
                for leak in (sent, hashlib.sha256(sent).hexdigest().encode()):
                    self.assertNotIn(leak, content, place)

    def test_a_name_with_an_account_and_one_without_cost_one_password_hash_each(self):
        store = Store(self.data)
        store.create_account("Ann", "right")
        with mock.patch("hashlib.pbkdf2_hmac", wraps=hashlib.pbkdf2_hmac) as hashing:
            for name, password in (("ann", "right"), (" ANN", "wrong"), ("bob", "any"), ("bob", "")):
                hashing.reset_mock()
                with contextlib.suppress(PasswordRefused):
                    store.upload_name(name, password)
                self.assertEqual(hashing.call_count, 1, name)

    def test_top_list_is_best_first_and_escaped_and_a_malformed_upload_refused(self):
        self.post(ACCOUNT_PATH, username="ann+bob & co", password=self.password)
        # Fields changed from the game's upload, or a whole body of its own.
        for fields, status in [({"score": "12abc"}, 400), ({"score": "1" + "0" * 30}, 400),
                               ({"score": str(2 ** 31)}, 400), ({"score": "-1"}, 400), ({"score": " 12"}, 400),
                               ({"gridSize": "8.0"}, 400), ({"game": ""}, 400), ({"username": "u" * 201}, 400),
                               ({"password": "wrong"}, 403),
                               ({"username": " ANN+Bob & CO\t", "password": "wrong"}, 403),
                               (b"score=1&score=2&gridSize=8&game=tamboro", 400),
                               (b"score=\xff&gridSize=8&game=x", 400), (b"&".join([b"a=1"] * 51), 400),
                               # The game's six fields, all valid, and more beyond the service's limit of 50.
                               ({f"extra{i}": "" for i in range(45)}, 400)]:
            with self.subTest(fields):
                answer, _, reply = (self.upload(**fields) if isinstance(fields, dict) else
                                    self.request("/scores/upload.php", "POST", fields, GAME_UPLOAD_HEADERS))
                self.assertEqual(answer, status, reply)
                self.assertTrue(reply)
        self.assertEqual(self.stored(), [])
        # 2147483647 is the most the game can score.
        for fields in ({"score": str(2 ** 31 - 1)}, {"username": "never registered", "password": "any"},
                       {"score": "5", "username": "<b>low</b>"}, {"score": "90", "username": "high"},
                       {"score": "999", "username": "other game", "game": "lagoon"}):
            self.assertEqual(self.upload(**fields)[0], 200)
        self.assertEqual([row["username"] for row in self.stored()],
                         ["ann+bob & co", "never registered", "high", "<b>low</b>"])
        page = self.get("/highscores/tamboro")
        self.assertLess(page.index(b"high"), page.index(b"&lt;b&gt;low&lt;/b&gt;"))
        self.assertNotIn(b"<b>low", page)
        self.assertNotIn(b"other game", page)


class DataFolderTests(ServiceTestCase):
    start_in_set_up = False

    def test_damaged_database_is_moved_aside_and_a_new_one_begun(self):
        self.data.mkdir()
        damaged = b"SQLite format 3\0" + b"\xa5" * 8000
        (self.data / DB_NAME).write_bytes(damaged)
        self.start()
        self.assertEqual((self.upload()[0], len(self.stored())), (200, 1))
        [aside] = [name for name in os.listdir(self.data) if name.startswith(DB_NAME + ".")]
        self.assertEqual((self.data / aside).read_bytes(), damaged)
        self.assertIn(aside.encode(), (self.root / "stderr.txt").read_bytes())

    def test_unusable_folder_leaves_ads_and_the_probe_served(self):
        self.data.touch()
        self.start()
        self.assertIn(b"cannot keep scores", (self.root / "stderr.txt").read_bytes())
        for case in ("a file where the folder belongs", "a full disk"):
            with self.subTest(case):
                if case == "a full disk":
                    self.data.unlink()
                    # No file the service writes can grow.
                    self.start(preexec=lambda: (die_with_parent(), resource.setrlimit(resource.RLIMIT_FSIZE, (0, 0))))
                self.assertTrue(self.probe())
                cid = self.client_id()
                self.assertEqual(self.client_id(f"?cid={cid}"), cid)
                self.assertEqual(self.request("/ads/ad1.gif")[2], AD_FILES["ad1.gif"])
                self.assertEqual([(status, b"cannot keep" in reply) for status, _, reply in
                                  (self.upload(), self.request("/highscores/tamboro"))], [(503, True)] * 2)


if __name__ == "__main__":
    unittest.main()
