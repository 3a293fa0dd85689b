"""`Collection`: a directory of segment files and a SQLite catalog, kept up
to date by writers and searched exactly as one index over its live
documents."""

from __future__ import annotations

import json
import math
import os
import sqlite3
import threading
from collections.abc import Iterable, Iterator, Mapping
from typing import Any

from _vrim import Index, IndexBuilder

from . import catalog, snapshot
from .checkpoint import Checkpointer
from .documents import column_kind
from .merge_policy import TieredMergePolicy
from .page import Page
from .search import search_page
from .writer import Writer


def _check_fields(fields: object) -> dict[str, float]:
    if isinstance(fields, str) or not isinstance(fields, (Mapping, Iterable)):
        raise TypeError("fields must map field names to boosts (or list the "
                        f"names), not {type(fields).__name__}")
    pairs = fields.items() if isinstance(fields, Mapping) else ((f, 1.0) for f in fields)
    checked: dict[str, float] = {}
    for name, boost in pairs:
        if not isinstance(name, str):
            raise TypeError(f"a field name is a str, not {type(name).__name__}")
        if (isinstance(boost, bool) or not isinstance(boost, (int, float))
                or not math.isfinite(boost) or boost <= 0):
            raise ValueError(f"field {name!r}: the boost must be a positive "
                             f"number, got {boost!r}")
        checked[name] = float(boost)
    if not checked:
        raise ValueError("a collection needs at least one field")
    return checked


class Collection:
    """A persistent, updatable set of documents, searched exactly.

    Make one with ``Collection.create`` and reopen it with
    ``Collection.open``; change it inside ``with collection.writer() as w:``.
    Searches see the state of the last ``refresh()`` (which a commit of this
    object's own writer does for it), and score exactly as one `Index` built
    from the live documents with the same settings.
    """

    #: How segments are merged after a commit; per object, not stored.
    merge_policy: TieredMergePolicy

    def __init__(self, path: str, *, readonly: bool, _token: object = None) -> None:
        if _token is not _TOKEN:
            raise TypeError("use Collection.create(...) or Collection.open(...)")
        self.path = path
        self.readonly = readonly
        self.merge_policy = TieredMergePolicy()
        self._mutex = threading.RLock()
        self._adopt: dict[str, Index] = {}
        self._snapshot = snapshot.EMPTY
        self._checkpointer = None if readonly else Checkpointer(path)
        self._writes: sqlite3.Connection | None = None
        self._probe = None
        self._probe = catalog.connect(path, readonly=readonly)
        try:
            self._settings = catalog.read_settings(self._probe, path)
            self.refresh()
        except BaseException:
            self.close()
            raise

    # -- making and opening -----------------------------------------------

    @classmethod
    def create(cls, path: str | os.PathLike[str], language: str,
               fields: Mapping[str, float] | Iterable[str], *,
               ref_field: str = "id", columns: Mapping[str, Any] | None = None,
               k1: float = 1.2, b: float = 0.75) -> Collection:
        """Create an empty collection in the directory `path` (new, or
        empty). `fields` maps field names to boosts; `columns` maps metadata
        names to ``str``, ``int`` or ``float``."""
        path = os.fspath(path)
        if not isinstance(ref_field, str):
            raise TypeError(f"ref_field must be a str, not {type(ref_field).__name__}")
        checked_fields = _check_fields(fields)
        kinds = {}
        for name, kind in (columns or {}).items():
            if not isinstance(name, str):
                raise TypeError(f"a column name is a str, not {type(name).__name__}")
            kinds[name] = column_kind(name, kind)
        # The builder checks the language, the fields and k1, b as it would
        # for every segment, before anything is written.
        builder = IndexBuilder(language, ref_field=ref_field, k1=k1, b=b)
        for name, boost in checked_fields.items():
            builder.field(name, boost)
        os.makedirs(path, exist_ok=True)
        if any(entry != catalog.SEGMENTS for entry in os.listdir(path)):
            raise FileExistsError(f"{path}: not an empty directory")
        os.makedirs(os.path.join(path, catalog.SEGMENTS), exist_ok=True)
        catalog.create(path, {
            "language": language, "fields": checked_fields, "ref_field": ref_field,
            "columns": kinds, "k1": float(k1), "b": float(b)})
        return cls(path, readonly=False, _token=_TOKEN)

    @classmethod
    def open(cls, path: str | os.PathLike[str], *, readonly: bool = False) -> Collection:
        """Open the collection in the directory `path`; ``readonly`` opens
        the catalog read-only (no writer). Each segment file's SHA-256 is
        checked on a thread while it decodes; the first use of a damaged
        segment (a search, a merge, `segments`) raises ValueError."""
        path = os.fspath(path)
        if not os.path.isfile(os.path.join(path, catalog.CATALOG)):
            raise FileNotFoundError(f"{path}: no collection here (no {catalog.CATALOG})")
        return cls(path, readonly=bool(readonly), _token=_TOKEN)

    def __enter__(self) -> Collection:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Release the catalog; the object is unusable afterwards."""
        with self._mutex:
            probe, self._probe = self._probe, None
            if probe is not None:
                probe.close()
            writes, self._writes = self._writes, None
            if writes is not None:
                writes.close()
            self._snapshot.close()
            self._snapshot = snapshot.EMPTY
        if self._checkpointer is not None:
            self._checkpointer.wait()

    def __repr__(self) -> str:
        state = "closed" if self._probe is None else f"{len(self)} documents"
        return f"Collection({self.path!r}, {state})"

    # -- settings ---------------------------------------------------------

    @property
    def language(self) -> str:
        return str(self._settings["language"])

    @property
    def fields(self) -> dict[str, float]:
        """Field names and their boosts."""
        return dict(self._settings["fields"])

    @property
    def ref_field(self) -> str:
        return str(self._settings["ref_field"])

    @property
    def columns(self) -> dict[str, str]:
        """Metadata column names and their kinds ("str", "int", "float")."""
        return dict(self._settings["columns"])

    @property
    def k1(self) -> float:
        return float(self._settings["k1"])

    @property
    def b(self) -> float:
        return float(self._settings["b"])

    @property
    def generation(self) -> int:
        """The number of the committed state this object sees."""
        self._live()
        return self._snapshot.generation

    @property
    def segments(self) -> list[Index]:
        """The segment indexes of the state this object sees, oldest first."""
        return [segment.index for segment in self._live().segments]

    # -- reading ----------------------------------------------------------

    def _live(self) -> snapshot.Snapshot:
        if self._probe is None:
            raise ValueError("the collection is closed")
        return self._snapshot

    def _query(self, sql: str, params: Any = ()) -> list[Any]:
        """Rows from the catalog as of this object's state."""
        return self._live().query(sql, params)

    def refresh(self) -> bool:
        """Load the newest committed state: new segments and new deletions
        only. Returns whether anything changed."""
        with self._mutex:
            before = self._live()
            assert self._probe is not None
            if catalog.generation(self._probe) == before.generation:
                return False
            self._snapshot = snapshot.load(self.path, self.language, self.readonly,
                                           before, self._adopt)
            # A search still running on the old state keeps it (and its
            # read transaction) until it ends.
            return True

    def _committed(self, written: Mapping[str, Index]) -> None:
        """A writer of this process committed, having written `written`."""
        if self._checkpointer is not None:
            self._checkpointer.request()
        with self._mutex:
            self._adopt.update(written)
            try:
                self.refresh()
            finally:
                self._adopt.clear()

    def get(self, ref: str) -> dict[str, Any] | None:
        """The stored document `ref`, or None."""
        if not isinstance(ref, str):
            raise TypeError(f"a reference is a str, not {type(ref).__name__}")
        rows = self._query("SELECT doc FROM documents WHERE ref = ?", (ref,))
        return json.loads(rows[0][0]) if rows else None

    def __contains__(self, ref: object) -> bool:
        return isinstance(ref, str) and bool(
            self._query("SELECT 1 FROM documents WHERE ref = ?", (ref,)))

    def __len__(self) -> int:
        return int(self._query("SELECT count(*) FROM documents")[0][0])

    def __iter__(self) -> Iterator[str]:
        """The references, in byte order."""
        return iter([ref for (ref,) in self._query(
            "SELECT ref FROM documents ORDER BY ref")])

    def search(self, query: str, limit: int | None = 10, *, offset: int = 0,
               where: Mapping[str, Any] | None = None,
               facets: Iterable[str] = (), phrases: bool = True) -> Page:
        """The hits of `query` from `offset` on, at most `limit` (None: all),
        among the documents that pass `where`, with their total and the
        counts of `facets` columns' values over all of them."""
        return search_page(self, query, limit, offset=offset, where=where,
                           facets=facets, phrases=phrases)

    # -- writing ----------------------------------------------------------

    def _write_connection(self) -> sqlite3.Connection:
        """The connection this object's writers use, one at a time (they
        hold the write lock): kept between writers, so its page cache holds
        the catalog's upper b-tree pages from one commit to the next."""
        with self._mutex:
            self._live()
            if self._writes is None:
                connection = catalog.connect(self.path, readonly=False)
                # Room for the pages a batch touches in the document table
                # and its indexes.
                connection.execute("PRAGMA cache_size = -65536")
                # Checkpoints run on a thread of their own (checkpoint.py).
                connection.execute("PRAGMA wal_autocheckpoint = 0")
                self._writes = connection
            return self._writes

    def writer(self, timeout: float | None = None, *, merge: bool = True) -> Writer:
        """A writer for ``with``: waits up to `timeout` seconds (None: for
        as long as it takes) for another writer to finish, then raises
        `TimeoutError`. With `merge`, segments are merged by
        `merge_policy` after the commit."""
        self._live()
        if self.readonly:
            raise PermissionError(f"{self.path}: opened read-only")
        return Writer(self, timeout, merge)

    def optimize(self, timeout: float | None = None) -> None:
        """Merge every segment into one, leaving deleted documents out."""
        with self.writer(timeout, merge=False) as writer:
            writer.optimize()


_TOKEN = object()
