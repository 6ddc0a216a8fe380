"""Submissions, kept in SQLite: in memory by default, or in a file that outlives the service.

One connection serves all request threads, under a lock; every write runs in a
``BEGIN IMMEDIATE`` transaction, so a second service process on the same file waits
for it instead of racing it. The idempotency key is a unique column: one key, one
submission, across restarts.

Times are integer microseconds since the epoch. Creation times are strictly increasing
(a submission made in the same microsecond as the previous one is dated one microsecond
later), so "created after T" pages through the listing without gaps or repeats.
"""

from __future__ import annotations

import contextlib
import json
import os
import sqlite3
import threading
import time
import uuid
from collections.abc import Callable, Iterator
from typing import Any

__all__ = ["IdempotencyConflict", "Store", "StoreUnavailable"]

_SCHEMA = """
CREATE TABLE IF NOT EXISTS submissions (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    submission_id TEXT NOT NULL UNIQUE,
    idempotency_key TEXT UNIQUE,
    fingerprint TEXT NOT NULL,
    created_us INTEGER NOT NULL,
    polls INTEGER NOT NULL DEFAULT 0,
    record TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS submissions_created ON submissions (created_us);
"""
_PAGE = 500


class IdempotencyConflict(Exception):
    """The key is already taken by a submission made from another request."""

    def __init__(self, submission_id: str):
        super().__init__(submission_id)
        self.submission_id = submission_id


class StoreUnavailable(OSError):
    """The database file cannot be opened; the message says why, in one line."""


def now_us() -> int:
    return time.time_ns() // 1000


class Store:
    """Thread-safe submission store. ``path`` None keeps everything in memory."""

    def __init__(self, path: str | None = None):
        self.path = path
        self._lock = threading.Lock()
        if path:
            folder = os.path.dirname(os.path.abspath(path))
            if not os.path.isdir(folder):
                raise StoreUnavailable(
                    f"cannot open the database {path}: folder {os.path.dirname(path) or folder} does not exist"
                )
        db = None
        try:
            db = sqlite3.connect(path or ":memory:", timeout=30.0, isolation_level=None, check_same_thread=False)
            if path:
                db.execute("PRAGMA journal_mode=WAL")
                db.execute("PRAGMA synchronous=NORMAL")
            db.executescript(_SCHEMA)
        except sqlite3.Error as exc:
            if db is not None:
                db.close()
            raise StoreUnavailable(f"cannot open the database {path}: {exc}") from None
        self._db = db

    @contextlib.contextmanager
    def _transaction(self) -> Iterator[sqlite3.Connection]:
        with self._lock:
            self._db.execute("BEGIN IMMEDIATE")
            try:
                yield self._db
            except BaseException:
                self._db.execute("ROLLBACK")
                raise
            self._db.execute("COMMIT")

    def create(
        self, key: str | None, fingerprint: str, build: Callable[[str, int], dict[str, Any]]
    ) -> tuple[dict[str, Any], bool]:
        """The submission filed under ``key``, or a new one made by ``build(id, created_us)``.

        Returns (record, replayed). Raises ``IdempotencyConflict`` when the key belongs to a
        submission with another fingerprint.
        """
        with self._transaction() as db:
            if key is not None:
                row = db.execute(
                    "SELECT submission_id, fingerprint, record FROM submissions WHERE idempotency_key = ?", (key,)
                ).fetchone()
                if row is not None:
                    if row[1] != fingerprint:
                        raise IdempotencyConflict(row[0])
                    return json.loads(row[2]), True
            last = db.execute("SELECT MAX(created_us) FROM submissions").fetchone()[0] or 0
            created = max(now_us(), last + 1)
            submission_id = f"sub_{uuid.uuid4().hex}"
            record = build(submission_id, created)
            db.execute(
                "INSERT INTO submissions (submission_id, idempotency_key, fingerprint, created_us, record) "
                "VALUES (?, ?, ?, ?, ?)",
                (submission_id, key, fingerprint, created, json.dumps(record)),
            )
            return record, False

    def poll(self, submission_id: str) -> tuple[dict[str, Any], int] | None:
        """Count one status read; the record and its poll count, or None when unknown."""
        with self._transaction() as db:
            db.execute("UPDATE submissions SET polls = polls + 1 WHERE submission_id = ?", (submission_id,))
            row = db.execute(
                "SELECT record, polls FROM submissions WHERE submission_id = ?", (submission_id,)
            ).fetchone()
        return None if row is None else (json.loads(row[0]), row[1])

    def scan(self, *, key: str | None = None, after_us: int | None = None) -> Iterator[tuple[dict[str, Any], int]]:
        """(record, polls) in creation order, read page by page."""
        where: list[str] = ["seq > ?"]
        args: list[object] = [0]
        if key is not None:
            where.append("idempotency_key = ?")
            args.append(key)
        if after_us is not None:
            where.append("created_us > ?")
            args.append(after_us)
        sql = f"SELECT seq, record, polls FROM submissions WHERE {' AND '.join(where)} ORDER BY seq LIMIT {_PAGE}"
        while True:
            with self._lock:
                rows = self._db.execute(sql, args).fetchall()
            for _, record, polls in rows:
                yield json.loads(record), polls
            if len(rows) < _PAGE:
                return
            args[0] = rows[-1][0]

    def count(self) -> int:
        with self._lock:
            return self._db.execute("SELECT COUNT(*) FROM submissions").fetchone()[0]

    def close(self) -> None:
        with self._lock:
            self._db.close()
