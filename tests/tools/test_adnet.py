# SPDX-License-Identifier: GPL-3.0-or-later
"""Tests of the local ad network and score board (tools/adnet.py), run as the
game sees it: a separate process on a free port of 127.0.0.1."""

import ctypes
import http.client
import json
import os
import resource
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET
from urllib.parse import quote, urlsplit

TOOLS = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                      "tools"))
sys.dont_write_bytecode = True
sys.path.insert(0, TOOLS)
from adnet_store import DB_NAME, Store, verify_upload  # noqa: E402

AD_PATH = "/simpleM2M/clientRequestAd"
GAME_QUERY = ("aid=Kelto_Tamboro_Qt&v=Sm2m-1.5.2-QT_1.5.2&o=true&po=551"
              "&k=games%2Cmonkeys%20fun&c=Games&time=1700000000")
AD_FILES = {"ad1.gif": b"GIF89a first ad", "ad2.png": b"\x89PNG\r\n\x1a\n second ad"}
# What the game's XMLHttpRequest sends beside Host and Content-Length: no Origin, no Referer.
GAME_UPLOAD_HEADERS = {"Content-Type": "application/x-www-form-urlencoded;charset=UTF-8",
                       "User-Agent": "Mozilla/5.0", "Accept-Language": "en,*"}
ACCOUNT_PATH = "/highscores/createaccount/"


def die_with_parent():
    """Run in the service's process before it starts: it dies with the test, even a killed one."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def encode_uri_component(text):
    return quote(text, safe="-_.!~*'()")


def full_disk():
    """Run in the service's process: no file it writes can grow, as on a full disk."""
    die_with_parent()
    resource.setrlimit(resource.RLIMIT_FSIZE, (0, 0))


class Service:
    """One adnet.py process with its stdout, stderr and request log kept for inspection.
    Started with --test-switches, unless switches is False (as the game's launcher starts it)."""

    def __init__(self, root, *options, quiet=True, switches=True, preexec=die_with_parent):
        self.root = root
        self.log_path = os.path.join(root, "requests.log")
        self.stderr = open(os.path.join(root, "stderr.txt"), "ab")
        command = [sys.executable, os.path.join(TOOLS, "adnet.py"), "--port", "0",
                   "--data", os.path.join(root, "data"), "--log", self.log_path,
                   "--static", os.path.join(root, "static"), *options]
        if quiet:
            command.append("--quiet")
        if switches:
            command.append("--test-switches")
        env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=self.stderr,
                                        env=env, preexec_fn=preexec)
        self.first_line = self.process.stdout.readline().decode()
        if not self.first_line.startswith("listening 127.0.0.1:"):
            self.stop()
            raise RuntimeError(f"service did not start: {self.first_line!r}")
        self.port = int(self.first_line.rsplit(":", 1)[1])
        self.stdout = b""

    def stop(self, timeout=5):
        if self.stderr.closed:
            return
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.stdout = self.process.stdout.read()
        self.process.stdout.close()
        self.stderr.close()

    def request(self, path, method="GET", body=None, headers=None, timeout=10):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            connection.request(method, path, body=body, headers=headers or {})
            reply = connection.getresponse()
            return reply.status, dict(reply.getheaders()), reply.read()
        finally:
            connection.close()

    def control(self, query):
        status, _, body = self.request("/_control?" + query)
        return status, json.loads(body)

    def raw(self, path):
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        sock.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{self.port}\r\n\r\n".encode())
        return sock

    def log_entries(self):
        with open(self.log_path, encoding="utf-8") as log:
            return [json.loads(line) for line in log]


class ServiceTestCase(unittest.TestCase):
    password = "p&s=w+o%rd é 1"
    start_in_set_up = True

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="adnet-test-")
        self.data = os.path.join(self.root, "data")
        os.makedirs(os.path.join(self.root, "static", "ads"))
        for name, data in AD_FILES.items():
            with open(os.path.join(self.root, "static", "ads", name), "wb") as file:
                file.write(data)
        self.service = None
        if self.start_in_set_up:
            self.start()

    def tearDown(self):
        if self.service is not None:
            self.service.stop()
        shutil.rmtree(self.root)

    def start(self, *options, **settings):
        if self.service is not None:
            self.service.stop()
        self.service = Service(self.root, *options, **settings)

    def ad(self, query=""):
        status, headers, body = self.service.request(AD_PATH + query)
        self.assertEqual(status, 200)
        return ET.fromstring(body)

    def client_id(self, query=""):
        return self.ad(query).find("client").get("Id")

    def post(self, path, headers=None, **fields):
        body = "&".join(f"{key}={encode_uri_component(value)}" for key, value in fields.items())
        return self.service.request(path, "POST", body.encode(), dict(GAME_UPLOAD_HEADERS,
                                                                      **(headers or {})))

    def upload(self, password=None, headers=None, **fields):
        """An upload as the game sends it: every field in the game's order."""
        values = {"name": "", "score": "120", "gridSize": "8", "game": "tamboro",
                  "username": "ann+bob & co", "password": password or self.password}
        values.update(fields)
        return self.post("/scores/upload.php", headers, **values)

    def stored(self):
        return Store(self.data).top_scores("tamboro")


class ClientIdTests(ServiceTestCase):
    def test_assigned_id_is_echoed_survives_restart_and_a_foreign_one_is_replaced(self):
        first = self.client_id("?" + GAME_QUERY)
        self.assertRegex(first, r"^[0-9a-f]{8,}$")
        self.assertNotEqual(self.client_id("?cid="), first)
        self.assertEqual(self.client_id(f"?aid=x&cid={first}&time=1"), first)
        self.start()
        self.assertEqual(self.client_id(f"?cid={first}"), first)
        self.assertNotIn(self.client_id("?cid=notfromhere"), ("notfromhere", "", None))


class AdReplyTests(ServiceTestCase):
    def test_normal_reply_names_served_images_in_turn(self):
        base = f"http://127.0.0.1:{self.service.port}"
        served = []
        for _ in range(3):
            ad = self.ad("?" + GAME_QUERY).find("ad")
            self.assertTrue(ad.findtext("text"))
            for field in ("url", "image"):
                address = urlsplit(ad.findtext(field))
                self.assertEqual(f"{address.scheme}://{address.netloc}", base)
                status, _, body = self.service.request(address.path)
                self.assertEqual(status, 200, address.path)
            served.append(os.path.basename(address.path))
            self.assertEqual(body, AD_FILES[served[-1]])
        self.assertEqual(served, ["ad1.gif", "ad2.png", "ad1.gif"])

    def fetch(self, switches):
        self.service.control("reset=1&" + switches)
        return self.service.request(AD_PATH)

    def test_faulty_and_wrongly_typed_replies(self):
        fetch = self.fetch
        # First: the picture it sends instead of the reply is the next of the rotation.
        status, headers, body = fetch("ad=picture")
        self.assertEqual((status, headers["Content-Type"], body), (200, "image/gif", AD_FILES["ad1.gif"]))
        self.assertRaises(ET.ParseError, ET.fromstring, body)

        _, _, body = fetch("ad=notxml")
        self.assertRaises(ET.ParseError, ET.fromstring, body)
        self.assertEqual(len(ET.fromstring(fetch("ad=empty")[2])), 0)
        client = ET.fromstring(fetch("ad=lowercaseid")[2]).find("client")
        self.assertIsNone(client.get("Id"))
        self.assertTrue(client.get("id"))
        ads = ET.fromstring(fetch("ad=twoads")[2]).findall("ad")
        self.assertEqual([[e.tag for e in ad] for ad in ads], [["text", "url", "image"], ["text"]])
        status, _, body = fetch("ad=status500")
        self.assertEqual(status, 500)
        self.assertTrue(ET.fromstring(body).find("ad").findtext("image"))

        status, headers, _ = fetch("ad=redirect")
        self.assertEqual(status, 302)
        target = urlsplit(headers["Location"])
        self.assertEqual(target.query, "")
        self.assertIsNotNone(self.ad_at(target.path).find("ad/image"))

        status, headers, body = fetch("ad=oversized")
        self.assertEqual(len(body), 2 * 1024 * 1024)
        self.assertEqual(int(headers["Content-Length"]), len(body))
        self.assertIsNotNone(ET.fromstring(body).find("ad/url"))

        def picture(switches):
            return self.service.request(urlsplit(ET.fromstring(fetch(switches)[2]).findtext("ad/image")).path)
        status, _, body = picture("ad=badimage")
        self.assertEqual(status, 200)
        self.assertFalse(body.startswith((b"GIF8", b"\x89PNG", b"\xff\xd8")))
        status, headers, body = picture("image=xml")
        self.assertEqual((status, headers["Content-Type"]), (200, "text/xml"))
        self.assertTrue(ET.fromstring(body).findtext("ad/image"))

        client = ET.fromstring(fetch("ad=attributes&attribute_count=300")[2]).find("client")
        self.assertEqual(len(client.attrib), 301)
        self.assertEqual(client.get("a299"), "299")

    def raw_reply(self, mode):
        """One ad reply read straight off the socket until it closes."""
        self.service.control("ad=" + mode)
        sock, data = self.service.raw(AD_PATH), b""
        try:
            while piece := sock.recv(65536):
                data += piece
        except ConnectionResetError:
            pass
        finally:
            sock.close()
        return data

    def test_content_length_lies_and_a_reset_without_a_byte(self):
        # mode, how its Content-Length relates to the n bytes of body sent, whether that body is whole
        for mode, fits, whole in [("overlength", lambda length, n: length == n + 4096, True),
                                  ("underlength", lambda length, n: length == n // 2, True),
                                  ("hugelength", lambda length, n: length == 1024 ** 4, True),
                                  ("cutoff", lambda length, n: n == length // 2, False)]:
            with self.subTest(mode):
                head, _, body = self.raw_reply(mode).partition(b"\r\n\r\n")
                length = int(next(line.split(b":")[1] for line in head.split(b"\r\n")
                                  if line.lower().startswith(b"content-length:")))
                self.assertTrue(fits(length, len(body)), (length, len(body)))
                if whole:
                    self.assertTrue(ET.fromstring(body).findtext("ad/image"))
                else:
                    self.assertRaises(ET.ParseError, ET.fromstring, body)
        self.assertEqual(self.raw_reply("reset"), b"")

    def test_huge_logo_is_a_gif_of_the_set_size(self):
        self.service.control("logo=huge&hugeimage_mib=3")
        status, headers, body = self.service.request("/quillon_logo.png")
        self.assertEqual(status, 200)
        self.assertEqual(len(body), 3 * 1024 * 1024)
        self.assertEqual(int(headers["Content-Length"]), len(body))
        self.assertTrue(body.startswith(b"GIF89a"))

    def ad_at(self, path):
        status, _, body = self.service.request(path)
        self.assertEqual(status, 200)
        return ET.fromstring(body)

    def test_slow_mode_trickles_a_complete_reply(self):
        self.service.control("slow=ad")
        started = time.monotonic()
        ad = self.ad()
        self.assertGreater(time.monotonic() - started, 1.5)
        self.assertTrue(ad.findtext("ad/image"))

    def test_hanging_ad_blocks_neither_other_requests_nor_shutdown(self):
        self.service.control("ad=hang")
        hung = self.service.raw(AD_PATH)
        try:
            status, _, body = self.service.request("/content.asp?pageid=18", timeout=3)
            self.assertEqual(status, 200)
            self.assertTrue(body)
            self.assertEqual(select.select([hung], [], [], 0.5)[0], [])

            # Held up by the hanging reply, it would be killed at the end of the wait.
            self.service.stop(timeout=30)
            self.assertEqual(self.service.process.returncode, 0)
            self.assertEqual(hung.recv(1024), b"")
        finally:
            hung.close()


class ProbeTests(ServiceTestCase):
    def probe(self):
        status, headers, body = self.service.request("/content.asp?pageid=18")
        self.assertEqual(status, 200)
        self.assertEqual(int(headers["Content-Length"]), len(body))
        return body

    def test_switch_empties_probe_and_reset_restores_the_start_up_setting(self):
        self.assertTrue(self.probe())
        self.assertEqual(self.service.control("probe=empty")[1]["probe"], "empty")
        self.assertEqual(self.probe(), b"")
        self.service.control("reset=1")
        self.assertTrue(self.probe())
        self.start("--probe-empty")
        self.service.control("probe=ok")
        self.assertTrue(self.probe())
        self.service.control("reset=1")
        self.assertEqual(self.probe(), b"")

    def test_bad_control_request_changes_nothing(self):
        status, reply = self.service.control("probe=empty&ad=bogus")
        self.assertEqual(status, 400)
        self.assertEqual(reply["switches"]["probe"], "ok")
        self.assertTrue(self.probe())

    def test_log_keeps_raw_query_and_headers_also_for_unknown_paths(self):
        agent = "Mozilla/5.0 (X11; U; Linux armv7l) Maemo Browser 1.4.1.15 RX-51 N900"
        self.service.request(f"{AD_PATH}?{GAME_QUERY}", headers={"User-Agent": agent})
        status, _, _ = self.service.request("/nowhere?x=%41+b")
        self.assertEqual(status, 404)
        self.service.control("ad=hang&reset=1")
        ad, missing, control = self.service.log_entries()
        self.assertEqual((ad["method"], ad["path"], ad["query"]), ("GET", AD_PATH, GAME_QUERY))
        self.assertEqual(ad["headers"]["User-Agent"], agent)
        self.assertEqual((missing["path"], missing["query"]), ("/nowhere", "x=%41+b"))
        self.assertEqual((control["path"], control["query"]), ("/_control", "ad=hang&reset=1"))


class ScoreBoardTests(ServiceTestCase):
    def test_upload_keeps_only_a_verifiable_hash_of_the_password(self):
        self.start(quiet=False)
        status, _, reply = self.upload()
        self.assertEqual((status, reply.strip()), (200, b"OK"))
        [row] = self.stored()
        self.assertEqual((row["username"], row["score"], row["grid_size"], row["name"]),
                         ("ann+bob & co", 120, 8, ""))
        data = os.path.join(self.root, "data")
        self.assertTrue(verify_upload(data, row["id"], self.password))
        self.assertFalse(verify_upload(data, row["id"], self.password.replace("+", " ")))
        self.assertFalse(verify_upload(data, row["id"], encode_uri_component(self.password)))

        [entry] = self.service.log_entries()
        self.assertEqual(entry["form"]["username"], "ann+bob & co")
        self.assertNotIn("password", entry["form"])

        self.service.stop()
        leaks = (self.password.encode(), encode_uri_component(self.password).encode())
        places = {"stdout": self.service.stdout}
        for folder, _, files in os.walk(self.root):
            for name in files:
                with open(os.path.join(folder, name), "rb") as file:
                    places[name] = file.read()
        self.assertIn(b"POST /scores/upload.php", places["stderr.txt"])
        for place, content in places.items():
            for leak in leaks:
                self.assertNotIn(leak, content, place)

    def test_top_list_is_best_first_and_escaped_and_a_malformed_upload_refused(self):
        self.post(ACCOUNT_PATH, username="ann+bob & co", password=self.password)
        for fields, status in [({"score": "12abc"}, 400), ({"score": "1" + "0" * 30}, 400),
                               ({"score": str(2 ** 31)}, 400), ({"score": "-1"}, 400),
                               ({"score": " 12"}, 400), ({"gridSize": "8.0"}, 400),
                               ({"game": ""}, 400), ({"username": "u" * 201}, 400),
                               ({"password": "wrong"}, 403)]:
            with self.subTest(fields):
                answer, _, reply = self.upload(**fields)
                self.assertEqual(answer, status, reply)
                self.assertTrue(reply)
        for body in (b"score=1&score=2&gridSize=8&game=tamboro", b"score=\xff&gridSize=8&game=x",
                     b"&".join([b"a=1"] * 51)):
            with self.subTest(body):
                status, _, reply = self.service.request("/scores/upload.php", "POST", body,
                                                        GAME_UPLOAD_HEADERS)
                self.assertEqual(status, 400, reply)
        self.assertEqual(self.stored(), [])
        # 2147483647 is the most the game can score.
        self.assertEqual(self.upload(score=str(2 ** 31 - 1))[0], 200)
        self.assertEqual(self.upload(username="never registered", password="any")[0], 200)
        self.assertEqual([row["username"] for row in self.stored()],
                         ["ann+bob & co", "never registered"])
        self.upload(score="5", username="<b>low</b>")
        self.upload(score="90", username="high")
        self.upload(score="999", username="other game", game="lagoon")
        status, _, page = self.service.request("/highscores/tamboro")
        self.assertEqual(status, 200)
        self.assertLess(page.index(b"high"), page.index(b"&lt;b&gt;low&lt;/b&gt;"))
        self.assertNotIn(b"<b>low", page)
        self.assertNotIn(b"other game", page)

    def test_account_creation_stores_a_hash_once_per_name(self):
        # As a browser posts the form the service served.
        own = f"http://127.0.0.1:{self.service.port}"
        browser = {"Content-Type": "application/x-www-form-urlencoded", "Origin": own,
                   "Referer": own + ACCOUNT_PATH}
        self.assertEqual(self.service.request(ACCOUNT_PATH)[0], 200)
        for status in (200, 409):
            self.assertEqual(self.post(ACCOUNT_PATH, browser, username="kim",
                                       password=self.password)[0], status)
        store = Store(self.data)
        self.assertTrue(store.verify_account("kim", self.password))
        self.assertFalse(store.verify_account("kim", "wrong"))
        with open(self.service.log_path, "rb") as log:
            self.assertNotIn(b"p&s", log.read())



class OnlyTheGameTests(ServiceTestCase):
    def test_started_as_the_launcher_starts_it_the_switches_cannot_be_changed(self):
        self.start(switches=False)
        for query in ("ad=hang", "reset=1&probe=empty"):
            self.assertEqual(self.service.request("/_control?" + query)[0], 404)
        self.assertTrue(self.ad().findtext("ad/image"))
        self.assertTrue(self.service.request("/content.asp?pageid=18")[2])
        self.assertEqual(self.upload()[0], 200)
        # The player's scores and accounts are theirs alone.
        self.assertEqual(os.stat(self.data).st_mode & 0o777, 0o700)
        self.assertEqual(os.stat(os.path.join(self.data, DB_NAME)).st_mode & 0o777, 0o600)

    def test_requests_from_another_site_change_nothing(self):
        port = self.service.port
        own = f"http://localhost:{port}"
        for headers, status in [({"Host": f"evil.example:{port}"}, 421),
                                ({"Host": "127.0.0.1"}, 421),
                                ({"Origin": "http://evil.example"}, 403), ({"Origin": "null"}, 403),
                                ({"Origin": f"http://127.0.0.1:{port + 1}"}, 403),
                                ({"Origin": own, "Referer": "http://evil.example/page"}, 403)]:
            for path in ("/scores/upload.php", ACCOUNT_PATH):
                with self.subTest(headers=headers, path=path):
                    answer, _, reply = self.post(path, headers, score="7", gridSize="8",
                                                 game="tamboro", username="eve", password="x")
                    self.assertEqual(answer, status, reply)
        status, _, _ = self.service.request("/_control?probe=empty",
                                            headers={"Host": f"evil.example:{port}"})
        self.assertEqual(status, 421)
        status, _, _ = self.service.request("/_control?probe=empty",
                                            headers={"Referer": "http://evil.example/"})
        self.assertEqual(status, 403)
        self.assertTrue(self.service.request("/content.asp?pageid=18")[2])
        self.assertEqual(self.stored(), [])
        self.assertIsNone(Store(self.data).account_password("eve"))
        # The game's own upload, also to the other name of this machine.
        self.assertEqual(self.upload()[0], 200)
        self.assertEqual(self.upload(headers={"Host": f"localhost:{port}", "Origin": own})[0], 200)
        self.assertEqual(len(self.stored()), 2)


class DataFolderTests(ServiceTestCase):
    start_in_set_up = False

    def stderr(self):
        with open(os.path.join(self.root, "stderr.txt"), encoding="utf-8") as file:
            return file.read()

    def test_damaged_database_is_moved_aside_and_a_new_one_begun(self):
        os.makedirs(self.data)
        damaged = b"SQLite format 3\0" + b"\xa5" * 8000
        with open(os.path.join(self.data, DB_NAME), "wb") as file:
            file.write(damaged)
        self.start()
        self.assertEqual(self.upload()[0], 200)
        self.assertEqual(len(self.stored()), 1)
        [aside] = [name for name in os.listdir(self.data) if name.startswith(DB_NAME + ".")]
        with open(os.path.join(self.data, aside), "rb") as file:
            self.assertEqual(file.read(), damaged)
        self.assertIn(aside, self.stderr())

    def test_unusable_folder_leaves_ads_and_the_probe_served(self):
        for case in ("a file where the folder belongs", "a full disk"):
            with self.subTest(case):
                if case == "a full disk":
                    self.service.stop()
                    os.remove(self.data)
                    # Nothing can be written, so the request log is left out.
                    self.service = Service(self.root, preexec=full_disk)
                else:
                    open(self.data, "w").close()
                    self.start()
                    self.assertIn("cannot keep scores", self.stderr())
                self.assertTrue(self.service.request("/content.asp?pageid=18")[2])
                cid = self.client_id()
                self.assertEqual(self.client_id(f"?cid={cid}"), cid)
                self.assertEqual(self.service.request("/ads/ad1.gif")[2], AD_FILES["ad1.gif"])
                for status, _, reply in (self.upload(),
                                         self.service.request("/highscores/tamboro")):
                    self.assertEqual(status, 503)
                    self.assertIn(b"cannot keep", reply)


if __name__ == "__main__":
    unittest.main()
