"""Shards on Dask against one local index, on the English corpus.

Builds the corpus once as one local index and once as 4 shards on a
two-worker LocalCluster (one thread each), then runs the same queries
(limit 10) on: the local index, the same 4 shards in process
(vrim.ShardedIndex), and the cluster (vrim.dask.ShardedIndex, whose
client calls the workers holding the shards directly). For scale, the
same two-round shape as a graph of no-op Dask tasks (what going through
the scheduler costs by itself). On the cluster, queries are run without
the statistics cache (two round trips each) and with it, repeated (one
round trip): median and 90th percentile latency from one thread, and
queries per second from 1 and 4 client threads; then, with the cache,
new texts of known terms (one round trip, the workers knowing the
terms' summed frequencies). Reports
build times and the payload bytes a query moves: the query text to every
shard twice, each shard's QueryStats to the client and the sum back to
every shard, each shard's hits to the client (pickled sizes; Dask adds
its own message framing).

    python bench/bench_shards.py [--queries N] [--limit 10]
"""

from __future__ import annotations

import argparse
import functools
import itertools
import math
import pickle
import statistics
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import queries as query_classes  # noqa: E402
from corpus import load_english_corpus  # noqa: E402

import vrim  # noqa: E402

FIELDS = {"title": 2.0, "body": 1.0}
SHARDS = 4


def build_local(docs: list[dict]) -> vrim.Index:
    builder = vrim.IndexBuilder("en")
    for name, boost in FIELDS.items():
        builder.field(name, boost)
    builder.add_many(docs)
    return builder.build()


def partitions(docs: list[dict], count: int) -> list[list[dict]]:
    """Contiguous parts of nearly equal size."""
    size = math.ceil(len(docs) / count)
    return [docs[i:i + size] for i in range(0, len(docs), size)]


def latencies(search, texts: list[str]) -> list[float]:
    out = []
    for text in texts:
        start = time.perf_counter()
        search(text)
        out.append(time.perf_counter() - start)
    return out


def summary(name: str, seconds: list[float]) -> str:
    ordered = sorted(seconds)
    p90 = ordered[int(0.9 * (len(ordered) - 1))]
    return (f"{name:<28} median {statistics.median(ordered) * 1e3:8.2f} ms"
            f"   p90 {p90 * 1e3:8.2f} ms")


def throughput(search, texts: list[str], threads: int,
               seconds: float = 3.0) -> float:
    """Queries per second from `threads` client threads taking the queries
    in turn for about `seconds`."""
    stop = time.perf_counter() + seconds
    done = [0] * threads

    def run(slot: int) -> None:
        for text in itertools.cycle(texts[slot::threads] or texts):
            if time.perf_counter() >= stop:
                return
            search(text)
            done[slot] += 1
    start = time.perf_counter()
    workers = [threading.Thread(target=run, args=(n,))
               for n in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return sum(done) / (time.perf_counter() - start)


def _nothing(*args: object) -> None:
    return None


def dask_floor(client, count: int) -> None:
    """The two-phase task graph with functions that do nothing: what the
    scheduler and the round trips cost by themselves."""
    first = [client.submit(_nothing, i, pure=False) for i in range(count)]
    total = client.submit(_nothing, first, pure=False)
    second = [client.submit(_nothing, i, total, pure=False)
              for i in range(count)]
    client.submit(_nothing, second, pure=False).result()


def payload_bytes(shards: list[vrim.Index], text: str, limit: int) -> dict:
    """Pickled sizes of what one two-phase query sends between tasks."""
    stats = [shard.query_stats(text) for shard in shards]
    total = sum(stats)
    sent = [total for _ in stats]
    hits = [[(h.ref, h.score, h.matches)
             for h in shard.search(text, limit, stats=total)]
            for shard in shards]
    merged = sorted((hit for part in hits for hit in part),
                    key=lambda h: (-h[1], h[0]))[:limit]
    query = len(pickle.dumps(text))
    return {
        "query": 2 * len(shards) * query,
        "stats": sum(len(pickle.dumps(s)) for s in stats + sent),
        "hits": sum(len(pickle.dumps(h)) for h in hits),
        "local_hits": len(pickle.dumps(merged)),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--queries", type=int, default=10,
                        help="queries per class")
    parser.add_argument("--limit", type=int, default=10)
    args = parser.parse_args()

    import dask.bag
    import distributed

    import vrim.dask as vdask

    docs = load_english_corpus()
    text_mb = sum(len(d["title"]) + len(d["body"]) for d in docs) / 1e6
    print(f"corpus: {len(docs)} documents, {text_mb:.1f} MB of text")

    start = time.perf_counter()
    local = build_local(docs)
    print(f"one local build:             {time.perf_counter() - start:7.1f} s")

    parts = partitions(docs, SHARDS)
    start = time.perf_counter()
    in_process = [build_local(part) for part in parts]
    print(f"{SHARDS} shards built in process:   "
          f"{time.perf_counter() - start:7.1f} s")
    sharded = vrim.ShardedIndex(in_process)

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                  processes=True, dashboard_address=":0",
                                  silence_logs=50) as cluster, \
            distributed.Client(cluster) as client:
        # The same parts as in process, one per bag partition.
        bag = dask.bag.from_sequence(parts, npartitions=len(parts)).flatten()
        start = time.perf_counter()
        remote = vdask.build(bag, FIELDS, client=client)
        print(f"{SHARDS} shards on 2 Dask workers:  "
              f"{time.perf_counter() - start:7.1f} s "
              "(documents shipped from the client included)")

        drawn = query_classes.make(docs, "en", args.queries)
        texts = [q.vrim for qs in drawn.values() for q in qs]
        limit = args.limit
        for text in texts[:5]:  # warm caches (token set, score bounds)
            local.search(text, limit)
            sharded.search(text, limit)
            remote.search(text, limit)
        print(f"\n{len(texts)} queries, limit {limit}:")
        print(summary("one local index", latencies(
            lambda t: local.search(t, limit), texts)))
        print(summary("4 shards in process", latencies(
            lambda t: sharded.search(t, limit), texts)))
        print(summary("  task graph of no-ops", latencies(
            lambda t: dask_floor(client, SHARDS), texts)))

        # The same shards without the statistics cache: every query
        # gathers its statistics from the shards first.
        uncached = vdask.ShardedIndex(remote.shards, client=client,
                                      stats_cache=0)
        print(f"\n4 shards on Dask, limit {limit}:")
        for label, index in (("no statistics cache", uncached),
                             ("statistics cache, repeated", remote)):
            search = functools.partial(index.search, limit=limit)
            for text in texts:  # the cached index sees each query once
                search(text)
            print(summary(label, latencies(search, texts)))
            rates = [throughput(search, texts, n) for n in (1, 4)]
            print(f"{'':<28} {rates[0]:8.0f} q/s from 1 thread, "
                  f"{rates[1]:.0f} q/s from 4 threads")
        # New texts of known terms (the clauses in reverse order): the
        # workers know their summed frequencies, the client not the text.
        reordered = [" ".join(reversed(text.split())) for text in texts
                     if '"' not in text and len(text.split()) > 1]
        print(summary("cache, known terms, new text", latencies(
            lambda t: remote.search(t, limit), reordered)))

    sizes = [payload_bytes(in_process, text, limit) for text in texts]
    print("\npayload bytes per query (mean; pickled):")
    for key in ("query", "stats", "hits"):
        print(f"  {key:<6} {statistics.mean(s[key] for s in sizes):10.0f}")
    total = statistics.mean(s["query"] + s["stats"] + s["hits"]
                            for s in sizes)
    print(f"  total  {total:10.0f}   (one local index returns "
          f"{statistics.mean(s['local_hits'] for s in sizes):.0f} bytes of "
          "hits and moves nothing)")


if __name__ == "__main__":
    main()
