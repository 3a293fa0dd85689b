"""The catalog: one SQLite database (WAL mode) describing a collection.

    settings(key TEXT PRIMARY KEY, value TEXT)   -- JSON values: format,
        language, fields, ref_field, columns, k1, b
    state(id = 1, generation INTEGER)            -- +1 on every commit
    segments(id, file, sha256, documents, generation)
    documents(ref PRIMARY KEY, segment, doc, c0, c1, ...)
        -- the live version of every document: the stored mapping as JSON,
        -- the segment that indexes it, and one indexed SQL column per
        -- metadata column (named by position, so no user text ever
        -- becomes SQL). The segment column has no index (every upsert
        -- would rewrite an entry of it): a segment's live documents are
        -- known from the segment itself and its deletions
    deletions(segment, ref, generation)          -- versions a segment still
        -- holds that are no longer live
    retired(file)                                -- segment files to delete

A segment file is written and synced before the transaction that names it,
so the catalog never names a file that is not whole; a file the catalog does
not name is the leftover of a commit or merge that did not finish.
"""

from __future__ import annotations

import json
import os
import pathlib
import sqlite3
from collections.abc import Mapping
from typing import Any

from .documents import COLUMN_TYPES

FORMAT = "vrim-collection 1"
CATALOG = "catalog.sqlite"
SEGMENTS = "segments"
LOCK = "write.lock"


def column_sql(position: int) -> str:
    """The SQL name of the metadata column at `position`."""
    return f"c{position}"


def schema(columns: Mapping[str, str]) -> str:
    extra = "".join(f", {column_sql(i)} {COLUMN_TYPES[kind]}"
                    for i, kind in enumerate(columns.values()))
    indexes = "".join(
        f"CREATE INDEX documents_{column_sql(i)} ON documents({column_sql(i)});\n"
        for i in range(len(columns)))
    return f"""
CREATE TABLE settings (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE state (id INTEGER PRIMARY KEY CHECK (id = 1),
                    generation INTEGER NOT NULL);
CREATE TABLE segments (id INTEGER PRIMARY KEY, file TEXT UNIQUE NOT NULL,
                       sha256 TEXT NOT NULL, documents INTEGER NOT NULL,
                       generation INTEGER NOT NULL);
CREATE TABLE documents (ref TEXT PRIMARY KEY, segment INTEGER NOT NULL,
                        doc TEXT NOT NULL{extra});
{indexes}CREATE TABLE deletions (segment INTEGER NOT NULL, ref TEXT NOT NULL,
                        generation INTEGER NOT NULL,
                        PRIMARY KEY (segment, ref)) WITHOUT ROWID;
CREATE INDEX deletions_generation ON deletions(generation);
CREATE TABLE retired (file TEXT PRIMARY KEY);
INSERT INTO state VALUES (1, 0);
"""


def connect(directory: str, *, readonly: bool, timeout: float = 30.0
            ) -> sqlite3.Connection:
    """A connection in autocommit mode: transactions are explicit."""
    uri = pathlib.Path(os.path.abspath(os.path.join(directory, CATALOG))).as_uri()
    if readonly:
        uri += "?mode=ro"
    connection = sqlite3.connect(uri, uri=True, isolation_level=None,
                                 check_same_thread=False, timeout=timeout)
    connection.execute("PRAGMA synchronous = FULL")
    return connection


def create(directory: str, settings: Mapping[str, Any]) -> None:
    """Writes a new, empty catalog into `directory` (which exists)."""
    path = os.path.join(directory, CATALOG)
    if os.path.exists(path):
        raise FileExistsError(f"{directory}: a collection already exists here")
    connection = sqlite3.connect(path, isolation_level=None)
    try:
        connection.execute("PRAGMA journal_mode = WAL")
        connection.execute("PRAGMA synchronous = FULL")
        connection.execute("BEGIN IMMEDIATE")
        for statement in schema(settings["columns"]).split(";"):
            if statement.strip():
                connection.execute(statement)
        connection.executemany(
            "INSERT INTO settings VALUES (?, ?)",
            [("format", json.dumps(FORMAT))]
            + [(key, json.dumps(value)) for key, value in settings.items()])
        connection.execute("COMMIT")
    finally:
        connection.close()


def read_settings(connection: sqlite3.Connection, directory: str) -> dict[str, Any]:
    try:
        rows = connection.execute("SELECT key, value FROM settings").fetchall()
    except sqlite3.DatabaseError as error:
        raise ValueError(f"{directory}: not a Vrim collection ({error})") from None
    settings = {key: json.loads(value) for key, value in rows}
    if settings.get("format") != FORMAT:
        raise ValueError(f"{directory}: not a Vrim collection this version "
                         f"reads (format {settings.get('format')!r})")
    return settings


def generation(connection: sqlite3.Connection) -> int:
    (value,) = connection.execute("SELECT generation FROM state").fetchone()
    return int(value)
