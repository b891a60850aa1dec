#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Local Quillon ad network and Tamboro score board.

Stands in for the outside services so the whole game runs on this machine and
tests can see exactly what the game sent. Listens on 127.0.0.1 only and
prints "listening 127.0.0.1:PORT" as its first line on stdout (with --port 0
the system picks a free port). What it did about its data folder, and why it
cannot listen, goes to stderr.

usage: adnet.py --port N [--log FILE] [--data DIR] [--static DIR] [--end-with PID]
                [--test-switches] [--probe-empty] [--set KEY=VALUE ...] [--quiet]

It takes orders only from the game: a request whose Host is not 127.0.0.1:PORT
or localhost:PORT is refused with 421; a POST (or a switch change) whose Origin
or Referer names another origin is refused with 403; either changes nothing.
With --end-with PID it ends when the process PID (its parent, the game) ends.
SIGTERM and SIGINT end it; however many arrive, they only wake its main loop.

Endpoints
  GET  /content.asp?pageid=18       connection probe: a small page (or an empty body)
  GET  /quillon_logo.png            the network logo, STATIC/quillon_logo.png
  GET  /simpleM2M/clientRequestAd   XML ad reply; assigns or echoes the client id "cid"
                                    and rotates through the pictures in STATIC/ads/
  GET  /simpleM2M/redirected        always a normal ad reply (target of ad=redirect)
  GET  /ads/FILE                    ad pictures; /ads/broken.png and /ads/huge.gif are
                                    made up on the fly for ad=badimage and ad=hugeimage
  GET  /landing/NAME                landing page of an ad
  POST /scores/upload.php           score upload form (name, score, gridSize, game,
                                    username, password); answers "OK". A score is a
                                    whole number from 0 to 2147483647 (400 otherwise);
                                    under a registered user name only with its password
                                    (403 otherwise); 503 while nothing can be stored
  GET  /highscores/GAME             top scores of GAME (the game uses "tamboro")
  GET  /highscores/createaccount/   account form; POST creates the account
  GET  /store/kelto                 "More Games" page of the developer
  GET  /_control?KEY=VALUE&...      only with --test-switches (else 404): changes switches
                                    at run time; answers JSON with all switches; reset=1
                                    first restores the start-up switches
  anything else                     404

Switches (start-up values come from --set KEY=VALUE and --probe-empty)
  probe=MODE, upload=MODE the connection probe's and the score upload's reply, with
                          the status probe_status or upload_status (default 200):
      ok           the usual page ("OK" for the upload, which records the score)
      empty        no body at all
      huge         hugebody_mib MiB of body, Content-Length given
      endless      a body without Content-Length that never ends
      hang         never answers until the client goes away or the server stops
      hold         answers once the switch is set to another mode, as that mode; so a
                   test decides when the game has its reply (a request held when the
                   log shows it stays held until then)
      redirect     a 307 to the same address on redirect_to (HOST:PORT, default
                   127.0.0.2 on this port, another host of this machine) with
                   "redirected=1" added to the query; that one is answered as ok
  ad=MODE                 the ad reply:
      normal       a client element and one complete ad
      notxml       a plain-text error message, status 200
      empty        a well-formed document without children
      noimage      an ad without an image element
      emptyimage   an ad with an empty image element
      lowercaseid  the client id in an attribute "id" instead of "Id"
      upper        TEXT, URL and IMAGE element names in capitals
      twoads       a second ad element holding only a text
      spaces       the url with leading spaces and a line break
      nested       nested_depth levels of nested elements
      entities     an internal DTD with a billion-laughs entity expansion
      oversized    a well-formed ad of oversized_mib MiB, streamed
      hang         never answers until the client goes away or the server stops
      reset        closes the connection (TCP reset) without any response
      status500    an HTTP 500 carrying a well-formed ad
      redirect     a 302 to /simpleM2M/redirected with the same query
      fileurl      the ad url is file:///etc/passwd
      jsurl        the ad url is javascript:alert(1)
      fileimage    the image address is file:///etc/passwd
      ftpimage     the image address is ftp://127.0.0.1/x.gif
      badimage     the image address serves random bytes that are no picture
      hugeimage    the image address serves hugeimage_mib MiB
      picture      an ad picture (image content type) where the XML belongs
      attributes   a client element with attribute_count attributes
      overlength   Content-Length claims 4096 bytes more than are sent; then closes
      underlength  Content-Length claims half of the body; the whole body follows
      hugelength   Content-Length claims 1 TiB; a normal ad follows, then closes
      cutoff       a true Content-Length, but the connection is reset half way
      dtdattributes  975 KB: a DTD gives 1000 default attributes to 240,000 elements
      entitytext   an entity of 4000 characters referenced 340,000 times in the text
      longid       a client id of 900,000 characters
      commented    a normal ad whose comment, CDATA and instruction hold a tag of 65 k=v pairs
      giantpicture the picture is a looping 3000x3000 GIF with frame delays of zero
  logo=ok|missing|huge|giant
                          missing: the logo answers 404; huge: a GIF of hugeimage_mib MiB;
                          giant: a 4 KB PNG of 5500x5500 pixels
  image=ok|missing|xml    missing: every ad picture answers 404; xml: an ad reply
                          (text/xml) where the picture belongs
  slow=TARGETS            comma list of probe,logo,ad,image (empty: none): those
                          replies trickle out in small pieces over about 2 s
  probe_delay_ms, logo_delay_ms, ad_delay_ms, image_delay_ms
                          milliseconds to wait before answering (default 0)
  oversized_mib=2, hugeimage_mib=10, nested_depth=10000, attribute_count=50000,
  hugebody_mib=100
                          sizes used by the modes above

Request log (--log FILE): one JSON object per line and request, written before
the reply: {"method", "path", "query" (raw, undecoded), "headers" (as received),
"form" (decoded fields of a form post without "password", else null), "body" (the
raw body as Latin-1 text, the value of a "password" field, as sent, replaced by
"sha256:" and the hex SHA-256 of it; null without a body), "time"}.
Passwords are never logged, printed or stored in clear.
"""

import argparse
import contextlib
import hashlib
import json
import math
import mimetypes
import os
import random
import re
import select
import selectors
import signal
import socket
import struct
import sys
import threading
import time
import traceback
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, parse_qsl, unquote_plus, urlsplit

import adnet_pages as pages
from adnet_store import AccountExists, Store, StoreUnavailable, utc_now

HERE = os.path.dirname(os.path.abspath(__file__))
MAX_BODY_BYTES = 64 * 1024
MAX_FORM_FIELDS = 50
# The game keeps its score in a 32-bit integer and plays on eight holes.
MAX_SCORE = 2 ** 31 - 1
MAX_GRID_SIZE = 100
MAX_FIELD_CHARS = 200
# A client that stops half way through its request holds a thread no longer than this.
READ_SECONDS = 60
# A Content-Length or a number in a form: plain ASCII digits, no sign, no spaces.
WHOLE_NUMBER = re.compile(r"[0-9]{1,10}")
SLOW_SECONDS = 2.0
SLOW_PIECES = 500
MIB = 1024 * 1024

AD_MODES = ("normal", "notxml", "empty", "noimage", "emptyimage", "lowercaseid", "upper",
            "twoads", "spaces", "nested", "entities", "oversized", "hang", "reset",
            "status500", "redirect", "fileurl", "jsurl", "fileimage", "ftpimage", "badimage",
            "hugeimage", "picture", "attributes", "overlength", "underlength", "hugelength",
            "cutoff", "dtdattributes", "entitytext", "longid", "commented", "giantpicture")
# Modes whose Content-Length does not tell the truth about the body that follows.
LYING_MODES = ("overlength", "underlength", "hugelength", "cutoff")
TIB = 1024 ** 4
SLOW_TARGETS = ("probe", "logo", "ad", "image")
REPLY_MODES = ("ok", "empty", "huge", "endless", "hang", "hold", "redirect")

DEFAULT_SWITCHES = {
    "probe": "ok", "ad": "normal", "logo": "ok", "image": "ok", "slow": "",
    "probe_delay_ms": 0, "logo_delay_ms": 0, "ad_delay_ms": 0, "image_delay_ms": 0,
    "oversized_mib": 2, "hugeimage_mib": 10, "nested_depth": 10000, "attribute_count": 50000,
    "upload": "ok", "probe_status": 200, "upload_status": 200, "hugebody_mib": 100, "redirect_to": "",
}
_CHOICES = {"probe": REPLY_MODES, "upload": REPLY_MODES, "ad": AD_MODES, "logo": ("ok", "missing", "huge", "giant"),
            "image": ("ok", "missing", "xml")}
_LIMITS = {"probe_delay_ms": (0, 3_600_000), "logo_delay_ms": (0, 3_600_000),
           "ad_delay_ms": (0, 3_600_000), "image_delay_ms": (0, 3_600_000),
           "oversized_mib": (1, 1024), "hugeimage_mib": (1, 1024),
           "nested_depth": (1, 1_000_000), "attribute_count": (1, 1_000_000),
           "probe_status": (200, 599), "upload_status": (200, 599), "hugebody_mib": (1, 4096)}


def say(text):
    """Tells the user on stderr; a stderr that cannot be written (a full disk) costs only
    the message."""
    try:
        print(f"adnet: {text}", file=sys.stderr, flush=True)
    except OSError:
        pass


def parse_switch(key, value):
    if key in _CHOICES:
        if value not in _CHOICES[key]:
            raise ValueError(f"{key} must be one of {', '.join(_CHOICES[key])}")
        return value
    if key == "slow":
        targets = [t for t in value.split(",") if t and t != "none"]
        unknown = [t for t in targets if t not in SLOW_TARGETS]
        if unknown:
            raise ValueError(f"slow takes {', '.join(SLOW_TARGETS)}, not {', '.join(unknown)}")
        return ",".join(targets)
    if key == "redirect_to":
        host, _, port = value.rpartition(":")
        if value and not (host and port.isdigit()):
            raise ValueError("redirect_to must be HOST:PORT")
        return value
    if key in _LIMITS:
        low, high = _LIMITS[key]
        try:
            number = int(value)
        except ValueError:
            raise ValueError(f"{key} must be a whole number") from None
        if not low <= number <= high:
            raise ValueError(f"{key} must be between {low} and {high}")
        return number
    raise ValueError(f"unknown switch {key}")


class Switches:
    def __init__(self, start):
        self._start = dict(start)
        self._values = dict(start)
        self._lock = threading.Lock()
        self._watchers = set()

    def snapshot(self):
        with self._lock:
            return dict(self._values)

    def apply(self, pairs):
        """All or nothing: a bad pair leaves every switch as it was."""
        reset = any(k == "reset" and v not in ("", "0") for k, v in pairs)
        parsed = {k: parse_switch(k, v) for k, v in pairs if k != "reset"}
        with self._lock:
            if reset:
                self._values = dict(self._start)
            self._values.update(parsed)
            for watcher in self._watchers:
                try:
                    watcher.send(b"!")
                except OSError:
                    pass
            return dict(self._values)

    @contextlib.contextmanager
    def watch(self):
        """A socket that turns readable when a switch has changed since it was made."""
        changed, writer = socket.socketpair()
        writer.setblocking(False)
        with self._lock:
            self._watchers.add(writer)
        try:
            yield changed
        finally:
            with self._lock:
                self._watchers.discard(writer)
            changed.close()
            writer.close()


class RequestLog:
    def __init__(self, path):
        self._file = open(path, "a", encoding="utf-8") if path else None
        self._lock = threading.Lock()

    def write(self, entry):
        if self._file is None:
            return
        line = json.dumps(entry, ensure_ascii=False) + "\n"
        with self._lock:
            try:
                self._file.write(line)
                self._file.flush()
            except OSError:
                # A full disk costs the log its line, not the client its reply.
                pass

    def close(self):
        if self._file is not None:
            self._file.close()


class AdNetServer(ThreadingHTTPServer):
    # A hanging or slow reply must never hold up the service's end.
    daemon_threads = True
    block_on_close = False

    def __init__(self, port, store, static_dir, switches, request_log, quiet, test_switches=False):
        super().__init__(("127.0.0.1", port), Handler)
        # Accepted only when the main loop has seen a connection waiting; a client that
        # gave up in between must not leave the loop stuck in accept().
        self.socket.setblocking(False)
        self.test_switches = test_switches
        self.store = store
        self.static_dir = static_dir
        self.switches = switches
        self.request_log = request_log
        self.quiet = quiet
        self.ads = pages.scan_ads(os.path.join(static_dir, "ads"))
        self._next_ad = 0
        self._ad_lock = threading.Lock()
        self._aborted = set()
        self._aborted_lock = threading.Lock()

    @property
    def base_url(self):
        return f"http://127.0.0.1:{self.server_address[1]}"

    @property
    def own_hosts(self):
        port = self.server_address[1]
        hosts = {f"127.0.0.1:{port}", f"localhost:{port}"}
        return hosts | {"127.0.0.1", "localhost"} if port == 80 else hosts

    def next_ad(self):
        if not self.ads:
            return pages.Ad(0, "missing.gif")
        with self._ad_lock:
            ad = self.ads[self._next_ad % len(self.ads)]
            self._next_ad += 1
        return ad

    def abort(self, request):
        with self._aborted_lock:
            self._aborted.add(request)

    def shutdown_request(self, request):
        with self._aborted_lock:
            aborted = request in self._aborted
            self._aborted.discard(request)
        if aborted:
            # A plain close: with linger 0 the peer gets a reset, not an orderly end.
            self.close_request(request)
        else:
            super().shutdown_request(request)


class Handler(BaseHTTPRequestHandler):
    server_version = "QuillonLocal/1.0"
    protocol_version = "HTTP/1.0"
    # Only while the request is read: replies may wait on a slow reader as long as it likes.
    timeout = READ_SECONDS

    def log_message(self, format, *args):
        if not self.server.quiet:
            try:
                super().log_message(format, *args)
            except OSError:
                pass

    def _dispatch(self):
        self.replied = False
        try:
            self._serve()
        except (ConnectionError, TimeoutError):
            # The client went away or stopped sending: nobody is left to answer.
            pass
        except Exception:
            # Whatever went wrong, the client gets an answer and the connection a proper end.
            failure = traceback.format_exc()
            if not self.replied:
                try:
                    self._text(500, "the service failed on this request\n")
                except OSError:
                    pass
            say(f"failed on {self.command} {self.path}:\n{failure}")

    do_GET = do_HEAD = do_POST = do_PUT = do_PATCH = do_DELETE = do_OPTIONS = _dispatch

    def _serve(self):
        path, _, self.query = self.path.partition("?")
        self.fields = {}
        form = problem = body = None
        if self.command in ("POST", "PUT", "PATCH"):
            body = self._read_body()
            if body is None:
                self._log(path, None, None)
                return
            if self.headers.get_content_type() == "application/x-www-form-urlencoded":
                try:
                    pairs = parse_qsl(body.decode("utf-8"), keep_blank_values=True,
                                      max_num_fields=MAX_FORM_FIELDS, errors="strict")
                except ValueError:
                    pairs, problem = [], "the form is not UTF-8 or has too many fields\n"
                form = {k: v for k, v in pairs if k.lower() != "password"}
                self.fields = dict(pairs)
                if len(self.fields) < len(pairs):
                    problem = "a form field is given twice\n"
        self.connection.settimeout(None)
        # A request in the log is held if the switch said so when it was logged, so a test
        # that sees it there and then releases it never races the hold.
        switches = self.server.switches.snapshot()
        self.held = {target for target, mode in switches.items() if mode == "hold"}
        self._log(path, form, body)
        if not self._own_host():
            self._text(421, "this service answers only for its own address\n")
        elif self._changes_state(path) and self._foreign_origin():
            self._text(403, "requests from other sites are refused\n")
        elif problem:
            self._text(400, problem)
        else:
            try:
                self._route(path)
            except StoreUnavailable as error:
                if not self.replied:
                    self._html(pages.unavailable_page(), status=503)
                say(f"the score board could not serve {self.command} {path}: {error}")

    def _read_body(self):
        length = self.headers.get("Content-Length")
        if length is None:
            self._text(411, "a Content-Length is required\n")
            return None
        if not WHOLE_NUMBER.fullmatch(length.strip()):
            self._text(400, "the Content-Length is no length\n")
            return None
        if int(length) > MAX_BODY_BYTES:
            self._text(413, "body too large\n")
            return None
        return self.rfile.read(int(length))

    def _own_host(self):
        """Whether the request names this service: a page on another site that a name
        server points here (DNS rebinding) sends that site's name."""
        hosts = self.headers.get_all("Host") or []
        return len(hosts) == 1 and hosts[0].strip().lower() in self.server.own_hosts

    def _changes_state(self, path):
        return self.command not in ("GET", "HEAD") or path == "/_control"

    def _foreign_origin(self):
        """Whether a browser says a page of another origin sent this request."""
        own = {f"http://{host}" for host in self.server.own_hosts}
        sources = self.headers.get_all("Origin") or []
        for referer in self.headers.get_all("Referer") or []:
            try:
                parts = urlsplit(referer.strip())
                sources.append(f"{parts.scheme}://{parts.netloc}")
            except ValueError:
                sources.append("")
        return any(source.strip().lower() not in own for source in sources)

    def _log(self, path, form, body):
        self.server.request_log.write({
            "method": self.command, "path": path, "query": self.query,
            "headers": dict(self.headers.items()), "form": form,
            "body": None if body is None else _masked(body).decode("latin-1"), "time": utc_now()})

    def _route(self, path):
        get = self.command in ("GET", "HEAD")
        if get and path == "/_control" and self.server.test_switches:
            self._control()
        elif get and path == "/content.asp":
            self._probe()
        elif get and path == "/quillon_logo.png":
            self._logo()
        elif get and path == "/simpleM2M/clientRequestAd":
            self._ad(self.server.switches.snapshot()["ad"])
        elif get and path == "/simpleM2M/redirected":
            self._ad("normal")
        elif get and path.startswith("/ads/"):
            self._image(path[len("/ads/"):])
        elif get and path.startswith("/landing/"):
            self._landing(path[len("/landing/"):])
        elif path.rstrip("/") == "/highscores/createaccount":
            self._create_account() if self.command == "POST" else self._html(pages.account_form())
        elif get and path.startswith("/highscores/") and "/" not in path[len("/highscores/"):]:
            game = path[len("/highscores/"):]
            self._html(pages.highscores_page(game, self.server.store.top_scores(game)))
        elif self.command == "POST" and path == "/scores/upload.php":
            self._upload()
        elif get and path == "/store/kelto":
            self._html(pages.store_page())
        else:
            self._text(404, "not found\n")

    # Replies

    def _send(self, status, content_type, body, headers=(), slow=False):
        """body is bytes or (length, iterable of bytes) for replies too big to hold."""
        self.replied = True
        length, chunks = (len(body), (body,)) if isinstance(body, bytes) else body
        lines = [f"HTTP/1.0 {status} {self.responses.get(status, ('',))[0]}",
                 f"Server: {self.version_string()}", f"Date: {self.date_time_string()}",
                 f"Content-Type: {content_type}", f"Content-Length: {length}",
                 "Connection: close", *headers]
        head = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")
        self.log_request(status, length)
        if self.command == "HEAD":
            chunks = ()
        if slow:
            self._trickle(head + b"".join(chunks))
            return
        self.wfile.write(head)
        for chunk in chunks:
            self.wfile.write(chunk)

    def _trickle(self, data):
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        piece = max(1, math.ceil(len(data) / SLOW_PIECES))
        pieces = math.ceil(len(data) / piece)
        for offset in range(0, len(data), piece):
            self.wfile.write(data[offset:offset + piece])
            time.sleep(SLOW_SECONDS / pieces)

    def _text(self, status, text):
        self._send(status, "text/plain; charset=utf-8", text.encode("utf-8"))

    def _html(self, body, status=200):
        self._send(status, "text/html; charset=utf-8", body)

    def _pause(self, switch):
        delay = self.server.switches.snapshot()[switch]
        if delay:
            time.sleep(delay / 1000)

    def _is_slow(self, target):
        return target in self.server.switches.snapshot()["slow"].split(",")

    def _hang(self, target=None):
        """Holds the connection until the client hangs up (False) or the service ends; with
        a target, only while its switch says hold (True once it no longer does)."""
        with self.server.switches.watch() as changed:
            while target is None or self.server.switches.snapshot()[target] == "hold":
                readable, _, _ = select.select([self.connection, changed], [], [])
                if changed in readable:
                    changed.recv(4096)
                if self.connection not in readable:
                    continue
                try:
                    if not self.connection.recv(4096):
                        return False
                except OSError:
                    return False
        return True

    def _send_lying(self, mode, body):
        """An ad reply whose head and body disagree, as a broken proxy or server sends it."""
        claimed = {"overlength": len(body) + 4096, "underlength": len(body) // 2,
                   "hugelength": TIB}.get(mode, len(body))
        lines = ["HTTP/1.0 200 OK", f"Server: {self.version_string()}",
                 f"Date: {self.date_time_string()}", "Content-Type: text/xml",
                 f"Content-Length: {claimed}", "Connection: close"]
        self.log_request(200, claimed)
        self.replied = True
        self.wfile.write(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
        if mode == "cutoff":
            self.wfile.write(body[:len(body) // 2])
            self._reset()
        else:
            self.wfile.write(body)

    def _reset(self):
        self.replied = True
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.server.abort(self.connection)

    # Endpoints

    def _control(self):
        try:
            pairs = parse_qsl(self.query, keep_blank_values=True, strict_parsing=bool(self.query))
            current = self.server.switches.apply(pairs)
        except ValueError as error:
            body = {"error": str(error), "switches": self.server.switches.snapshot()}
            self._send(400, "application/json", json.dumps(body).encode("utf-8"))
            return
        self._send(200, "application/json", json.dumps(current).encode("utf-8"))

    def _probe(self):
        if parse_qs(self.query).get("pageid") != ["18"]:
            self._text(404, "no such page\n")
            return
        self._pause("probe_delay_ms")
        self._reply_as("probe", "text/html; charset=utf-8", pages.probe_page())

    def _reply_as(self, target, content_type, body):
        """The reply of the probe or the upload as its switches make it (see REPLY_MODES)."""
        if target in self.held and not self._hang(target):
            return
        switches = self.server.switches.snapshot()
        mode, status = switches[target], switches[target + "_status"]
        if mode == "redirect" and "redirected" in parse_qs(self.query):
            mode = "ok"
        if mode == "hang":
            self._hang()
        elif mode == "redirect":
            host = switches["redirect_to"] or f"127.0.0.2:{self.server.server_address[1]}"
            self._send(307, "text/plain; charset=utf-8", b"moved\n",
                       headers=[f"Location: http://{host}{self.path}{'&' if self.query else '?'}"
                                "redirected=1"])
        elif mode == "endless":
            self.log_request(status, "-")
            self.replied = True
            self.wfile.write(f"HTTP/1.0 {status} {self.responses.get(status, ('',))[0]}\r\n"
                             f"Content-Type: {content_type}\r\nConnection: close\r\n\r\n"
                             .encode("latin-1"))
            chunk = b"x" * (64 * 1024)
            while True:
                self.wfile.write(chunk)
        elif mode == "huge":
            self._send(status, content_type, _zeros(switches["hugebody_mib"] * MIB))
        else:
            self._send(status, content_type, b"" if mode == "empty" else body,
                       slow=self._is_slow(target))

    def _logo(self):
        self._pause("logo_delay_ms")
        logo = os.path.join(self.server.static_dir, "quillon_logo.png")
        switches = self.server.switches.snapshot()
        if switches["logo"] == "huge":
            self._send(200, "image/gif", _huge_gif(switches["hugeimage_mib"] * MIB),
                       slow=self._is_slow("logo"))
            return
        if switches["logo"] == "giant":
            self._send(200, "image/png", pages.giant_png(), slow=self._is_slow("logo"))
            return
        if switches["logo"] == "missing" or not os.path.isfile(logo):
            self._text(404, "no logo\n")
            return
        with open(logo, "rb") as file:
            self._send(200, "image/png", file.read(), slow=self._is_slow("logo"))

    def _client_id(self):
        cid = parse_qs(self.query, keep_blank_values=True).get("cid", [""])[-1]
        store = self.server.store
        # An id this network never handed out (or forgot) is replaced, as a real network would.
        return cid if cid and store.client_known(cid) else store.new_client()

    def _ad(self, mode):
        self._pause("ad_delay_ms")
        if mode == "hang":
            self._hang()
            return
        if mode == "reset":
            self._reset()
            return
        slow = self._is_slow("ad")
        switches = self.server.switches.snapshot()
        base = self.server.base_url
        if mode == "notxml":
            self._send(200, "text/plain; charset=utf-8",
                       b"Service temporarily unavailable, please try again later.\n", slow=slow)
        elif mode == "nested":
            self._send(200, "text/xml", pages.nested_reply(switches["nested_depth"]), slow=slow)
        elif mode == "redirect":
            location = f"{base}/simpleM2M/redirected" + (f"?{self.query}" if self.query else "")
            self._send(302, "text/plain; charset=utf-8", b"moved\n",
                       headers=[f"Location: {location}"], slow=slow)
        elif mode == "attributes":
            self._send(200, "text/xml", pages.attributes_reply(switches["attribute_count"]),
                       slow=slow)
        elif mode == "picture":
            ad = self.server.next_ad()
            self._serve_file(os.path.join(self.server.static_dir, "ads", ad.file_name),
                             ad.file_name, slow)
        elif mode in LYING_MODES:
            document = pages.ad_reply("normal", base, self.server.next_ad(), self._client_id())
            self._send_lying(mode, document)
        elif mode == "oversized":
            body = pages.oversized_reply(base, self.server.next_ad(), self._client_id(),
                                         switches["oversized_mib"] * MIB)
            self._send(200, "text/xml", body, slow=slow)
        else:
            document = pages.ad_reply(mode, base, self.server.next_ad(), self._client_id())
            self._send(500 if mode == "status500" else 200, "text/xml", document, slow=slow)

    def _image(self, name):
        self._pause("image_delay_ms")
        switches = self.server.switches.snapshot()
        slow = self._is_slow("image")
        ads_dir = os.path.join(self.server.static_dir, "ads")
        file = os.path.join(ads_dir, name)
        if switches["image"] == "missing":
            self._text(404, "no such picture\n")
        elif switches["image"] == "xml":
            document = pages.ad_reply("normal", self.server.base_url, self.server.next_ad(), "")
            self._send(200, "text/xml", document, slow=slow)
        elif name == pages.BROKEN_IMAGE:
            self._send(200, "image/png", b"\0not a picture\0" + random.randbytes(4096), slow=slow)
        elif name == pages.GIANT_IMAGE:
            self._send(200, "image/gif", pages.giant_gif(), slow=slow)
        elif name == pages.HUGE_IMAGE:
            self._send(200, "image/gif", _huge_gif(switches["hugeimage_mib"] * MIB), slow=slow)
        elif name and "/" not in name and not name.startswith("."):
            self._serve_file(file, name, slow)
        else:
            self._text(404, "no such picture\n")

    def _serve_file(self, path, name, slow):
        if not os.path.isfile(path):
            self._text(404, "no such picture\n")
            return
        content_type = mimetypes.guess_type(name)[0] or "application/octet-stream"
        with open(path, "rb") as data:
            self._send(200, content_type, data.read(), slow=slow)

    def _landing(self, name):
        ad = next((ad for ad in self.server.ads if ad.name == name), None)
        if ad is None:
            self._text(404, "no such ad\n")
        else:
            self._html(pages.landing_page(ad))

    def _upload(self):
        fields = self.fields
        problem = _upload_problem(fields)
        if problem:
            self._text(400, problem)
            return
        if self.server.switches.snapshot()["upload"] == "redirect" and not self.query:
            self._reply_as("upload", "text/plain; charset=utf-8", b"OK\n")
            return
        store = self.server.store
        username, password = fields.get("username", ""), fields.get("password", "")
        if username and store.password_refused(username, password):
            self._text(403, "wrong password for this user name\n")
            return
        store.add_score(fields.get("name", ""), int(fields["score"]), int(fields["gridSize"]),
                        fields["game"], username, password)
        self._reply_as("upload", "text/plain; charset=utf-8", b"OK\n")

    def _create_account(self):
        username = self.fields.get("username", "").strip()
        if not username:
            self._html(pages.account_form("Please choose a user name."), status=400)
            return
        if max(len(username), len(self.fields.get("password", ""))) > MAX_FIELD_CHARS:
            self._html(pages.account_form(f"Please keep to {MAX_FIELD_CHARS} characters."),
                       status=400)
            return
        try:
            self.server.store.create_account(username, self.fields.get("password", ""))
        except AccountExists:
            self._html(pages.account_form("That user name is taken."), status=409)
            return
        self._html(pages.account_created(username))


def _upload_problem(fields):
    """What is wrong with an upload's fields, None when nothing is."""
    for key, most in (("score", MAX_SCORE), ("gridSize", MAX_GRID_SIZE)):
        value = fields.get(key, "")
        if not WHOLE_NUMBER.fullmatch(value) or int(value) > most:
            return f"{key} must be a whole number from 0 to {most}\n"
    if not fields.get("game"):
        return "a game is required\n"
    for key in ("name", "game", "username", "password"):
        if len(fields.get(key, "")) > MAX_FIELD_CHARS:
            return f"{key} is longer than {MAX_FIELD_CHARS} characters\n"
    return None


def _masked(body):
    """The body with the value of any password field replaced by its SHA-256."""
    pieces = []
    for piece in body.split(b"&"):
        name, equals, value = piece.partition(b"=")
        if equals and unquote_plus(name.decode("latin-1")).lower() == "password":
            piece = name + b"=sha256:" + hashlib.sha256(value).hexdigest().encode("ascii")
        pieces.append(piece)
    return b"&".join(pieces)


def _zeros(size, head=b""):
    """head followed by zeros up to size bytes, made as they are sent."""
    def chunks():
        yield head
        left = size - len(head)
        while left > 0:
            step = min(MIB, left)
            yield bytes(step)
            left -= step

    return size, chunks()


def _huge_gif(size):
    """A GIF header followed by padding: looks like a picture until it is read."""
    return _zeros(size, b"GIF89a\x01\x00\x01\x00\x00\x00\x00")


def default_data_dir():
    root = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local",
                                                           "share")
    return os.path.join(root, "tamboro-local-service")


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, required=True, help="port on 127.0.0.1; 0 picks one")
    parser.add_argument("--log", help="append one JSON line per request to this file")
    parser.add_argument("--data", default=default_data_dir(),
                        help="folder of the database (default: %(default)s)")
    parser.add_argument("--static", default=os.path.join(HERE, "static"),
                        help="folder of the logo and ads/ (default: %(default)s)")
    parser.add_argument("--probe-empty", action="store_true", help="same as --set probe=empty")
    parser.add_argument("--set", action="append", default=[], metavar="KEY=VALUE",
                        help="start-up value of a switch; may be repeated")
    parser.add_argument("--quiet", action="store_true", help="no access log on stderr")
    parser.add_argument("--test-switches", action="store_true",
                        help="serve /_control, through which tests change switches at run time")
    parser.add_argument("--end-with", type=int, metavar="PID",
                        help="end when the process PID, this one's parent, ends")
    args = parser.parse_args(argv)
    switches = dict(DEFAULT_SWITCHES)
    settings = [("probe", "empty")] if args.probe_empty else []
    settings += [tuple(item.split("=", 1)) if "=" in item else (item, "") for item in args.set]
    try:
        switches.update({k: parse_switch(k, v) for k, v in settings})
    except ValueError as error:
        parser.error(str(error))
    args.switches = switches
    return args


def watch_signals():
    """A descriptor that becomes readable once SIGTERM or SIGINT has arrived.

    The handlers run nothing that could block: the interpreter writes a byte into a pipe
    before the handler (which does nothing) is called."""
    wake_read, wake_write = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
    signal.set_wakeup_fd(wake_write, warn_on_full_buffer=False)
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: None)
    return wake_read


def watch_parent(pid):
    """A descriptor that becomes readable when the process pid has ended, None when this
    system cannot watch one. False when pid is no longer this process's parent: it ended
    before it could be watched."""
    try:
        game = os.pidfd_open(pid)
    except ProcessLookupError:
        return False
    except (AttributeError, OSError):
        return None
    if os.getppid() != pid:
        os.close(game)
        return False
    return game


def serve_until_ended(server, ends):
    """Serves on the main thread until one of the descriptors ends becomes readable."""
    with selectors.DefaultSelector() as selector:
        selector.register(server.socket, selectors.EVENT_READ)
        for fd in ends:
            selector.register(fd, selectors.EVENT_READ)
        while True:
            for key, _ in selector.select():
                if key.fileobj is not server.socket:
                    return
                server._handle_request_noblock()


def main(argv=None):
    args = parse_args(argv)
    ends = [watch_signals()]
    if args.end_with is not None:
        parent = watch_parent(args.end_with)
        if parent is False:
            return 0
        if parent is not None:
            ends.append(parent)

    store = Store(args.data, say)
    request_log = RequestLog(args.log)
    try:
        server = AdNetServer(args.port, store, args.static, Switches(args.switches),
                             request_log, args.quiet, args.test_switches)
    except OSError as error:
        say(f"cannot listen on 127.0.0.1:{args.port}: {error}")
        return 2
    print(f"listening 127.0.0.1:{server.server_address[1]}", flush=True)
    serve_until_ended(server, ends)
    return 0


if __name__ == "__main__":
    # Threads still answering (a hanging reply, a slow reader) must not hold the exit up,
    # nor a stdout whose reader has gone: every write has been made when it returns.
    os._exit(main())
