"""Writes docs/benchmarks.md and its charts from the suite's results."""

from __future__ import annotations

from pathlib import Path

from . import extras
from .queries import CLASSES, LABELS

ENGINE_LABELS = {"vrim": "Vrim", "vrim-1": "Vrim, 1 thread", "tantivy-1": "tantivy-py",
                 "tantivy": "tantivy-py, default writer", "fts5": "SQLite FTS5", "bm25s": "bm25s"}
PEERS = ("tantivy-1", "fts5", "bm25s")
ISSUE14_CORPORA = ("english", "fortunes")
# Peak memory added by add_many and build, times the text, at most.
PEAK_MEMORY_GOALS = {"english": 2.0, "fortunes": 3.0}


def label(config: str) -> str:
    if config in ENGINE_LABELS:
        return ENGINE_LABELS[config]
    return f"Vrim, {config.split('-')[1]} threads"


def secs(s: float) -> str:
    if s >= 10:
        return f"{s:.1f} s"
    if s >= 0.1:
        return f"{s:.2f} s"
    if s >= 1e-3:
        return f"{s * 1e3:.1f} ms"
    return f"{s * 1e6:.0f} µs"


def size(n: int) -> str:
    return f"{n / 1e6:.1f} MB" if n >= 1e6 else f"{n / 1e3:.0f} kB"


def spread(fig: dict) -> str:
    if fig["runs"] < 2 or not fig["median"]:
        return ""
    return f" ±{(fig['high'] - fig['low']) / 2 / fig['median'] * 100:.0f}%"


def ratio(x: float) -> str:
    return f"{x:.2f}×"


def overall_qps(by_class: dict, classes) -> float:
    """Queries per second over `classes` run back to back: the count over
    the summed time of one query of each, per class medians."""
    classes = [c for c in classes if c in by_class]
    if not classes:
        return 0.0
    return len(classes) / sum(1 / by_class[c]["qps"]["median"] for c in classes)


def build_speedup(build: dict, peer: str, vrim: str = "vrim-1", key: str = "seconds") -> float:
    """How many times longer `peer` takes to build than `vrim`, by wall time
    or (key "cpu_seconds") process CPU time."""
    key = key if key in build[vrim] else "seconds"
    return build[peer][key]["median"] / build[vrim][key]["median"]


def all_cores_config(build: dict) -> str:
    multi = [c for c in build if c.startswith("vrim-") and c != "vrim-1"]
    return multi[0] if multi else "vrim-1"


# ---- targets ---------------------------------------------------------------

def target_row(what, corpus, value, goal, higher_better=True, unit="×") -> tuple:
    """One row of the target table: the measured value against its goal."""
    rows: list = []
    _target(rows, what, corpus, value, goal, higher_better, unit)
    return rows[0]


def _target(rows, what, corpus, value, goal, higher_better=True, unit="×"):
    met = value >= goal if higher_better else value <= goal
    if met:
        verdict = "met"
    else:
        verdict = f"**missed** by {(goal - value) / goal * 100:.0f}%"
    if not met and not higher_better:
        verdict = f"**missed** by {(value - goal) / goal * 100:.0f}%"
    sign = "≥" if higher_better else "≤"
    rows.append((what, corpus, f"{value:.2f}{unit}", f"{sign} {goal:g}{unit}", verdict))


def targets(results: dict) -> list:
    rows = []
    # Single-threaded comparisons use the clock the query rates use.
    clock = results["meta"].get("clock", "wall")
    cpu_key = "cpu_seconds" if clock == "cpu" else "seconds"
    corpora = results["corpora"]
    for name, c in corpora.items():
        build = c.get("build")
        if build:
            def fastest(configs):
                return min(configs, key=lambda k: build[k]["seconds"]["median"])

            fast = fastest([k for k in build if k.startswith("vrim")])
            best_peer = fastest([k for k in build if not k.startswith("vrim")])
            _target(rows, f"build faster than every peer (fastest of each: {label(fast)} vs "
                    f"{label(best_peer)})", name, build_speedup(build, best_peer, fast), 1.0)
        top = c.get("top10")
        if top and "vrim" in top:
            for peer in PEERS:
                if peer in top:
                    cls = list(top[peer])
                    _target(rows, f"top-10 queries/s vs {label(peer)}, overall", name,
                            overall_qps(top["vrim"], cls) / overall_qps(top[peer], cls),
                            1.5 if peer == "tantivy-1" and name in ISSUE14_CORPORA else 1.0)
    for name, c in corpora.items():
        build = c.get("build")
        if name.startswith("handbook-") and build:
            _target(rows, f"single-thread build vs FTS5 ({clock} time)", name,
                    build_speedup(build, "fts5", key=cpu_key), 1.0)
    for name in ISSUE14_CORPORA:
        c = corpora.get(name, {})
        top = c.get("top10", {})
        if "vrim" in top and "tantivy-1" in top:
            for cls in CLASSES:
                if cls in top["tantivy-1"]:
                    _target(rows, f"top-10 vs tantivy-py, {LABELS[cls]}", name,
                            top["vrim"][cls]["qps"]["median"] / top["tantivy-1"][cls]["qps"]["median"], 1.2)
        hits = c.get("allhits", {})
        if "vrim" in hits and "tantivy-1" in hits:
            cls = list(hits["tantivy-1"])
            _target(rows, "all-hits queries/s vs tantivy-py, overall", name,
                    overall_qps(hits["vrim"], cls) / overall_qps(hits["tantivy-1"], cls), 1.5)
        build = c.get("build")
        if build:
            _target(rows, f"single-thread build vs FTS5 ({clock} time)", name,
                    build_speedup(build, "fts5", key=cpu_key), 2.0)
            memory = max(b["peak_mb"]["median"] for k, b in build.items() if k.startswith("vrim"))
            _target(rows, "peak memory added while building, times the text (at most)", name,
                    memory / c["text_mb"], PEAK_MEMORY_GOALS.get(name, 3.0), higher_better=False)
            fast = all_cores_config(build)
            if fast != "vrim-1":
                _target(rows, f"{label(fast)} vs 1 thread build", name, build_speedup(build, "vrim-1", fast), 1.8)
            if "load" in c:
                key = cpu_key if cpu_key in build["vrim-1"] else "seconds"
                _target(rows, f"load (from_bytes) vs single-thread build ({clock} time)", name,
                        build["vrim-1"][key]["median"] / c["load"]["vrim"]["median"], 20.0)
        if "load_memory" in c:
            _target(rows, "memory a loaded index takes, times its file (at most)", name,
                    c["load_memory"]["ratio"], 1.5, higher_better=False)
        if "threads" in c:
            t = c["threads"]
            _target(rows, "two searching threads vs one (top-10, wall clock)", name,
                    t["2"]["median"] / t["1"]["median"], 1.7)
            if "cpu1" in t:
                _target(rows, "two searching threads: queries per CPU second vs one thread's "
                        "(1.7× on two idle cores needs 0.85)", name,
                        t["cpu2"]["median"] / t["cpu1"]["median"], 0.85)
    quality = corpora.get("cranfield", {}).get("quality")
    if quality:
        best = max((p for p in quality if p != "vrim"), key=lambda p: quality[p]["ndcg10"])
        _target(rows, f"nDCG@10 vs best peer ({label(best)}, {quality[best]['ndcg10']:.4f})",
                "cranfield", quality["vrim"]["ndcg10"] / quality[best]["ndcg10"], 1.0)
    return rows


def headline(results: dict) -> list:
    """One line per main corpus: Vrim's ratios to its peers."""
    lines = []
    for name, c in results["corpora"].items():
        parts = []
        build = c.get("build")
        if build:
            parts.append("builds " + ", ".join(
                f"{build_speedup(build, p):.1f}× as fast as {label(p)}"
                for p in ("fts5", "tantivy-1", "bm25s") if p in build) + " (one thread each)")
        top = c.get("top10", {})
        if "vrim" in top:
            parts.append("answers top-10 queries " + ", ".join(
                f"{overall_qps(top['vrim'], list(top[p])) / overall_qps(top[p], list(top[p])):.1f}× "
                f"as fast as {label(p)}" for p in PEERS if p in top))
        hits = c.get("allhits", {})
        if "vrim" in hits and "tantivy-1" in hits:
            cls = list(hits["tantivy-1"])
            parts.append(f"all hits {overall_qps(hits['vrim'], cls) / overall_qps(hits['tantivy-1'], cls):.1f}× "
                         "as fast as tantivy-py")
        if "quality" in c:
            q = c["quality"]
            parts.append("nDCG@10 " + ", ".join(f"{label(e)} {v['ndcg10']:.3f}" for e, v in q.items()))
        if parts:
            lines.append(f"- **{name}**: " + "; ".join(parts) + ".")
    return lines + [""] if lines else []


# ---- tables ----------------------------------------------------------------

def table(header, rows) -> list:
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(str(x) for x in row) + " |" for row in rows]
    return out + [""]


def build_table(c: dict) -> list:
    build = c["build"]
    mb = c["text_mb"]
    rows = []
    for config, b in build.items():
        s = b["seconds"]
        cpu = secs(b["cpu_seconds"]["median"]) if "cpu_seconds" in b else "–"
        rows.append((label(config), secs(s["median"]) + spread(s), cpu, f"{mb / s['median']:.1f}",
                     ratio(build_speedup(build, config)), f"{b['peak_mb']['median']:.0f} MB",
                     size(b["size"])))
    return table(("engine", "build time (wall)", "CPU time", "MB/s (wall)", "time vs Vrim 1 thread",
                  "peak memory added",
                  "file size"), rows)


def _hits_differ(h: float, ref: float) -> bool:
    return (h == 0) != (ref == 0) or (ref and h and not (1 / 3 <= h / ref <= 3))


def query_table(c: dict, key: str, peers) -> list:
    data = c[key]
    peers = [p for p in peers if p in data]
    header = ["class", "example", "Vrim q/s"]
    for p in peers:
        header += [f"{label(p)} q/s", "Vrim ×"]
    header.append("mean hits (" + ", ".join(["Vrim"] + [label(p) for p in peers]) + ")")
    rows = []
    for cls in CLASSES:
        if cls not in data.get("vrim", {}):
            continue
        v = data["vrim"][cls]
        row = [LABELS[cls], f"`{c['examples'][cls]}`", f"{v['qps']['median']:,.0f}{spread(v['qps'])}"]
        hits = [f"{v['hits']:.1f}"]
        for p in peers:
            d = data[p].get(cls)
            if d is None:
                row += ["n/a", ""]
                hits.append("–")
                continue
            row += [f"{d['qps']['median']:,.0f}{spread(d['qps'])}",
                    ratio(v["qps"]["median"] / d["qps"]["median"])]
            hits.append(f"{d['hits']:.1f}" + (" †" if _hits_differ(d["hits"], v["hits"]) else ""))
        row.append(", ".join(hits))
        rows.append(row)
    row = ["**overall**", "", f"**{overall_qps(data['vrim'], CLASSES):,.0f}**"]
    for p in peers:
        cls = list(data[p])
        peer = overall_qps(data[p], cls)
        row += [f"{peer:,.0f}", f"**{ratio(overall_qps(data['vrim'], cls) / peer)}**"]
    rows.append(row + [""])
    return table(header, rows)


def load_table(c: dict) -> list:
    load = c["load"]
    rows = [(label(e), secs(f["median"]) + spread(f), ratio(f["median"] / load["vrim"]["median"]))
            for e, f in load.items()]
    lines = table(("engine", "load time", "time vs Vrim"), rows)
    m = c.get("load_memory")
    if m:
        if "anonymous_mb" in m:
            lines += [f"A loaded Vrim index takes {m['anonymous_mb']:.1f} MB of memory for a "
                      f"{m['file_mb']:.1f} MB file ({ratio(m['ratio'])}: the anonymous memory a "
                      "fresh process gains from `Index.from_bytes`, before any search). Its "
                      f"resident memory grows by {m['added_mb']:.1f} MB, which adds the pages of "
                      "the library's own code read on first use, shared and not per index.", ""]
        else:
            lines += [f"A loaded Vrim index takes {m['added_mb']:.1f} MB of memory for a "
                      f"{m['file_mb']:.1f} MB file ({ratio(m['ratio'])}; resident memory a fresh "
                      "process gains from `Index.from_bytes`, before any search).", ""]
    return lines


def profile_section(p: dict) -> list:
    classes = ", ".join(LABELS[c] for c in p["classes"])
    lines = [f"### Profile: Vrim top-10 search on {classes}", ""]
    if "error" in p:
        return lines + [f"Not profiled: {p['error']}.", ""]
    lines += ["The classes where Vrim trails tantivy-py (else where its lead is smallest), run "
              "in a child process under `perf record`; the hottest symbols (self time):", "",
              "| share | object | symbol |", "|---|---|---|"]
    lines += [f"| {pct:.1f}% | {dso} | `{sym.replace('|', '/')[:90]}` |" for pct, dso, sym in p["symbols"]]
    return lines + [""]


# ---- charts ----------------------------------------------------------------

def charts(results: dict, directory: Path) -> dict:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    directory.mkdir(parents=True, exist_ok=True)
    made = {}
    for name, c in results["corpora"].items():
        if "build" in c:
            configs = list(c["build"])
            times = [c["build"][k]["seconds"]["median"] for k in configs]
            fig, ax = plt.subplots(figsize=(7, 0.45 * len(configs) + 1.2))
            ax.barh([label(k) for k in configs], times,
                    color=["tab:blue" if k.startswith("vrim") else "tab:gray" for k in configs])
            ax.invert_yaxis()
            ax.set_xlabel("build time, seconds (lower is better)")
            ax.set_title(f"{name}: build ({c['text_mb']:.1f} MB, {c['documents']:,} documents)")
            fig.tight_layout()
            path = directory / f"{name}-build.png"
            fig.savefig(path, dpi=90)
            plt.close(fig)
            made[(name, "build")] = path
        if "top10" in c:
            top = c["top10"]
            engines = [e for e in ("vrim", *PEERS) if e in top]
            classes = [k for k in CLASSES if k in top.get("vrim", {})]
            fig, ax = plt.subplots(figsize=(9, 3.6))
            width = 0.8 / len(engines)
            for i, e in enumerate(engines):
                xs = [j + i * width for j, k in enumerate(classes) if k in top[e]]
                ys = [top[e][k]["qps"]["median"] for k in classes if k in top[e]]
                ax.bar(xs, ys, width, label=label(e))
            ax.set_xticks([j + 0.4 - width / 2 for j in range(len(classes))])
            ax.set_xticklabels([LABELS[k].strip("`") for k in classes], fontsize=8)
            ax.set_yscale("log")
            ax.set_ylabel("queries/s, top 10 (log)")
            ax.set_title(f"{name}: top-10 queries per second (higher is better)")
            ax.legend(fontsize=8)
            fig.tight_layout()
            path = directory / f"{name}-top10.png"
            fig.savefig(path, dpi=90)
            plt.close(fig)
            made[(name, "top10")] = path
    return made


# ---- the page --------------------------------------------------------------

NOTES = """\
How each engine is driven (all through their Python APIs, fields `title` and
`body`, English stemming on the English corpora):

- **Vrim**: `IndexBuilder(language)`, `add_many`, `build()`; searches with
  `Index.search(query, limit=10)`. Build time covers `add_many` and `build`.
- **SQLite FTS5** (Python's `sqlite3`): `tokenize='porter unicode61'` on
  English corpora, `unicode61` (no stemming) on the others; build time is the
  inserts and the commit; searches run on the table after `'optimize'` with
  `ORDER BY bm25(docs) LIMIT 10` (no `LIMIT` for all hits), selecting the id
  and score. FTS5 cannot score an optional term beside a required one, so
  `+a b` runs as `"a"`; it has no fuzzy search, so `w~1` runs as `w` OR every
  FTS5 term one edit away, that expansion looked up before timing.
- **tantivy-py**: text fields with `en_stem` (on other languages a Snowball
  stemmer where tantivy has one, else lower-casing only); `num_threads=1` and
  the default writer for building, including the commit and merges; the index
  lives in a temporary directory. Queries go through `Index.parse_query` over
  both fields, inside the timing. Its parser reads `term*` as a plain term and
  `term~1` as a phrase slop, so those classes are built with
  `Query.regex_query(schema, field, "pre.*")` and
  `Query.fuzzy_term_query(schema, field, w, 1)` on each field, OR-ed
  (tantivy scores regex matches as a constant). Searches pass
  `count=False` (no total hit count, as Vrim computes none), which lets
  tantivy skip documents; hits are `(score, address)` pairs, no stored field
  is fetched.
- **bm25s** with PyStemmer (English stop words on English corpora): one text
  per document (title and body); queries are tokenized and stemmed inside the
  timing and retrieved with `k=10`, one thread. It has no query operators,
  fields, wildcards or fuzziness, so it runs the plain-term classes only, and
  it returns no all-hits lists.

On the handbook in Japanese and Chinese, Vrim cuts CJK text into bigrams
while FTS5's `unicode61`, tantivy's simple tokenizer and bm25s's pattern keep
a run of CJK characters as one token, so their hits differ (marked †).

Query words are drawn, with a fixed seed, from the tokens Vrim cuts from the
corpus: *rare* words occur in at most 1 document in 2,000 (at least one),
*common* ones are the 1% most frequent non-stop words, two- and three-term
queries mix mid-frequency words with a common one. A **†** beside a mean hit
count marks an engine whose hits differ from Vrim's by more than 3×, where
speeds are not like for like (different tokenization, stemming or stop
words). "Overall" is the rate of running one query of every class in turn
(the count over the summed per-class times); a peer's overall ratio uses the
classes it runs. Each figure is the median over the rounds, ± half the range
of the rounds relative to the median. Peak memory is the resident size a
build adds at its peak (VmHWM after the build over VmRSS before it, in a fresh
process per build); file size is Vrim's `to_bytes()`, FTS5's serialized
database, tantivy's directory and bm25s's saved files.
"""


def write(results: dict, output: Path) -> None:
    meta = results["meta"]
    directory = output.with_suffix("")
    made = charts(results, directory)
    extras.charts(results, directory)
    m = meta["machine"]
    versions = ", ".join(f"{k} {v}" for k, v in meta["versions"].items())
    f = meta["features"]
    lines = [
        "# Benchmarks",
        "",
        "Generated by `python -m bench` (the suite in `bench/`); do not edit by hand.",
        f"Run on {meta['date']}, taking {meta.get('minutes', 0):.0f} minutes, with:",
        "",
        f"    {meta['command']}",
        "",
        f"- Machine: {m['cpu']}, {m['cpus']} CPU(s) available to the process; {m['system']}; "
        f"Python {m['python']}. The machine was shared with other work during the run "
        f"(load average {meta.get('load_before', 0):.1f} at the start, "
        f"{meta.get('load_after', 0):.1f} at the end), so absolute figures are noisy; engines "
        "alternate within every round to keep ratios fair.",
        f"- Versions: {versions}.",
        "- Query rates and load times are taken on the "
        + ("process CPU clock, which other work on a shared machine does not inflate (every "
           "search runs on the calling thread); builds on the wall clock, with their CPU time "
           "beside it." if meta.get("clock") == "cpu" else "wall clock, as are builds."),
    ]
    if not f["limit"]:
        lines.append("- This Vrim has no `search(limit=...)`: its top-10 figures slice the full "
                     "hit list (`search(q)[:10]`) and are marked as such.")
    if not f["threads"]:
        lines.append("- This Vrim has no `build(threads=...)`: its build is measured once, as "
                     "`build()`, and stands for both the single-thread and the all-cores build.")
    for update in meta.get("updates", ()):
        lines.append(f"- Updated on {update['date']} ({update['minutes']:.0f} minutes, load average "
                     f"{update['load_before']:.1f} to {update['load_after']:.1f}) by "
                     f"`{update['command']}`; the sections it measured replace the first run's.")
    for name, reason in results.get("skipped", {}).items():
        lines.append(f"- Skipped {name}: {reason}.")
    lines += ["", "To reproduce on your machine (Debian or Ubuntu, as root for apt-get; the "
              "peers are pip-installed into the running environment):", "",
              "    pip install . && python -m bench            # or --quick, --corpora, --measures",
              "", "## Headline", "", "Vrim against its peers, overall ratios from the tables below:", ""]
    lines += headline(results)
    lines += ["## Targets", ""]
    lines += table(("target", "corpus", "measured", "goal", "verdict"),
                   targets(results) + extras.targets(results))
    for name, c in results["corpora"].items():
        lines += [f"## {name}", "",
                  f"{c['documents']:,} documents, {c['text_mb']:.1f} MB of text, language "
                  f"`{c['language']}`, from {c['source']}.", ""]
        if "quality" in c:
            rows = [(label(e), f"{q['ndcg10']:.4f}", f"{q['map']:.4f}") for e, q in c["quality"].items()]
            lines += ["Retrieval quality over the 225 queries, graded judgments (gain 5 - grade); "
                      "Vrim's query syntax escaped, the peers given the query's words.", ""]
            lines += table(("engine", "nDCG@10", "MAP"), rows)
        if "build" in c:
            lines += ["### Build", ""] + build_table(c)
            if (name, "build") in made:
                lines += [f"![{name} build](benchmarks/{made[(name, 'build')].name})", ""]
        if "top10" in c:
            mark = "" if f["limit"] else " (Vrim: `search(q)[:10]`, no `limit` in this version)"
            lines += ["### Top-10 queries per second" + mark, ""]
            lines += query_table(c, "top10", PEERS)
            if (name, "top10") in made:
                lines += [f"![{name} top-10](benchmarks/{made[(name, 'top10')].name})", ""]
        if "allhits" in c:
            lines += ["### All hits, queries per second", ""] + query_table(c, "allhits", ("tantivy-1", "fts5"))
        if "load" in c:
            lines += ["### Load", ""] + load_table(c)
        if "threads" in c:
            t = c["threads"]
            lines += ["### Two searching threads (Vrim, top 10, every class's queries)", "",
                      f"One thread {t['1']['median']:,.0f} q/s{spread(t['1'])}, two threads "
                      f"{t['2']['median']:,.0f} q/s{spread(t['2'])}: "
                      f"{ratio(t['2']['median'] / t['1']['median'])}."]
            if "cpu1" in t:
                lines += [f"Per CPU second of the searching threads: {t['cpu1']['median']:,.0f} "
                          f"queries with one thread, {t['cpu2']['median']:,.0f} with two "
                          f"({ratio(t['cpu2']['median'] / t['cpu1']['median'])}; 1.00× means the "
                          "threads do not slow each other, so wall-clock scaling is bounded only "
                          "by the idle cores)."]
            lines.append("")
        if "profile" in c:
            lines += profile_section(c["profile"])
    lines += extras.sections(results)
    lines += ["## How it is measured", "", NOTES]
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_text("\n".join(lines))
