"""Scale: Vrim and its peers on 10 %, 30 % and 100 % of a million documents.

The corpus is English text from the packages the suite already reads
(python3.11-doc and linux-doc-6.1 through ``corpus.py``, fortunes, the
en-US debian-handbook), cut into sentences. Every sentence opens three
passages, of one, two and three consecutive sentences of its paragraph
stream; each passage is a document whose title is the section heading it
falls under (a fortune's file name, a handbook page's title) and whose body
is the passage. The passages are shuffled with a fixed seed and the first
DOCUMENTS kept, so every prefix is a uniform sample of the whole and the
smaller corpora are contained in the larger. It is cached as ``scale.json``
beside the other corpora.

For each prefix: builds in a fresh child process per configuration (wall
and CPU time, peak resident memory added, file size), load time, and top-10
latency per query class, the engines interleaved as in the suite. The
queries are drawn once, from the 10 % prefix, and asked of every size, so
that latency ratios between sizes compare the same work on a larger corpus.

    python -m bench --measures scale --output /tmp/scale/benchmarks.md
"""

from __future__ import annotations

import gc
import json
import marshal
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from . import corpora, corpus, engines, queries, suite, timing

DOCUMENTS = 1_000_000
FRACTIONS = (0.1, 0.3, 1.0)
# bm25s is left out: at a million documents its build alone takes about two
# minutes of CPU time (over four of wall time on a busy two-core machine),
# more than the whole measure can spend on one engine.
SEARCHED = ("vrim", "tantivy-1", "fts5")
CACHE = corpus.DATA_DIR / "scale.json"
CHART = "scale-latency.png"
SEED = 11
# At most this many queries per class and search rounds: FTS5 takes a good
# part of a second on a common term of the largest corpus.
QUERIES = 20
ROUNDS = 3
# Latency at 100 % over latency at 10 %, for a corpus ten times larger.
GROWTH_GOAL = 5.0

_SENTENCE_END = re.compile(r"(?<=[.!?])\s+(?=[A-Z0-9\"'(\[])")
_ADORNMENT = re.compile(r"^([=\-`:'\"~^_*+#<>.])\1{2,}\s*$")


# ---- the corpus --------------------------------------------------------------

def _heading(paragraph: list) -> str | None:
    """The title of a reST section heading paragraph (text under, or between,
    adornment lines), else None."""
    lines = [line for line in paragraph if not _ADORNMENT.match(line)]
    if len(lines) == 1 and len(paragraph) in (2, 3) and _ADORNMENT.match(paragraph[-1]):
        return lines[0].strip()
    return None


def sentences(text: str) -> list:
    """(heading, sentence) pairs of reST-like `text`: paragraphs (blank-line
    separated) with their lines joined, cut after `.`, `!` or `?` before a
    capital, digit or opening quote; section headings become the heading of
    what follows and are not sentences themselves. Fragments with fewer than
    8 letters (markup, numbers) are dropped; heading is None before the first."""
    out, heading = [], None
    for block in re.split(r"\n[ \t]*\n", text):
        lines = [line for line in block.splitlines() if line.strip()]
        if not lines:
            continue
        title = _heading(lines)
        if title is not None:
            heading = title
            continue
        for s in _SENTENCE_END.split(" ".join(" ".join(lines).split())):
            if sum(c.isalpha() for c in s) >= 8:
                out.append((heading, s))
    return out


def passages(stream: list, prefix: str) -> list:
    """Documents of 1, 2 and 3 consecutive sentences opening at each sentence
    of `stream` (one source text's (title, sentence) pairs), titled by their
    first sentence's title, with ids `prefix`/sentence+length."""
    docs = []
    for i, (heading, _) in enumerate(stream):
        for length in (1, 2, 3):
            if i + length <= len(stream):
                body = " ".join(s for _, s in stream[i:i + length])
                docs.append({"id": f"{prefix}/{i}+{length}", "title": heading, "body": body})
    return docs


def _sources():
    """(id prefix, fallback title, text) of every source text, in a fixed order;
    installs the packages as the suite's corpora do (PackageUnavailable when
    that fails)."""
    for d in corpus.load_english_corpus():
        yield d["id"], d["title"], d["body"]
    for d in corpora._cached("fortunes", corpora._fortunes):
        yield "fortunes/" + d["id"], d["title"], d["body"]
    for d in corpora._handbook("en-US")():
        # Handbook pages keep one paragraph a line.
        yield "handbook/" + d["id"], d["title"], d["body"].replace("\n", "\n\n")


def make_corpus(count: int = DOCUMENTS, seed: int = SEED) -> list:
    docs = []
    for prefix, title, text in _sources():
        stream = [(heading or title, s) for heading, s in sentences(text)]
        docs += passages(stream, prefix)
    if len(docs) < count:
        raise RuntimeError(f"the sources give {len(docs):,} passages, fewer than {count:,}")
    random.Random(seed).shuffle(docs)
    return docs[:count]


def load_corpus() -> list:
    """The DOCUMENTS passages, made once and cached."""
    if CACHE.exists():
        return json.loads(CACHE.read_text(encoding="utf-8"))
    docs = make_corpus()
    corpus.write_cache(CACHE, docs)
    return docs


def sizes() -> list:
    return [round(DOCUMENTS * f) for f in FRACTIONS]


# ---- builds in a child process -------------------------------------------------

def child_build(engine_name: str, docs_path: str, keep: str = "") -> None:
    """In the child: builds the documents marshalled at `docs_path` as
    timing.child_build builds a corpus, printing the same JSON figures (the
    marshal file spares each child seconds of JSON parsing). With `keep`, the
    built index is left there for ``reopen``: Vrim's and FTS5's bytes in a file,
    tantivy's directory moved there."""
    with open(docs_path, "rb") as f:
        docs = marshal.load(f)
    engine = engines.make(engine_name)
    gc.collect()
    before = timing._status_kb("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current resident size
    start, cpu_start = time.perf_counter(), time.process_time()
    engine.build(docs, "en")
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu_start
    peak = timing._status_kb("VmHWM")
    size = engine.size()
    if keep and isinstance(engine, engines.Tantivy):
        shutil.move(str(engine.dir), keep)
    else:
        if keep:
            Path(keep).write_bytes(engine.data)
        getattr(engine, "close", lambda: None)()
    print(json.dumps({"seconds": seconds, "cpu_seconds": cpu,
                      "peak_mb": (peak - before) / 1024, "size": size}))


def build_in_child(engine: str, docs_path: Path, keep: Path | None = None,
                   timeout: float = 3600) -> dict:
    cmd = [sys.executable, "-m", "bench.extra_scale", "--child-build", engine, str(docs_path)]
    if keep is not None:
        cmd.append(str(keep))
    done = subprocess.run(cmd, cwd=timing.ROOT, capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise RuntimeError(f"{engine} build of {docs_path} failed:\n{done.stderr[-2000:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def reopen(config: str, kept: Path, count: int):
    """The engine searched, from what the child build of `config` left at `kept`."""
    engine = engines.make(config)
    if isinstance(engine, engines.Tantivy):
        engine.dir, engine.language, engine.count = kept, "en", count
        import tantivy

        engine.index = tantivy.Index.open(str(kept))
        engine.schema = engine.index.schema
        engine.searcher = engine.index.searcher()
        return engine
    engine.data = kept.read_bytes()
    engine.language = "en"
    if isinstance(engine, engines.Vrim):
        engine.index = engine.load()
    else:
        engine.db = engine.load()
    return engine


def build_configs() -> list:
    """Vrim on one thread and on all cores, FTS5 and tantivy-py on one thread."""
    configs = suite.build_configs(engines.vrim_features(), engines.cpu_count())
    return [c for c in configs if c in SEARCHED or c.startswith("vrim")]


# ---- measuring -------------------------------------------------------------------

def measure_load(built: dict, rounds: int, min_seconds: float, clock: str) -> dict:
    """Seconds to load each engine's saved index (engines' load())."""
    tasks = {name: (lambda e=e: 1.0 / timing.rate(lambda _: e.load(), [None], min_seconds, clock))
             for name, e in built.items()}
    return {name: timing.Figure.of(v).as_dict()
            for name, v in timing.interleaved(rounds, tasks).items()}


def search_rounds(options) -> int:
    return min(options.rounds, ROUNDS - 1 if options.quick else ROUNDS)


def measure_size(docs: list, classes: dict, options, tmp: Path) -> dict:
    count = len(docs)
    out = {"documents": count, "text_mb": corpus.text_bytes(docs) / 1e6}
    configs = build_configs()
    suite.log(f"scale {count:,}: builds {', '.join(configs)}")
    # One build per configuration: the largest takes minutes on each engine.
    with open(tmp / "docs.marshal", "wb") as f:
        marshal.dump(docs, f)
    runs = {c: build_in_child(c, tmp / "docs.marshal", tmp / c) for c in configs}
    out["build"] = {c: {"seconds": r["seconds"], "cpu_seconds": r["cpu_seconds"],
                        "peak_mb": r["peak_mb"], "size": r["size"]} for c, r in runs.items()}
    built = {}
    try:
        for name in SEARCHED:
            built[name] = reopen(name if name != "vrim" else "vrim-1",
                                 tmp / ("vrim-1" if name == "vrim" else name), count)
        queries.expand_fuzzy(classes, built["fts5"].vocabulary())
        suite.log(f"scale {count:,}: load and top-10 search")
        rounds = search_rounds(options)
        out["load"] = measure_load(built, rounds, options.min_seconds, options.clock)
        top = suite.measure_queries(built, classes, rounds, options.min_seconds, "top",
                                    options.clock)
    finally:
        for engine in built.values():
            getattr(engine, "close", lambda: None)()
        for config in configs:
            path = tmp / config
            shutil.rmtree(path) if path.is_dir() else path.unlink(missing_ok=True)
    out["top10"] = {e: {cls: {"ms": 1e3 / d["qps"]["median"], "spread": timing.Figure(
                        **d["qps"]).spread(), "hits": d["hits"]} for cls, d in by_class.items()}
                    for e, by_class in top.items()}
    return out


def measure(options) -> dict:
    started = time.perf_counter()
    try:
        docs = load_corpus()
    except corpora.PackageUnavailable as e:
        suite.log(f"scale: skipped, {e}")
        return {"skipped": str(e)}
    counts = sizes()
    per_class = min(options.queries, QUERIES // 2 if options.quick else QUERIES)
    classes = queries.make(docs[:counts[0]], "en", per_class)
    out = {"documents": len(docs), "rounds": search_rounds(options),
           "queries": {cls: len(qs) for cls, qs in classes.items()},
           "examples": {cls: qs[0].vrim for cls, qs in classes.items()}, "sizes": []}
    with tempfile.TemporaryDirectory(prefix="vrim-bench-scale-") as tmp:
        for count in counts:
            out["sizes"].append(measure_size(docs[:count], classes, options, Path(tmp)))
    out["minutes"] = (time.perf_counter() - started) / 60
    return out


def growth(result: dict) -> dict:
    """{engine: {class: latency at the largest size over latency at the smallest}}."""
    first, last = result["sizes"][0]["top10"], result["sizes"][-1]["top10"]
    return {e: {cls: last[e][cls]["ms"] / d["ms"] for cls, d in by_class.items()
                if cls in last.get(e, {})} for e, by_class in first.items()}


# ---- the page ----------------------------------------------------------------------

def _percent(result: dict, i: int) -> str:
    return f"{result['sizes'][i]['documents'] / result['documents'] * 100:.0f} %"


def _size_header(result: dict) -> list:
    return [f"{_percent(result, i)} ({s['documents']:,} docs, {s['text_mb']:.0f} MB)"
            for i, s in enumerate(result["sizes"])]


def _row(label: str, values: list, fmt) -> list:
    row = [label] + [fmt(v) for v in values]
    if values[0]:
        row.append(f"{values[-1] / values[0]:.1f}×")
    return row


def _tables(result: dict) -> list:
    from . import page

    sizes = result["sizes"]
    header = ["engine", *_size_header(result), "largest / smallest"]
    lines = []
    builds = list(sizes[0]["build"])
    measures = (("Build time (wall clock)", "seconds", page.secs),
                ("Build CPU time (all threads)", "cpu_seconds", page.secs),
                ("Peak memory added while building", "peak_mb", lambda v: f"{v:,.0f} MB"),
                ("File size", "size", page.size))
    for title, key, fmt in measures:
        rows = [_row(page.label(c), [s["build"][c][key] for s in sizes], fmt) for c in builds]
        lines += [f"### {title}", ""] + page.table(header, rows)
    rows = [_row(page.label(e), [s["load"][e]["median"] for s in sizes], page.secs)
            for e in sizes[0]["load"]]
    lines += ["### Load", "", "Vrim `Index.from_bytes`, FTS5 `deserialize`, tantivy-py "
              "`Index.open` and a searcher, from bytes in memory or a directory in the page "
              "cache.", ""] + page.table(header, rows)
    for engine in sizes[0]["top10"]:
        rows = [_row(f"{queries.LABELS[cls]} (`{result['examples'][cls]}`)",
                     [s["top10"][engine][cls]["ms"] / 1e3 for s in sizes], page.secs)
                for cls in queries.CLASSES if cls in sizes[0]["top10"][engine]]
        lines += [f"### Top-10 latency, {page.label(engine)}", ""]
        lines += page.table(["class (example)", *_size_header(result), "largest / smallest"], rows)
    return lines


def growth_summary(result: dict) -> list:
    """One sentence per engine: the least, median and greatest latency growth."""
    first, last = result["sizes"][0]["documents"], result["sizes"][-1]["documents"]
    from . import page

    lines = []
    for engine, by_class in growth(result).items():
        values = sorted(by_class.values())
        worst = max(by_class, key=by_class.get)
        lines.append(f"- {page.label(engine)}: latency grows {values[0]:.1f}× to {values[-1]:.1f}× "
                     f"(median {statistics.median(values):.1f}×, most for {queries.LABELS[worst]}) "
                     f"while the corpus grows {last / first:.0f}×.")
    return lines + [""]


def section(result: dict) -> list:
    if "skipped" in result:
        return ["## Scale: a million documents", "", f"Not measured: {result['skipped']}.", ""]
    sizes = result["sizes"]
    queries_per_class = max(result["queries"].values())
    lines = ["## Scale: a million documents", "",
             f"{result['documents']:,} English passages ({sizes[-1]['text_mb']:.0f} MB of text) cut "
             "from the suite's Debian sources (python3.11-doc and linux-doc-6.1 reST, fortunes, "
             "the en-US debian-handbook): each sentence opens three passages, of one, two and "
             "three consecutive sentences, titled by the section heading they fall under. The "
             "passages are shuffled with a fixed seed; the three corpora are its first 10 %, "
             "30 % and 100 %, so each is a uniform sample of the whole and contains the smaller. "
             "Neighbouring passages overlap, so many documents share sentences (as near-duplicate "
             "pages do); the vocabulary still grows with the sample.", "",
             f"Each build runs once, in a fresh process per engine; load times and query rates are "
             f"medians over {result.get('rounds', ROUNDS)} rounds on the suite's clock, engines "
             f"interleaved. The same {queries_per_class} "
             "queries per class, drawn from the 10 % corpus (so that its rare words stay rare), are "
             "asked at every size: latency is one query's time (the inverse of the query rate). "
             f"bm25s is left out (its build of the million documents alone takes about two "
             f"minutes of CPU time). The whole measure took {result['minutes']:.0f} minutes.", "",
             "How top-10 latency grows from the smallest to the largest corpus (ten times the "
             f"documents; the targets ask at most {GROWTH_GOAL:g}× of Vrim in every class, clearly "
             "below linear growth):", ""]
    lines += growth_summary(result)
    lines += [f"![top-10 latency against corpus size](benchmarks/{CHART})", ""]
    return lines + _tables(result)


def charts(result: dict, directory: Path) -> None:
    """Top-10 latency against corpus size, one panel per engine, a line per
    class, log axes, with a line of linear growth for reference."""
    import matplotlib
    import matplotlib.ticker

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from . import page

    if "skipped" in result:
        return
    sizes = result["sizes"]
    docs = [s["documents"] for s in sizes]
    engines_ = list(sizes[0]["top10"])
    fig, axes = plt.subplots(1, len(engines_), figsize=(4.2 * len(engines_), 4), sharey=True,
                             squeeze=False)
    for ax, engine in zip(axes[0], engines_):
        for cls in queries.CLASSES:
            if cls in sizes[0]["top10"][engine]:
                ax.plot(docs, [s["top10"][engine][cls]["ms"] for s in sizes], marker="o",
                        label=queries.LABELS[cls].strip("`"))
        # Through the classes' geometric mean at the smallest size.
        first = [d["ms"] for d in sizes[0]["top10"][engine].values()]
        mid = statistics.geometric_mean(first)
        ax.plot(docs, [mid * d / docs[0] for d in docs], "k--", linewidth=1.5,
                label="linear growth")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        ax.set_xticks(docs, [f"{d / 1e6:g}M" if d >= 1e6 else f"{d / 1e3:g}k" for d in docs])
        ax.set_title(page.label(engine))
        ax.set_xlabel("documents (log)")
    axes[0][0].set_ylabel("top-10 latency, ms (log)")
    axes[0][-1].legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.02, 1))
    fig.suptitle("Top-10 latency against corpus size (lower is better)")
    fig.tight_layout()
    directory.mkdir(parents=True, exist_ok=True)
    fig.savefig(directory / CHART, dpi=90)
    plt.close(fig)


def targets(result: dict) -> list:
    from . import page

    if "skipped" in result:
        return []
    docs = [s["documents"] for s in result["sizes"]]
    corpus_growth = docs[-1] / docs[0]
    rows = []
    for cls, value in growth(result).get("vrim", {}).items():
        rows.append(page.target_row(
            f"top-10 latency growth, {queries.LABELS[cls]}: {docs[-1]:,} documents over "
            f"{docs[0]:,} (corpus {corpus_growth:.0f}×)", "scale", value,
            GROWTH_GOAL, higher_better=False))
    return rows


if __name__ == "__main__":
    if len(sys.argv) in (4, 5) and sys.argv[1] == "--child-build":
        child_build(*sys.argv[2:])
    else:
        sys.exit("usage: python -m bench.extra_scale --child-build ENGINE DOCS [KEEP]")
