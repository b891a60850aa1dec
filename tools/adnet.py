#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Local Quillon ad network and Tamboro score board.

Stands in for the outside services so the whole game runs on this machine.
Listens on 127.0.0.1 only and prints "listening 127.0.0.1:PORT" as its first
line on stdout (with --port 0 the system picks a free port). What it did about
its data folder, and why it cannot listen, goes to stderr.

usage: adnet.py --port N [--log FILE] [--data DIR] [--static DIR] [--end-with PID] [--quiet]

It takes orders only from the game: a request whose Host is not 127.0.0.1:PORT
or localhost:PORT is refused with 421; a POST whose Origin or Referer names
another origin is refused with 403; either changes nothing. A GET writes
nothing, so no web page the player has open can grow the database.
With --end-with PID it ends when the process PID (its parent, the game) ends.
SIGTERM and SIGINT end it; however many arrive, they only wake its main loop.

Endpoints
  GET  /content.asp?pageid=18       connection probe: a small page
  GET  /quillon_logo.png            the network logo, STATIC/quillon_logo.png
  GET  /simpleM2M/clientRequestAd   XML ad reply; assigns or echoes the client id "cid"
                                    and rotates through the pictures in STATIC/ads/
  GET  /ads/FILE                    ad pictures
  GET  /landing/NAME                landing page of an ad
  POST /scores/upload.php           score upload form (name, score, gridSize, game,
                                    username, password); answers "OK". A score is a
                                    whole number from 0 to 2147483647 (400 otherwise);
                                    under a registered user name only with its password
                                    (403 otherwise); 503 while nothing can be stored
  GET  /highscores/GAME             top scores of GAME (the game uses "tamboro")
  GET  /highscores/createaccount/   account form; POST creates the account
  GET  /store/kelto                 "More Games" page of the developer
  anything else                     404

User names are one name whatever their surrounding whitespace and case: an
upload under a variant of a registered name needs that name's password.

Request log (--log FILE): one JSON object per line and request, written before
the reply: {"method", "path", "query" (raw, undecoded), "headers" (as received),
"form" (decoded fields of a form post without "password", else null), "body" (the
raw body as Latin-1 text with the value of any "password" field left out; null
without a body), "time"}. Passwords are never logged, printed or stored in clear,
and the log keeps nothing worked out from them.
"""

import argparse
import json
import mimetypes
import os
import re
import selectors
import signal
import sys
import threading
import traceback
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, parse_qsl, unquote_plus, urlsplit

import adnet_pages as pages
from adnet_store import AccountExists, PasswordRefused, Store, StoreUnavailable, utc_now

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
# What the request log keeps of a password.
WITHHELD = b"(withheld)"


def say(text):
    """Tells the user on stderr; a stderr that cannot be written (a full disk) costs only
    the message."""
    try:
        print(f"adnet: {text}", file=sys.stderr, flush=True)
    except OSError:
        pass


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
    # A slow reader must never hold up the service's end.
    daemon_threads = True
    block_on_close = False

    def __init__(self, port, store, static_dir, request_log, quiet, handler=None):
        super().__init__(("127.0.0.1", port), handler or Handler)
        # Accepted only when the main loop has seen a connection waiting; a client that
        # gave up in between must not leave the loop stuck in accept().
        self.socket.setblocking(False)
        self.store = store
        self.static_dir = static_dir
        self.request_log = request_log
        self.quiet = quiet
        self.ads = self.scan_ads()
        self._next_ad = 0
        self._ad_lock = threading.Lock()

    def scan_ads(self):
        return pages.scan_ads(os.path.join(self.static_dir, "ads"))

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
        return self.command not in ("GET", "HEAD")

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
            "body": None if body is None else self._masked(body).decode("latin-1"), "time": utc_now()})

    @staticmethod
    def _masked(body):
        """The body with the value of any password field left out."""
        return _mask_passwords(body, lambda value: WITHHELD)

    def _route(self, path):
        get = self.command in ("GET", "HEAD")
        if get and path == "/content.asp":
            self._probe()
        elif get and path == "/quillon_logo.png":
            self._logo()
        elif get and path == "/simpleM2M/clientRequestAd":
            self._ad()
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

    def _head(self, status, content_type, length, headers=()):
        """The reply's status line and headers, once it is logged as sent."""
        self.replied = True
        lines = [f"HTTP/1.0 {status} {self.responses.get(status, ('',))[0]}",
                 f"Server: {self.version_string()}", f"Date: {self.date_time_string()}",
                 f"Content-Type: {content_type}", f"Content-Length: {length}",
                 "Connection: close", *headers]
        self.log_request(status, length)
        return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")

    def _send(self, status, content_type, body, headers=()):
        """body is bytes or (length, iterable of bytes) for replies too big to hold."""
        length, chunks = (len(body), (body,)) if isinstance(body, bytes) else body
        self.wfile.write(self._head(status, content_type, length, headers))
        if self.command == "HEAD":
            return
        for chunk in chunks:
            self.wfile.write(chunk)

    def _text(self, status, text):
        self._send(status, "text/plain; charset=utf-8", text.encode("utf-8"))

    def _html(self, body, status=200):
        self._send(status, "text/html; charset=utf-8", body)

    def _answer(self, target, content_type, body):
        """The reply of the probe ("probe") or of a stored upload ("upload")."""
        self._send(200, content_type, body)

    # Endpoints

    def _probe(self):
        if parse_qs(self.query).get("pageid") != ["18"]:
            self._text(404, "no such page\n")
            return
        self._answer("probe", "text/html; charset=utf-8", pages.probe_page())

    def _logo(self):
        logo = os.path.join(self.server.static_dir, "quillon_logo.png")
        if not os.path.isfile(logo):
            self._text(404, "no logo\n")
            return
        with open(logo, "rb") as file:
            self._send(200, "image/png", file.read())

    def _client_id(self):
        cid = parse_qs(self.query, keep_blank_values=True).get("cid", [""])[-1]
        store = self.server.store
        # An id this network never handed out is replaced, as a real network would.
        return cid if cid and store.client_known(cid) else store.new_client()

    def _ad(self):
        document = pages.ad_reply(self.server.base_url, self.server.next_ad(), self._client_id())
        self._send(200, "text/xml", document)

    def _image(self, name):
        if name and "/" not in name and not name.startswith("."):
            self._serve_file(os.path.join(self.server.static_dir, "ads", name), name)
        else:
            self._text(404, "no such picture\n")

    def _serve_file(self, path, name):
        if not os.path.isfile(path):
            self._text(404, "no such picture\n")
            return
        content_type = mimetypes.guess_type(name)[0] or "application/octet-stream"
        with open(path, "rb") as data:
            self._send(200, content_type, data.read())

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
        store = self.server.store
        try:
            username = store.upload_name(fields.get("username", ""), fields.get("password", ""))
        except PasswordRefused:
            self._text(403, "wrong password for this user name\n")
            return
        self._record(fields, username)
        self._answer("upload", "text/plain; charset=utf-8", b"OK\n")

    def _record(self, fields, username):
        """Stores an accepted upload under username; its row id."""
        return self.server.store.add_score(fields.get("name", ""), int(fields["score"]),
                                           int(fields["gridSize"]), fields["game"], username)

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


def _mask_passwords(body, replace):
    """The body with the value of any password field replaced by replace(value)."""
    pieces = []
    for piece in body.split(b"&"):
        name, equals, value = piece.partition(b"=")
        if equals and unquote_plus(name.decode("latin-1")).lower() == "password":
            piece = name + b"=" + replace(value)
        pieces.append(piece)
    return b"&".join(pieces)


def default_data_dir():
    root = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local",
                                                           "share")
    return os.path.join(root, "tamboro-local-service")


def argument_parser(description=__doc__):
    parser = argparse.ArgumentParser(description=description,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, required=True, help="port on 127.0.0.1; 0 picks one")
    parser.add_argument("--log", help="append one JSON line per request to this file")
    parser.add_argument("--data", default=default_data_dir(),
                        help="folder of the database (default: %(default)s)")
    parser.add_argument("--static", default=os.path.join(HERE, "static"),
                        help="folder of the logo and ads/ (default: %(default)s)")
    parser.add_argument("--quiet", action="store_true", help="no access log on stderr")
    parser.add_argument("--end-with", type=int, metavar="PID",
                        help="end when the process PID, this one's parent, ends")
    return parser


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


def run(args, make_server, store_class=Store):
    """Serves as args say until told to end; make_server(store, request_log) builds the
    server. The exit status."""
    ends = [watch_signals()]
    if args.end_with is not None:
        parent = watch_parent(args.end_with)
        if parent is False:
            return 0
        if parent is not None:
            ends.append(parent)

    store = store_class(args.data, say)
    request_log = RequestLog(args.log)
    try:
        server = make_server(store, request_log)
    except OSError as error:
        say(f"cannot listen on 127.0.0.1:{args.port}: {error}")
        return 2
    print(f"listening 127.0.0.1:{server.server_address[1]}", flush=True)
    serve_until_ended(server, ends)
    return 0


def main(argv=None):
    args = argument_parser().parse_args(argv)
    return run(args, lambda store, log: AdNetServer(args.port, store, args.static, log, args.quiet))


if __name__ == "__main__":
    # Threads still answering (a slow reader) must not hold the exit up, nor a stdout whose
    # reader has gone: every write has been made when it returns.
    os._exit(main())
