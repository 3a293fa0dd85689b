"""The measurements of one corpus, every engine in the same run, interleaved.

    build     each configuration in a fresh child process: time, peak
              resident memory added while building, file size
    search    top-10 queries per second per query class, query parsing
              inside the timing, and the hits each engine found
    allhits   queries per second fetching every hit (Vrim, tantivy, FTS5)
    load      loading the saved index (Vrim's Index.from_bytes)
    threads   Vrim top-10 queries per second with two searching threads
    profile   where Vrim's top-10 search spends its time (perf), on the query
              classes where it is slower than tantivy-py, else the slowest
    quality   Cranfield nDCG@10 and MAP (the cranfield corpus only)
"""

from __future__ import annotations

import json
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from . import corpora, engines, quality, queries, timing

MEASURES = ("build", "search", "allhits", "load", "threads", "quality", "profile")
SEARCH_ENGINES = ("vrim", "tantivy-1", "fts5", "bm25s")
ALL_HITS_ENGINES = ("vrim", "tantivy-1", "fts5")


def log(message: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] {message}", flush=True)


def build_configs(features: dict, cpus: int) -> list:
    configs = ["vrim-1"]
    if features["threads"] and cpus > 1:
        configs.append(f"vrim-{cpus}")
    return configs + ["fts5", "tantivy-1", "tantivy", "bm25s"]


def measure_builds(name: str, configs: list, rounds: int) -> dict:
    runs = timing.interleaved(rounds, {c: (lambda c=c: timing.build_in_child(c, name))
                                       for c in configs})
    out = {}
    for config, results in runs.items():
        out[config] = {
            "seconds": timing.Figure.of(r["seconds"] for r in results).as_dict(),
            "cpu_seconds": timing.Figure.of(r["cpu_seconds"] for r in results).as_dict(),
            "peak_mb": timing.Figure.of(r["peak_mb"] for r in results).as_dict(),
            "size": results[-1]["size"],
        }
    return out


def build_engines(corpus) -> dict:
    built = {}
    for name in SEARCH_ENGINES:
        log(f"  {corpus.name}: building {name} for searching")
        engine = engines.make(name).build(corpus.docs, corpus.language)
        if isinstance(engine, engines.Fts5):
            engine.optimize()
        built[name] = engine
    return built


def measure_queries(built: dict, classes: dict, rounds: int, min_seconds: float, mode: str,
                    clock: str) -> dict:
    """{engine: {class: {"qps": Figure, "hits": mean hits}}}; mode "top" (10)
    or "all". Engines alternate within each class, the order rotating by round."""
    prepared = {}
    for name, engine in built.items():
        if mode == "all" and name not in ALL_HITS_ENGINES:
            continue
        for cls, qs in classes.items():
            forms = [engine.prepare(q) for q in qs]
            if all(f is not None for f in forms):
                prepared[(name, cls)] = forms

    def runner(name):
        engine = built[name]
        return (lambda q: engine.top(q, 10)) if mode == "top" else engine.all

    rates = {key: [] for key in prepared}
    for r in range(rounds):
        for cls in classes:
            names = [n for n in built if (n, cls) in prepared]
            names = names[r % len(names):] + names[:r % len(names)]
            for name in names:
                rates[(name, cls)].append(
                    timing.rate(runner(name), prepared[(name, cls)], min_seconds, clock))
    out = {}
    for (name, cls), values in rates.items():
        run = runner(name)
        hits = sum(run(q) for q in prepared[(name, cls)]) / len(prepared[(name, cls)])
        out.setdefault(name, {})[cls] = {"qps": timing.Figure.of(values).as_dict(), "hits": hits}
    return out


def measure_load(built: dict, rounds: int, min_seconds: float, clock: str) -> dict:
    for engine in built.values():
        engine.size()  # saves what load() reads
    tasks = {name: (lambda e=engine: 1.0 / timing.rate(lambda _: e.load(), [None], min_seconds, clock))
             for name, engine in built.items()}
    return {name: timing.Figure.of(v).as_dict() for name, v in timing.interleaved(rounds, tasks).items()}


LOAD_MEMORY = """
import sys, vrim
data = open(sys.argv[1], "rb").read()
def memory():
    out = {}
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            key, value = line.split()[:2]
            if key in ("Rss:", "Anonymous:"):
                out[key] = int(value) * 1024
    return out
before = memory()
index = vrim.Index.from_bytes(data)
after = memory()
print(after["Rss:"] - before["Rss:"], after["Anonymous:"] - before["Anonymous:"])
"""


def measure_load_memory(vrim_engine) -> dict:
    """Memory a fresh process gains loading Vrim's saved index: resident
    memory, and of it the anonymous memory the index itself holds (the
    rest is the library's code, paged in on first use and shared)."""
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "index.vrim"
        path.write_bytes(vrim_engine.data)
        added, anonymous = map(int, subprocess.run(
            [sys.executable, "-c", LOAD_MEMORY, str(path)], check=True,
            capture_output=True, text=True).stdout.split())
    size = len(vrim_engine.data)
    return {"file_mb": size / 1e6, "added_mb": added / 1e6, "anonymous_mb": anonymous / 1e6,
            "ratio": anonymous / size}


def measure_threads(vrim_engine, classes: dict, rounds: int, min_seconds: float) -> dict:
    """{"1", "2": queries/s Figure; "cpu1", "cpu2": queries per CPU second}."""
    items = [q.vrim for qs in classes.values() for q in qs]
    run = lambda q: vrim_engine.top(q, 10)  # noqa: E731
    tasks = {str(n): (lambda n=n: timing.threaded_rate(run, items, n, min_seconds)) for n in (1, 2)}
    out = {}
    for n, values in timing.interleaved(rounds, tasks).items():
        out[n] = timing.Figure.of(v[0] for v in values).as_dict()
        out["cpu" + n] = timing.Figure.of(v[1] for v in values).as_dict()
    return out


def slow_classes(top: dict) -> list:
    """The classes where Vrim's top-10 rate is below tantivy-py's; else the
    one where its lead is smallest."""
    ratios = {cls: top["vrim"][cls]["qps"]["median"] / d["qps"]["median"]
              for cls, d in top.get("tantivy-1", {}).items()}
    if not ratios:
        return []
    slow = [cls for cls, r in ratios.items() if r < 1.0]
    return slow or [min(ratios, key=ratios.get)]


def profile(vrim_engine, classes: dict, chosen: list, seconds: float) -> dict:
    """perf's hottest symbols while Vrim answers the queries of `chosen`
    classes in a child process; {"classes", "symbols": [(percent, dso, symbol)]}."""
    if not shutil.which("perf"):
        return {"classes": chosen, "error": "perf is not installed (apt-get install linux-perf)"}
    with tempfile.TemporaryDirectory(prefix="vrim-bench-profile-") as tmp:
        tmp = Path(tmp)
        (tmp / "index").write_bytes(vrim_engine.index.to_bytes())
        (tmp / "queries.json").write_text(json.dumps([q.vrim for c in chosen for q in classes[c]]))
        record = subprocess.run(
            ["perf", "record", "-q", "-F", "999", "-o", str(tmp / "perf.data"), "--",
             sys.executable, "-m", "bench", "--child-search-loop", str(tmp / "index"),
             str(tmp / "queries.json"), str(seconds)],
            cwd=timing.ROOT, capture_output=True, text=True)
        if record.returncode != 0:
            return {"classes": chosen, "error": (record.stderr.strip() or "perf record failed")[-300:]}
        report = subprocess.run(
            ["perf", "report", "-i", str(tmp / "perf.data"), "--stdio", "--no-children",
             "--sort", "dso,symbol", "--percent-limit", "1.5"],
            capture_output=True, text=True)
    symbols = []
    for line in report.stdout.splitlines():
        parts = line.split(None, 3)
        if len(parts) == 4 and parts[0].endswith("%") and not line.lstrip().startswith("#"):
            symbol = re.sub(r"(\s+-)+\s*$", "", parts[3]).strip()
            symbols.append((float(parts[0][:-1]), parts[1], symbol))
    return {"classes": chosen, "symbols": symbols[:15]}


def run_corpus(name: str, measures: set, options) -> dict:
    corpus = corpora.load(name)
    out = {"documents": len(corpus.docs), "text_mb": corpus.text_bytes / 1e6,
           "language": corpus.language, "source": corpus.source}
    log(f"{name}: {out['documents']} documents, {out['text_mb']:.1f} MB ({corpus.language})")
    features = engines.vrim_features()
    if name == "cranfield":
        if "quality" in measures:
            out["quality"] = {}
            for engine_name in SEARCH_ENGINES:
                engine = engines.make(engine_name).build(corpus.docs, corpus.language)
                out["quality"][engine_name] = quality.evaluate(engine)
                getattr(engine, "close", lambda: None)()
            log(f"cranfield: quality {out['quality']}")
        return out
    if "build" in measures:
        configs = build_configs(features, engines.cpu_count())
        log(f"{name}: builds {', '.join(configs)} x {options.build_rounds} rounds")
        out["build"] = measure_builds(name, configs, options.build_rounds)
    if not measures & {"search", "allhits", "load", "threads", "profile"}:
        return out
    built = build_engines(corpus)
    try:
        classes = queries.make(corpus.docs, corpus.language, options.queries)
        queries.expand_fuzzy(classes, built["fts5"].vocabulary())
        out["queries"] = {cls: len(qs) for cls, qs in classes.items()}
        out["examples"] = {cls: qs[0].vrim for cls, qs in classes.items()}
        if "search" in measures:
            log(f"{name}: top-10 search, {len(classes)} classes x {options.rounds} rounds")
            out["top10"] = measure_queries(built, classes, options.rounds, options.min_seconds, "top",
                                         options.clock)
        if "allhits" in measures:
            log(f"{name}: all-hits search")
            out["allhits"] = measure_queries(built, classes, options.rounds, options.min_seconds, "all",
                                           options.clock)
        if "load" in measures:
            log(f"{name}: load")
            out["load"] = measure_load(built, options.rounds, options.min_seconds, options.clock)
            out["load_memory"] = measure_load_memory(built["vrim"])
        if "threads" in measures:
            log(f"{name}: two searching threads")
            out["threads"] = measure_threads(built["vrim"], classes, options.rounds, options.min_seconds)
        if "profile" in measures and "top10" in out:
            chosen = slow_classes(out["top10"])
            log(f"{name}: profiling Vrim on {', '.join(chosen)}")
            out["profile"] = profile(built["vrim"], classes, chosen, options.profile_seconds)
    finally:
        for engine in built.values():
            getattr(engine, "close", lambda: None)()
    return out
