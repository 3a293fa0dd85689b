"""vrim.dask on a two-process LocalCluster: shards built from a bag answer
like one local index, from several threads, and survive a killed worker
with the same answer or a clear error."""

import os
import random
import signal
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

distributed = pytest.importorskip("distributed")
dask_bag = pytest.importorskip("dask.bag")

import vrim  # noqa: E402
import vrim.dask as vdask  # noqa: E402

WORDS = ("apple apples pear river rivers running runner stone stones light "
         "sea seas walk walking walked the of").split()
QUERIES = ["river", "+river stone*", "walk~1 -sea", "title:light^2 pear",
           "appl* rivers", "zz", "-apple", "zebr* river", "zebra~1 sea"]


def random_docs(seed, count):
    # A few words in one document each, so that shards match different
    # terms of one expansion.
    rng = random.Random(seed)
    return [{"id": f"doc{n:04d}",
             "title": " ".join(rng.choices(WORDS, k=rng.randint(0, 4))
                               + [f"zebra{n}" * (n % 97 == 5)]),
             "body": " ".join(rng.choices(WORDS, k=rng.randint(0, 30))),
             "boost": rng.choice([1.0, 1.0, 2.0])}
            for n in range(count)]


def local_index(docs):
    builder = vrim.IndexBuilder("en")
    builder.field("title", 2.0)
    builder.field("body")
    for doc in docs:
        builder.add(doc, boost=doc["boost"])
    return builder.build()


def expected(index, query, limit):
    return [(h.ref, h.score, h.matches) for h in index.search(query, limit)]


def answers(sharded, index):
    for query in QUERIES:
        for limit in (None, 5):
            got = [tuple(hit) for hit in sharded.search(query, limit,
                                                        timeout=120)]
            assert got == expected(index, query, limit), (query, limit)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=2,
                                  processes=True, dashboard_address=":0",
                                  silence_logs=50) as cluster:
        with distributed.Client(cluster) as client:
            yield client


@pytest.fixture(scope="module")
def docs():
    return random_docs(13, 400)


def build(client, docs, partitions=4):
    bag = dask_bag.from_sequence(docs, npartitions=partitions)
    return vdask.build(bag, {"title": 2.0, "body": 1.0}, boost_field="boost",
                       client=client)


def kill_workers(client, futures):
    """SIGKILL the worker processes holding `futures`; the nannies start
    fresh ones."""
    holders = {w for ws in client.who_has(futures).values() for w in ws}
    pids = client.run(os.getpid, workers=list(holders))
    for pid in pids.values():
        os.kill(pid, signal.SIGKILL)


def test_bag_shards_answer_like_one_index_from_many_threads(client, docs):
    sharded = build(client, docs)
    index = local_index(docs)
    assert len(sharded) == len(index) == 400
    assert sharded.query_stats("river") == sum(
        local.query_stats("river") for local in
        (local_index(docs[:200]), local_index(docs[200:])))
    with ThreadPoolExecutor(4) as pool:
        list(pool.map(lambda _: answers(sharded, index), range(4)))
    with pytest.raises(vrim.QueryError):
        sharded.search("title:")


def test_killed_worker_gives_the_same_answer(client, docs):
    sharded = build(client, docs, partitions=3)
    index = local_index(docs)
    answers(sharded, index)
    kill_workers(client, sharded.shards[:1])
    answers(sharded, index)  # shards rebuilt from their partitions


def test_written_shards_load_and_fail_clearly_once_gone(client, docs,
                                                        tmp_path):
    bag = dask_bag.from_sequence(docs, npartitions=2)
    paths = vdask.write(bag, str(tmp_path), ["title", "body"],
                        boost_field="boost", client=client)
    assert sorted(os.listdir(tmp_path)) == ["shard-00000.vrim",
                                            "shard-00001.vrim"]
    sharded = vdask.load(paths, client=client)
    builder = vrim.IndexBuilder("en")
    builder.field("title")
    builder.field("body")
    for doc in docs:
        builder.add(doc, boost=doc["boost"])
    answers(sharded, builder.build())
    for path in paths:
        os.remove(path)
    kill_workers(client, sharded.shards)
    with pytest.raises(FileNotFoundError):
        sharded.search("river", timeout=120)


def test_shards_must_agree_and_not_overlap(client, docs):
    first = build(client, docs[:100], partitions=2)
    overlapping = build(client, docs[90:150], partitions=1)
    with pytest.raises(ValueError, match="'doc009[0-9]' is in shard"):
        vdask.ShardedIndex(first.shards + overlapping.shards, client=client)
    other = vdask.build(dask_bag.from_sequence(docs[200:210]), ["title"],
                        client=client)
    with pytest.raises(ValueError, match="in fields"):
        vdask.ShardedIndex(first.shards + other.shards, client=client)
    with pytest.raises(TypeError, match="dask.bag.Bag"):
        vdask.build(docs, ["title"], client=client)


def test_import_vrim_does_not_import_dask():
    code = ("import sys, vrim; "
            "assert not {'dask', 'distributed'} & set(sys.modules)")
    subprocess.run([sys.executable, "-c", code], check=True)
