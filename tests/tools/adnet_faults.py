#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The local ad network and score board of tools/adnet.py with the faults tests need.

Tests start this instead of the shipped service: it serves everything the shipped
one does, and its replies can be made to fail in the ways below, at start-up
(--set KEY=VALUE, --probe-empty) and at run time through /_control. It takes the
shipped service's options as well. Nothing of this is installed.

usage: adnet_faults.py --port N [shipped options] [--probe-empty] [--set KEY=VALUE ...]

Endpoints beside the shipped ones
  GET  /_control?KEY=VALUE&...      changes switches at run time; answers JSON with all
                                    switches; reset=1 first restores the start-up switches.
                                    Refused (403) from pages of other origins
  GET  /simpleM2M/redirected        always a normal ad reply (target of ad=redirect)
  GET  /ads/broken.png, /ads/huge.gif, /ads/giant.gif
                                    made up on the fly for ad=badimage, hugeimage, giantpicture

Switches
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

So tests can check what the game sent, the request log keeps a password field's value,
as sent, as "sha256:" and the hex SHA-256 of it, and each upload keeps a salted hash of
its password (adnet_store.verify_upload checks it). The shipped service keeps neither.
"""

import contextlib
import json
import hashlib
import math
import mimetypes
import os
import random
import select
import socket
import struct
import sys
import threading
import time
import zlib
from urllib.parse import parse_qs, parse_qsl
from xml.sax.saxutils import escape

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import adnet  # noqa: E402
import adnet_pages as pages  # noqa: E402
from adnet_pages import ad_element, client_element, document  # noqa: E402
from adnet_store import Store, hash_password  # noqa: E402

SLOW_SECONDS = 2.0
SLOW_PIECES = 500
MIB = 1024 * 1024
TIB = 1024 ** 4
# Served by the image handler rather than read from the ads folder.
BROKEN_IMAGE = "broken.png"
HUGE_IMAGE = "huge.gif"
GIANT_IMAGE = "giant.gif"
RESERVED_IMAGES = (BROKEN_IMAGE, HUGE_IMAGE, GIANT_IMAGE)

AD_MODES = ("normal", "notxml", "empty", "noimage", "emptyimage", "lowercaseid", "upper",
            "twoads", "spaces", "nested", "entities", "oversized", "hang", "reset",
            "status500", "redirect", "fileurl", "jsurl", "fileimage", "ftpimage", "badimage",
            "hugeimage", "picture", "attributes", "overlength", "underlength", "hugelength",
            "cutoff", "dtdattributes", "entitytext", "longid", "commented", "giantpicture")
# Modes whose Content-Length does not tell the truth about the body that follows.
LYING_MODES = ("overlength", "underlength", "hugelength", "cutoff")
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


def _billion_laughs():
    lines = ['<!ENTITY lol0 "lol">']
    for level in range(1, 10):
        lines.append(f'<!ENTITY lol{level} "' + f"&lol{level - 1};" * 10 + '">')
    return "<!DOCTYPE response [\n" + "\n".join(lines) + "\n]>\n"


def fault_ad_reply(mode, base, ad, client_id):
    """The XML body of an ad reply for every mode whose body fits in memory."""
    client = client_element(client_id)
    if mode == "empty":
        return b'<?xml version="1.0"?><response/>\n'
    if mode == "noimage":
        return document(client, ad_element(base, ad, image=False))
    if mode == "emptyimage":
        return document(client, ad_element(base, ad, image_url=""))
    if mode == "lowercaseid":
        return document(client_element(client_id, "id"), ad_element(base, ad))
    if mode == "upper":
        return document(client, ad_element(base, ad, tag=("TEXT", "URL", "IMAGE")))
    if mode == "twoads":
        second = f"<ad><text>{escape(ad.text)} (second)</text></ad>"
        return document(client, ad_element(base, ad), second)
    if mode == "spaces":
        return document(client, ad_element(base, ad, url=f"   \n  {base}/landing/{ad.name}"))
    if mode == "entities":
        ad_xml = ad_element(base, ad).replace(escape(ad.text), "&lol9;")
        return document(client, ad_xml, doctype=_billion_laughs())
    if mode == "fileurl":
        return document(client, ad_element(base, ad, url="file:///etc/passwd"))
    if mode == "jsurl":
        return document(client, ad_element(base, ad, url="javascript:alert(1)"))
    if mode == "fileimage":
        return document(client, ad_element(base, ad, image_url="file:///etc/passwd"))
    if mode == "ftpimage":
        return document(client, ad_element(base, ad, image_url="ftp://127.0.0.1/x.gif"))
    if mode == "badimage":
        return document(client, ad_element(base, ad, image_url=f"{base}/ads/{BROKEN_IMAGE}"))
    if mode == "hugeimage":
        return document(client, ad_element(base, ad, image_url=f"{base}/ads/{HUGE_IMAGE}"))
    if mode == "giantpicture":
        return document(client, ad_element(base, ad, image_url=f"{base}/ads/{GIANT_IMAGE}"))
    if mode == "longid":
        return document(client_element("C" * 900_000), ad_element(base, ad))
    if mode == "commented":
        pairs = " ".join(f"k{i}=v{i}" for i in range(65))
        extra = f"<!-- <note {pairs}> --><![CDATA[ <note {pairs}> ]]><?note <x {pairs}> ?>"
        return document(client, extra, ad_element(base, ad).replace("<ad>", "<ad>" + extra))
    if mode == "dtdattributes":
        # 1000 default attributes land on each of 240,000 empty elements.
        defaults = " ".join(f'a{i} CDATA "v"' for i in range(1000))
        doctype = f"<!DOCTYPE response [<!ATTLIST x {defaults}>]>\n"
        return document(client, "<x/>" * 240_000, ad_element(base, ad), doctype=doctype)
    if mode == "entitytext":
        # Each entity stays under the parser's own limit; together they come to 1.3 G characters.
        doctype = '<!DOCTYPE response [<!ENTITY e "' + "A" * 4000 + '">]>\n'
        ad_xml = ad_element(base, ad).replace(escape(ad.text), "&e;" * 340_000)
        return document(client, ad_xml, doctype=doctype)
    return document(client, ad_element(base, ad))


def _png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def giant_png(side=5500):
    """A white one-bit PNG of side x side pixels in about 4 KB: small to send, huge to show."""
    row = b"\0" + b"\xff" * ((side + 7) // 8)
    header = struct.pack(">IIBBBBB", side, side, 1, 0, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + _png_chunk(b"IHDR", header)
            + _png_chunk(b"IDAT", zlib.compress(row * side, 9)) + _png_chunk(b"IEND", b""))


def _solid_lzw(pixels, min_size=8):
    """GIF LZW codes of pixels zeros: each code covers a run one longer than the last."""
    clear, end = 1 << min_size, (1 << min_size) + 1
    bits = bit_count = 0
    out = bytearray()

    def put(code, width):
        nonlocal bits, bit_count
        bits |= code << bit_count
        bit_count += width
        while bit_count >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            bit_count -= 8

    width, next_code = min_size + 1, end + 1
    put(clear, width)
    while pixels:
        run = min(pixels, next_code - end)
        put(0 if run == 1 else end + run - 1, width)
        pixels -= run
        next_code += 1
        if next_code == 1 << width and width < 12:
            width += 1
        if next_code >= 4000:
            put(clear, width)
            width, next_code = min_size + 1, end + 1
    put(end, width)
    if bit_count:
        out.append(bits & 0xFF)
    data = bytes(out)
    return b"".join(bytes([len(data[i:i + 255])]) + data[i:i + 255]
                    for i in range(0, len(data), 255)) + b"\0"


def giant_gif(side=3000, frames=4, delay=0):
    """A looping side x side GIF whose frames all ask for the same delay, in hundredths of a second."""
    palettes = (b"\xff\x00\x00", b"\x00\xff\x00", b"\x00\x00\xff", b"\xff\xff\x00")
    body = (b"GIF89a" + struct.pack("<HHBBB", side, side, 0, 0, 0)
            + b"\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00")
    image = _solid_lzw(side * side)
    for frame in range(frames):
        colours = palettes[frame % len(palettes)] + b"\0" * (3 * 255)
        body += (b"\x21\xf9\x04\x00" + struct.pack("<H", delay) + b"\x00\x00" + b"\x2c"
                 + struct.pack("<HHHHB", 0, 0, side, side, 0x87) + colours + b"\x08" + image)
    return body + b"\x3b"


def nested_reply(depth):
    return ('<?xml version="1.0"?>\n<response>' + "<a>" * depth + "</a>" * depth
            + "</response>\n").encode("ascii")


def attributes_reply(count):
    """One client element carrying count attributes, the kind of tag that costs a naive
    parser time quadratic in its size."""
    attributes = " ".join(f'a{i}="{i}"' for i in range(count))
    return ('<?xml version="1.0"?>\n<response><client Id="x" ' + attributes
            + "/></response>\n").encode("ascii")


def oversized_reply(base, ad, client_id, total_bytes, chunk=64 * 1024):
    """A well-formed ad whose text is padded so the body is exactly total_bytes.

    Returned as (length, chunks) so the server never holds it in memory."""
    head = ('<?xml version="1.0" encoding="UTF-8"?>\n<response>' + client_element(client_id)
            + "<ad><text>").encode("utf-8")
    tail = (f"</text><url>{escape(base)}/landing/{ad.name}</url>"
            f"<image>{escape(base)}/ads/{ad.file_name}</image></ad></response>\n").encode("utf-8")
    padding = max(0, total_bytes - len(head) - len(tail))

    def chunks():
        yield head
        left = padding
        while left > 0:
            size = min(chunk, left)
            yield b"A" * size
            left -= size
        yield tail

    return len(head) + padding + len(tail), chunks()



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


class FaultStore(Store):
    """The shipped store, which also keeps a salted hash of each upload's password."""

    def keep_password(self, row, password):
        salt, digest, iterations = hash_password(password)
        self._run("UPDATE scores SET password_salt = ?, password_hash = ?, password_iterations = ?"
                  " WHERE id = ?", (salt, digest, iterations, row))


class FaultServer(adnet.AdNetServer):
    def __init__(self, port, store, static_dir, request_log, quiet, switches):
        self.switches = switches
        super().__init__(port, store, static_dir, request_log, quiet, FaultHandler)
        self._aborted = set()
        self._aborted_lock = threading.Lock()

    def scan_ads(self):
        return pages.scan_ads(os.path.join(self.static_dir, "ads"), RESERVED_IMAGES)

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


class FaultHandler(adnet.Handler):
    def _serve(self):
        # A request in the log is held if the switch said so when it was logged, so a test
        # that sees it there and then releases it never races the hold.
        switches = self.server.switches.snapshot()
        self.held = {target for target, mode in switches.items() if mode == "hold"}
        super()._serve()

    def _changes_state(self, path):
        return super()._changes_state(path) or path == "/_control"

    @staticmethod
    def _masked(body):
        return adnet._mask_passwords(body, lambda value: b"sha256:" + hashlib.sha256(value).hexdigest().encode("ascii"))

    def _route(self, path):
        get = self.command in ("GET", "HEAD")
        if get and path == "/_control":
            self._control()
        elif get and path == "/simpleM2M/redirected":
            self._ad("normal")
        else:
            super()._route(path)

    # Replies

    def _send(self, status, content_type, body, headers=(), slow=False):
        if not slow:
            super()._send(status, content_type, body, headers)
            return
        length, chunks = (len(body), (body,)) if isinstance(body, bytes) else body
        head = self._head(status, content_type, length, headers)
        self._trickle(head + (b"" if self.command == "HEAD" else b"".join(chunks)))

    def _trickle(self, data):
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        piece = max(1, math.ceil(len(data) / SLOW_PIECES))
        pieces = math.ceil(len(data) / piece)
        for offset in range(0, len(data), piece):
            self.wfile.write(data[offset:offset + piece])
            time.sleep(SLOW_SECONDS / pieces)

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
        self.wfile.write(self._head(200, "text/xml", claimed))
        if mode == "cutoff":
            self.wfile.write(body[:len(body) // 2])
            self._reset()
        else:
            self.wfile.write(body)

    def _reset(self):
        self.replied = True
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.server.abort(self.connection)

    def _answer(self, target, content_type, body):
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
        if parse_qs(self.query).get("pageid") == ["18"]:
            self._pause("probe_delay_ms")
        super()._probe()

    def _logo(self):
        self._pause("logo_delay_ms")
        logo = os.path.join(self.server.static_dir, "quillon_logo.png")
        switches = self.server.switches.snapshot()
        if switches["logo"] == "huge":
            self._send(200, "image/gif", _huge_gif(switches["hugeimage_mib"] * MIB),
                       slow=self._is_slow("logo"))
            return
        if switches["logo"] == "giant":
            self._send(200, "image/png", giant_png(), slow=self._is_slow("logo"))
            return
        if switches["logo"] == "missing" or not os.path.isfile(logo):
            self._text(404, "no logo\n")
            return
        with open(logo, "rb") as file:
            self._send(200, "image/png", file.read(), slow=self._is_slow("logo"))

    def _ad(self, mode=None):
        mode = mode or self.server.switches.snapshot()["ad"]
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
            self._send(200, "text/xml", nested_reply(switches["nested_depth"]), slow=slow)
        elif mode == "redirect":
            location = f"{base}/simpleM2M/redirected" + (f"?{self.query}" if self.query else "")
            self._send(302, "text/plain; charset=utf-8", b"moved\n",
                       headers=[f"Location: {location}"], slow=slow)
        elif mode == "attributes":
            self._send(200, "text/xml", attributes_reply(switches["attribute_count"]), slow=slow)
        elif mode == "picture":
            ad = self.server.next_ad()
            self._serve_file(os.path.join(self.server.static_dir, "ads", ad.file_name),
                             ad.file_name, slow)
        elif mode in LYING_MODES:
            document = fault_ad_reply("normal", base, self.server.next_ad(), self._client_id())
            self._send_lying(mode, document)
        elif mode == "oversized":
            body = oversized_reply(base, self.server.next_ad(), self._client_id(),
                                   switches["oversized_mib"] * MIB)
            self._send(200, "text/xml", body, slow=slow)
        else:
            document = fault_ad_reply(mode, base, self.server.next_ad(), self._client_id())
            self._send(500 if mode == "status500" else 200, "text/xml", document, slow=slow)

    def _image(self, name):
        self._pause("image_delay_ms")
        switches = self.server.switches.snapshot()
        slow = self._is_slow("image")
        if switches["image"] == "missing":
            self._text(404, "no such picture\n")
        elif switches["image"] == "xml":
            document = fault_ad_reply("normal", self.server.base_url, self.server.next_ad(), "")
            self._send(200, "text/xml", document, slow=slow)
        elif name == BROKEN_IMAGE:
            self._send(200, "image/png", b"\0not a picture\0" + random.randbytes(4096), slow=slow)
        elif name == GIANT_IMAGE:
            self._send(200, "image/gif", giant_gif(), slow=slow)
        elif name == HUGE_IMAGE:
            self._send(200, "image/gif", _huge_gif(switches["hugeimage_mib"] * MIB), slow=slow)
        elif name and "/" not in name and not name.startswith("."):
            self._serve_file(os.path.join(self.server.static_dir, "ads", name), name, slow)
        else:
            self._text(404, "no such picture\n")

    def _serve_file(self, path, name, slow=False):
        if not slow or not os.path.isfile(path):
            super()._serve_file(path, name)
            return
        with open(path, "rb") as data:
            self._send(200, mimetypes.guess_type(name)[0] or "application/octet-stream", data.read(), slow=True)

    def _record(self, fields, username):
        row = super()._record(fields, username)
        self.server.store.keep_password(row, fields.get("password", ""))
        return row

    def _upload(self):
        if self.server.switches.snapshot()["upload"] == "redirect" and not self.query:
            if not adnet._upload_problem(self.fields):
                self._answer("upload", "text/plain; charset=utf-8", b"OK\n")
                return
        super()._upload()


def main(argv=None):
    parser = adnet.argument_parser(__doc__)
    parser.add_argument("--probe-empty", action="store_true", help="same as --set probe=empty")
    parser.add_argument("--set", action="append", default=[], metavar="KEY=VALUE",
                        help="start-up value of a switch; may be repeated")
    args = parser.parse_args(argv)
    start = dict(DEFAULT_SWITCHES)
    settings = [("probe", "empty")] if args.probe_empty else []
    settings += [tuple(item.split("=", 1)) if "=" in item else (item, "") for item in args.set]
    try:
        start.update({k: parse_switch(k, v) for k, v in settings})
    except ValueError as error:
        parser.error(str(error))
    switches = Switches(start)
    return adnet.run(args, lambda store, log: FaultServer(args.port, store, args.static, log, args.quiet, switches),
                     FaultStore)


if __name__ == "__main__":
    # Threads still answering (a hanging reply, a slow reader) must not hold the exit up,
    # nor a stdout whose reader has gone: every write has been made when it returns.
    os._exit(main())
