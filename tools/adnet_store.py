# SPDX-License-Identifier: GPL-3.0-or-later
"""What the local ad network and score board keep between runs.

One SQLite file in the data folder holds the network's key for its client ids,
the uploaded scores and the score-board accounts. A client id carries its own
proof that this network made it, so an ad request writes nothing: no page that
sends requests here can grow the file. Account passwords are kept only as
salted PBKDF2-SHA256 hashes; the clear text never reaches the file, and an
upload keeps no password material at all. The folder (0700) and the file (0600)
are their user's alone.

User names follow one rule everywhere: surrounding whitespace is not part of a
name, and two names that differ only in case (or in Unicode compatibility
forms) are the same name. Names are shown as they were typed.

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
import unicodedata

DB_NAME = "adnet.sqlite3"
PBKDF2_ITERATIONS = 120_000
SALT_BYTES = 16
# A client id: random hex, then as many hex digits of its HMAC under the network's key.
CLIENT_ID_HEX = 16
# Worked out for an upload under a name without an account, so both take the same time.
_NO_ACCOUNT = (bytes(SALT_BYTES), b"", PBKDF2_ITERATIONS)

_SCHEMA = """
CREATE TABLE IF NOT EXISTS clients(
    id TEXT PRIMARY KEY,
    created_at TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS network(
    name TEXT PRIMARY KEY,
    value BLOB NOT NULL);
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


def name_key(name):
    """What two user names must share to be the same name."""
    return unicodedata.normalize("NFKC", name).strip().casefold()


class AccountExists(Exception):
    pass


class PasswordRefused(Exception):
    """The name is an account's and the password is not its password."""


class StoreUnavailable(Exception):
    """The score board's storage is off, or failed for this request."""


# SQLite's result codes for a file that is no (longer a sound) database.
_SQLITE_CORRUPT = 11
_SQLITE_NOTADB = 26
_COLUMNS = {"clients": ["id", "created_at"], "network": ["name", "value"],
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
        # Without storage the key lasts for the run, and so do the ids made with it.
        self._client_key = secrets.token_bytes(32)
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
            self._client_key = self._stored_client_key()
        except (OSError, sqlite3.Error, Damaged, StoreUnavailable) as error:
            self.available = False
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
        db = sqlite3.connect(self.path, timeout=10)
        db.create_function("name_key", 1, name_key, deterministic=True)
        return db

    def _stored_client_key(self):
        """The key kept from the first run on, so ids stay known across restarts."""
        self._run("INSERT OR IGNORE INTO network VALUES('client_key', ?)", (self._client_key,))
        return self._run("SELECT value FROM network WHERE name = 'client_key'")[0][0][0]

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

    def _client_proof(self, nonce):
        return hmac.new(self._client_key, nonce.encode("ascii"), "sha256").hexdigest()[:CLIENT_ID_HEX]

    def client_known(self, client_id):
        """Whether this network made the id: signed with its key, or kept by an earlier
        version of the service, which wrote each id it handed out."""
        nonce, proof = client_id[:CLIENT_ID_HEX], client_id[CLIENT_ID_HEX:]
        if len(client_id) == 2 * CLIENT_ID_HEX and client_id.isascii():
            return hmac.compare_digest(proof, self._client_proof(nonce))
        try:
            return bool(self._run("SELECT 1 FROM clients WHERE id = ?", (client_id,))[0])
        except StoreUnavailable:
            return False

    def new_client(self):
        """A new client id; nothing is written for it."""
        nonce = secrets.token_hex(CLIENT_ID_HEX // 2)
        return nonce + self._client_proof(nonce)

    def add_score(self, name, score, grid_size, game, username):
        """Stores an upload, without any password material: an account's password is
        checked (upload_name) and kept with the account only."""
        return self._run(
            "INSERT INTO scores(name, score, grid_size, game, username, password_salt,"
            " password_hash, password_iterations, received_at)"
            " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (name, score, grid_size, game, username, b"", b"", 0, utc_now()))[1]

    def top_scores(self, game, limit=20):
        """Best first; among equal scores the earlier upload ranks higher."""
        rows, _ = self._run(
            "SELECT id, name, score, grid_size, game, username, received_at FROM scores"
            " WHERE game = ? ORDER BY score DESC, id ASC LIMIT ?", (game, limit))
        keys = ("id", "name", "score", "grid_size", "game", "username", "received_at")
        return [dict(zip(keys, row)) for row in rows]

    def verify_upload(self, row_id, password):
        """Whether password opens the upload: its account's password, or the password an
        earlier version of the service kept with the upload itself."""
        rows, _ = self._run(
            "SELECT username, password_salt, password_hash, password_iterations FROM scores WHERE id = ?",
            (row_id,))
        if not rows:
            return False
        username, *kept = rows[0]
        if kept[2]:
            return password_matches(password, *kept)
        account = self.account(username)
        return account is not None and password_matches(password, *account[1:])

    def create_account(self, username, password):
        """Opens an account under username, as typed less surrounding whitespace; refused
        (AccountExists) when that name, by the one rule for names, has one already."""
        username = username.strip()
        salt, digest, iterations = hash_password(password)
        if not self.available:
            raise StoreUnavailable("the score board's storage is off")
        try:
            db = self._connect()
            try:
                # The check and the insert in one write transaction: two sign-ups at once
                # under "Ann" and "ann" cannot both pass the check.
                db.execute("BEGIN IMMEDIATE")
                if db.execute("SELECT 1 FROM accounts WHERE name_key(username) = ?",
                              (name_key(username),)).fetchall():
                    raise AccountExists(username)
                db.execute("INSERT INTO accounts VALUES(?, ?, ?, ?, ?)",
                           (username, salt, digest, iterations, utc_now()))
                db.commit()
            finally:
                db.close()
        except sqlite3.IntegrityError:
            raise AccountExists(username) from None
        except sqlite3.Error as error:
            raise StoreUnavailable(str(error)) from None

    def account(self, username):
        """The account username names as (name as registered, salt, digest, iterations),
        None without one. An earlier version could register names that differ only in case;
        the one spelled as given comes first, then the oldest."""
        rows, _ = self._run(
            "SELECT username, password_salt, password_hash, password_iterations FROM accounts"
            " WHERE name_key(username) = ? ORDER BY username = ? DESC, created_at, rowid LIMIT 1",
            (name_key(username), username.strip()))
        return rows[0] if rows else None

    def account_password(self, username):
        """The stored hash of an account as (salt, digest, iterations), None without one."""
        account = self.account(username)
        return account[1:] if account else None

    def verify_account(self, username, password):
        stored = self.account_password(username)
        return stored is not None and password_matches(password, *stored)

    def upload_name(self, username, password):
        """The name an upload under username is listed with: the account's name as registered
        when there is one and password is its password (PasswordRefused when it is not),
        else username as typed less surrounding whitespace. A name with an account and one
        without cost the same: one password hash each."""
        username = username.strip()
        if not username:
            return ""
        account = self.account(username)
        matches = password_matches(password, *(account[1:] if account else _NO_ACCOUNT))
        if account is None:
            return username
        if not matches:
            raise PasswordRefused(username)
        return account[0]

def _reason(error):
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error)


def verify_upload(data_dir, row_id, password):
    return Store(data_dir).verify_upload(row_id, password)
