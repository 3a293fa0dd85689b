"""Filters, counts and merging inside the engine, on the English corpus.

Over the query classes of queries.py (Vrim's form, top 10): each query
with a filter of 1 % and of 50 % of the documents (random document sets,
fixed seed) against the same query unfiltered, per class and over all
classes run together; `count(q)` against `len(search(q))`; and
`vrim.merge` of two halves of the corpus against building the whole from
text on one thread (the merge must equal that build to the byte).
tantivy-py, when installed, runs the same queries with the same filters: a
boolean query with the query as one required clause and the filter as a
required term-set clause on the id field boosted to 0, so it adds nothing
to the score.

Uses the English corpus (corpus.py) when its cache exists, otherwise the
Cranfield abstracts. Run it with ``python -m bench --measures filters``.
"""

from __future__ import annotations

import random
import statistics

from . import page, queries, timing

FIELDS = {"title": 2.0, "body": 1.0}
SHARES = {"1 %": 0.01, "50 %": 0.5}
GOALS = {"1 %": 3.0, "50 %": 1.2, "count": 3.0, "merge": 5.0}
KINDS = ("all",) + queries.CLASSES


def load_docs() -> tuple[str, list[dict]]:
    from . import corpus
    if corpus.CACHE.exists():
        return "english", corpus.load_english_corpus()
    from . import corpora
    return "cranfield", corpora.load("cranfield").docs


def build(docs: list[dict], threads: int | None = None):
    import vrim

    builder = vrim.IndexBuilder("en")
    for name, boost in FIELDS.items():
        builder.field(name, boost)
    builder.add_many(docs)
    return builder.build(threads=threads)


def filter_refs(refs: list[str]) -> dict:
    rng = random.Random(11)
    return {share: sorted(r for r in refs if rng.random() < fraction)
            for share, fraction in SHARES.items()}


def query_groups(docs, per_class: int) -> dict:
    """{kind: [Query]}: each class, and "all" of them together."""
    classes = queries.make(docs, "en", per_class)
    return {"all": [q for group in classes.values() for q in group], **classes}


def seconds_per_query(runs: dict, items: list, options, paired: bool = False) -> dict:
    """{name: median seconds per item} of `runs` (name -> run(item)), taking
    turns within every round, each run repeated for options.min_seconds.

    With `paired`, the rounds are three times as many and a third as long,
    and "ratios" holds each run's median over the rounds of its time
    divided by the first run's in the same round: runs taken back to back
    share the machine's state, which changes from one round to the next."""
    rounds, seconds = options.rounds, options.min_seconds
    if paired:
        rounds, seconds = 3 * rounds, seconds / 3
    tasks = {name: (lambda run=run: 1.0 / timing.rate(run, items, seconds, options.clock))
             for name, run in runs.items()}
    values = timing.interleaved(rounds, tasks)
    out = {name: statistics.median(v) for name, v in values.items()}
    if paired:
        first = values[next(iter(runs))]
        out["ratios"] = {name: statistics.median(a / b for a, b in zip(v, first))
                         for name, v in values.items()}
    return out


def vrim_search(index, groups: dict, filters: dict, options) -> dict:
    doc_sets = {share: index.doc_set(refs) for share, refs in filters.items()}
    runs = {"unfiltered": lambda q: index.search(q, 10)}
    for share, doc_set in doc_sets.items():
        runs[share] = lambda q, f=doc_set: index.search(q, 10, filter=f)
    texts = {kind: [q.vrim for q in group] for kind, group in groups.items()}
    for text in texts["all"]:  # what an index derives on first use
        index.search(text, 10)
    return {kind: seconds_per_query(runs, group, options, paired=True)
            for kind, group in texts.items()}


def tantivy_search(docs, groups: dict, filters: dict, options) -> dict | None:
    try:
        import tantivy
    except ImportError:
        return None
    from .engines import Tantivy

    engine = Tantivy().build(docs, "en")
    try:
        clauses = {share: tantivy.Query.boost_query(
            tantivy.Query.term_set_query(engine.schema, "id", refs), 0.0)
            for share, refs in filters.items()}

        def filtered(make, clause):
            return lambda: tantivy.Query.boolean_query(
                [(tantivy.Occur.Must, make()), (tantivy.Occur.Must, clause)])

        runs = {"unfiltered": lambda make: engine.top(make, 10)}
        for share, clause in clauses.items():
            runs[share] = lambda make, c=clause: engine.top(filtered(make, c), 10)
        return {kind: seconds_per_query(runs, [engine.prepare(q) for q in group], options)
                for kind, group in groups.items()}
    finally:
        engine.close()


def count_vs_search(index, texts: list, options) -> dict:
    return seconds_per_query({"len(search)": lambda q: len(index.search(q)),
                              "count": index.count}, texts, options)


def merge_vs_build(docs: list, options) -> dict:
    """Seconds of a one-thread build from text and of merging two built
    halves. Results are kept until the next round, so freeing one is not
    timed."""
    import vrim

    half = len(docs) // 2
    halves = [build(docs[:half]), build(docs[half:])]
    tick = timing.CLOCKS[options.clock]
    kept = {}

    def timed(name, make):
        def task():
            kept.pop(name, None)
            start = tick()
            kept[name] = make()
            return tick() - start
        return task

    took = timing.interleaved(max(2, options.rounds), {
        "build": timed("build", lambda: build(docs, threads=1)),
        "merge": timed("merge", lambda: vrim.merge(halves))})
    if kept["merge"].to_bytes() != kept["build"].to_bytes():
        raise AssertionError("the merge of two halves differs from a fresh build")
    return {name: statistics.median(values) for name, values in took.items()}


def measure(options) -> dict:
    name, docs = load_docs()
    groups = query_groups(docs, options.queries)
    index = build(docs)
    filters = filter_refs(index.references)
    return {
        "corpus": name,
        "documents": len(docs),
        "queries": {kind: len(group) for kind, group in groups.items()},
        "filter_sizes": {share: len(refs) for share, refs in filters.items()},
        "vrim": vrim_search(index, groups, filters, options),
        "tantivy": tantivy_search(docs, groups, filters, options),
        "count": count_vs_search(index, [q.vrim for q in groups["all"]], options),
        "merge": merge_vs_build(docs, options),
    }


def speedups(times: dict) -> dict:
    """{share: unfiltered time / filtered time} of one class: the median of
    the rounds' own ratios where they were kept, else of the medians."""
    ratios = times.get("ratios")
    if ratios:
        return {share: 1.0 / ratios[share] for share in SHARES}
    return {share: times["unfiltered"] / times[share] for share in SHARES}


def worst_slowdown(result: dict) -> tuple[str, float]:
    """The class whose 50 % filter slows it most, with that factor."""
    slow = {kind: 1.0 / speedups(times)["50 %"]
            for kind, times in result["vrim"].items() if kind != "all"}
    kind = max(slow, key=slow.get)
    return kind, slow[kind]


def _label(kind: str) -> str:
    return "all classes" if kind == "all" else queries.LABELS.get(kind, kind)


def _row(label: str, times: dict | None) -> list:
    if times is None:
        return [label, "–", "–", "–", "–", "–"]
    up = speedups(times)
    return [label, f"{times['unfiltered'] * 1e6:.1f}",
            f"{times['1 %'] * 1e6:.1f}", f"{up['1 %']:.2f}×",
            f"{times['50 %'] * 1e6:.1f}", f"{1 / up['50 %']:.2f}×"]


def section(result: dict) -> list:
    sizes = result["filter_sizes"]
    lines = ["## Filters, counts and merging", "",
             f"On the {result['corpus']} corpus ({result['documents']:,} documents), "
             f"top 10 of each query unfiltered and with a random filter of 1 % "
             f"({sizes['1 %']:,} documents) and of 50 % ({sizes['50 %']:,}); µs per query, "
             "the 1 % speed-up (unfiltered ÷ filtered) and the 50 % slowdown (filtered ÷ "
             "unfiltered). Vrim's ratios are medians of the ratios within each round, "
             "where the three runs come back to back. *All classes* runs every query "
             "in one pass. tantivy-py gets "
             "the same filter as a required term-set clause on the id field that adds "
             "nothing to the score.", ""]
    header = ["class", "unfiltered", "1 %", "1 % speed-up", "50 %", "50 % slowdown"]
    tantivy = result.get("tantivy")
    for engine, figures in (("Vrim", result["vrim"]), ("tantivy-py", tantivy)):
        if figures is None:
            lines += ["tantivy-py is not installed: no side-by-side figures.", ""]
            continue
        lines += [f"**{engine}**", "", "| " + " | ".join(header) + " |",
                  "|" + "---|" * len(header)]
        for kind in KINDS:
            if kind in figures:
                lines.append("| " + " | ".join(_row(_label(kind), figures[kind])) + " |")
        lines.append("")
    count, merge = result["count"], result["merge"]
    lines += [f"`count(q)` against `len(search(q))` over all {result['queries']['all']} "
              f"queries: {count['len(search)'] * 1e6:.1f} against {count['count'] * 1e6:.1f} "
              f"µs per query, {count['len(search)'] / count['count']:.2f}× faster.", "",
              f"`vrim.merge` of the two halves of the corpus: {merge['merge'] * 1e3:.0f} ms, "
              f"against {merge['build'] * 1e3:.0f} ms to build the whole from text on one "
              f"thread ({merge['build'] / merge['merge']:.2f}× faster), with the same bytes.", ""]
    return lines


def targets(result: dict) -> list:
    corpus = result["corpus"]
    kind, slow = worst_slowdown(result)
    count, merge = result["count"], result["merge"]
    return [
        page.target_row("top 10 with a 1 % filter, speed-up (all classes)", corpus,
                        speedups(result["vrim"]["all"])["1 %"], GOALS["1 %"]),
        page.target_row(f"top 10 with a 50 % filter, slowdown (worst: {_label(kind)})",
                        corpus, slow, GOALS["50 %"], higher_better=False),
        page.target_row("`count` vs `len(search)`", corpus,
                        count["len(search)"] / count["count"], GOALS["count"]),
        page.target_row("merge of two halves vs one-thread build", corpus,
                        merge["build"] / merge["merge"], GOALS["merge"]),
    ]
