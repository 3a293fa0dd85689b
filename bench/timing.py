"""Timing helpers: interleaved rounds, medians with their spread, and a
build measured in a child process (its time, peak memory and file size).

The machine may be shared, so engines alternate within every round and the
order rotates between rounds; each figure is the median over the rounds,
reported with the lowest and highest round.
"""

from __future__ import annotations

import gc
import json
import statistics
import subprocess
import sys
import threading
import time
from dataclasses import asdict, dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


@dataclass
class Figure:
    """A median with the lowest and highest of the runs it summarises."""

    median: float
    low: float
    high: float
    runs: int

    @classmethod
    def of(cls, values):
        values = list(values)
        return cls(statistics.median(values), min(values), max(values), len(values))

    def spread(self) -> float:
        """Half the range, relative to the median."""
        return (self.high - self.low) / 2 / self.median if self.median else 0.0

    def as_dict(self) -> dict:
        return asdict(self)


def interleaved(rounds: int, tasks: dict) -> dict:
    """Runs each task (name -> function returning a number) once per round,
    rotating the order every round; returns {name: [values]}."""
    names = list(tasks)
    out = {name: [] for name in names}
    for r in range(rounds):
        order = names[r % len(names):] + names[:r % len(names)]
        for name in order:
            gc.collect()
            out[name].append(tasks[name]())
    return out


CLOCKS = {"cpu": time.process_time, "wall": time.perf_counter}


def rate(run, items, min_seconds: float, clock: str = "wall") -> float:
    """Items per second for `run(item)` over `items`, repeated until at least
    `min_seconds` of wall time have passed (every item at least once). The
    rate is taken on `clock`: "wall", or "cpu" (this process's CPU time,
    which a busy machine does not inflate, for work on the calling thread)."""
    done = 0
    tick = CLOCKS[clock]
    start, clock_start = time.perf_counter(), tick()
    while True:
        for item in items:
            run(item)
        done += len(items)
        if time.perf_counter() - start >= min_seconds:
            return done / (tick() - clock_start)


def threaded_rate(run, items, threads: int, min_seconds: float) -> tuple:
    """(items per second, items per CPU second) with `threads` threads each
    calling `run` over all of `items` (repeated until `min_seconds`) at the
    same time. The second figure, from each thread's own CPU clock, shows
    contention between the threads even when the machine lacks idle cores."""
    barrier = threading.Barrier(threads + 1)
    counts = [0] * threads
    cpu = [0.0] * threads

    def worker(slot):
        barrier.wait()
        start = time.perf_counter()
        cpu_start = time.thread_time()
        while time.perf_counter() - start < min_seconds:
            for item in items:
                run(item)
            counts[slot] += len(items)
        cpu[slot] = time.thread_time() - cpu_start

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    barrier.wait()
    start = time.perf_counter()
    for w in workers:
        w.join()
    return sum(counts) / (time.perf_counter() - start), sum(counts) / sum(cpu)


def build_in_child(engine: str, corpus: str, timeout: float = 3600) -> dict:
    """Builds `corpus` with `engine` in a fresh interpreter; returns
    {"seconds", "cpu_seconds", "peak_mb", "size"} (see ``child_build``)."""
    cmd = [sys.executable, "-m", "bench", "--child-build", engine, corpus]
    done = subprocess.run(cmd, cwd=ROOT, capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise RuntimeError(f"{engine} build of {corpus} failed:\n{done.stderr[-2000:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def _status_kb(key: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{key} missing from /proc/self/status")


def child_build(engine_name: str, corpus_name: str) -> None:
    """In the child: loads the corpus, then times the build and records the
    resident memory it adds at its peak (wall and process CPU time; VmHWM after the build over VmRSS
    before it, the high-water mark reset first), then the file size."""
    from . import corpora, engines

    corpus = corpora.load(corpus_name)
    engine = engines.make(engine_name)
    gc.collect()
    before = _status_kb("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current resident size
    start, cpu_start = time.perf_counter(), time.process_time()
    engine.build(corpus.docs, corpus.language)
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu_start
    peak = _status_kb("VmHWM")
    size = engine.size()
    if hasattr(engine, "close"):
        engine.close()
    print(json.dumps({"seconds": seconds, "cpu_seconds": cpu,
                      "peak_mb": (peak - before) / 1024, "size": size}))


def child_search_loop(index_path: str, queries_path: str, seconds: str) -> None:
    """In the child being profiled: loads a saved Vrim index and runs its
    top-10 queries for `seconds`."""
    import vrim

    from . import engines

    language = vrim.index_language(Path(index_path).read_bytes())
    engine = engines.Vrim()
    engine.index = vrim.Index.from_bytes(Path(index_path).read_bytes(), language)
    items = json.loads(Path(queries_path).read_text())
    rate(lambda q: engine.top(q, 10), items, float(seconds))
