"""Shards of one collection on a Dask cluster, searched with exact scores.

``build(collection, fields)`` builds one shard per partition of a Dask bag
(of dicts) or dataframe on the workers and keeps each there;
``write(collection, path, fields)`` writes the shards' bytes under
``path`` instead, and ``load(paths)`` puts written shards back on workers.
``ShardedIndex.search`` runs the two phases through one Dask actor per
shard, on the shard's worker, called from the client directly (no task
goes through the scheduler): every shard reports its statistics of the
query, the client sums them, every shard searches with the sum and
``limit``, the client merges the hits. Scores and order are those of one
index over all the documents.

Requires the ``dask`` extra (``pip install vrim[dask]``); ``import vrim``
does not import this module.
"""

from __future__ import annotations

import asyncio
import functools
import hashlib
import operator
import os
import sys
import threading
from collections.abc import Callable, Iterable, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, NamedTuple, TypeVar

try:
    import dask.bag
    import fsspec  # type: ignore[import-untyped]
    from dask.delayed import Delayed, delayed
    from distributed import Client, Future, default_client
except ImportError:  # pragma: no cover - depends on the extra
    # The missing module's own error stays attached as the context.
    raise ImportError("vrim.dask needs Dask and its distributed scheduler: "
                      "pip install 'vrim[dask]'")

from _vrim import Index, IndexBuilder, QueryStats
from ._sharding.sharded_index import (check_disjoint, check_same_settings, hit_order,
                       merge_ranked, settings_of)

__all__ = ["Hit", "ShardedIndex", "build", "load", "write"]

Matches = dict[str, dict[str, list[tuple[int, int]]]]
_T = TypeVar("_T")


class Hit(NamedTuple):
    """One search hit, as plain data that crosses the network."""

    ref: str
    score: float
    matches: Matches  # as Result.matches


@dataclass(frozen=True)
class _Settings:
    """How every shard is built."""

    language: str
    fields: tuple[tuple[str, float], ...]
    ref_field: str
    boost_field: str | None
    k1: float
    b: float


class Shard:
    """An index held by a worker.

    Dask keeps it where it was built; should it ever move to another
    worker, it travels as its bytes (``Index.to_bytes``).
    """

    def __init__(self, index: Index) -> None:
        self.index = index

    def __reduce__(self) -> tuple[Any, tuple[bytes]]:
        return (_shard_from_bytes, (self.index.to_bytes(),))

    def __sizeof__(self) -> int:
        # A rough size, so the scheduler prefers moving tasks to moving us.
        return 256 * self.index.document_count + 64 * self.index.term_count


def _shard_from_bytes(data: bytes) -> Shard:
    return Shard(Index.from_bytes(data))


# ------------------------------------------------------- worker functions

def _rows(partition: Any) -> Iterable[Mapping[str, Any]]:
    """The documents of a bag partition, or a dataframe partition's rows
    with missing values (NaN, None) as absent fields."""
    if hasattr(partition, "to_dict"):
        for row in partition.to_dict(orient="records"):
            yield {key: value for key, value in row.items()
                   if not (value is None or value != value)}
    else:
        yield from partition


def _build_index(partition: Any, settings: _Settings) -> Index:
    builder = IndexBuilder(settings.language, ref_field=settings.ref_field,
                           k1=settings.k1, b=settings.b)
    for name, boost in settings.fields:
        builder.field(name, boost)
    for doc in _rows(partition):
        boost = 1.0
        if settings.boost_field is not None:
            boost = doc.get(settings.boost_field, 1.0)
        builder.add(doc, boost=boost)
    return builder.build()


def _build_shard(partition: Any, settings: _Settings) -> Shard:
    return Shard(_build_index(partition, settings))


def _write_shard(partition: Any, settings: _Settings, target: str,
                 positions: bool) -> str:
    data = _build_index(partition, settings).to_bytes(positions=positions)
    with fsspec.open(target, "wb") as out:
        out.write(data)
    return target


def _load_shard(path: str) -> Shard:
    with fsspec.open(path, "rb") as source:
        return Shard(Index.from_bytes(source.read()))


def _digest(ref: str) -> bytes:
    return hashlib.blake2b(ref.encode(), digest_size=8).digest()


def _describe(shard: Shard) -> tuple[dict[str, Any], int, bytes]:
    """Settings, document count and the 8-byte digests of the references."""
    index = shard.index
    digests = b"".join(_digest(ref) for ref in index.references)
    return settings_of(index), index.document_count, digests


def _refs_with_digests(shard: Shard, digests: frozenset[bytes]) -> list[str]:
    return [ref for ref in shard.index.references if _digest(ref) in digests]


# Searches release the interpreter lock: a worker answers several at once
# on these threads, one per core, beside its event loop.
_search_pool: ThreadPoolExecutor | None = None
_search_pool_lock = threading.Lock()


async def _in_search_thread(call: Callable[[], _T]) -> _T:
    global _search_pool
    with _search_pool_lock:
        if _search_pool is None:
            _search_pool = ThreadPoolExecutor(
                os.cpu_count() or 1, thread_name_prefix="vrim-search")
    return await asyncio.get_running_loop().run_in_executor(_search_pool,
                                                            call)


class ShardServer:
    """Answers the two phases for one shard, as a Dask actor on the worker
    holding the shard: calls go from the client straight to that worker,
    without a task through the scheduler."""

    def __init__(self, shard: Shard) -> None:
        self.index = shard.index

    async def query_stats(self, query: str) -> QueryStats:
        return await _in_search_thread(
            functools.partial(self.index.query_stats, query))

    async def search(self, query: str, limit: int | None,
                     stats: QueryStats) -> list[Hit]:
        def run() -> list[Hit]:
            return [Hit(hit.ref, hit.score, hit.matches)
                    for hit in self.index.search(query, limit, stats=stats)]
        return await _in_search_thread(run)


def _sum_stats(stats: list[QueryStats]) -> QueryStats:
    total = stats[0]
    for more in stats[1:]:
        total = total + more
    return total


def _for_shard(total: QueryStats, own: QueryStats) -> QueryStats:
    """The part of `total` a shard that reported `own` needs: the terms it
    matches. A wide expansion has many terms no single shard has."""
    terms = total.terms
    if len(terms) == len(own.terms):
        return total
    return QueryStats(total.document_count, total.fields,
                      {term: terms[term] for term in own.terms})


def _hit_order(hit: Hit) -> tuple[float, str]:
    return hit_order(hit.ref, hit.score)


def _merge(ranked: list[list[Hit]], limit: int | None) -> list[Hit]:
    return merge_ranked(ranked, limit, _hit_order)


# ------------------------------------------------------------ the client

def _client_or_default(client: Client | None) -> Client:
    if client is not None:
        return client
    found: Client = default_client()  # type: ignore[no-untyped-call]
    return found


def _partitions(collection: Any) -> list[Delayed]:
    # A dataframe's module is loaded if there is one (it needs pandas).
    dataframe = sys.modules.get("dask.dataframe")
    if isinstance(collection, dask.bag.Bag) or (
            dataframe is not None
            and isinstance(collection, dataframe.DataFrame)):
        parts: list[Delayed] = list(collection.to_delayed())
        return parts
    raise TypeError("collection must be a dask.bag.Bag of dicts or a "
                    "dask.dataframe.DataFrame, not "
                    f"{type(collection).__name__}")


def _settings(fields: Mapping[str, float] | Sequence[str], language: str,
              ref_field: str, boost_field: str | None, k1: float,
              b: float) -> _Settings:
    if isinstance(fields, str):
        raise TypeError("fields must be a list of names or a dict of "
                        "name to boost, not a str")
    pairs = (tuple((name, float(boost)) for name, boost in fields.items())
             if isinstance(fields, Mapping)
             else tuple((name, 1.0) for name in fields))
    settings = _Settings(language, pairs, ref_field, boost_field, k1, b)
    _build_index([], settings)  # bad settings fail here, not on a worker
    return settings


def build(collection: Any, fields: Mapping[str, float] | Sequence[str], *,
          language: str = "en", ref_field: str = "id",
          boost_field: str | None = None, k1: float = 1.2, b: float = 0.75,
          client: Client | None = None) -> ShardedIndex:
    """Build one shard per partition of ``collection`` on the workers.

    ``collection`` is a Dask bag of dicts or a Dask dataframe, one row per
    document; ``fields`` the field names, or a dict of name to boost;
    ``boost_field`` names the key holding a document's boost, if any. Each
    shard stays in the memory of the worker that built it; a shard lost
    with its worker is rebuilt from its partition when next needed.
    """
    client = _client_or_default(client)
    settings = _settings(fields, language, ref_field, boost_field, k1, b)
    tasks = [delayed(_build_shard)(part, settings)
             for part in _partitions(collection)]
    shards = client.compute(tasks)  # type: ignore[no-untyped-call]
    return ShardedIndex(shards, client=client)


def write(collection: Any, path: str,
          fields: Mapping[str, float] | Sequence[str], *,
          language: str = "en", ref_field: str = "id",
          boost_field: str | None = None, k1: float = 1.2, b: float = 0.75,
          positions: bool = True, client: Client | None = None) -> list[str]:
    """Build one shard per partition and write its bytes under ``path``.

    ``path`` is a directory (local, or any URL fsspec opens) that every
    worker can write to and the client can create; the shards are
    ``shard-00000.vrim`` and on. Returns their paths, for ``load``.
    Other arguments as for ``build``; ``positions`` as for
    ``Index.to_bytes``.
    """
    client = _client_or_default(client)
    settings = _settings(fields, language, ref_field, boost_field, k1, b)
    filesystem, root = fsspec.core.url_to_fs(path)
    filesystem.makedirs(root, exist_ok=True)
    base = path.rstrip("/")
    tasks = [delayed(_write_shard)(part, settings,
                                   f"{base}/shard-{number:05d}.vrim",
                                   positions)
             for number, part in enumerate(_partitions(collection))]
    written = client.compute(tasks)  # type: ignore[no-untyped-call]
    paths: list[str] = client.gather(written)  # type: ignore[no-untyped-call]
    return paths


def load(paths: Sequence[str], *, client: Client | None = None
         ) -> ShardedIndex:
    """Read written shards into the memory of the workers, one each.

    A shard lost with its worker is read again from its path.
    """
    client = _client_or_default(client)
    return ShardedIndex([client.submit(_load_shard, path, pure=False)
                         for path in paths], client=client)


class ShardedIndex:
    """Shards held by Dask workers, searched as one index.

    Made by ``build`` or ``load``, or from futures of ``Shard`` objects.
    Construction checks that the shards share language, pipeline, fields,
    field boosts, k1 and b, and that no reference is in two shards
    (``ValueError`` otherwise); it moves 8 bytes per document to the
    client. The first search places a ``ShardServer`` actor beside each
    shard; when one is lost with its worker, the next search places them
    again, once the scheduler has rebuilt the lost shards from their
    lineage. Safe to search from several threads at once.
    """

    def __init__(self, shards: Sequence[Future[Any]], *,
                 client: Client | None = None) -> None:
        if not shards:
            raise ValueError("ShardedIndex needs at least one shard")
        self._client = _client_or_default(client)
        self._shards = list(shards)
        described = self._client.gather(  # type: ignore[no-untyped-call]
            [self._client.submit(_describe, shard, pure=False)
             for shard in self._shards])
        settings = [d[0] for d in described]
        check_same_settings(settings)
        self._check_disjoint([d[2] for d in described])
        self._document_count = int(sum(d[1] for d in described))
        self._settings = settings[0]
        # An empty local index with the shards' language and fields, so
        # that a malformed query raises QueryError here, not on a worker.
        probe = IndexBuilder(self._settings["language"])
        for name in self._settings["fields"]:
            probe.field(name)
        self._probe = probe.build()
        self._lock = threading.Lock()
        self._generation = 0
        self._actors: list[Any] | None = None
        self._actor_futures: list[Future[Any]] = []

    def _check_disjoint(self, digests: list[bytes]) -> None:
        owner: dict[bytes, int] = {}
        clashes: dict[tuple[int, int], set[bytes]] = {}
        for number, packed in enumerate(digests):
            for start in range(0, len(packed), 8):
                digest = packed[start:start + 8]
                first = owner.setdefault(digest, number)
                if first != number:
                    clashes.setdefault((first, number), set()).add(digest)
        # Equal digests are equal references but for a rare collision:
        # the shards' own references decide.
        for pair, found in clashes.items():
            refs = self._client.gather(  # type: ignore[no-untyped-call]
                [self._client.submit(_refs_with_digests, self._shards[n],
                                     frozenset(found), pure=False)
                 for n in pair])
            check_disjoint(zip(pair, refs))

    @property
    def shards(self) -> list[Future[Any]]:
        """Futures of the shards, one per partition."""
        return list(self._shards)

    @property
    def document_count(self) -> int:
        """Documents in all shards together."""
        return self._document_count

    @property
    def fields(self) -> list[str]:
        """Indexed field names, shared by every shard."""
        fields: list[str] = self._settings["fields"]
        return fields

    def __len__(self) -> int:
        return self._document_count

    def __repr__(self) -> str:
        return (f"vrim.dask.ShardedIndex(shards={len(self._shards)}, "
                f"language={self._settings['language']!r}, "
                f"documents={self._document_count})")

    def _servers(self) -> tuple[int, list[Any]]:
        """The shards' actors, placed on first use, with their generation."""
        with self._lock:
            if self._actors is None:
                submit = self._client.submit
                self._actor_futures = [
                    submit(ShardServer, shard, actor=True, pure=False)
                    for shard in self._shards]
                self._actors = self._client.gather(  # type: ignore[no-untyped-call]
                    self._actor_futures)
            return self._generation, self._actors

    def _replace_servers(self, generation: int) -> None:
        """Drop the actors of `generation` (one of them is gone); the next
        call places new ones on the shards, rebuilt where they were lost."""
        with self._lock:
            if generation == self._generation:
                self._actors = None
                self._actor_futures = []
                self._generation += 1

    def _two_phases(self, query: str, limit: int | None,
                    timeout: float | None,
                    retry: bool = True) -> tuple[QueryStats, list[Hit]]:
        generation, servers = self._servers()
        try:
            stats = [call.result(timeout=timeout) for call in
                     [server.query_stats(query) for server in servers]]
            total = _sum_stats(stats)
            if limit == 0:
                return total, []
            ranked = [call.result(timeout=timeout) for call in
                      [server.search(query, limit, _for_shard(total, own))
                       for server, own in zip(servers, stats)]]
        except TimeoutError:
            raise
        except (OSError, RuntimeError):
            # Dask's errors for an actor whose worker is gone. Place the
            # actors again (the scheduler first rebuilds the shards lost
            # with the worker) and ask once more; a shard that cannot be
            # rebuilt raises its error here.
            if not retry:
                raise
            self._replace_servers(generation)
            return self._two_phases(query, limit, timeout, retry=False)
        return total, _merge(ranked, limit)

    def query_stats(self, query: str, *,
                    timeout: float | None = None) -> QueryStats:
        """The statistics of ``query`` summed over every shard."""
        self._probe.search(query, 0)
        return self._two_phases(query, 0, timeout)[0]

    def search(self, query: str, limit: int | None = None, *,
               timeout: float | None = None) -> list[Hit]:
        """Search every shard with the collection's statistics.

        Hits in descending score order, ties by reference; ``limit`` as in
        ``Index.search``. Raises ``QueryError`` for a malformed query,
        ``TimeoutError`` when a call takes longer than ``timeout``
        seconds, and what the cluster raises when a shard can neither be
        reached nor rebuilt.
        """
        self._probe.search(query, limit)  # checks query and limit
        cut = None if limit is None else operator.index(limit)
        if cut == 0:
            return []
        return self._two_phases(query, cut, timeout)[1]

    def close(self) -> None:
        """Release the shards from the workers' memory."""
        with self._lock:
            self._client.cancel(  # type: ignore[no-untyped-call]
                self._actor_futures + self._shards)
            self._actors = None
            self._actor_futures = []
            self._shards = []

