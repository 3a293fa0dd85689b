"""Shards of one collection on a Dask cluster, searched with exact scores.

``build(collection, fields)`` builds one shard per partition of a Dask bag
(of dicts) or dataframe on the workers and keeps each there;
``write(collection, path, fields)`` writes the shards' bytes and a
manifest under ``path`` instead, and ``load(path)`` puts written shards
back on workers, of this cluster or of any later one. With
``replicas=2`` every shard is kept by two distinct workers.

``ShardedIndex.search`` runs two phases, each one message from the client
to each worker holding shards, straight to it (no task, no scheduler):
every shard reports its statistics of the query, the client sums them,
every shard searches with the sum and ``limit``, the client merges the
hits. Scores and order are those of one index over all the documents.
What does not change while the shards are fixed is kept: document counts
and field totals, the summed statistics of the queries the client has
seen, and on the workers the summed frequencies of the terms they were
sent; so a repeated query, or a new one whose terms are all known, is
answered in one round trip, and only the shards that match a new term
are asked a second time.

Requires the ``dask`` extra (see docs/sharding.md); ``import vrim`` does
not import this module.
"""

from __future__ import annotations

import asyncio
import collections
import concurrent.futures
import itertools
import math
import operator
import pickle
import sys
import threading
import time
from collections.abc import Coroutine, Iterable, Mapping, Sequence
from typing import Any, NamedTuple, TypeVar

try:
    import dask.bag
    import fsspec  # type: ignore[import-untyped]
    from dask.delayed import delayed
    from distributed import Client, default_client
    from distributed.comm.addressing import get_address_host_port
    from distributed.comm.core import CommClosedError
    from distributed.core import ConnectionPool, send_recv
except ImportError:  # pragma: no cover - depends on the extra
    # The missing module's own error stays attached as the context.
    raise ImportError("vrim.dask needs Dask and its distributed scheduler: "
                      "pip install 'dask[distributed]' (the 'dask' extra)")

from _vrim import IndexBuilder, QueryStats
from ._sharding import manifest
from ._sharding.dask_worker import (MISSING, Settings, ShardPlugin,
                                    build_index, build_shard,
                                    collection_id, write_shard)
from ._sharding.sharded_index import (SearchOptions, check_complete,
                                      check_disjoint, check_same_settings,
                                      hit_order, merge_ranked)

__all__ = ["Hit", "SchedulerLostError", "ShardInfo", "ShardLostError",
           "ShardedIndex", "build", "load", "write"]

Matches = dict[str, dict[str, list[tuple[int, int]]]]
_T = TypeVar("_T")

# How long past its timeout a search may take to raise: the client's own
# work after the deadline (waking the calling thread, cancelling).
TIMEOUT_SLACK = 0.25
# How long a connection to a worker may take to open: a refused one is
# retried until then, so a worker that died without closing its
# connections is noticed after this long.
CONNECT_TIMEOUT = 3.0
# How long a worker that let a call time out is asked only when no other
# replica is left.
SUSPECT_SECONDS = 30.0
# How long a background repair waits for workers to copy shards to.
REPAIR_SECONDS = 300.0
# What a wait that ran out raises (distinct types before Python 3.11).
_TIMEOUTS = (TimeoutError, asyncio.TimeoutError,
             concurrent.futures.TimeoutError)
# Queries whose summed statistics the client keeps, most recent first.
STATS_CACHE_SIZE = 4096


class Hit(NamedTuple):
    """One search hit, as plain data that crosses the network."""

    ref: str
    score: float
    matches: Matches  # as Result.matches


class ShardInfo(NamedTuple):
    """One shard of a ``ShardedIndex``: its content fingerprint, document
    count, the workers holding it when the info was taken, and where it can
    be restored from (its file, or the partition it was built from)."""

    fingerprint: str
    documents: int
    workers: tuple[str, ...]
    path: str | None = None
    size: int | None = None
    sha256: str | None = None
    partition: Any = None


class SchedulerLostError(ConnectionError):
    """The Dask scheduler is gone and a shard needs it to be placed again."""


class ShardLostError(ConnectionError):
    """A shard is lost with every worker that held it and has nothing to be
    restored from."""


# ------------------------------------------------------ the client's loop

class _Loop:
    """An event loop on a thread of its own, through which every call to a
    worker goes: searches do not depend on the client's loop or state, and
    every wait is bounded by the caller's deadline."""

    _instance: _Loop | None = None
    _lock = threading.Lock()

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()
        threading.Thread(target=self.loop.run_forever, daemon=True,
                         name="vrim-dask-loop").start()

    @classmethod
    def get(cls) -> _Loop:
        with cls._lock:
            if cls._instance is None:
                cls._instance = _Loop()
            return cls._instance

    def run(self, coroutine: Coroutine[Any, Any, _T], deadline: float,
            what: str) -> _T:
        """`coroutine`'s result; ``TimeoutError`` naming `what` once
        `deadline` (a ``time.monotonic`` value) has passed."""
        future = asyncio.run_coroutine_threadsafe(coroutine, self.loop)
        left = _remaining(deadline)
        try:
            return future.result(None if left is None
                                 else left + TIMEOUT_SLACK / 2)
        except _TIMEOUTS:
            future.cancel()
            raise TimeoutError(f"{what} did not finish within its "
                               "timeout") from None


def _deadline(timeout: float | None) -> float:
    if timeout is None:
        return math.inf
    if not timeout > 0:
        raise ValueError(f"timeout must be a positive number of seconds or "
                         f"None, not {timeout!r}")
    return time.monotonic() + float(timeout)


def _remaining(deadline: float) -> float | None:
    if deadline == math.inf:
        return None
    return max(0.0, deadline - time.monotonic())


async def _bounded(awaitable: Any, deadline: float) -> Any:
    """`awaitable` before `deadline` (TimeoutError after)."""
    if deadline == math.inf:
        return await awaitable
    left = max(0.0, deadline - time.monotonic())
    if sys.version_info >= (3, 11):  # no task of its own, unlike wait_for
        async with asyncio.timeout_at(asyncio.get_running_loop().time()
                                      + left):
            return await awaitable
    return await asyncio.wait_for(awaitable, left)


# ------------------------------------------------------------ the client

async def _probe_port(address: str, deadline: float) -> None:
    """``_Unreachable`` at once when nothing listens at `address`:
    Dask retries a refused connection until its connect timeout."""
    try:
        host, port = get_address_host_port(address)
    except ValueError:  # not a host and port: nothing to probe
        return
    try:
        _, writer = await _bounded(asyncio.open_connection(host, port),
                                   deadline)
    except _TIMEOUTS:
        raise
    except OSError as error:
        raise _Unreachable(address) from error
    writer.close()


def _client_or_default(client: Client | None) -> Client:
    if client is not None:
        if not isinstance(client, Client):
            raise TypeError("client must be a distributed.Client, not "
                            f"{type(client).__name__}")
        if client.asynchronous:
            raise TypeError("vrim.dask needs a synchronous Client; an "
                            "asynchronous one cannot be waited on here")
        return client
    found: Client = default_client()  # type: ignore[no-untyped-call]
    return found


def _install(client: Client) -> None:
    """The shard store on every worker, those that join later included."""
    _check_connected(client)
    client.register_plugin(ShardPlugin())


def _check_connected(client: Client) -> None:
    """SchedulerLostError unless `client` is connected to its scheduler:
    its calls would wait for a reconnection."""
    scheduler = client.scheduler
    address = scheduler.address if scheduler else None
    if client.status == "running" and address is not None:
        try:
            _Loop.get().run(_probe_port(address, _deadline(CONNECT_TIMEOUT)),
                            _deadline(CONNECT_TIMEOUT), "reaching the "
                            "scheduler")
            return
        except (_Unreachable, TimeoutError):
            pass
    raise SchedulerLostError(
        f"the client is not connected to its scheduler at {address} "
        f"(status {client.status!r}): connect a client to a running "
        "scheduler")


def _partitions(collection: Any) -> list[Any]:
    # A dataframe's module is loaded if there is one (it needs pandas).
    dataframe = sys.modules.get("dask.dataframe")
    if isinstance(collection, dask.bag.Bag) or (
            dataframe is not None
            and isinstance(collection, dataframe.DataFrame)):
        parts: list[Any] = list(collection.to_delayed())
        return parts
    raise TypeError("collection must be a dask.bag.Bag of dicts or a "
                    "dask.dataframe.DataFrame, not "
                    f"{type(collection).__name__}")


def _settings(fields: Mapping[str, float] | Sequence[str], language: str,
              ref_field: str, boost_field: str | None, k1: float,
              b: float) -> Settings:
    if isinstance(fields, str):
        raise TypeError("fields must be a list of names or a dict of "
                        "name to boost, not a str")
    pairs = (tuple((name, float(boost)) for name, boost in fields.items())
             if isinstance(fields, Mapping)
             else tuple((name, 1.0) for name in fields))
    settings = Settings(language, pairs, ref_field, boost_field, k1, b)
    build_index([], settings)  # bad settings fail here, not on a worker
    return settings


def build(collection: Any, fields: Mapping[str, float] | Sequence[str], *,
          language: str = "en", ref_field: str = "id",
          boost_field: str | None = None, k1: float = 1.2, b: float = 0.75,
          replicas: int = 1, client: Client | None = None) -> ShardedIndex:
    """Build one shard per partition of ``collection`` on the workers.

    ``collection`` is a Dask bag of dicts or a Dask dataframe, one row per
    document; ``fields`` the field names, or a dict of name to boost;
    ``boost_field`` names the key holding a document's boost, if any. Each
    shard stays in the memory of the worker that built it, and of
    ``replicas - 1`` others; a shard lost with every worker holding it is
    rebuilt from its partition when next needed. An error in a document
    names its partition and row.
    """
    client = _client_or_default(client)
    settings = _settings(fields, language, ref_field, boost_field, k1, b)
    parts = _partitions(collection)
    _install(client)
    tasks = [delayed(build_shard)(part, settings, number)
             for number, part in enumerate(parts)]
    described = client.gather(  # type: ignore[no-untyped-call]
        client.compute(tasks))  # type: ignore[no-untyped-call]
    infos = [ShardInfo(d["fingerprint"], d["fixed"].document_count,
                       (d["address"],), partition=(part, settings, number))
             for number, (d, part) in enumerate(zip(described, parts))]
    return ShardedIndex(infos, client=client, replicas=replicas,
                        _described=described)


def write(collection: Any, path: str,
          fields: Mapping[str, float] | Sequence[str], *,
          language: str = "en", ref_field: str = "id",
          boost_field: str | None = None, k1: float = 1.2, b: float = 0.75,
          positions: bool = True, client: Client | None = None) -> list[str]:
    """Build one shard per partition and write its bytes under ``path``.

    ``path`` is a directory (local, or any URL fsspec opens) that every
    worker can write to and the client can create; the shards are
    ``shard-00000.vrim`` and on, and beside them ``vrim-shards.json``, the
    manifest (settings, and each shard's file, size, SHA-256, fingerprint
    and document count), written last and atomically: ``load(path)``
    reads it. The shards are checked as ``ShardedIndex`` checks them
    before the manifest is written. Returns the shards' paths. Other
    arguments as for ``build``; ``positions`` as for ``Index.to_bytes``.
    """
    client = _client_or_default(client)
    _check_connected(client)
    settings = _settings(fields, language, ref_field, boost_field, k1, b)
    filesystem, root = fsspec.core.url_to_fs(path)
    filesystem.makedirs(root, exist_ok=True)
    base = path.rstrip("/")
    tasks = [delayed(write_shard)(part, settings, number,
                                  f"{base}/shard-{number:05d}.vrim",
                                  positions)
             for number, part in enumerate(_partitions(collection))]
    written: list[dict[str, Any]] = client.gather(  # type: ignore[no-untyped-call]
        client.compute(tasks))  # type: ignore[no-untyped-call]
    _check_described(written, None)
    manifest.write(path, written[0]["settings"],
                   [{**d, "documents": d["fixed"].document_count}
                    for d in written])
    return [d["path"] for d in written]


def load(location: str | Sequence[str], *, replicas: int = 1,
         timeout: float | None = 300.0, client: Client | None = None
         ) -> ShardedIndex:
    """Read written shards into the memory of the workers.

    ``location`` is what ``write`` wrote to (its directory, or the
    manifest's path): the manifest is checked, and every shard file
    against its size, SHA-256 and fingerprint. A list of shard paths is
    read without a manifest (and checked as ``ShardedIndex`` checks
    shards). Each shard is read by ``replicas`` distinct workers; one lost
    with them all is read again from its file when next needed.
    ``FileNotFoundError`` or ``ValueError`` naming the shard and file when
    one cannot be read or does not match.
    """
    client = _client_or_default(client)
    _install(client)
    if isinstance(location, str):
        document = manifest.read(location)
        infos = [ShardInfo(s["fingerprint"], s["documents"], (), s["path"],
                           s["size"], s["sha256"])
                 for s in document["shards"]]
    else:
        infos = [ShardInfo("", 0, (), str(path)) for path in location]
    return ShardedIndex(infos, client=client, replicas=replicas,
                        timeout=timeout)


def _check_described(described: list[dict[str, Any]],
                     refs_of: Any) -> None:
    check_same_settings([d["settings"] for d in described])
    owner: dict[bytes, int] = {}
    for number, d in enumerate(described):
        packed = d["digests"]
        for start in range(0, len(packed), 8):
            first = owner.setdefault(packed[start:start + 8], number)
            if first != number:
                # Equal digests are equal references but for a rare
                # collision: the shards' own references decide.
                if refs_of is None:
                    raise ValueError(f"shard {first} and shard {number} "
                                     "hold the same reference: it would "
                                     "be counted twice")
                check_disjoint([(n, refs_of(n)) for n in (first, number)])


class _Shard:
    """The client's record of one shard: where it is and whence it can
    come back. Holders change under ShardedIndex._lock."""

    def __init__(self, number: int, info: ShardInfo) -> None:
        self.number = number
        self.info = info
        self.key = info.fingerprint
        self.holders: list[str] = list(info.workers)

    def describe(self) -> str:
        where = f" (file {self.info.path})" if self.info.path else ""
        return f"shard {self.number}{where}"


class ShardedIndex:
    """Shards held by Dask workers, searched as one index.

    Made by ``build`` or ``load``, or from the ``shards`` of other sharded
    indexes (``ShardedIndex(a.shards + b.shards)``). Construction checks
    that the shards share language, pipeline, fields, field boosts, k1 and
    b, and that no reference is in two shards (``ValueError`` otherwise;
    it moves 8 bytes per document to the client), then copies each shard
    to ``replicas`` distinct workers. The summed statistics of the last
    ``stats_cache`` distinct queries are kept, so that a repeated query
    costs one round trip instead of two (as does a new one whose terms
    the workers know from earlier searches); ``stats_cache=0`` keeps
    nothing and every query takes two. ``timeout`` bounds construction.
    Safe to search from several threads at once.

    Failures: a search ends within its ``timeout`` (plus
    ``TIMEOUT_SLACK`` seconds) whatever fails, raising ``TimeoutError``
    if it has no answer by then. A shard whose worker does not answer is
    asked of another replica; a worker found dead is replaced in the
    background (its shards copied from a live replica to a live or newly
    joined worker); a shard with no live copy is restored from its file
    or partition first. When that needs the scheduler and the scheduler
    is gone, ``SchedulerLostError`` names it: load the shard files on a new
    cluster with ``load(path, client=new_client)``.
    """

    def __init__(self, shards: Sequence[ShardInfo], *,
                 client: Client | None = None, replicas: int = 1,
                 timeout: float | None = 300.0,
                 stats_cache: int = STATS_CACHE_SIZE,
                 _described: list[dict[str, Any]] | None = None) -> None:
        if not shards:
            raise ValueError("ShardedIndex needs at least one shard")
        for number, info in enumerate(shards):
            if not isinstance(info, ShardInfo):
                raise TypeError(f"shard {number} must be a ShardInfo (from "
                                "ShardedIndex.shards), not "
                                f"{type(info).__name__}")
        replicas = operator.index(replicas)
        if replicas < 1:
            raise ValueError(f"replicas must be at least 1, not {replicas}")
        self._cache_size = operator.index(stats_cache)
        if self._cache_size < 0:
            raise ValueError("stats_cache must not be negative")
        self._client = _client_or_default(client)
        self._replicas = replicas
        self._loop = _Loop.get()
        self._lock = threading.Lock()
        self._closed = False
        self._shards = [_Shard(n, info) for n, info in enumerate(shards)]
        scheduler = self._client.scheduler
        if scheduler is None or scheduler.address is None:
            raise ValueError("the client is not connected to a scheduler")
        self._scheduler: str = scheduler.address
        self._pool: ConnectionPool = self._loop.run(
            self._start_pool(), _deadline(60), "connecting")
        self._turn = itertools.count()
        self._repairing = False
        self._last_repair = 0.0
        self._dead: set[str] = set()
        # Workers that let a call time out, avoided until the given time.
        self._suspect: dict[str, float] = {}
        self._cache: collections.OrderedDict[tuple[str, bool], dict[str, int]] = \
            collections.OrderedDict()
        deadline = _deadline(timeout)
        self._restore_missing(deadline)
        if _described is None:
            _described = self._describe_all(deadline)
        self._fingerprints = [d["fingerprint"] for d in _described]
        for shard, fingerprint in zip(self._shards, self._fingerprints):
            shard.key = fingerprint
        _check_described(_described, self._refs_of)
        self._settings = _described[0]["settings"]
        self._fixed: QueryStats = sum(d["fixed"] for d in _described)
        check_complete(self._fixed, self._fingerprints)
        self._collection = collection_id(self._fixed)
        # An empty local index with the shards' language and fields, so
        # that a malformed query raises QueryError here, not on a worker.
        probe = IndexBuilder(self._settings["language"])
        for name in self._settings["fields"]:
            probe.field(name)
        self._probe = probe.build()
        self._replicate(deadline)

    async def _start_pool(self) -> ConnectionPool:
        pool: ConnectionPool = await ConnectionPool(
            limit=256, deserialize=True, timeout=CONNECT_TIMEOUT,
            connection_args=self._client.connection_args)
        return pool

    async def _call(self, address: str, op: str, deadline: float,
                    share: float = 1.0, **kwargs: Any) -> Any:
        """`op` on the worker at `address` within `share` of the time
        left: ``_Unreachable`` when the worker cannot be reached, the
        worker's own error when it raised one."""
        left = _remaining(deadline)
        if left is not None:
            deadline = time.monotonic() + left * share
        if not self._pool.available.get(address):
            await _probe_port(address, deadline)
        try:
            comm = await _bounded(self._pool.connect(address), deadline)
        except _TIMEOUTS:
            raise
        except OSError as error:
            raise _Unreachable(address) from error
        try:
            return await _bounded(send_recv(comm, op=op, **kwargs), deadline)
        except CommClosedError as error:
            raise _Unreachable(address) from error
        finally:
            self._pool.reuse(address, comm)

    # ----------------------------------------------------------- state

    @property
    def shards(self) -> list[ShardInfo]:
        """The shards, in order, with the workers holding them now."""
        with self._lock:
            return [s.info._replace(fingerprint=s.key,
                                    workers=tuple(s.holders))
                    for s in self._shards]

    @property
    def replicas(self) -> int:
        """How many distinct workers keep each shard."""
        return self._replicas

    @property
    def document_count(self) -> int:
        """Documents in all shards together."""
        return self._fixed.document_count

    @property
    def fields(self) -> list[str]:
        """Indexed field names, shared by every shard."""
        fields: list[str] = self._settings["fields"]
        return fields

    def __len__(self) -> int:
        return self._fixed.document_count

    def __repr__(self) -> str:
        return (f"vrim.dask.ShardedIndex(shards={len(self._shards)}, "
                f"language={self._settings['language']!r}, "
                f"documents={self._fixed.document_count}, "
                f"replicas={self._replicas})")

    def _drop_holder(self, shard: _Shard, address: str) -> None:
        with self._lock:
            if address in shard.holders:
                shard.holders.remove(address)

    def _worker_died(self, address: str) -> None:
        with self._lock:
            self._dead.add(address)
            for shard in self._shards:
                if address in shard.holders:
                    shard.holders.remove(address)

    # ------------------------------------------------------ one round

    def _assign(self, pending: set[int], tried: dict[int, set[str]],
                turn: int) -> dict[str, list[_Shard]]:
        """Each pending shard to a live holder not yet tried, preferring
        one worker order per query so that a query meets few workers."""
        with self._lock:
            workers = sorted({a for s in self._shards for a in s.holders})
            if workers:
                shift = turn % len(workers)
                order = {a: (i - shift) % len(workers)
                         for i, a in enumerate(workers)}
            now = time.monotonic()

            def preference(address: str) -> tuple[bool, int]:
                return (self._suspect.get(address, 0.0) > now,
                        order[address])
            groups: dict[str, list[_Shard]] = {}
            for number in sorted(pending):
                shard = self._shards[number]
                left = [a for a in shard.holders
                        if a not in tried[number]]
                if not left:
                    raise _NoCopy(number)
                groups.setdefault(min(left, key=preference),
                                  []).append(shard)
            return groups

    async def _round(self, op: str, kwargs: dict[str, Any],
                     deadline: float, numbers: Sequence[int] | None,
                     turn: int) -> list[Any]:
        """`op` answered for every shard (or those `numbers`), each by one
        of its holders; a holder that fails is replaced by another within
        the deadline."""
        pending = set(range(len(self._shards)) if numbers is None
                      else numbers)
        tried: dict[int, set[str]] = collections.defaultdict(set)
        results: list[Any] = [None] * len(self._shards)
        while pending:
            groups = self._assign(pending, tried, turn)

            async def ask(address: str, shards: list[_Shard]) -> Any:
                # With another copy to ask, keep half the time for it.
                alternative = any(len(s.holders) > len(tried[s.number]) + 1
                                  for s in shards)
                reply = await self._call(
                    address, op, deadline, 0.5 if alternative else 1.0,
                    keys=[s.key for s in shards], **kwargs)
                return pickle.loads(reply)

            outcomes = await asyncio.gather(
                *(ask(a, s) for a, s in groups.items()),
                return_exceptions=True)
            for (address, shards), outcome in zip(groups.items(), outcomes):
                if isinstance(outcome, BaseException):
                    if not isinstance(outcome, (_Unreachable, *_TIMEOUTS)):
                        raise outcome
                    if isinstance(outcome, _Unreachable):
                        self._worker_died(address)
                    else:
                        self._suspect[address] = (time.monotonic()
                                                  + SUSPECT_SECONDS)
                    for shard in shards:
                        tried[shard.number].add(address)
                    continue
                for shard, answer in zip(shards, outcome):
                    if isinstance(answer, str) and answer == MISSING:
                        self._drop_holder(shard, address)
                        tried[shard.number].add(address)
                    else:
                        results[shard.number] = answer
                        pending.discard(shard.number)
            if pending and _remaining(deadline) == 0:
                raise TimeoutError("shards did not answer within the "
                                   "timeout")
        return results

    def _phase(self, op: str, kwargs: dict[str, Any], deadline: float,
               numbers: Sequence[int] | None = None,
               turn: int | None = None) -> list[Any]:
        """One round, restoring shards that have no live copy first.
        Rounds of one search share a `turn`, and so their workers: a
        worker asked to search learns the statistics it is sent."""
        if turn is None:
            turn = next(self._turn)
        while True:
            self._restore_missing(deadline)
            try:
                return self._loop.run(
                    self._round(op, kwargs, deadline, numbers, turn),
                    deadline, "the search")
            except _NoCopy:
                continue  # a holder died during the round

    # -------------------------------------------------------- searching

    def _cached(self, key: tuple[str, bool]) -> dict[str, int] | None:
        with self._lock:
            terms = self._cache.get(key)
            if terms is not None:
                self._cache.move_to_end(key)
            return terms

    def _summed(self, key: tuple[str, bool],
                parts: Sequence[Mapping[str, int]]) -> QueryStats:
        """The statistics of `query` from every shard's own frequencies,
        kept for the next time."""
        terms: collections.Counter[str] = collections.Counter()
        for part in parts:
            terms.update(part)
        with self._lock:
            if self._cache_size:
                self._cache[key] = dict(terms)
            while len(self._cache) > self._cache_size:
                self._cache.popitem(last=False)
        return self._with_fixed(terms)

    def _with_fixed(self, terms: Mapping[str, int]) -> QueryStats:
        fixed = self._fixed
        return QueryStats(fixed.document_count, fixed.fields, dict(terms),
                          fixed.sources)

    def _searched(self, query: str, limit: int | None, total: QueryStats,
                  options: SearchOptions, deadline: float, turn: int,
                  numbers: Sequence[int] | None = None) -> list[Any]:
        return self._phase("vrim_search", {
            "query": query, "limit": limit, "stats": pickle.dumps(total),
            "options": options.shard_keywords()}, deadline, numbers, turn)

    def _answer(self, query: str, options: SearchOptions, deadline: float
                ) -> tuple[QueryStats, list[Any]]:
        """The summed statistics and every shard's hits, in as few round
        trips as what is known allows: a query seen before is searched at
        once with its statistics; another is sent with the collection's
        name, and each worker searches the shards whose terms all have
        summed frequencies it learnt from earlier searches, returning
        every shard's own frequencies; the remaining shards are searched
        with the sum in a second round. Without the cache, two rounds."""
        turn = next(self._turn)
        limit = options.wanted
        key = (query, options.phrases)
        terms = self._cached(key)
        if terms is not None:
            total = self._with_fixed(terms)
            if limit == 0:
                return total, []
            return total, self._searched(query, limit, total, options,
                                         deadline, turn)
        if limit == 0 or not self._cache_size:
            total = self._summed(key, self._phase(
                "vrim_stats", {"query": query, "phrases": options.phrases},
                deadline, None, turn))
            if limit == 0:
                return total, []
            return total, self._searched(query, limit, total, options,
                                         deadline, turn)
        replies = self._phase("vrim_query", {
            "query": query, "limit": limit, "collection": self._collection,
            "options": options.shard_keywords()}, deadline, None, turn)
        total = self._summed(key, [terms for _, terms in replies])
        ranked = [hits for hits, _ in replies]
        rest = [n for n, hits in enumerate(ranked) if hits is None]
        if rest:
            more = self._searched(query, limit, total, options, deadline,
                                  turn, rest)
            for number in rest:
                ranked[number] = more[number]
        return total, ranked

    def _two_phases(self, query: str, options: SearchOptions,
                    timeout: float | None) -> tuple[QueryStats, list[Hit]]:
        if self._closed:
            raise ValueError("this ShardedIndex is closed")
        deadline = _deadline(timeout)
        try:
            total, ranked = self._answer(query, options, deadline)
        except TimeoutError as error:
            if self._client.status == "running":
                raise
            raise self._scheduler_lost(
                "the shards did not answer within the timeout") from error
        self._maybe_repair()
        hits = [[Hit(*hit) for hit in part] for part in ranked]
        return total, options.page(merge_ranked(
            hits, options.wanted, lambda h: hit_order(h.ref, h.score)))

    def query_stats(self, query: str, *, phrases: bool = False,
                    timeout: float | None = 30.0) -> QueryStats:
        """The statistics of ``query`` summed over every shard."""
        options = SearchOptions.check(0, None, 0, phrases)
        self._probe.search(query, 0, phrases=phrases)
        return self._two_phases(query, options, timeout)[0]

    def search(self, query: str, limit: int | None = None, *,
               filter: Iterable[str] | None = None, offset: int = 0,
               phrases: bool = False,
               timeout: float | None = 30.0) -> list[Hit]:
        """Search every shard with the collection's statistics.

        Hits in descending score order, ties by reference; ``limit``,
        ``offset`` and ``phrases`` as in ``Index.search``; ``filter`` any
        iterable of references, as for ``vrim.ShardedIndex``. Raises ``QueryError`` for a malformed query and
        ``TimeoutError`` when there is no answer within ``timeout``
        seconds (``None``: no bound); the call returns or raises within
        ``timeout + TIMEOUT_SLACK``. ``SchedulerLostError`` when a shard
        has no live copy and the scheduler that could place one is gone;
        what restoring raised (``FileNotFoundError``, for example) when a
        shard's file cannot be read.
        """
        options = SearchOptions.check(limit, filter, offset, phrases)
        self._probe.search(query, 0, phrases=phrases)  # checks the query
        if limit is not None and operator.index(limit) == 0:
            return []
        return self._two_phases(query, options, timeout)[1]

    # ------------------------------------------------- placing shards

    def _scheduler_lost(self, what: str) -> SchedulerLostError:
        return SchedulerLostError(
            f"the Dask scheduler at {self._scheduler} is lost (client "
            f"status {self._client.status!r}) and {what}: start a "
            "scheduler and workers and load the shard files there, "
            "vrim.dask.load(path, client=Client(address))")

    def _live_workers(self, deadline: float, what: str) -> list[str]:
        """The scheduler's workers; SchedulerLostError without it."""
        if self._client.status != "running":
            raise self._scheduler_lost(what)

        try:
            identity = self._loop.run(
                self._call(self._scheduler, "identity", deadline), deadline,
                "asking the scheduler")
        except _Unreachable:
            raise self._scheduler_lost(what) from None
        return sorted(identity["workers"])

    def _least_loaded(self, workers: list[str], exclude: list[str]
                      ) -> str | None:
        with self._lock:
            load = collections.Counter(a for s in self._shards
                                       for a in s.holders)
        free = [w for w in workers if w not in exclude
                and w not in self._dead]
        return min(free, key=lambda w: (load[w], w)) if free else None

    def _restore_missing(self, deadline: float) -> None:
        """Place every shard that has no live copy, from its file or
        partition, within the deadline."""
        with self._lock:
            lost = [s for s in self._shards if not s.holders]
        if not lost:
            return
        names = ", ".join(s.describe() for s in lost)
        workers = self._live_workers(
            deadline, f"{names} {'has' if len(lost) == 1 else 'have'} no "
            "live copy")
        for shard in lost:
            while True:
                target = self._least_loaded(workers, [])
                if target is None:
                    raise ShardLostError(f"no live worker to place "
                                         f"{shard.describe()} on")
                try:
                    self._restore(shard, target, deadline)
                    break
                except _Unreachable:
                    self._worker_died(target)

    def _restore(self, shard: _Shard, target: str, deadline: float) -> None:
        info = shard.info
        if info.path is not None:
            try:
                key = self._loop.run(self._call(
                    target, "vrim_load", deadline, key=shard.key or None,
                    path=info.path, size=info.size, sha256=info.sha256),
                    deadline, f"reading {shard.describe()}")
            except TimeoutError:
                raise
            except (OSError, ValueError) as error:
                raise type(error)(f"{shard.describe()}: {error}") from error
        elif info.partition is not None:
            part, settings, number = info.partition
            future = self._client.compute(  # type: ignore[no-untyped-call]
                delayed(build_shard)(part, settings, number),
                workers=[target], allow_other_workers=True)
            try:
                described = future.result(timeout=_remaining(deadline))
            except (TimeoutError, concurrent.futures.TimeoutError):
                raise TimeoutError(f"rebuilding {shard.describe()} did not "
                                   "finish within the timeout") from None
            key, target = described["fingerprint"], described["address"]
        else:
            raise ShardLostError(
                f"{shard.describe()} is lost with every worker that held "
                "it and has no file or partition to be restored from")
        with self._lock:
            if shard.key and key != shard.key:
                raise ValueError(f"{shard.describe()} came back with "
                                 f"fingerprint {key}, not {shard.key}: its "
                                 "source changed")
            shard.key = key
            if target not in shard.holders:
                shard.holders.append(target)

    def _describe_all(self, deadline: float) -> list[dict[str, Any]]:
        async def ask(shard: _Shard) -> dict[str, Any]:
            reply = await self._call(shard.holders[0], "vrim_describe",
                                     deadline, key=shard.key)
            described: dict[str, Any] = pickle.loads(reply)
            return described

        async def every() -> list[dict[str, Any]]:
            return list(await asyncio.gather(*map(ask, self._shards)))
        return self._loop.run(every(), deadline, "describing the shards")

    def _refs_of(self, number: int) -> list[str]:
        shard = self._shards[number]

        async def ask() -> list[str]:
            reply = await self._call(shard.holders[0], "vrim_describe",
                                     _deadline(300), key=shard.key,
                                     refs=True)
            refs: list[str] = pickle.loads(reply)["refs"]
            return refs
        return self._loop.run(ask(), _deadline(300), "listing references")

    def _replicate(self, deadline: float) -> bool:
        """Copy under-replicated shards to other live workers; True when
        any copy was made. Copies come from a live holder."""
        workers = self._live_workers(deadline, "shards need copies")
        live = set(workers)
        for address in {a for s in self._shards for a in s.holders} - live:
            self._worker_died(address)
        made = False
        for shard in self._shards:
            if self._closed:
                break
            with self._lock:
                holders = list(shard.holders)
            if not holders:
                self._restore_missing(deadline)
                made = True
                continue
            while len(holders) < self._replicas:
                target = self._least_loaded(workers, holders)
                if target is None:
                    break

                try:
                    self._loop.run(self._call(
                        target, "vrim_copy", deadline, key=shard.key,
                        source=holders[0]), deadline,
                        f"copying {shard.describe()}")
                except _Unreachable:
                    self._worker_died(target)
                    continue
                except OSError:  # the source failed: try again later
                    if _remaining(deadline) == 0:
                        raise
                    break
                holders.append(target)
                with self._lock:
                    if target not in shard.holders:
                        shard.holders.append(target)
                made = True
        return made

    def _maybe_repair(self) -> None:
        """Start a background repair when a shard lacks replicas (at most
        once a second)."""
        with self._lock:
            short = any(len(s.holders) < self._replicas
                        for s in self._shards)
            now = time.monotonic()
            if (not short or self._repairing or self._closed
                    or now - self._last_repair < 1.0):
                return
            self._repairing = True
            self._last_repair = now
        threading.Thread(target=self._repair, daemon=True,
                         name="vrim-dask-repair").start()

    def _repair(self) -> None:
        """Copy shards until each has its replicas again, waiting for
        workers to join when there are too few (for REPAIR_SECONDS at
        most; the next search starts again)."""
        give_up = time.monotonic() + REPAIR_SECONDS
        try:
            while not self._closed and time.monotonic() < give_up:
                self._replicate(_deadline(120))
                with self._lock:
                    if all(len(s.holders) >= self._replicas
                           for s in self._shards):
                        return
                time.sleep(0.5)
        except Exception:  # the scheduler is gone: retried by a search
            pass
        finally:
            with self._lock:
                self._repairing = False

    def close(self) -> None:
        """Release the shards from the workers' memory."""
        with self._lock:
            self._closed = True
            held: dict[str, list[str]] = collections.defaultdict(list)
            for shard in self._shards:
                for address in shard.holders:
                    held[address].append(shard.key)
                shard.holders = []

        async def drop() -> None:
            await asyncio.gather(
                *(self._call(a, "vrim_drop", _deadline(5), keys=keys)
                  for a, keys in held.items()),
                return_exceptions=True)
            await self._pool.close()
        try:
            self._loop.run(drop(), _deadline(10), "closing")
        except TimeoutError:
            pass


class _NoCopy(Exception):
    """A shard ran out of live holders during a round."""


class _Unreachable(Exception):
    """No connection to a worker could be made, or it closed mid-call."""

    def __init__(self, address: str) -> None:
        super().__init__(address)
        self.address = address
