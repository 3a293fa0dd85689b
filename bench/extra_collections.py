"""Collections: what a commit, a segmented search and an open cost, with
tantivy-py and SQLite FTS5 taking the same batches beside them.

Builds a collection of synthetic documents (Zipf-distributed words drawn
from the Cranfield corpus's vocabulary when /work/shared has it, otherwise
from generated words; a title, a body of about 60 words, a category and a
year; 500,000 documents, 50,000 with --quick), then measures, interleaving
the compared runs within every round and taking medians:

    commit   upserting 1,000 changed documents (random ones, new texts and
             years) into the collection, merges off, against building an
             index of those 1,000 documents alone (wall clock: a commit
             syncs files); target: commit <= 3 x build + 0.1 s. Also the
             passive checkpoint that follows on its own thread, timed
             apart, and the mean commit with the tiered merge policy on
    search   top-10 over the documents held in 10 segments against the same
             collection optimized into one (options.clock); target: <= 2 x
    open     Collection.open of the one-segment collection against vrim.load
             of its index file (wall clock); target: <= 1.2 x
    peers    the same batches committed into a tantivy-py index (delete by
             id, add, commit) and an SQLite FTS5 table (delete by rowid,
             insert), each of the same documents; tantivy's reopen; and
             top-10 queries of plain words (BM25, title boosted 2x) on all
             three after the batches

    python -m bench --measures collections [--quick]   a section of the page
    python -m bench.extra_collections [--documents N] [--rounds R]   printed
"""

from __future__ import annotations

import argparse
import gc
import os
import random
import shutil
import sqlite3
import statistics
import tempfile
import time
from pathlib import Path

import vrim

from .page import secs, table, target_row
from .timing import CLOCKS, Figure, interleaved

FIELDS = {"title": 2.0, "body": 1.0}
COLUMNS = {"category": str, "year": int}
CRANFIELD = Path("/work/shared/corpora/cranfield/cran.all.1400")
DOCUMENTS, QUICK_DOCUMENTS = 500_000, 50_000
BATCH, SEGMENTS, QUERIES = 1000, 10, 200


def vocabulary() -> list[str]:
    if CRANFIELD.exists():
        counts: dict[str, int] = {}
        for token in vrim.tokenize(CRANFIELD.read_text(errors="replace"), "en"):
            if token.isalpha() and len(token) > 2:
                counts[token] = counts.get(token, 0) + 1
        return sorted(counts, key=lambda w: (-counts[w], w))
    rng = random.Random(1)
    return ["".join(rng.choice("etaoinshrdlucmfw") for _ in range(rng.randint(3, 9)))
            for _ in range(8000)]


class Corpus:
    """Documents by number and version, the same every time they are asked
    for (so every engine indexes the same texts), and queries."""

    def __init__(self) -> None:
        self.words = vocabulary()
        total = sum(1 / (rank + 1) for rank in range(len(self.words)))
        self.cumulative, acc = [], 0.0
        for rank in range(len(self.words)):
            acc += 1 / (rank + 1) / total
            self.cumulative.append(acc)

    def doc(self, number: int, version: int = 0) -> dict:
        rng = random.Random(number * 1009 + version)
        words = rng.choices(self.words, cum_weights=self.cumulative, k=66)
        return {"id": f"doc{number:07d}", "title": " ".join(words[:6]),
                "body": " ".join(words[6:]), "category": f"c{number % 17}",
                "year": 1990 + (number + version) % 30}

    def queries(self, count: int) -> list[str]:
        """Vrim queries of every shape: words, required, excluded, prefix."""
        rng = random.Random(3)
        common, rare = self.words[20:400], self.words[400:4000]
        shapes = [lambda: rng.choice(rare), lambda: f"{rng.choice(common)} {rng.choice(rare)}",
                  lambda: f"+{rng.choice(common)} {rng.choice(common)}",
                  lambda: f"{rng.choice(common)} -{rng.choice(rare)}",
                  lambda: rng.choice(rare)[:4] + "*"]
        return [shapes[i % len(shapes)]() for i in range(count)]

    def plain_queries(self, count: int) -> list[list[str]]:
        """Two words each, a common and a rare one: what every engine reads
        the same way (any of the words, ranked by BM25)."""
        rng = random.Random(5)
        return [[rng.choice(self.words[20:400]), rng.choice(self.words[400:4000])]
                for _ in range(count)]


def build(docs: list[dict]) -> vrim.Index:
    builder = vrim.IndexBuilder("en")
    for name, boost in FIELDS.items():
        builder.field(name, boost)
    builder.add_many(docs)
    return builder.build()


def fill(path: str, corpus: Corpus, count: int, segments: int) -> None:
    """A collection of `count` documents in `segments` commits, unmerged."""
    with vrim.Collection.create(path, "en", FIELDS, columns=COLUMNS) as coll:
        step = -(-count // segments)
        for start in range(0, count, step):
            with coll.writer(merge=False) as w:
                w.upsert(corpus.doc(n) for n in range(start, min(count, start + step)))


def timed(call, clock=time.perf_counter) -> float:
    start = clock()
    call()
    return clock() - start


def per_query(run, texts, clock) -> float:
    return timed(lambda: [run(t) for t in texts], clock) / len(texts)


# -- the peers -----------------------------------------------------------------


class Fts5:
    """An FTS5 table of the documents; the document number is the rowid."""

    def __init__(self, folder: str, corpus: Corpus, count: int) -> None:
        self.db = sqlite3.connect(os.path.join(folder, "fts.sqlite"), isolation_level=None)
        self.db.execute("PRAGMA journal_mode = WAL")
        self.db.execute("CREATE VIRTUAL TABLE docs USING fts5(title, body, "
                        "tokenize='porter unicode61')")
        self.db.execute("BEGIN")
        self.db.executemany("INSERT INTO docs (rowid, title, body) VALUES (?, ?, ?)",
                            ((n, d["title"], d["body"])
                             for n, d in ((n, corpus.doc(n)) for n in range(count))))
        self.db.execute("COMMIT")

    def commit(self, batch: list[tuple[int, dict]]) -> None:
        self.db.execute("BEGIN")
        self.db.executemany("DELETE FROM docs WHERE rowid = ?", ((n,) for n, _ in batch))
        self.db.executemany("INSERT INTO docs (rowid, title, body) VALUES (?, ?, ?)",
                            ((n, d["title"], d["body"]) for n, d in batch))
        self.db.execute("COMMIT")

    def query(self, words: list[str]) -> list:
        return self.db.execute(
            "SELECT rowid FROM docs WHERE docs MATCH ? ORDER BY bm25(docs, 2.0, 1.0) "
            "LIMIT 10", (" OR ".join(f'"{w}"' for w in words),)).fetchall()

    def close(self) -> None:
        self.db.close()


class Tantivy:
    """A tantivy index of the documents on disk (en_stem, title boosted 2x),
    written by tantivy's default writer."""

    def __init__(self, folder: str, corpus: Corpus, count: int) -> None:
        import tantivy

        self.tantivy = tantivy
        self.dir = os.path.join(folder, "tantivy")
        os.makedirs(self.dir)
        schema = tantivy.SchemaBuilder()
        schema.add_text_field("id", stored=True, tokenizer_name="raw")
        schema.add_text_field("title", tokenizer_name="en_stem")
        schema.add_text_field("body", tokenizer_name="en_stem")
        self.index = tantivy.Index(schema.build(), path=self.dir)
        self.writer = self.index.writer()
        for n in range(count):
            d = corpus.doc(n)
            self.writer.add_document(tantivy.Document(id=d["id"], title=d["title"],
                                                      body=d["body"]))
        self.writer.commit()
        self.writer.wait_merging_threads()
        self.writer = self.index.writer()
        self.reopen()

    def commit(self, batch: list[tuple[int, dict]]) -> None:
        for _, d in batch:
            self.writer.delete_documents_by_term("id", d["id"])
            self.writer.add_document(self.tantivy.Document(id=d["id"], title=d["title"],
                                                           body=d["body"]))
        self.writer.commit()

    def reopen(self) -> None:
        self.index = self.tantivy.Index.open(self.dir)
        self.searcher = self.index.searcher()

    def query(self, words: list[str]) -> list:
        query = self.index.parse_query(" ".join(words), ["title", "body"],
                                       field_boosts={"title": 2.0})
        return self.searcher.search(query, limit=10, count=False).hits

    def close(self) -> None:
        self.writer.wait_merging_threads()


# -- the measures --------------------------------------------------------------


def measure_search(path: str, corpus: Corpus, rounds: int, clock) -> dict:
    texts = corpus.queries(QUERIES)
    with vrim.Collection.open(path, readonly=True) as segmented, \
            vrim.Collection.open(path + "-one", readonly=True) as one:
        count = len(segmented.segments)
        for coll in (segmented, one):  # first searches do one-time work
            for text in texts:
                coll.search(text, 10)
        runs = interleaved(rounds, {
            "segmented": lambda: per_query(lambda t: segmented.search(t, 10), texts, clock),
            "merged": lambda: per_query(lambda t: one.search(t, 10), texts, clock)})
    return {"segments": count, **{k: Figure.of(v).as_dict() for k, v in runs.items()}}


def measure_open(path: str, rounds: int) -> dict:
    with vrim.Collection.open(path + "-one", readonly=True) as coll:
        vrim.save(coll.segments[0], path + ".vrim")
    runs = interleaved(rounds + 1, {
        "open": lambda: timed(lambda: vrim.Collection.open(path + "-one",
                                                           readonly=True).close()),
        "load": lambda: timed(lambda: vrim.load(path + ".vrim"))})
    # The first round reads the files into the page cache: left out.
    return {k: Figure.of(v[1:]).as_dict() for k, v in runs.items()}


def measure_commits(path: str, folder: str, corpus: Corpus, count: int, rounds: int,
                    clock, log) -> dict:
    rng = random.Random(11)
    batches = [[(n, corpus.doc(n, version=r + 1)) for n in rng.sample(range(count), BATCH)]
               for r in range(2 * rounds)]
    log(f"collections: FTS5 table of {count:,} documents")
    fts5 = Fts5(folder, corpus, count)
    log(f"collections: tantivy index of {count:,} documents")
    tantivy = Tantivy(folder, corpus, count)
    out: dict = {}
    with vrim.Collection.open(path) as coll:
        def commit(batch, merge: bool) -> float:
            docs = [d for _, d in batch]
            spent = timed(lambda: _upsert(coll, docs, merge))
            # The checkpoint that follows runs on its own thread: timed
            # apart, and finished before the next round.
            out.setdefault("checkpoint", []).append(timed(coll._checkpointer.wait))
            return spent

        for number, batch in enumerate(batches[:rounds]):
            docs = [d for _, d in batch]
            tasks = {"build": lambda: timed(lambda: build(docs)),
                     "commit": lambda: commit(batch, False),
                     "fts5": lambda: timed(lambda: fts5.commit(batch)),
                     "tantivy": lambda: timed(lambda: tantivy.commit(batch))}
            names = list(tasks)
            for name in names[number % 4:] + names[:number % 4]:  # order rotates
                gc.collect()
                out.setdefault(name, []).append(tasks[name]())
        tiered = [commit(batch, True) for batch in batches[rounds:]]
        tantivy_reopen = [timed(tantivy.reopen) for _ in range(rounds)]
        words = corpus.plain_queries(QUERIES)
        texts = [" ".join(w) for w in words]
        for text in texts:
            coll.search(text, 10)
        queries = interleaved(rounds, {
            "vrim": lambda: per_query(lambda t: coll.search(t, 10), texts, clock),
            "fts5": lambda: per_query(fts5.query, words, clock),
            "tantivy": lambda: per_query(tantivy.query, words, clock)})
        segments = len(coll.segments)
    fts5.close()
    tantivy.close()
    return {"figures": {k: Figure.of(v).as_dict() for k, v in out.items()},
            "tiered_mean": statistics.mean(tiered),
            "tantivy_reopen": Figure.of(tantivy_reopen).as_dict(),
            "queries": {k: Figure.of(v).as_dict() for k, v in queries.items()},
            "segments_after": segments}


def _upsert(coll: vrim.Collection, docs: list[dict], merge: bool) -> None:
    with coll.writer(merge=merge) as w:
        w.upsert(docs)


def run(count: int, rounds: int, clock_name: str, log) -> dict:
    clock = CLOCKS[clock_name]
    corpus = Corpus()
    folder = tempfile.mkdtemp(prefix="vrim-bench-collections-")
    started = time.perf_counter()
    try:
        path = os.path.join(folder, "coll")
        log(f"collections: {count:,} documents in {SEGMENTS} segments")
        start = time.perf_counter()
        fill(path, corpus, count, SEGMENTS)
        filled = time.perf_counter() - start
        shutil.copytree(path, path + "-one")
        with vrim.Collection.open(path + "-one") as coll:
            coll.optimize()
        log("collections: search and open")
        result = {"documents": count, "batch": BATCH, "queries": QUERIES, "clock": clock_name,
                  "fill_seconds": filled,
                  "search": measure_search(path, corpus, rounds, clock),
                  "open": measure_open(path, rounds)}
        log("collections: commits")
        result["commit"] = measure_commits(path + "-one", folder, corpus, count, rounds,
                                           clock, log)
        result["seconds"] = time.perf_counter() - started
        return result
    finally:
        shutil.rmtree(folder, ignore_errors=True)


# -- the extra's interface -----------------------------------------------------


def measure(options) -> dict:
    from .suite import log

    count = QUICK_DOCUMENTS if options.quick else DOCUMENTS
    return run(count, options.rounds, options.clock, log)


def ratios(result: dict) -> dict:
    """The three targets' measured values and goals."""
    commit = result["commit"]["figures"]
    build = commit["build"]["median"]
    search, opened = result["search"], result["open"]
    return {
        "commit": (commit["commit"]["median"], 3 * build + 0.1),
        "search": (search["segmented"]["median"] / search["merged"]["median"], 2.0),
        "open": (opened["open"]["median"] / opened["load"]["median"], 1.2)}


def targets(result: dict) -> list:
    corpus = f"synthetic, {result['documents']:,} docs"
    r = ratios(result)
    commit, goal = r["commit"]
    return [
        target_row("collection commit of 1,000 changed documents, s (≤ 3 × their "
                   "build + 0.1 s)", corpus, commit, goal, higher_better=False, unit=" s"),
        target_row("collection top-10 search, 10 segments over one merged",
                   corpus, *r["search"], higher_better=False),
        target_row("collection open over vrim.load of the same documents",
                   corpus, *r["open"], higher_better=False)]


def section(result: dict) -> list:
    c = result["commit"]
    f, q = c["figures"], c["queries"]
    search, opened = result["search"], result["open"]
    r = ratios(result)
    clock = "CPU" if result["clock"] == "cpu" else "wall-clock"
    lines = [
        "## Collections", "",
        f"A `vrim.Collection` of {result['documents']:,} synthetic documents (Zipf-distributed "
        "words of the Cranfield vocabulary: a title of 6 words, a body of 60, a category and "
        f"a year) takes batches of {result['batch']:,} changed documents (random ones, new "
        "texts and years). Compared runs alternate within every round; figures are medians "
        "(± half the spread). Commits and opens are wall-clock times (they sync and read "
        f"files); searches are {clock} time per query over {result['queries']} queries. "
        f"The measure took {result['seconds'] / 60:.1f} minutes "
        f"(writing the collection: {result['fill_seconds']:.0f} s).", ""]
    lines += table(["measure", "collection", "reference", "ratio or goal"], [
        (f"commit of {result['batch']:,} changed documents (merges off)",
         _fig(f["commit"]), f"build of those documents alone: {_fig(f['build'])}",
         f"goal ≤ {secs(r['commit'][1])}"),
        ("the same with the tiered merge policy (mean, merges included)",
         secs(c["tiered_mean"]), "", ""),
        ("checkpoint after a commit (on its own thread, not waited for)",
         _fig(f["checkpoint"]), "", ""),
        (f"top-10 search, {search['segments']} segments", _fig(search["segmented"]),
         f"one merged segment: {_fig(search['merged'])}", f"{r['search'][0]:.2f}×"),
        ("open (one segment)", _fig(opened["open"]),
         f"`vrim.load` of its index file: {_fig(opened['load'])}", f"{r['open'][0]:.2f}×")])
    lines += [
        f"Side by side, the same batches into each engine holding the same "
        f"{result['documents']:,} documents, and top-10 queries of two plain words "
        "(any of them, BM25, title boosted 2×) after the batches (Vrim: "
        f"{c['segments_after']} segments by then). tantivy-py commits with its default "
        "writer and reopens with `Index.open`; FTS5 replaces rows by rowid in one "
        "transaction (WAL).", ""]
    lines += table(["engine", "commit of the batch", "reopen", "top-10 query"], [
        ("Vrim collection", _fig(f["commit"]), _fig(opened["open"]), _fig(q["vrim"])),
        ("tantivy-py", _fig(f["tantivy"]), _fig(c["tantivy_reopen"]), _fig(q["tantivy"])),
        ("SQLite FTS5", _fig(f["fts5"]), "", _fig(q["fts5"]))])
    return lines


def _fig(figure: dict) -> str:
    spread = (figure["high"] - figure["low"]) / 2 / figure["median"] if figure["median"] else 0
    return f"{secs(figure['median'])}" + (f" ±{spread * 100:.0f}%" if figure["runs"] > 1 else "")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--documents", type=int, default=DOCUMENTS)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu")
    args = parser.parse_args()
    result = run(args.documents, args.rounds, args.clock,
                 lambda message: print(message, flush=True))
    print("\n".join(section(result)))
    for row in targets(result):
        print(" | ".join(map(str, row)))


if __name__ == "__main__":
    main()
