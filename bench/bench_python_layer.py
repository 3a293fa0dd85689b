"""Cost of the Python layer: the ``vrim`` bindings against the native core.

On the English corpus of ``bench/corpus.py`` and the query set of
``bench/bench_search.py`` this times, in one run:

    build    native IndexBuilder::Build  vs  IndexBuilder.build() alone,
             and vs add_many() + build()
    write    native WriteIndex           vs  Index.to_bytes()
    load     native ReadIndex            vs  Index.from_bytes() (same bytes)
    search   native ParseQuery + Search  vs  index.search(q) for every query,
             leaving the hits alone, reading hit.ref and hit.score, and also
             reading hit.matches (native: decoding every match's positions)

Targets: the Python layer at most 10 % over native for build and load.

The script builds what it measures from this checkout: the core library
(CMake Release, ``build/bench``), the native driver ``bench/native_build.cc``
linked against it, and the extension installed into ``build/bench/py``
(imported from there, not from site-packages). The native driver runs as a
subprocess, one round per call; native and Python rounds alternate, and
which goes first alternates too, since the machine is shared. Each step
counts its best round, separately for CPU time (process CPU clock on both
sides) and wall time.

    python3 bench/bench_python_layer.py [--rounds R] [--queries-per-class N]
        [--no-rebuild]
"""

from __future__ import annotations

import argparse
import gc
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench"
BUILD = ROOT / "build" / "bench"
DRIVER = BUILD / "native_build"
# The core's static libraries, each before the layers it uses.
CORE_LAYERS = ("format", "search", "build", "index", "analysis")
PY_TARGET = BUILD / "py"
CORPUS_DUMP = BENCH / "data" / "english.bin"
QUERIES_FILE = BUILD / "layer_queries.txt"
INDEX_BYTES = BUILD / "layer_index.bin"

sys.path.insert(0, str(BENCH))

from corpus import dump, load_english_corpus, text_bytes  # noqa: E402

# Only ratios under this count as within target.
TARGET = 1.10


@dataclass
class Timing:
    cpu: float
    wall: float


class Best:
    """Smallest CPU and smallest wall time per step over all rounds."""

    def __init__(self):
        self.steps: dict[str, Timing] = {}

    def add(self, step: str, t: Timing) -> None:
        old = self.steps.get(step)
        if old is None:
            self.steps[step] = Timing(t.cpu, t.wall)
        else:
            old.cpu = min(old.cpu, t.cpu)
            old.wall = min(old.wall, t.wall)

    def __getitem__(self, step: str) -> Timing:
        return self.steps[step]


def run(cmd: list[str]) -> None:
    print("+ " + " ".join(cmd), flush=True)
    subprocess.run(cmd, cwd=ROOT, check=True)


def build_everything() -> None:
    """Core library, native driver and extension, all from this checkout."""
    run(["cmake", "-S", ".", "-B", str(BUILD), "-G", "Ninja",
         "-DCMAKE_BUILD_TYPE=Release", "-DVRIM_TESTS=OFF", "-DVRIM_PYTHON=OFF"])
    run(["cmake", "--build", str(BUILD), "-j2"])
    # The flags of a CMake Release build of the core, so both sides run
    # code compiled the same way.
    run(["g++", "-std=c++20", "-O3", "-DNDEBUG", "-Wall", "-Wextra", "-Isrc",
         "bench/native_build.cc",
         *[str(BUILD / f"libvrim_{layer}.a") for layer in CORE_LAYERS],
         "-o", str(DRIVER)])
    run([sys.executable, "-m", "pip", "install", "--quiet", "--no-build-isolation",
         "--no-deps", "--upgrade", "--target", str(PY_TARGET), "."])


def timed(fn):
    """(result of fn(), Timing)."""
    gc.collect()
    c0 = time.process_time()
    w0 = time.perf_counter()
    result = fn()
    wall = time.perf_counter() - w0
    cpu = time.process_time() - c0
    return result, Timing(cpu, wall)


def load_queries(docs, per_class: int) -> list[str]:
    """The query strings of bench_search.py, classes in its order."""
    from bench_search import fuzzy_queries, make_queries, vocabulary

    df, title_df = vocabulary(docs)
    classes = make_queries(df, title_df, per_class)
    # The FTS5 vocabulary only shapes the FTS5 form of a fuzzy query; the
    # vrim form `w~1` is the same without it.
    classes["fuzzy"] = fuzzy_queries(per_class, df, set())
    return [vrim_form for pairs in classes.values() for vrim_form, _ in pairs]


def new_builder(vrim):
    builder = vrim.IndexBuilder("en")
    builder.field("title")
    builder.field("body")
    return builder


def search_all(index, queries, read):
    """Runs every query; `read` is None, "scalars" or "matches"."""
    hits = 0
    for q in queries:
        found = index.search(q)
        hits += len(found)
        if read is None:
            continue
        for hit in found:
            hit.ref
            hit.score
            if read == "matches":
                hit.matches
    return hits


def python_round(vrim, docs, queries, stored: bytes, best: Best) -> dict:
    builder = new_builder(vrim)
    _, add = timed(lambda: builder.add_many(docs))
    index, build = timed(builder.build)
    del builder
    best.add("build", build)
    best.add("add_many + build", Timing(add.cpu + build.cpu, add.wall + build.wall))

    data, write = timed(index.to_bytes)
    best.add("write", write)
    same = data == stored
    del data
    loaded, load = timed(lambda: vrim.Index.from_bytes(stored))
    best.add("load", load)
    del loaded

    hits = {}
    for step, read in (("search", None), ("search + ref/score", "scalars"),
                       ("search + matches", "matches")):
        hits[step], t = timed(lambda: search_all(index, queries, read))
        best.add(step, t)
    return {"same_bytes": same, "hits": hits}


def native_round(best: Best) -> dict:
    out = subprocess.run(
        [str(DRIVER), str(CORPUS_DUMP), "--no-analysis",
         "--layer", str(QUERIES_FILE), str(INDEX_BYTES)],
        cwd=ROOT, check=True, capture_output=True, text=True).stdout
    # Native step names, and the step of the Python table each times.
    names = {"build": "build", "write": "write", "read": "load",
             "search": "search", "search_positions": "search + matches"}
    info = {}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) < 2 or parts[0] != "layer":
            continue
        fields = dict(p.split("=", 1) for p in parts[2:])
        step = names[parts[1]]
        best.add(step, Timing(float(fields["cpu"]), float(fields["wall"])))
        info[step] = fields
    missing = set(names.values()) - set(info)
    if missing:
        sys.exit(f"native driver printed no {', '.join(sorted(missing))}:\n{out}")
    return info


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--queries-per-class", type=int, default=120)
    parser.add_argument("--no-rebuild", action="store_true",
                        help="reuse the driver and extension already in build/bench")
    args = parser.parse_args()

    if not args.no_rebuild or not DRIVER.exists() or not PY_TARGET.exists():
        build_everything()
    sys.path.insert(0, str(PY_TARGET))
    import vrim

    if not Path(vrim.__file__).resolve().is_relative_to(PY_TARGET.resolve()):
        sys.exit(f"imported vrim from {vrim.__file__}, not from {PY_TARGET}")

    docs = load_english_corpus()
    if not CORPUS_DUMP.exists():
        dump(docs, CORPUS_DUMP)
    queries = load_queries(docs, args.queries_per_class)
    QUERIES_FILE.write_text("".join(q + "\n" for q in queries), encoding="utf-8")
    print(f"corpus: {len(docs)} documents, {text_bytes(docs) / 1e6:.1f} MB of text; "
          f"{len(queries)} queries", flush=True)

    # The bytes both sides load: to_bytes() of a Python-built index.
    builder = new_builder(vrim)
    builder.add_many(docs)
    stored = builder.build().to_bytes()
    del builder
    INDEX_BYTES.write_bytes(stored)

    native, python = Best(), Best()
    checks = []
    for r in range(args.rounds):
        order = ("native", "python") if r % 2 == 0 else ("python", "native")
        for side in order:
            if side == "native":
                checks.append(("native", native_round(native)))
            else:
                checks.append(("python", python_round(vrim, docs, queries, stored, python)))
        print(f"round {r + 1}/{args.rounds} done", flush=True)

    report(native, python, queries, checks, len(stored))


def report(native: Best, python: Best, queries, checks, stored_size: int) -> None:
    # Sanity: both sides built the same index and found the same hits.
    problems = []
    for side, info in checks:
        if side == "native":
            if info["write"]["same"] != "1":
                problems.append("native WriteIndex bytes differ from to_bytes()")
            if info["search"]["hits"] != info["search + matches"]["hits"]:
                problems.append("native hit counts differ between search runs")
            native_hits = int(info["search"]["hits"])
        else:
            if not info["same_bytes"]:
                problems.append("to_bytes() differs between Python builds")
            python_hits = set(info["hits"].values())
    if python_hits != {native_hits}:
        problems.append(f"hits: native {native_hits}, Python {sorted(python_hits)}")

    n = len(queries)
    # (label, native step, Python step, target ratio or None)
    rows = [
        ("build", "build", "build", TARGET),
        ("build (add_many + build)", "build", "add_many + build", None),
        ("write (to_bytes)", "write", "write", None),
        ("load (from_bytes)", "load", "load", TARGET),
        ("search", "search", "search", None),
        ("search + ref/score", "search", "search + ref/score", None),
        ("search + matches", "search + matches", "search + matches", None),
    ]
    print(f"\nbest of rounds; index {stored_size / 1e6:.1f} MB; {n} queries; "
          "ratio = Python / native (target <= 1.10 where marked)\n")
    head = (f"{'step':<26}{'native CPU':>12}{'Python CPU':>12}{'ratio':>8}"
            f"{'native wall':>13}{'Python wall':>13}{'ratio':>8}  ")
    print(head)
    print("-" * len(head))
    over = []
    for label, nstep, pstep, target in rows:
        a, b = native[nstep], python[pstep]
        cpu_ratio, wall_ratio = b.cpu / a.cpu, b.wall / a.wall
        if label.startswith("search"):
            cells = [f"{n / a.cpu:>8.0f} q/s", f"{n / b.cpu:>8.0f} q/s",
                     f"{cpu_ratio:>7.3f}",
                     f"{n / a.wall:>9.0f} q/s", f"{n / b.wall:>9.0f} q/s",
                     f"{wall_ratio:>7.3f}"]
            # Throughput: the ratio of times is the inverse of the ratio of q/s.
        else:
            cells = [f"{a.cpu * 1e3:>9.1f} ms", f"{b.cpu * 1e3:>9.1f} ms",
                     f"{cpu_ratio:>7.3f}",
                     f"{a.wall * 1e3:>10.1f} ms", f"{b.wall * 1e3:>10.1f} ms",
                     f"{wall_ratio:>7.3f}"]
        mark = ""
        if target is not None:
            mark = "ok" if cpu_ratio <= target else "OVER"
            if mark == "OVER":
                over.append(label)
        print(f"{label:<26}{cells[0]:>12}{cells[1]:>12}{cells[2]:>8}"
              f"{cells[3]:>13}{cells[4]:>13}{cells[5]:>8}  {mark}")
    print("\nratio is Python time / native time; for search the native rows are "
          "ParseQuery + Search\n(+ matches: also decoding every match's positions).")
    if over:
        print("over target (CPU): " + ", ".join(over))
    for p in problems:
        print("CHECK FAILED: " + p)
    if problems:
        sys.exit(1)


if __name__ == "__main__":
    main()
