"""Search throughput on the English corpus, against SQLite FTS5.

Builds a vrim index ("en", fields title and body) and an FTS5 table (porter
stemming, the same two columns, segments merged by 'optimize') over the corpus of ``bench/corpus.py``, then
answers one fixed set of queries drawn from the corpus's own vocabulary with
both, fetching every hit, and reports queries per second per class and
overall.

    python3 bench/bench_search.py [--queries-per-class N] [--rounds R]

Query classes and their FTS5 counterparts (same hit set where the two query
languages allow it):

    rare, mid, common   w                -> "w"
    two, three          a b [c]          -> "a" OR "b" [OR "c"]
    required            +a b             -> "a"            (b only scores)
    prohibited          a -b             -> "a" NOT "b"
    field               title:w          -> title : "w"
    prefix              pre*             -> pre*
    fuzzy               w~1              -> "w" OR each vocabulary word one
                                            edit away from w

Each class is timed over all its queries; the best of ``--rounds`` rounds
counts. Queries are generated from a fixed seed, so every run uses the same
set.
"""

from __future__ import annotations

import argparse
import random
import re
import sqlite3
import sys
import time
from collections import Counter
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from corpus import load_english_corpus  # noqa: E402
from queries import STOP_WORDS  # noqa: E402

import vrim  # noqa: E402

WORD = re.compile(r"[a-z]{3,12}")


def vocabulary(docs):
    """Document frequency of every plain lower-case word of the corpus."""
    df = Counter()
    title_df = Counter()
    for d in docs:
        df.update(set(WORD.findall(d["body"].lower())) | set(WORD.findall(d["title"].lower())))
        title_df.update(set(WORD.findall(d["title"].lower())))
    for w in STOP_WORDS:
        df.pop(w, None)
        title_df.pop(w, None)
    return df, title_df


def edits1(word, alphabet="abcdefghijklmnopqrstuvwxyz0123456789_"):
    splits = [(word[:i], word[i:]) for i in range(len(word) + 1)]
    out = set()
    for left, right in splits:
        if right:
            out.add(left + right[1:])
            for c in alphabet:
                out.add(left + c + right[1:])
        if len(right) > 1:
            out.add(left + right[1] + right[0] + right[2:])
        for c in alphabet:
            out.add(left + c + right)
    out.discard(word)
    return out


def make_queries(df, title_df, per_class, seed=7):
    rng = random.Random(seed)
    words = sorted(df)
    rare = [w for w in words if df[w] <= 5]
    mid = [w for w in words if 20 <= df[w] <= 300]
    common = [w for w in words if df[w] >= 1000]
    titled = sorted(w for w in title_df if title_df[w] >= 3)
    pick = rng.choice
    classes = {
        "rare": [[pick(rare)] for _ in range(per_class)],
        "mid": [[pick(mid)] for _ in range(per_class)],
        "common": [[pick(common)] for _ in range(per_class)],
        "two": [[pick(mid), pick(common)] for _ in range(per_class)],
        "three": [[pick(mid), pick(mid), pick(common)] for _ in range(per_class)],
    }
    queries = {name: [(" ".join(ws), " OR ".join(f'"{w}"' for w in ws)) for ws in lists]
               for name, lists in classes.items()}
    queries["required"] = []
    queries["prohibited"] = []
    for _ in range(per_class):
        a, b = pick(common), pick(mid)
        queries["required"].append((f"+{a} {b}", f'"{a}"'))
        queries["prohibited"].append((f"{a} -{b}", f'"{a}" NOT "{b}"'))
    queries["field"] = [(f"title:{w}", f'title : "{w}"')
                        for w in (pick(titled) for _ in range(per_class))]
    queries["prefix"] = []
    for _ in range(per_class):
        w = pick(mid)
        queries["prefix"].append((f"{w[:4]}*", f"{w[:4]}*"))
    return queries


def fuzzy_queries(per_class, df, fts_vocab, seed=11):
    """`w~1` and its FTS5 form: w or any FTS5 term one edit away."""
    rng = random.Random(seed)
    mid = sorted(w for w in df if 20 <= df[w] <= 300 and len(w) >= 5)
    out = []
    for _ in range(per_class):
        w = rng.choice(mid)
        near = sorted({w} | (edits1(w) & fts_vocab))
        out.append((f"{w}~1", " OR ".join(f'"{t}"' for t in near)))
    return out


def build_vrim(docs):
    builder = vrim.IndexBuilder("en")
    builder.field("title")
    builder.field("body")
    builder.add_many(docs)
    return builder.build()


def build_fts(docs):
    db = sqlite3.connect(":memory:")
    db.execute("CREATE VIRTUAL TABLE docs USING fts5(id UNINDEXED, title, body, "
               "tokenize='porter unicode61')")
    db.executemany("INSERT INTO docs (id, title, body) VALUES (?, ?, ?)",
                   ((d["id"], d["title"], d["body"]) for d in docs))
    # Merge the insertion segments into one, as a built index is.
    db.execute("INSERT INTO docs (docs) VALUES ('optimize')")
    db.commit()
    return db


def time_class(run, queries, rounds):
    best = float("inf")
    hits = 0
    for _ in range(rounds):
        hits = 0
        start = time.perf_counter()
        for q in queries:
            hits += len(run(q))
        best = min(best, time.perf_counter() - start)
    return best, hits


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--queries-per-class", type=int, default=120)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    docs = load_english_corpus()
    print(f"corpus: {len(docs)} documents")
    t = time.perf_counter()
    index = build_vrim(docs)
    print(f"vrim build: {time.perf_counter() - t:.1f} s, {index.term_count} terms")
    t = time.perf_counter()
    db = build_fts(docs)
    print(f"fts5 build: {time.perf_counter() - t:.1f} s")

    df, title_df = vocabulary(docs)
    queries = make_queries(df, title_df, args.queries_per_class)
    db.execute("CREATE VIRTUAL TABLE vocab USING fts5vocab(docs, 'row')")
    fts_vocab = {row[0] for row in db.execute("SELECT term FROM vocab")}
    queries["fuzzy"] = fuzzy_queries(args.queries_per_class, df, fts_vocab)
    total = sum(len(q) for q in queries.values())
    print(f"{total} queries in {len(queries)} classes\n")

    sql = "SELECT id, bm25(docs) FROM docs WHERE docs MATCH ? ORDER BY bm25(docs)"

    def run_fts(q):
        return db.execute(sql, (q,)).fetchall()

    print(f"{'class':<11}{'vrim q/s':>11}{'fts5 q/s':>11}{'ratio':>8}"
          f"{'vrim hits':>11}{'fts5 hits':>11}")
    vrim_time = fts_time = 0.0
    slowest = None
    for name, pairs in queries.items():
        vt, vh = time_class(index.search, [p[0] for p in pairs], args.rounds)
        ft, fh = time_class(run_fts, [p[1] for p in pairs], args.rounds)
        vrim_time += vt
        fts_time += ft
        ratio = ft / vt
        if slowest is None or ratio < slowest[1]:
            slowest = (name, ratio)
        n = len(pairs)
        print(f"{name:<11}{n / vt:>11.0f}{n / ft:>11.0f}{ratio:>7.2f}x"
              f"{vh / n:>11.1f}{fh / n:>11.1f}")
    print(f"{'overall':<11}{total / vrim_time:>11.0f}{total / fts_time:>11.0f}"
          f"{fts_time / vrim_time:>7.2f}x")
    print(f"\nslowest class relative to fts5: {slowest[0]} ({slowest[1]:.2f}x)")


if __name__ == "__main__":
    main()
