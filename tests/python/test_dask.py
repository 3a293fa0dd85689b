"""vrim.dask on a two-process LocalCluster and on separate scheduler and
worker processes: shards built from a bag answer like one local index,
from several threads; a killed worker, a killed scheduler and a missing
shard file end each search within its timeout, with the same answer or a
clear error, and a new cluster takes over from the shard files."""

import json
import os
import pickle
import random
import signal
import socket
import subprocess
import sys
import threading
import time
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
TIMEOUT = 10.0


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


def local_index(docs, fields=(("title", 2.0), ("body", 1.0))):
    builder = vrim.IndexBuilder("en")
    for name, boost in fields:
        builder.field(name, boost)
    for doc in docs:
        builder.add(doc, boost=doc["boost"])
    return builder.build()


def expected(index, query, limit):
    return [(h.ref, h.score, h.matches) for h in index.search(query, limit)]


def answers(sharded, index, queries=QUERIES):
    for query in queries:
        for limit in (None, 5):
            got = [tuple(hit) for hit in sharded.search(query, limit,
                                                        timeout=60)]
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


def build(client, docs, partitions=4, replicas=1):
    bag = dask_bag.from_sequence(docs, npartitions=partitions)
    return vdask.build(bag, {"title": 2.0, "body": 1.0}, boost_field="boost",
                       replicas=replicas, client=client)


def kill(client, addresses):
    """SIGKILL the worker processes at `addresses`; nannies start new ones
    (with new addresses)."""
    pids = client.run(os.getpid, workers=list(addresses))
    for pid in pids.values():
        os.kill(pid, signal.SIGKILL)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Processes:
    """A `dask scheduler` and two `dask worker` processes on this machine,
    with a client that is not the default one."""

    def __init__(self):
        self.address = f"tcp://127.0.0.1:{free_port()}"
        cli = [sys.executable, "-m"]
        quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL,
                 "start_new_session": True}
        self.scheduler = subprocess.Popen(
            cli + ["distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                   "--port", self.address.rsplit(":", 1)[1],
                   "--dashboard-address", ":0"], **quiet)
        self.workers = subprocess.Popen(
            cli + ["distributed.cli.dask_worker", self.address,
                   "--nworkers", "2", "--nthreads", "1", "--host",
                   "127.0.0.1", "--no-dashboard"], **quiet)
        self.client = distributed.Client(self.address, set_as_default=False,
                                         timeout=60)
        self.client.wait_for_workers(2, timeout=60)

    def close(self):
        for process in (self.workers, self.scheduler):
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            process.wait()
        self.client.close(timeout=5)


@pytest.fixture
def processes():
    started = Processes()
    yield started
    started.close()


def search_while(sharded, index, event, timeout=TIMEOUT):
    """Search until `event` is set; every search's duration, and what
    failed (a wrong answer, an error)."""
    durations, failures = [], []
    rng = random.Random(5)
    while not event.is_set():
        query = rng.choice(QUERIES)
        start = time.monotonic()
        try:
            got = [tuple(h) for h in sharded.search(query, 5,
                                                    timeout=timeout)]
            if got != expected(index, query, 5):
                failures.append(("wrong answer", query))
        except Exception as error:  # noqa: BLE001 - recorded, then asserted
            failures.append((type(error).__name__, str(error)))
        durations.append(time.monotonic() - start)
    return durations, failures


def searching_through(sharded, index, action, threads=2):
    """Search from `threads` threads while `action()` runs, and a second
    after it."""
    stop = threading.Event()
    with ThreadPoolExecutor(threads) as pool:
        runs = [pool.submit(search_while, sharded, index, stop)
                for _ in range(threads)]
        time.sleep(0.3)
        action()
        time.sleep(1.0)
        stop.set()
        results = [run.result() for run in runs]
    durations = [d for ds, _ in results for d in ds]
    failures = [f for _, fs in results for f in fs]
    return durations, failures


def wait_until(condition, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.2)


def test_bag_shards_answer_like_one_index_from_many_threads(client, docs):
    sharded = build(client, docs)
    index = local_index(docs)
    assert len(sharded) == len(index) == 400
    halves = [local_index(docs[:200]), local_index(docs[200:])]
    summed = sum(half.query_stats("river") for half in halves)
    got = sharded.query_stats("river")
    assert (got.document_count, got.fields, got.terms) == (
        summed.document_count, summed.fields, summed.terms)
    assert sorted(f for f, _ in got.sources) == sorted(
        s.fingerprint for s in sharded.shards)
    with ThreadPoolExecutor(4) as pool:
        list(pool.map(lambda _: answers(sharded, index), range(4)))
    with pytest.raises(vrim.QueryError):
        sharded.search("title:")
    sharded.close()


def test_filter_offset_and_phrases_reach_every_shard(client, docs):
    sharded = build(client, docs)
    index = local_index(docs)
    allowed = {doc["id"] for doc in docs[::3]}
    for query in ('"river stone" walk', "river", '"walking the"~2'):
        for limit, offset in ((None, 0), (5, 3)):
            options = dict(filter=allowed, offset=offset, phrases=True)
            got = [tuple(h) for h in sharded.search(query, limit, timeout=60,
                                                    **options)]
            assert got == [(h.ref, h.score, h.matches)
                           for h in index.search(query, limit, **options)]
    assert (sharded.query_stats('"river stone"', phrases=True).terms
            == index.query_stats('"river stone"', phrases=True).terms)
    sharded.close()


def test_known_terms_save_a_round_trip(client, docs, monkeypatch):
    # Shards no other test searched: workers know nothing of them yet.
    docs = docs[:333]
    sharded = build(client, docs, replicas=2)
    uncached = vdask.ShardedIndex(sharded.shards, client=client,
                                  stats_cache=0)
    index = local_index(docs)
    second_rounds = []
    searched = sharded._searched
    # A second round names the shards it asks again.
    monkeypatch.setattr(sharded, "_searched", lambda *args: (
        len(args) > 6 and second_rounds.append(args[0]), searched(*args))[1])
    # Every worker learns the terms of these (each is searched on both).
    for _ in range(2):
        answers(sharded, index, ["river stone*", "walk~1 pear", "sea"])
    second_rounds.clear()
    # Known terms in new texts: one round; a new term: two; all exact.
    answers(sharded, index, ["stone* river", "pear walk~1 sea", "zebr*",
                             "river zebr*", "river appl*"])
    assert second_rounds == ["zebr*", "river appl*"]
    answers(uncached, index, ["river", "stone* river"])
    uncached.close()
    sharded.close()


def test_a_partial_statistics_sum_is_refused(client, docs):
    sharded = build(client, docs)
    total = sharded.query_stats("river")
    partial = vrim.QueryStats(total.document_count, total.fields,
                              total.terms, total.sources[1:])
    with pytest.raises(ValueError, match="own contribution"):
        sharded._phase("vrim_search", {"query": "river", "limit": 5,
                                       "stats": pickle.dumps(partial)},
                       time.monotonic() + TIMEOUT)
    sharded.close()


@pytest.mark.parametrize("rows,message", [
    ([{"id": "a", "title": "x"}, {"title": "no reference"}],
     "partition 1, row 0"),
    ([{"id": "a"}, {"id": 7, "title": "x"}], "partition 1, row 0"),
    ([{"id": "a"}, {"id": "b"}, {"id": "c"}, "text"],
     r"partition 1, row 1 \(a str\): a document must be a mapping"),
])
def test_build_errors_name_the_partition_and_the_row(client, rows, message):
    bag = dask_bag.from_sequence(rows, npartitions=2)
    with pytest.raises(Exception, match=message):
        vdask.build(bag, ["title"], client=client)


@pytest.mark.parametrize("cluster", ["local", "processes"])
def test_a_killed_worker_costs_no_answer_with_two_replicas(
        request, docs, cluster):
    if cluster == "local":
        client = request.getfixturevalue("client")
    else:
        client = request.getfixturevalue("processes").client
    sharded = build(client, docs, partitions=3, replicas=2)
    index = local_index(docs)
    for shard in sharded.shards:
        assert len(set(shard.workers)) == 2
    victim = sharded.shards[0].workers[0]
    durations, failures = searching_through(
        sharded, index, lambda: kill(client, [victim]))
    assert failures == []
    assert max(durations) < TIMEOUT + vdask.TIMEOUT_SLACK
    # The shards of the lost worker are copied to the new one.
    wait_until(lambda: all(len(set(s.workers)) == 2 and victim not in
                           s.workers for s in sharded.shards))
    answers(sharded, index, QUERIES[:3])
    sharded.close()


def test_written_shards_survive_a_missing_file_and_a_tampered_one(
        client, docs, tmp_path):
    bag = dask_bag.from_sequence(docs, npartitions=2)
    paths = vdask.write(bag, str(tmp_path), ["title", "body"],
                        boost_field="boost", client=client)
    assert sorted(os.listdir(tmp_path)) == [
        "shard-00000.vrim", "shard-00001.vrim", "vrim-shards.json"]
    listed = json.loads((tmp_path / "vrim-shards.json").read_text())
    assert [s["file"] for s in listed["shards"]] == ["shard-00000.vrim",
                                                     "shard-00001.vrim"]
    assert sum(s["documents"] for s in listed["shards"]) == 400
    sharded = vdask.load(str(tmp_path), client=client)
    index = local_index(docs, (("title", 1.0), ("body", 1.0)))
    answers(sharded, index)

    # The file goes, and with it every worker holding the shard.
    data = open(paths[1], "rb").read()
    os.remove(paths[1])
    kill(client, sharded.shards[1].workers)
    with pytest.raises(FileNotFoundError, match="shard 1"):
        sharded.search("river", timeout=60)
    with open(paths[1], "wb") as out:  # restored: the next search reads it
        out.write(data)
    answers(sharded, index, QUERIES[:3])
    sharded.close()

    with open(paths[0], "r+b") as out:
        out.seek(len(data) // 2)
        out.write(b"\0\1\2")
    with pytest.raises(ValueError, match="SHA-256"):
        vdask.load(str(tmp_path), client=client)
    (tmp_path / "vrim-shards.json").write_text('{"format": "other"}')
    with pytest.raises(ValueError, match="not a shard manifest"):
        vdask.load(str(tmp_path), client=client)


def test_scheduler_loss_ends_every_call_and_a_new_cluster_takes_over(
        processes, docs, tmp_path):
    bag = dask_bag.from_sequence(docs, npartitions=3)
    vdask.write(bag, str(tmp_path), {"title": 2.0, "body": 1.0},
                boost_field="boost", client=processes.client)
    sharded = vdask.load(str(tmp_path), replicas=2, client=processes.client)
    index = local_index(docs)
    answers(sharded, index, QUERIES[:3])

    os.kill(processes.scheduler.pid, signal.SIGKILL)
    # Workers may outlive their scheduler for a while; once they are gone
    # too, searches say the scheduler is lost. Each call ends in time.
    processes.workers.send_signal(signal.SIGTERM)
    outcomes = set()
    give_up = time.monotonic() + 60
    while "SchedulerLostError" not in outcomes and time.monotonic() < give_up:
        query = random.choice(QUERIES)
        start = time.monotonic()
        try:
            sharded.search(query, 5, timeout=3)
            outcomes.add("answered")
        except (vdask.SchedulerLostError, TimeoutError) as error:
            outcomes.add(type(error).__name__)
        assert time.monotonic() - start < 3 + vdask.TIMEOUT_SLACK
    assert "SchedulerLostError" in outcomes
    with pytest.raises(vdask.SchedulerLostError, match="scheduler at tcp"):
        sharded.search("river", timeout=3)
    with pytest.raises(vdask.SchedulerLostError):
        vdask.load(str(tmp_path), client=processes.client)

    replacement = Processes()
    try:
        taken_over = vdask.load(str(tmp_path), replicas=2,
                                client=replacement.client)
        answers(taken_over, index)
    finally:
        replacement.close()


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
    with pytest.raises(ValueError, match="replicas"):
        vdask.ShardedIndex(first.shards, client=client, replicas=0)


def test_import_vrim_does_not_import_dask():
    code = ("import sys, vrim; "
            "assert not {'dask', 'distributed'} & set(sys.modules)")
    subprocess.run([sys.executable, "-c", code], check=True)
