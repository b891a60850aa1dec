# SPDX-License-Identifier: GPL-3.0-or-later
"""What the local ad network and score board keep between runs.

One SQLite file in the data folder holds the ad client ids the network has
handed out, the uploaded scores and the score-board accounts. Passwords are
kept only as salted PBKDF2-SHA256 hashes; the clear text never reaches the
file. The folder (0700) and the file (0600) are their user's alone.

Whatever the folder holds, the service starts: a damaged database is renamed
(never deleted) and a new one begun; a folder that cannot be used turns the
score board's storage off, and client ids are then kept in memory for the run.
"""

import datetime
import errno
import hashlib
import hmac
import os
import secrets
import sqlite3
import threading

DB_NAME = "adnet.sqlite3"
PBKDF2_ITERATIONS = 120_000
SALT_BYTES = 16

_SCHEMA = """
CREATE TABLE IF NOT EXISTS clients(
    id TEXT PRIMARY KEY,
    created_at TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS scores(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    name TEXT NOT NULL,
    score INTEGER NOT NULL,
    grid_size INTEGER NOT NULL,
    game TEXT NOT NULL,
    username TEXT NOT NULL,
    password_salt BLOB NOT NULL,
    password_hash BLOB NOT NULL,
    password_iterations INTEGER NOT NULL,
    received_at TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS accounts(
    username TEXT PRIMARY KEY,
    password_salt BLOB NOT NULL,
    password_hash BLOB NOT NULL,
    password_iterations INTEGER NOT NULL,
    created_at TEXT NOT NULL);
"""


def utc_now():
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds")


def hash_password(password, salt=None, iterations=PBKDF2_ITERATIONS):
    salt = secrets.token_bytes(SALT_BYTES) if salt is None else salt
    digest = hashlib.pbkdf2_hmac("sha256", password.encode("utf-8"), salt, iterations)
    return salt, digest, iterations


def password_matches(password, salt, digest, iterations):
    _, candidate, _ = hash_password(password, salt, iterations)
    return hmac.compare_digest(candidate, digest)


class AccountExists(Exception):
    pass


class StoreUnavailable(Exception):
    """The score board's storage is off, or failed for this request."""


# SQLite's result codes for a file that is no (longer a sound) database.
_SQLITE_CORRUPT = 11
_SQLITE_NOTADB = 26
_COLUMNS = {"clients": ["id", "created_at"],
            "scores": ["id", "name", "score", "grid_size", "game", "username", "password_salt",
                       "password_hash", "password_iterations", "received_at"],
            "accounts": ["username", "password_salt", "password_hash", "password_iterations",
                         "created_at"]}
# Files SQLite keeps beside the database; they belong to it and move with it.
_COMPANIONS = ("", "-journal", "-wal", "-shm")


class Damaged(Exception):
    pass


class Store:
    """Each call opens its own connection, so request threads never share one.

    say(text) tells the user what the store did about its folder (moved a damaged
    database aside, turned the storage off)."""

    def __init__(self, data_dir, say=lambda text: None):
        self.path = os.path.join(data_dir, DB_NAME)
        self.available = False
        self._memory_clients = set()
        self._memory_lock = threading.Lock()
        try:
            self._prepare_folder(data_dir)
            try:
                self._open()
            except Damaged as damage:
                aside = self._move_aside()
                say(f"the database {self.path} was damaged ({damage}); it was moved to {aside}"
                    " and a new one begun")
                self._open()
            self.available = True
        except (OSError, sqlite3.Error, Damaged) as error:
            say(f"cannot keep scores and accounts in {data_dir} ({_reason(error)}); ads are"
                " served, the score board stores nothing in this run")

    @staticmethod
    def _prepare_folder(data_dir):
        try:
            os.makedirs(data_dir, mode=0o700, exist_ok=True)
        except FileExistsError:
            raise NotADirectoryError(errno.ENOTDIR, "a file stands where the folder belongs",
                                     data_dir) from None
        if os.stat(data_dir).st_mode & 0o077:
            os.chmod(data_dir, 0o700)

    def _open(self):
        try:
            fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        except IsADirectoryError:
            raise Damaged("a folder stands in its place") from None
        try:
            if os.fstat(fd).st_mode & 0o077:
                os.fchmod(fd, 0o600)
        finally:
            os.close(fd)
        db = self._connect()
        try:
            checked = db.execute("PRAGMA quick_check").fetchall()
            if checked != [("ok",)]:
                raise Damaged(checked[0][0] if checked else "no answer to a check")
            db.executescript(_SCHEMA)
            for table, columns in _COLUMNS.items():
                found = [row[1] for row in db.execute(f"PRAGMA table_info({table})")]
                if found != columns:
                    raise Damaged(f"its table {table} is not the one this service keeps")
            # Reading is not enough: a read-only folder or a full disk fails only on a write.
            db.execute("BEGIN IMMEDIATE")
            db.execute("CREATE TABLE write_probe(x)")
            db.rollback()
        except sqlite3.DatabaseError as error:
            if getattr(error, "sqlite_errorcode", 0) & 0xFF in (_SQLITE_CORRUPT, _SQLITE_NOTADB):
                raise Damaged(str(error)) from None
            raise
        finally:
            db.close()

    def _move_aside(self):
        stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%dT%H%M%SZ")
        aside, number = f"{self.path}.damaged-{stamp}", 1
        while any(os.path.lexists(aside + suffix) for suffix in _COMPANIONS):
            number += 1
            aside = f"{self.path}.damaged-{stamp}-{number}"
        # A journal left behind would be played back into the new database.
        for suffix in _COMPANIONS:
            if os.path.lexists(self.path + suffix):
                os.rename(self.path + suffix, aside + suffix)
        return aside

    def _connect(self):
        # Several request threads may write at once; waiting beats failing.
        return sqlite3.connect(self.path, timeout=10)

    def _run(self, statement, args=()):
        if not self.available:
            raise StoreUnavailable("the score board's storage is off")
        try:
            db = self._connect()
            try:
                with db:
                    cursor = db.execute(statement, args)
                    return cursor.fetchall(), cursor.lastrowid
            finally:
                db.close()
        except sqlite3.IntegrityError:
            raise
        except sqlite3.Error as error:
            raise StoreUnavailable(str(error)) from None

    def client_known(self, client_id):
        try:
            return bool(self._run("SELECT 1 FROM clients WHERE id = ?", (client_id,))[0])
        except StoreUnavailable:
            with self._memory_lock:
                return client_id in self._memory_clients

    def new_client(self):
        """A new client id; without storage it is remembered for this run only."""
        client_id = secrets.token_hex(8)
        try:
            self._run("INSERT INTO clients VALUES(?, ?)", (client_id, utc_now()))
        except StoreUnavailable:
            with self._memory_lock:
                self._memory_clients.add(client_id)
        return client_id

    def add_score(self, name, score, grid_size, game, username, password):
        salt, digest, iterations = hash_password(password)
        return self._run(
            "INSERT INTO scores(name, score, grid_size, game, username, password_salt,"
            " password_hash, password_iterations, received_at)"
            " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (name, score, grid_size, game, username, salt, digest, iterations, utc_now()))[1]

    def top_scores(self, game, limit=20):
        """Best first; among equal scores the earlier upload ranks higher."""
        rows, _ = self._run(
            "SELECT id, name, score, grid_size, game, username, received_at FROM scores"
            " WHERE game = ? ORDER BY score DESC, id ASC LIMIT ?", (game, limit))
        keys = ("id", "name", "score", "grid_size", "game", "username", "received_at")
        return [dict(zip(keys, row)) for row in rows]

    def verify_upload(self, row_id, password):
        rows, _ = self._run(
            "SELECT password_salt, password_hash, password_iterations FROM scores WHERE id = ?",
            (row_id,))
        return bool(rows) and password_matches(password, *rows[0])

    def create_account(self, username, password):
        salt, digest, iterations = hash_password(password)
        try:
            self._run("INSERT INTO accounts VALUES(?, ?, ?, ?, ?)",
                      (username, salt, digest, iterations, utc_now()))
        except sqlite3.IntegrityError:
            raise AccountExists(username) from None

    def account_password(self, username):
        """The stored hash of an account as (salt, digest, iterations), None without one."""
        rows, _ = self._run(
            "SELECT password_salt, password_hash, password_iterations FROM accounts"
            " WHERE username = ?", (username,))
        return rows[0] if rows else None

    def verify_account(self, username, password):
        stored = self.account_password(username)
        return stored is not None and password_matches(password, *stored)

    def password_refused(self, username, password):
        """Whether username is an account and password is not its password."""
        stored = self.account_password(username)
        return stored is not None and not password_matches(password, *stored)


def _reason(error):
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error)


def verify_upload(data_dir, row_id, password):
    return Store(data_dir).verify_upload(row_id, password)
