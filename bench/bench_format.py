"""Binary index format benchmark on the English corpus (bench/corpus.py).

Reports the size of ``to_bytes`` output with and without positions, relative
to the corpus text and to a contentless SQLite FTS5 database holding the
same documents (``content=''``, ``tokenize='porter unicode61'``, written out
with ``VACUUM INTO``); write and read speed in MB/s of serialised bytes; and
loading (``from_bytes``) against a single-threaded build of the same index
(``add_many`` plus ``build(threads=1)``). Times are medians over the
repetitions, of the wall clock and of this process's CPU time (the fairer
figure on a busy machine: both sides run on one thread).

Targets: the file with positions no larger than the FTS5 database and at most
half the text; loading at least fifteen times faster than a single-threaded
build (CPU time).

    python3 bench/bench_format.py [--limit N] [--repeat R]
"""

from __future__ import annotations

import argparse
import os
import sqlite3
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from corpus import load_english_corpus, text_bytes  # noqa: E402

import vrim  # noqa: E402


def median_of(repeat: int, fn):
    """(median wall time, median CPU time, last result) of `repeat` calls."""
    walls, cpus = [], []
    result = None
    for _ in range(repeat):
        result = None  # the previous result is freed outside the timing
        wall, cpu = time.perf_counter(), time.process_time()
        result = fn()
        cpus.append(time.process_time() - cpu)
        walls.append(time.perf_counter() - wall)
    return statistics.median(walls), statistics.median(cpus), result


def build(docs):
    builder = vrim.IndexBuilder("en")
    builder.field("title", 10.0)
    builder.field("body")
    builder.add_many(docs)
    return builder.build(threads=1)


def fts5_size(docs) -> int:
    """Bytes of a vacuumed contentless FTS5 database over `docs`."""
    with tempfile.TemporaryDirectory() as tmp:
        db = sqlite3.connect(":memory:")
        db.execute(
            "CREATE VIRTUAL TABLE docs USING fts5("
            "title, body, content='', tokenize='porter unicode61')"
        )
        db.executemany(
            "INSERT INTO docs(rowid, title, body) VALUES (?, ?, ?)",
            ((i + 1, d["title"], d["body"]) for i, d in enumerate(docs)),
        )
        db.commit()
        path = os.path.join(tmp, "fts5.db")
        db.execute("VACUUM INTO ?", (path,))
        db.close()
        return os.path.getsize(path)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--limit", type=int, help="use only the first N documents")
    parser.add_argument("--repeat", type=int, default=5, help="timing repetitions")
    args = parser.parse_args()

    docs = load_english_corpus()
    if args.limit:
        docs = docs[: args.limit]
    text = text_bytes(docs)
    print(f"corpus: {len(docs)} documents, {text / 1e6:.1f} MB of text")

    build_time, build_cpu, index = median_of(args.repeat, lambda: build(docs))
    print(
        f"single-threaded build: {build_time:.2f} s wall, {build_cpu:.2f} s CPU "
        f"({text / 1e6 / build_cpu:.1f} MB text/s)"
    )

    fts5 = fts5_size(docs)
    print(f"fts5 contentless database: {fts5 / 1e6:.2f} MB")

    ok = True
    load_cpu_full = None
    for positions in (True, False):
        write_time, _, data = median_of(args.repeat, lambda: index.to_bytes(positions=positions))
        read_time, read_cpu, loaded = median_of(
            args.repeat, lambda: vrim.Index.from_bytes(data, "en"))
        assert loaded.to_bytes(positions=positions) == data, "round trip differs"
        mb = len(data) / 1e6
        label = "with positions" if positions else "without positions"
        print(
            f"{label}: {mb:.2f} MB = {len(data) / text:.3f} x text, "
            f"{len(data) / fts5:.3f} x fts5; write {mb / write_time:.0f} MB/s, "
            f"read {mb / read_cpu:.0f} MB/s (load {read_time * 1000:.0f} ms wall, "
            f"{read_cpu * 1000:.0f} ms CPU)"
        )
        if positions:
            load_cpu_full = read_cpu
            if len(data) > fts5:
                print("  TARGET MISSED: larger than the fts5 database")
                ok = False
            if len(data) > 0.5 * text:
                print("  TARGET MISSED: more than half the text")
                ok = False

    ratio = build_cpu / load_cpu_full
    print(f"loading is {ratio:.1f}x faster than a single-threaded build (CPU time)")
    if ratio < 15:
        print("  TARGET MISSED: loading less than 15x faster than a single-threaded build")
        ok = False
    print("all targets met" if ok else "some targets missed")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
