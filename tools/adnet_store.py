"""What the local ad network and score board keep between runs.

One SQLite file in the data folder holds the ad client ids the network has
handed out, the uploaded scores and the score-board accounts. Passwords are
kept only as salted PBKDF2-SHA256 hashes; the clear text never reaches the
file.
"""

import datetime
import hashlib
import hmac
import os
import secrets
import sqlite3

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


class Store:
    """Each call opens its own connection, so request threads never share one."""

    def __init__(self, data_dir):
        os.makedirs(data_dir, exist_ok=True)
        self.path = os.path.join(data_dir, DB_NAME)
        db = self._connect()
        try:
            db.executescript(_SCHEMA)
        finally:
            db.close()

    def _connect(self):
        # Several request threads may write at once; waiting beats failing.
        return sqlite3.connect(self.path, timeout=10)

    def _run(self, statement, args=()):
        db = self._connect()
        try:
            with db:
                return db.execute(statement, args).fetchall()
        finally:
            db.close()

    def client_known(self, client_id):
        return bool(self._run("SELECT 1 FROM clients WHERE id = ?", (client_id,)))

    def new_client(self):
        client_id = secrets.token_hex(8)
        self._run("INSERT INTO clients VALUES(?, ?)", (client_id, utc_now()))
        return client_id

    def add_score(self, name, score, grid_size, game, username, password):
        salt, digest, iterations = hash_password(password)
        db = self._connect()
        try:
            with db:
                cursor = db.execute(
                    "INSERT INTO scores(name, score, grid_size, game, username, password_salt,"
                    " password_hash, password_iterations, received_at)"
                    " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)",
                    (name, score, grid_size, game, username, salt, digest, iterations, utc_now()))
                return cursor.lastrowid
        finally:
            db.close()

    def top_scores(self, game, limit=20):
        """Best first; among equal scores the earlier upload ranks higher."""
        rows = self._run(
            "SELECT id, name, score, grid_size, game, username, received_at FROM scores"
            " WHERE game = ? ORDER BY score DESC, id ASC LIMIT ?", (game, limit))
        keys = ("id", "name", "score", "grid_size", "game", "username", "received_at")
        return [dict(zip(keys, row)) for row in rows]

    def verify_upload(self, row_id, password):
        rows = self._run(
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

    def verify_account(self, username, password):
        rows = self._run(
            "SELECT password_salt, password_hash, password_iterations FROM accounts"
            " WHERE username = ?", (username,))
        return bool(rows) and password_matches(password, *rows[0])


def verify_upload(data_dir, row_id, password):
    return Store(data_dir).verify_upload(row_id, password)
