"""The document store: a SQLite database beside the index keeping every
document's reference and field texts, and the SHA-256 of the index file it
was written with.

    meta(key TEXT PRIMARY KEY, value TEXT)       -- format, index_sha256, ...
    documents(ref TEXT PRIMARY KEY, fields TEXT) -- fields: a JSON object

The index format carries no checksum; the store's digest is what lets
`vrim info` and `vrim search` tell that the index is the one the texts
belong to, byte for byte.
"""

from __future__ import annotations

import datetime
import hashlib
import json
import os
import pathlib
import sqlite3
import threading
from collections.abc import Iterable

from .errors import CliError

FORMAT = "vrim-store 1"
_SCHEMA = """
CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE documents (ref TEXT PRIMARY KEY, fields TEXT NOT NULL);
"""


def default_path(index_path: str) -> str:
    return index_path + ".db"


def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def write(path: str, documents: Iterable[tuple[str, dict[str, str]]],
          meta: dict[str, str]) -> None:
    """Creates a new store at `path` (which must not exist) in one
    transaction."""
    connection = sqlite3.connect(path, isolation_level=None)
    try:
        connection.executescript(_SCHEMA)
        connection.execute("BEGIN")
        created = datetime.datetime.now(datetime.timezone.utc).isoformat(
            timespec="seconds")
        connection.executemany("INSERT INTO meta VALUES (?, ?)", [
            ("format", FORMAT), ("created", created), *meta.items()])
        connection.executemany(
            "INSERT OR REPLACE INTO documents VALUES (?, ?)",
            ((ref, json.dumps(fields, ensure_ascii=False)) for ref, fields in documents))
        connection.execute("COMMIT")
    finally:
        connection.close()
    with open(path, "rb+") as f:
        os.fsync(f.fileno())


def is_store(path: str) -> bool:
    """Whether `path` is a store written by `vrim build`."""
    try:
        with Store(path) as store:
            return store.meta.get("format") == FORMAT
    except CliError:
        return False


class Store:
    """A store opened read-only. The connection is made per thread, since a
    SQLite connection must stay on the thread that made it."""

    def __init__(self, path: str) -> None:
        self.path = path
        self._local = threading.local()
        try:
            rows = self._connection().execute("SELECT key, value FROM meta").fetchall()
        except sqlite3.Error as e:
            raise CliError(f"{path}: not a document store: {e}") from None
        self.meta: dict[str, str] = dict(rows)
        if self.meta.get("format") != FORMAT:
            raise CliError(f"{path}: not a document store written by vrim build")

    def _connection(self) -> sqlite3.Connection:
        connection: sqlite3.Connection | None = getattr(self._local, "connection", None)
        if connection is None:
            uri = pathlib.Path(self.path).resolve().as_uri() + "?mode=ro"
            connection = sqlite3.connect(uri, uri=True)
            self._local.connection = connection
        return connection

    def __enter__(self) -> Store:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        connection = getattr(self._local, "connection", None)
        if connection is not None:
            connection.close()
            self._local.connection = None

    def verify(self, index_sha256: str, index_path: str) -> None:
        """Fails unless the store was written together with this index file."""
        if self.meta.get("index_sha256") != index_sha256:
            raise CliError(
                f"{self.path}: written for another version of {index_path} (the "
                "index file's SHA-256 differs): rebuild both, or pass --no-store")

    def count(self) -> int:
        (count,) = self._connection().execute("SELECT count(*) FROM documents").fetchone()
        return int(count)

    def fields(self, ref: str) -> dict[str, str]:
        """The stored field texts of one document; empty when it has none."""
        row = self._connection().execute(
            "SELECT fields FROM documents WHERE ref = ?", (ref,)).fetchone()
        if row is None:
            return {}
        value = json.loads(row[0])
        return {k: v for k, v in value.items() if isinstance(v, str)}

