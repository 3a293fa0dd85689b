"""A process for the crash and concurrency tests.

    collection_worker.py write PATH FIRST SECONDS   commit batches FIRST, FIRST+1,
        ... (merging as the policy says, optimizing every seventh), printing
        each number once it is committed, for SECONDS or until killed
    collection_worker.py read PATH SECONDS          refresh and check every new
        state against a fresh index of its batch's documents; prints
        "checked N" at the end, or the first wrong answer
"""

import sys
import time

import vrim
from collection_model import States, batch, batch_of, check_searches
from vrim._collection import TieredMergePolicy


def write(path, first, seconds):
    deadline = time.monotonic() + seconds
    with vrim.Collection.open(path) as coll:
        coll.merge_policy = TieredMergePolicy(factor=3, floor=8)
        print("ready", flush=True)
        number = first
        while time.monotonic() < deadline:
            upserts, deletions = batch(number)
            with coll.writer(timeout=60) as w:
                w.upsert(upserts)
                w.delete(deletions)
            print(number, flush=True)
            if number % 7 == 0:
                coll.optimize(timeout=60)
            number += 1


def read(path, seconds):
    states = States()
    deadline = time.monotonic() + seconds
    checked = 0
    with vrim.Collection.open(path, readonly=True) as coll:
        while time.monotonic() < deadline:
            coll.refresh()
            docs = states[batch_of(coll)]
            assert sorted(coll) == sorted(docs)
            check_searches(coll, docs, queries=["apple river", "ston* -sea"],
                           wheres=(None, {"lang": "en"}), cuts=((5, 0), (None, 3)))
            checked += 1
    print("checked", checked, flush=True)


if __name__ == "__main__":
    mode, path, *rest = sys.argv[1:]
    if mode == "write":
        write(path, int(rest[0]), float(rest[1]))
    else:
        read(path, float(rest[0]))
