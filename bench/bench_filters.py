"""Filters, counts and merging inside the engine, on the English corpus.

Measures, over the query classes of queries.py (vrim form, limit 10):
top-10 with a filter of 1 % and of 50 % of the documents (random DocSets,
fixed seed) against the same queries unfiltered; `count(q)` against
`len(search(q))`; and `vrim.merge` of two halves of the corpus against
building the whole from text on one thread. Where tantivy-py is installed,
the same filtered queries run on tantivy too: a boolean query with the
query as one required clause and the filter as a required term-set clause
on the id field (scoring 0), against the same query alone.

Uses the English corpus (bench/corpus.py) when its cache exists, otherwise
the Cranfield abstracts (../shared/corpora/cranfield).

    python bench/bench_filters.py [--queries N] [--rounds R]
"""

from __future__ import annotations

import argparse
import random
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT))

import queries as query_classes  # noqa: E402

import vrim  # noqa: E402

FIELDS = {"title": 2.0, "body": 1.0}


def load_docs() -> tuple[str, list[dict]]:
    import corpus
    if corpus.CACHE.exists():
        return "english", corpus.load_english_corpus()
    from bench import corpora
    return "cranfield", corpora.load("cranfield").docs


def build(docs: list[dict], threads: int | None = None) -> vrim.Index:
    builder = vrim.IndexBuilder("en")
    for name, boost in FIELDS.items():
        builder.field(name, boost)
    builder.add_many(docs)
    return builder.build(threads=threads)


def best_seconds(runs: dict, items, rounds: int) -> dict:
    """For each named run, the least time over `rounds` it takes over all
    `items`; the runs take turns within each round, so load from other
    processes falls on all of them alike."""
    best = {name: float("inf") for name in runs}
    for _ in range(rounds):
        for name, run in runs.items():
            start = time.perf_counter()
            for item in items:
                run(item)
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def report(label: str, base: float, other: float, base_name: str, other_name: str) -> None:
    print(f"{label:<38} {base_name} {base * 1e3:9.2f} ms   {other_name} {other * 1e3:9.2f} ms"
          f"   ratio {base / other:6.2f}x")


def tantivy_filtered(docs, texts, filters, rounds):
    """tantivy: each query alone, then with each filter as a required
    term-set clause that adds nothing to the score."""
    try:
        import tantivy
    except ImportError:
        print("tantivy: not installed, skipped")
        return
    from engines import Tantivy
    engine = Tantivy().build(docs, "en")
    searcher, schema = engine.searcher, engine.schema
    parsed = [engine.index.parse_query(text, ["title", "body"]) for text in texts]
    runs = {"plain": lambda q: searcher.search(q, 10)}
    filtered = {}
    for share, refs in filters.items():
        clause = tantivy.Query.boost_query(
            tantivy.Query.term_set_query(schema, "id", sorted(refs)), 0.0)
        filtered[share] = [tantivy.Query.boolean_query(
            [(tantivy.Occur.Must, q), (tantivy.Occur.Must, clause)]) for q in parsed]
    plain = best_seconds(runs, parsed, rounds)["plain"]
    for share, queries in filtered.items():
        took = best_seconds(runs, queries, rounds)["plain"]
        report(f"tantivy top-10, {share} filter", plain, took, "unfiltered", "filtered")
    engine.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--queries", type=int, default=10, help="queries per class")
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    name, docs = load_docs()
    print(f"corpus: {name}, {len(docs)} documents")
    index = build(docs)
    classes = {kind: [q.vrim for q in qs]
               for kind, qs in query_classes.make(docs, "en", args.queries).items()}
    texts = [text for group in classes.values() for text in group]
    print(f"{len(texts)} queries")
    for text in texts:  # what an index derives on first use (token set, bounds)
        index.search(text, 10)

    rng = random.Random(11)
    refs = index.references
    filters = {share: {r for r in refs if rng.random() < fraction}
               for share, fraction in (("1 %", 0.01), ("50 %", 0.5))}
    doc_sets = {share: index.doc_set(allowed) for share, allowed in filters.items()}
    runs = {"plain": lambda q: index.search(q, 10)}
    for share, doc_set in doc_sets.items():
        runs[share] = lambda q, f=doc_set: index.search(q, 10, filter=f)
        runs[share + " page 3"] = lambda q, f=doc_set: index.search(q, 10, filter=f, offset=20)
    for kind, group in [("all", texts), *classes.items()]:
        took = best_seconds(runs, group, args.rounds)
        for share in doc_sets:
            report(f"vrim top-10 {kind}, {share}", took["plain"], took[share],
                   "unfiltered", "filtered")
        if kind == "all":
            for share in doc_sets:
                report(f"vrim page 3 (offset 20), {share}", took["plain"],
                       took[share + " page 3"], "unfiltered", "filtered")

    took = best_seconds({"full": lambda q: len(index.search(q)), "count": index.count},
                        texts, args.rounds)
    report("vrim count vs len(search)", took["full"], took["count"], "len(search)", "count")

    half = len(docs) // 2
    first, second = build(docs[:half]), build(docs[half:])
    start = time.perf_counter()
    whole = build(docs, threads=1)
    built = time.perf_counter() - start
    merged_seconds = best_seconds({"merge": lambda _: vrim.merge([first, second])}, [None],
                                  args.rounds)["merge"]
    merged = vrim.merge([first, second])
    report("merge two halves vs build (1 thread)", built, merged_seconds, "build", "merge")
    assert merged.to_bytes() == whole.to_bytes(), "merge differs from a fresh build"

    tantivy_filtered(docs, texts, filters, args.rounds)


if __name__ == "__main__":
    main()
