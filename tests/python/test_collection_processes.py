"""Collections across processes: a writer killed with SIGKILL at random
moments of its commits and merges, and readers searching while a writer
commits and merges. Sizes are environment knobs: VRIM_CRASH_KILLS (kills,
default 30) and VRIM_CONCURRENCY_SECONDS (default 8)."""

import os
import random
import signal
import subprocess
import sys
import time

import pytest

import vrim
from collection_model import (COLUMNS, FIELDS, States, batch_of, check_searches)


pytestmark = pytest.mark.skipif(not hasattr(signal, "SIGKILL"),
                                reason="needs SIGKILL")
WORKER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "collection_worker.py")


def worker(*args):
    return subprocess.Popen([sys.executable, WORKER, *map(str, args)],
                            stdout=subprocess.PIPE, text=True)


def test_killed_writer_leaves_exactly_one_committed_state(tmp_path):
    path = str(tmp_path / "c")
    vrim.Collection.create(path, "en", FIELDS, columns=COLUMNS).close()
    kills = int(os.environ.get("VRIM_CRASH_KILLS", "30"))
    rng = random.Random(kills)
    states = States()
    committed = 0
    for _ in range(kills):
        process = worker("write", path, committed + 1, 60)
        assert process.stdout.readline() == "ready\n"
        time.sleep(rng.uniform(0, 0.3))
        process.send_signal(signal.SIGKILL)
        printed = [int(line) for line in process.stdout.read().split()]
        process.wait()
        process.stdout.close()
        acknowledged = printed[-1] if printed else committed
        with vrim.Collection.open(path) as coll:
            # The last acknowledged batch, or the one whose COMMIT was
            # durable before its number got printed.
            committed = batch_of(coll)
            assert committed in (acknowledged, acknowledged + 1)
            docs = states[committed]
            assert sorted(coll) == sorted(docs)
            assert all(coll.get(ref) == doc for ref, doc in docs.items())
            check_searches(coll, docs, queries=["apple river", "ston* -sea"],
                           wheres=(None, {"year": (1995, None)}))
    with vrim.Collection.open(path) as coll:
        with coll.writer():
            pass  # removes what the killed writers left
        segments = os.listdir(os.path.join(path, "segments"))
        assert sorted(segments) == sorted(s for s in _named(path))


def _named(path):
    import sqlite3
    with sqlite3.connect(os.path.join(path, "catalog.sqlite")) as db:
        return [f for (f,) in db.execute("SELECT file FROM segments")]


def test_readers_see_whole_commits_while_a_writer_merges(tmp_path):
    path = str(tmp_path / "c")
    vrim.Collection.create(path, "en", FIELDS, columns=COLUMNS).close()
    seconds = float(os.environ.get("VRIM_CONCURRENCY_SECONDS", "8"))
    writer = worker("write", path, 1, seconds)
    assert writer.stdout.readline() == "ready\n"
    readers = [worker("read", path, seconds) for _ in range(2)]
    outputs = [reader.communicate()[0] for reader in readers]
    written = writer.communicate()[0].split()
    assert writer.returncode == 0 and len(written) > 3
    for reader, output in zip(readers, outputs):
        assert reader.returncode == 0, output
        assert output.startswith("checked ") and int(output.split()[1]) > 0
    print(f"{len(written) - 1} commits; states checked by the readers: "
          + ", ".join(output.split()[1] for output in outputs))
