"""Phrase queries: top-10 throughput of Vrim (`phrases=True`) beside
tantivy-py, whose query parser reads `"a b"` and `"a b"~N` natively.

Builds both engines over the English corpus of ``bench/corpus.py`` (fields
title and body; tantivy with its en_stem tokenizer), or over Cranfield with
``--corpus cranfield``, and answers phrases drawn from the corpus's own text
(runs of two or three plain words that are not stop words, so every phrase
has hits):

    two, three          "a b", "a b c"
    two~2, three~2      the same with a slop of 2

Each class is timed over all its queries, the engines alternating; the best
of ``--rounds`` rounds counts. Reports queries per second per class, the
ratio Vrim / tantivy, the time of the first phrase query (which derives the
word positions) and the memory those positions take: the growth of the
process's resident memory across that first query, beside four bytes per
stored position (the stored positions being the field lengths summed).

    python3 bench/bench_phrases.py [--corpus english|cranfield]
                                   [--queries-per-class N] [--rounds R]
"""

from __future__ import annotations

import argparse
import random
import re
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from bench import corpora, engines  # noqa: E402
from bench.queries import STOP_WORDS  # noqa: E402

import vrim  # noqa: E402

WORD = re.compile(r"[a-z]{3,12}")


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def phrases(docs, words, count, seed):
    """`count` runs of `words` plain, non-stop words, in document text."""
    rng = random.Random(seed)
    found = []
    while len(found) < count:
        doc = rng.choice(docs)
        tokens = doc["body"].split()
        if len(tokens) < words:
            continue
        at = rng.randrange(len(tokens) - words + 1)
        run = tokens[at:at + words]
        if all(WORD.fullmatch(t) and t not in STOP_WORDS for t in run):
            found.append(" ".join(run))
    return found


def timed(run, queries):
    start = time.perf_counter()
    for query in queries:
        run(query)
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--corpus", default="english", choices=["english", "cranfield"])
    parser.add_argument("--queries-per-class", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    corpus = corpora.load(args.corpus)
    docs = corpus.docs
    print(f"corpus {corpus.name}: {len(docs)} documents, "
          f"{sum(len(d['title']) + len(d['body']) for d in docs) / 1e6:.1f} MB")
    builder = vrim.IndexBuilder("en", ref_field="id")
    builder.field("title")
    builder.field("body")
    builder.add_many(docs)
    index = builder.build()
    tantivy = engines.Tantivy().build(docs, "en")

    classes = {}
    for words in (2, 3):
        texts = phrases(docs, words, args.queries_per_class, seed=words)
        classes[f"{'two' if words == 2 else 'three'}"] = [f'"{t}"' for t in texts]
        classes[f"{'two' if words == 2 else 'three'}~2"] = [f'"{t}"~2' for t in texts]

    stored = sum(total for total, _ in index.query_stats("x").fields.values())
    before = resident_bytes()
    start = time.perf_counter()
    index.search(classes["two"][0], limit=10, phrases=True)
    first = time.perf_counter() - start
    grown = resident_bytes() - before
    print(f"first phrase query (derives word positions): {first * 1000:.0f} ms")
    print(f"word positions: {grown / 1e6:.1f} MB resident growth for {stored} stored "
          f"positions ({grown / max(stored, 1):.2f} bytes each; 4 bytes each is "
          f"{4 * stored / 1e6:.1f} MB)")

    def run_vrim(query):
        return len(index.search(query, limit=10, phrases=True))

    def run_tantivy(query):
        return tantivy.top(lambda: tantivy.index.parse_query(query, ["title", "body"]), 10)

    print(f"{'class':<10} {'vrim q/s':>10} {'tantivy q/s':>12} {'ratio':>7} "
          f"{'hits/q vrim':>12} {'tantivy':>8}")
    for name, queries in classes.items():
        best = {"vrim": float("inf"), "tantivy": float("inf")}
        for _ in range(args.rounds):
            best["vrim"] = min(best["vrim"], timed(run_vrim, queries))
            best["tantivy"] = min(best["tantivy"], timed(run_tantivy, queries))
        hits_v = sum(map(run_vrim, queries)) / len(queries)
        hits_t = sum(map(run_tantivy, queries)) / len(queries)
        rate = {k: len(queries) / v for k, v in best.items()}
        print(f"{name:<10} {rate['vrim']:>10.0f} {rate['tantivy']:>12.0f} "
              f"{rate['vrim'] / rate['tantivy']:>6.2f}x {hits_v:>12.1f} {hits_t:>8.1f}")
    tantivy.close()


if __name__ == "__main__":
    main()
