"""The worker side of ``vrim.dask``: the shards a Dask worker holds and the
handlers the client calls on it directly.

A worker keeps its shards in a ``ShardStore``, keyed by their content
fingerprint (``Index.fingerprint``), outside Dask's own memory: the
scheduler neither knows nor moves them. The store adds handlers to the
worker's server (``vrim_stats``, ``vrim_search``, ``vrim_copy``, ...), so a
query goes from the client to the worker without a task and without the
scheduler. ``ShardPlugin`` installs the store on every worker, those that
join later included.
"""

from __future__ import annotations

import asyncio
import hashlib
import os
import pickle
import threading
from collections.abc import Callable, Iterable, Mapping
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, TypeVar

import fsspec  # type: ignore[import-untyped]
from distributed import get_worker
from distributed.diagnostics.plugin import WorkerPlugin

from _vrim import Index, IndexBuilder, QueryStats

from .sharded_index import settings_of

_T = TypeVar("_T")


@dataclass(frozen=True)
class Settings:
    """How every shard is built."""

    language: str
    fields: tuple[tuple[str, float], ...]
    ref_field: str
    boost_field: str | None
    k1: float
    b: float


# ------------------------------------------------------------ building

def _rows(partition: Any) -> Iterable[Mapping[str, Any]]:
    """The documents of a bag partition, or a dataframe partition's rows
    with missing values (NaN, None) as absent fields."""
    if hasattr(partition, "to_dict"):
        for row in partition.to_dict(orient="records"):
            yield {key: value for key, value in row.items()
                   if not (value is None or value != value)}
    else:
        yield from partition


def _row_error(error: Exception, number: int | None, row: int,
               doc: Any) -> Exception:
    """`error` again, with the partition and the row that raised it."""
    where = f"row {row}"
    if number is not None:
        where = f"partition {number}, {where}"
    if isinstance(doc, Mapping):
        where += f" ({len(doc)} keys)"
    else:
        where += f" (a {type(doc).__name__})"
    message = f"{where}: {error}"
    try:
        return type(error)(message)
    except Exception:  # an exception type with another constructor
        return ValueError(message)


def build_index(partition: Any, settings: Settings,
                number: int | None = None) -> Index:
    """The index of one partition. An error names the partition and the
    row (its position in the partition) that caused it."""
    builder = IndexBuilder(settings.language, ref_field=settings.ref_field,
                           k1=settings.k1, b=settings.b)
    for name, boost in settings.fields:
        builder.field(name, boost)
    for row, doc in enumerate(_rows(partition)):
        try:
            if not isinstance(doc, Mapping):
                raise TypeError("a document must be a mapping, not "
                                f"{type(doc).__name__}")
            boost = 1.0
            if settings.boost_field is not None:
                boost = doc.get(settings.boost_field, 1.0)
            builder.add(doc, boost=boost)
        except Exception as error:
            raise _row_error(error, number, row, doc) from error
    return builder.build()


def _digest(ref: str) -> bytes:
    return hashlib.blake2b(ref.encode(), digest_size=8).digest()


def describe(index: Index) -> dict[str, Any]:
    """What the client checks and caches of a shard: settings, fingerprint,
    the fixed statistics, the 8-byte digests of the references."""
    return {"settings": settings_of(index),
            "fingerprint": index.fingerprint,
            "fixed": index.query_stats(""),
            "digests": b"".join(_digest(ref) for ref in index.references)}


def build_shard(partition: Any, settings: Settings,
                number: int) -> dict[str, Any]:
    """Task: build a partition's shard into this worker's store."""
    index = build_index(partition, settings, number)
    worker = get_worker()
    store_of(worker).put(index)
    return {**describe(index), "address": worker.address}


def write_shard(partition: Any, settings: Settings, number: int,
                target: str, positions: bool) -> dict[str, Any]:
    """Task: build a partition's shard and write its bytes to `target`."""
    index = build_index(partition, settings, number)
    data = index.to_bytes(positions=positions)
    with fsspec.open(target, "wb") as out:
        out.write(data)
    return {**describe(index), "path": target, "size": len(data),
            "sha256": hashlib.sha256(data).hexdigest()}


def read_shard(path: str, size: int | None, sha256: str | None) -> Index:
    """A written shard, its size and SHA-256 checked when given."""
    with fsspec.open(path, "rb") as source:
        data = source.read()
    if size is not None and len(data) != size:
        raise ValueError(f"shard file {path} holds {len(data)} bytes, the "
                         f"manifest says {size}")
    if sha256 is not None and hashlib.sha256(data).hexdigest() != sha256:
        raise ValueError(f"shard file {path} does not match the SHA-256 "
                         "in the manifest")
    return Index.from_bytes(data)


# ------------------------------------------------------------ searching

# Searches release the interpreter lock: a worker answers several at once
# on these threads, one per core, beside its event loop.
_search_pool: ThreadPoolExecutor | None = None
_search_pool_lock = threading.Lock()


async def _in_thread(call: Callable[[], _T]) -> _T:
    global _search_pool
    with _search_pool_lock:
        if _search_pool is None:
            _search_pool = ThreadPoolExecutor(
                os.cpu_count() or 1, thread_name_prefix="vrim-search")
    return await asyncio.get_running_loop().run_in_executor(_search_pool,
                                                            call)


# Stands for a shard this worker does not hold, in a reply.
MISSING = "missing"
# What a worker keeps of the collections it has searched: per collection
# at most this many terms' summed document frequencies, for this many
# collections.
KNOWN_TERMS = 200_000
KNOWN_COLLECTIONS = 8


def collection_id(stats: QueryStats) -> str:
    """Names the set of indexes (with their exclusions) `stats` sums."""
    text = ",".join(f"{index}:{exclusion}"
                    for index, exclusion in stats.sources)
    return hashlib.blake2b(text.encode(), digest_size=16).hexdigest()


class _Known:
    """The statistics of one collection that do not change: its document
    count and field totals, and the summed document frequencies of the
    terms searched so far."""

    def __init__(self, total: QueryStats) -> None:
        self.document_count = total.document_count
        self.fields = total.fields
        self.sources = total.sources
        self.terms: dict[str, int] = {}

    def stats_for(self, terms: Iterable[str]) -> QueryStats | None:
        """Statistics for `terms`, None when one of them is not known."""
        known = self.terms
        try:
            chosen = {term: known[term] for term in terms}
        except KeyError:
            return None
        return QueryStats(self.document_count, self.fields, chosen,
                          self.sources)


class ShardStore:
    """The shards of one worker, by fingerprint, and the handlers that
    serve them. Replies are pickled by the store, so that QueryStats and
    hits cross the wire as one bytes frame."""

    def __init__(self, worker: Any) -> None:
        self._worker = worker
        self._shards: dict[str, Index] = {}
        self._known: dict[str, _Known] = {}

    def put(self, index: Index) -> None:
        self._shards[index.fingerprint] = index

    def handlers(self) -> dict[str, Callable[..., Any]]:
        return {"vrim_stats": self.stats, "vrim_search": self.search,
                "vrim_query": self.query,
                "vrim_copy": self.copy, "vrim_load": self.load,
                "vrim_bytes": self.to_bytes, "vrim_drop": self.drop,
                "vrim_describe": self.describe, "vrim_held": self.held}

    async def stats(self, keys: list[str], query: str,
                    phrases: bool = False) -> bytes:
        """Per key, the terms of `query` with their document frequencies."""
        shards = [self._shards.get(key) for key in keys]

        def run() -> list[Any]:
            return [MISSING if index is None else
                    index.query_stats(query, phrases=phrases).terms
                    for index in shards]
        return pickle.dumps(await _in_thread(run))

    async def search(self, keys: list[str], query: str, limit: int | None,
                     stats: bytes, options: dict[str, Any] | None = None
                     ) -> bytes:
        """Per key, the hits of `query` scored with `stats`, as tuples."""
        total: QueryStats = pickle.loads(stats)
        shards = [self._shards.get(key) for key in keys]
        self._learn(total)

        def run() -> list[Any]:
            return [MISSING if index is None else
                    [(hit.ref, hit.score, hit.matches)
                     for hit in index.search(query, limit, stats=total,
                                             **(options or {}))]
                    for index in shards]
        return pickle.dumps(await _in_thread(run))

    def _learn(self, total: QueryStats) -> None:
        """Keep the summed frequencies of a search's terms."""
        key = collection_id(total)
        known = self._known.pop(key, None) or _Known(total)
        if len(known.terms) > KNOWN_TERMS:
            known.terms = {}
        known.terms.update(total.terms)
        self._known[key] = known  # the most recent last
        while len(self._known) > KNOWN_COLLECTIONS:
            del self._known[next(iter(self._known))]

    async def query(self, keys: list[str], query: str, limit: int | None,
                    collection: str, options: dict[str, Any] | None = None
                    ) -> bytes:
        """Per key, (hits, terms): the shard's own document frequencies of
        the terms `query` matches, and its hits when every one of those
        terms has a summed frequency known from an earlier search of the
        collection (None otherwise: the client sums and asks again)."""
        known = self._known.get(collection)
        shards = [self._shards.get(key) for key in keys]

        keywords = options or {}

        def one(index: Index) -> tuple[Any, dict[str, int]]:
            terms = index.query_stats(
                query, phrases=keywords.get("phrases", False)).terms
            stats = None if known is None else known.stats_for(terms)
            if stats is None:
                return None, terms
            return ([(hit.ref, hit.score, hit.matches)
                     for hit in index.search(query, limit, stats=stats,
                                             **keywords)],
                    terms)

        def run() -> list[Any]:
            return [MISSING if index is None else one(index)
                    for index in shards]
        return pickle.dumps(await _in_thread(run))

    async def to_bytes(self, key: str) -> bytes:
        index = self._shards.get(key)
        if index is None:
            raise KeyError(f"this worker holds no shard {key}")
        return await _in_thread(index.to_bytes)

    async def copy(self, key: str, source: str) -> None:
        """Fetch shard `key` from the worker at `source`."""
        if key in self._shards:
            return
        data = await self._worker.rpc(source).vrim_bytes(key=key)
        self._adopt(key, await _in_thread(lambda: Index.from_bytes(data)),
                    source)

    async def load(self, key: str | None, path: str, size: int | None,
                   sha256: str | None) -> str:
        """Read shard `key` (None: whichever it is) from its file; returns
        its fingerprint."""
        if key is not None and key in self._shards:
            return key
        index = await _in_thread(lambda: read_shard(path, size, sha256))
        return self._adopt(key, index, path)

    def _adopt(self, key: str | None, index: Index, origin: str) -> str:
        if key is not None and index.fingerprint != key:
            raise ValueError(f"the shard from {origin} has fingerprint "
                             f"{index.fingerprint}, not {key}")
        self._shards[index.fingerprint] = index
        return index.fingerprint

    async def describe(self, key: str, refs: bool = False) -> bytes:
        """describe() of shard `key`, or its references."""
        index = self._shards.get(key)
        if index is None:
            raise KeyError(f"this worker holds no shard {key}")
        if refs:
            return pickle.dumps({"refs": index.references})
        return pickle.dumps(await _in_thread(lambda: describe(index)))

    def drop(self, keys: list[str]) -> None:
        for key in keys:
            self._shards.pop(key, None)

    def held(self) -> list[str]:
        return list(self._shards)


_install_lock = threading.Lock()


def store_of(worker: Any) -> ShardStore:
    """The worker's store, installed with its handlers on first use."""
    with _install_lock:
        store: ShardStore | None = getattr(worker, "_vrim_store", None)
        if store is None:
            store = ShardStore(worker)
            worker.handlers.update(store.handlers())
            worker._vrim_store = store
        return store


class ShardPlugin(WorkerPlugin):
    """Installs a ShardStore on every worker, present and future."""

    name = "vrim-shards"
    idempotent = True

    def setup(self, worker: Any) -> None:
        store_of(worker)
