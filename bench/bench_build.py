"""Index build benchmark on the English corpus (bench/corpus.py).

Builds the corpus (fields title and body) with ``vrim.IndexBuilder("en")``
and, in the same run, with SQLite FTS5 from Python's ``sqlite3``
(``tokenize='porter unicode61'``, in-memory database). Each engine runs in a
fresh child process so that its peak resident memory is its own.

Reported per engine: speed in MB/s of corpus text (for vrim both ``build()``
alone and ``add_many`` plus ``build``; for FTS5 the inserts plus commit) and
peak resident memory: the growth during the measured step over the resident
size just before it, and the whole process's peak.

Vrim runs twice, in children interleaved with FTS5's: ``build(threads=1)``
and ``build()`` on every available core. Besides wall time, the parallel
build reports the CPU time of the calling thread (``time.thread_time()``):
with balanced shares that thread is on the critical path, so on a machine
shared with other work it estimates the wall time an idle machine would
give.

Targets: vrim at least twice FTS5's speed (end to end, ``add_many`` plus
``build`` against the inserts); the memory ``build()`` adds below three
times the corpus text size, single-threaded and parallel; on two cores the
parallel build at least 1.7x the single-threaded one.

    python3 bench/bench_build.py [--limit N] [--repeat R]
"""

from __future__ import annotations

import argparse
import json
import os
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from corpus import load_english_corpus, text_bytes  # noqa: E402


def _status_kb(key: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{key} missing from /proc/self/status")


def _reset_peak() -> None:
    # Writing 5 resets VmHWM to the current resident size.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


class _Measure:
    """Times a step and records the resident memory it adds at its peak."""

    def __enter__(self):
        self.before_kb = _status_kb("VmRSS")
        _reset_peak()
        self.start = time.perf_counter()
        self.cpu_start = time.process_time()
        self.thread_start = time.thread_time()
        return self

    def __exit__(self, *exc):
        self.seconds = time.perf_counter() - self.start
        self.cpu_seconds = time.process_time() - self.cpu_start
        self.thread_seconds = time.thread_time() - self.thread_start
        self.peak_kb = _status_kb("VmHWM")
        self.added_mb = (self.peak_kb - self.before_kb) / 1024
        return False


def _child_vrim(docs: list[dict], threads: int | None) -> dict:
    import vrim

    builder = vrim.IndexBuilder("en")
    builder.field("title")
    builder.field("body")
    with _Measure() as add:
        builder.add_many(docs)
    with _Measure() as build:
        index = builder.build(threads=threads)
    return {
        "build_thread_cpu": build.thread_seconds,
        "cores": len(os.sched_getaffinity(0)),
        "add_s": add.seconds,
        "build_s": build.seconds,
        "add_cpu": add.cpu_seconds,
        "build_cpu": build.cpu_seconds,
        "build_added_mb": build.added_mb,
        "total_added_mb": (build.peak_kb - add.before_kb) / 1024,
        "peak_mb": build.peak_kb / 1024,
        "terms": index.term_count if hasattr(index, "term_count") else None,
    }


def _child_fts5(docs: list[dict]) -> dict:
    with _Measure() as m:
        con = sqlite3.connect(":memory:")
        con.execute(
            "CREATE VIRTUAL TABLE docs USING fts5("
            "id UNINDEXED, title, body, tokenize='porter unicode61')"
        )
        con.executemany(
            "INSERT INTO docs VALUES (?, ?, ?)",
            ((d["id"], d["title"], d["body"]) for d in docs),
        )
        con.commit()
    return {"build_s": m.seconds, "build_cpu": m.cpu_seconds, "build_added_mb": m.added_mb, "peak_mb": m.peak_kb / 1024}


def _child(engine: str, limit: int | None) -> None:
    docs = load_english_corpus()
    if limit:
        docs = docs[:limit]
    if engine == "fts5":
        result = _child_fts5(docs)
    else:
        result = _child_vrim(docs, 1 if engine == "vrim" else None)
    result["text_bytes"] = text_bytes(docs)
    result["documents"] = len(docs)
    print(json.dumps(result))


def _run_child(engine: str, limit: int | None) -> dict:
    cmd = [sys.executable, __file__, "--child", engine]
    if limit:
        cmd += ["--limit", str(limit)]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True, env=os.environ)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--limit", type=int, help="use only the first N documents")
    parser.add_argument("--repeat", type=int, default=3, help="runs per engine; the fastest counts")
    parser.add_argument("--child", choices=("vrim", "vrim-parallel", "fts5"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        _child(args.child, args.limit)
        return

    load_english_corpus()  # builds the cache once, outside the measurements
    engines = ("vrim", "vrim-parallel", "fts5")
    runs = {engine: [] for engine in engines}
    for _ in range(args.repeat):
        for engine in engines:
            runs[engine].append(_run_child(engine, args.limit))
    v = min(runs["vrim"], key=lambda r: r["add_cpu"] + r["build_cpu"])
    f = min(runs["fts5"], key=lambda r: r["build_cpu"])
    mb = v["text_bytes"] / 1e6
    print(f"corpus: {v['documents']} documents, {mb:.1f} MB of text; best of {args.repeat} runs")
    print("speeds in MB/s of text, by CPU time of the single-threaded step (wall time in brackets)")

    def line(name, cpu, wall, memory):
        print(f"{name:22s} {cpu:6.2f} s CPU {mb / cpu:6.1f} MB/s  ({wall:.2f} s, {mb / wall:.1f} MB/s wall)  {memory}")

    line("vrim build()", v["build_cpu"], v["build_s"],
         f"+{v['build_added_mb']:.1f} MB peak ({v['build_added_mb'] / mb:.2f}x text)")
    end_cpu = v["add_cpu"] + v["build_cpu"]
    end_wall = v["add_s"] + v["build_s"]
    line("vrim add_many+build", end_cpu, end_wall,
         f"+{v['total_added_mb']:.1f} MB peak; process peak {v['peak_mb']:.0f} MB")
    line("FTS5 inserts+commit", f["build_cpu"], f["build_s"],
         f"+{f['build_added_mb']:.1f} MB peak ({f['build_added_mb'] / mb:.2f}x text); "
         f"process peak {f['peak_mb']:.0f} MB")
    p = min(runs["vrim-parallel"], key=lambda r: r["build_thread_cpu"])
    line(f"vrim build() {p['cores']} cores", p["build_thread_cpu"], p["build_s"],
         f"+{p['build_added_mb']:.1f} MB peak ({p['build_added_mb'] / mb:.2f}x text); "
         f"{p['build_cpu']:.2f} s CPU on all threads")
    best_wall = min(r["build_s"] for r in runs["vrim"])
    best_parallel_wall = min(r["build_s"] for r in runs["vrim-parallel"])
    estimate = v["build_cpu"] / p["build_thread_cpu"]
    print(f"parallel speed-up on {p['cores']} cores: {estimate:.2f}x by the calling thread's CPU "
          f"time, {best_wall / best_parallel_wall:.2f}x by wall time "
          f"(target >= 1.7x on 2 cores): {'met' if estimate >= 1.7 else 'NOT met'}")
    speedup = f["build_cpu"] / end_cpu
    memory_ratio = max(r["build_added_mb"] for r in runs["vrim"] + runs["vrim-parallel"]) / mb
    print(f"speed vs FTS5: {speedup:.2f}x by CPU, {f['build_s'] / end_wall:.2f}x by wall "
          f"(target >= 2x): {'met' if speedup >= 2 else 'NOT met'}")
    print(f"build memory: {memory_ratio:.2f}x text (target < 3x): {'met' if memory_ratio < 3 else 'NOT met'}")

if __name__ == "__main__":
    main()
