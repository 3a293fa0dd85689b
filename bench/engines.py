"""The engines under measurement, each driven through its Python API.

Every engine indexes the fields ``title`` and ``body`` (bm25s, which has one
text per document, their concatenation) with its English stemming on English
corpora:

    vrim      IndexBuilder(language); add_many + build(threads=...)
    fts5      sqlite3 FTS5 table, tokenize='porter unicode61' (unicode61
              without stemming for other languages); inserts + commit
    tantivy   tantivy-py, text fields with the en_stem tokenizer (a snowball
              stemmer of the language where tantivy has one); add + commit,
              one indexing thread or tantivy's default writer
    bm25s     bm25s with PyStemmer (the language's stemmer where there is one)

A built engine answers ``top(query, k)`` and ``all(query)`` for queries made
by ``queries.py`` (each engine its own form of the same query; see there),
returning the hit count. Engines whose API cannot express a query class
return None from ``prepare``.
"""

from __future__ import annotations

import os
import re
import shutil
import sqlite3
import tempfile
from pathlib import Path

# Snowball stemmer names of PyStemmer and tantivy, per Vrim language code.
STEMMERS = {"en": "english", "de": "german", "fr": "french", "es": "spanish", "ru": "russian"}
TANTIVY_STEMMERS = {"de": "german", "fr": "french", "es": "spanish", "ru": "russian"}


def vrim_features() -> dict:
    """Which of the newer Vrim APIs the installed module has, read from the
    text signatures: search(..., limit=None) and build(threads=None)."""
    import vrim

    search = vrim.Index.search.__text_signature__ or ""
    build = vrim.IndexBuilder.build.__text_signature__ or ""
    return {"limit": "limit" in search, "threads": "threads" in build}


def fts5_available() -> bool:
    db = sqlite3.connect(":memory:")
    try:
        db.execute("CREATE VIRTUAL TABLE t USING fts5(x)")
        return True
    except sqlite3.OperationalError:
        return False
    finally:
        db.close()


def directory_size(path: Path) -> int:
    return sum(p.stat().st_size for p in Path(path).rglob("*") if p.is_file())


class Vrim:
    name = "vrim"

    def __init__(self, threads=None):
        self.threads = threads
        self.features = vrim_features()

    def build(self, docs, language):
        import vrim

        builder = vrim.IndexBuilder(language)
        builder.field("title")
        builder.field("body")
        builder.add_many(docs)
        if self.features["threads"]:
            self.index = builder.build(threads=self.threads)
        else:
            self.index = builder.build()
        self.language = language
        return self

    def size(self) -> int:
        self.data = self.index.to_bytes()
        return len(self.data)

    def load(self):
        import vrim

        return vrim.Index.from_bytes(self.data, self.language)

    def prepare(self, query):
        return query.vrim

    def top(self, q, k):
        if self.features["limit"]:
            return len(self.index.search(q, limit=k))
        return len(self.index.search(q)[:k])

    def all(self, q):
        return len(self.index.search(q))

    def ranked(self, text, k):
        import vrim

        # The package's own escape() where this version has one.
        q = getattr(vrim, "escape", escape)(text)
        hits = self.index.search(q, limit=k) if self.features["limit"] else self.index.search(q)[:k]
        return [h.ref for h in hits]


def escape(text: str) -> str:
    """`text` as a plain-text Vrim query: `+` or `-` opening a word and every
    `:` are escaped with a backslash; `\\`, `*`, `^` and `~`, never part of
    an indexed word, become spaces."""
    out = []
    opening = True
    for ch in text:
        if ch in "\\*^~":
            out.append(" ")
            opening = True
        elif ch == ":" or (ch in "+-" and opening):
            out.append("\\" + ch)
            opening = False
        else:
            out.append(ch)
            opening = ch.isspace() or ch in "-\u00a0"
    return "".join(out)


def words(text: str) -> list:
    return re.findall(r"\w+", text.lower())


class Fts5:
    name = "fts5"

    def build(self, docs, language):
        self.db = sqlite3.connect(":memory:", check_same_thread=False)
        tokenizer = "porter unicode61" if language == "en" else "unicode61"
        self.db.execute("CREATE VIRTUAL TABLE docs USING fts5(id UNINDEXED, title, body, "
                        f"tokenize='{tokenizer}')")
        self.db.executemany("INSERT INTO docs (id, title, body) VALUES (?, ?, ?)",
                            ((d["id"], d["title"], d["body"]) for d in docs))
        self.db.commit()
        return self

    def optimize(self):
        """Merges the insertion segments into one, as a built index is."""
        self.db.execute("INSERT INTO docs (docs) VALUES ('optimize')")
        self.db.commit()

    def size(self) -> int:
        self.optimize()
        self.data = self.db.serialize()
        return len(self.data)

    def load(self):
        db = sqlite3.connect(":memory:")
        db.deserialize(self.data)
        return db

    def vocabulary(self) -> set:
        self.db.execute("CREATE VIRTUAL TABLE IF NOT EXISTS vocab USING fts5vocab(docs, 'row')")
        return {row[0] for row in self.db.execute("SELECT term FROM vocab")}

    def prepare(self, query):
        return query.fts5

    def top(self, q, k):
        sql = "SELECT id, bm25(docs) FROM docs WHERE docs MATCH ? ORDER BY bm25(docs) LIMIT ?"
        return len(self.db.execute(sql, (q, k)).fetchall())

    def all(self, q):
        sql = "SELECT id, bm25(docs) FROM docs WHERE docs MATCH ? ORDER BY bm25(docs)"
        return len(self.db.execute(sql, (q,)).fetchall())

    def ranked(self, text, k):
        q = " OR ".join(f'"{w}"' for w in words(text))
        sql = "SELECT id FROM docs WHERE docs MATCH ? ORDER BY bm25(docs) LIMIT ?"
        return [row[0] for row in self.db.execute(sql, (q, k))]


class Tantivy:
    name = "tantivy"

    def __init__(self, threads=1):
        # threads=None: tantivy's default writer (num_threads=0, its choice).
        self.threads = threads
        import tantivy  # noqa: F401  (imported before a build is timed, like Vrim)

    def _tokenizer(self, index, language):
        import tantivy

        if language == "en":
            return "en_stem"
        builder = tantivy.TextAnalyzerBuilder(tantivy.Tokenizer.simple())
        builder = builder.filter(tantivy.Filter.remove_long(40)).filter(tantivy.Filter.lowercase())
        if language in TANTIVY_STEMMERS:
            builder = builder.filter(tantivy.Filter.stemmer(TANTIVY_STEMMERS[language]))
        index.register_tokenizer("lang", builder.build())
        return "lang"

    def build(self, docs, language):
        import tantivy

        self.dir = Path(tempfile.mkdtemp(prefix="vrim-bench-tantivy-"))
        tokenizer = "en_stem" if language == "en" else "lang"
        sb = tantivy.SchemaBuilder()
        sb.add_text_field("id", stored=True, tokenizer_name="raw")
        sb.add_text_field("title", tokenizer_name=tokenizer)
        sb.add_text_field("body", tokenizer_name=tokenizer)
        self.schema = sb.build()
        self.index = tantivy.Index(self.schema, path=str(self.dir))
        self._tokenizer(self.index, language)
        writer = self.index.writer(num_threads=self.threads or 0)
        for d in docs:
            writer.add_document(tantivy.Document(id=d["id"], title=d["title"], body=d["body"]))
        writer.commit()
        writer.wait_merging_threads()
        self.index.reload()
        self.searcher = self.index.searcher()
        self.count = len(docs)
        self.language = language
        return self

    def size(self) -> int:
        return directory_size(self.dir)

    def load(self):
        import tantivy

        index = tantivy.Index.open(str(self.dir))
        self._tokenizer(index, self.language)
        return index.searcher()

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def prepare(self, query):
        """A function making the query object, so that parsing is timed."""
        import tantivy

        if query.kind == "prefix":
            pattern = re.escape(query.terms[0]) + ".*"
            return lambda: tantivy.Query.boolean_query(
                [(tantivy.Occur.Should, tantivy.Query.regex_query(self.schema, f, pattern))
                 for f in ("title", "body")])
        if query.kind == "fuzzy":
            word = query.terms[0]
            return lambda: tantivy.Query.boolean_query(
                [(tantivy.Occur.Should, tantivy.Query.fuzzy_term_query(self.schema, f, word, 1, True, False))
                 for f in ("title", "body")])
        text = query.tantivy
        return lambda: self.index.parse_query(text, ["title", "body"])

    # count=False: like Vrim's hit lists, no total count is computed beside
    # the hits (counting would keep tantivy from skipping documents).
    def top(self, make, k):
        return len(self.searcher.search(make(), limit=k, count=False).hits)

    def all(self, make):
        return len(self.searcher.search(make(), limit=self.count, count=False).hits)

    def ranked(self, text, k):
        query = self.index.parse_query(" ".join(words(text)), ["title", "body"])
        hits = self.searcher.search(query, limit=k).hits
        return [self.searcher.doc(address)["id"][0] for _, address in hits]


class Bm25s:
    name = "bm25s"

    def __init__(self):
        # Imported before a build is timed, like Vrim: the two take about
        # 0.2 s, a fifth of a build of the fortunes.
        import bm25s  # noqa: F401
        import Stemmer  # noqa: F401

    def build(self, docs, language):
        import bm25s
        import Stemmer

        self.stemmer = Stemmer.Stemmer(STEMMERS[language]) if language in STEMMERS else None
        self.stopwords = "en" if language == "en" else None
        texts = [d["title"] + "\n" + d["body"] for d in docs]
        tokens = bm25s.tokenize(texts, stopwords=self.stopwords, stemmer=self.stemmer,
                                show_progress=False)
        self.retriever = bm25s.BM25()
        self.retriever.index(tokens, show_progress=False)
        self.count = len(docs)
        self.ids = [d["id"] for d in docs]
        return self

    def size(self) -> int:
        self.dir = Path(tempfile.mkdtemp(prefix="vrim-bench-bm25s-"))
        self.retriever.save(str(self.dir))
        return directory_size(self.dir)

    def load(self):
        import bm25s

        return bm25s.BM25.load(str(self.dir))

    def close(self):
        if getattr(self, "dir", None):
            shutil.rmtree(self.dir, ignore_errors=True)

    def prepare(self, query):
        # Plain terms only: bm25s has no operators, fields, wildcards or fuzziness.
        return query.plain if query.kind in ("rare", "common", "two", "three") else None

    def _retrieve(self, q, k):
        import bm25s

        tokens = bm25s.tokenize(q, stopwords=self.stopwords, stemmer=self.stemmer,
                                show_progress=False, return_ids=False)
        vocab = self.retriever.vocab_dict
        tokens = [[t for t in tokens[0] if t in vocab]]
        if not tokens[0]:
            return [], []
        docs, scores = self.retriever.retrieve(tokens, k=min(k, self.count),
                                               show_progress=False, n_threads=1)
        return docs[0], scores[0]

    def top(self, q, k):
        docs, scores = self._retrieve(q, k)
        return int(sum(1 for s in scores if s > 0))

    def ranked(self, text, k):
        docs, scores = self._retrieve(text, k)
        return [self.ids[d] for d, s in zip(docs, scores) if s > 0]

    all = None


def make(name: str):
    """An engine configuration by name: vrim, vrim-1, vrim-N, fts5,
    tantivy-1 (one indexing thread), tantivy (default writer), bm25s."""
    if name == "vrim":
        return Vrim(None)
    if name.startswith("vrim-"):
        return Vrim(int(name[5:]))
    if name == "fts5":
        return Fts5()
    if name == "tantivy-1":
        return Tantivy(1)
    if name == "tantivy":
        return Tantivy(None)
    if name == "bm25s":
        return Bm25s()
    raise ValueError(f"unknown engine {name!r}")


def versions() -> dict:
    """The version of every engine measured."""
    from importlib import metadata

    import vrim

    out = {"vrim": vrim.__version__, "sqlite": sqlite3.sqlite_version}
    for dist in ("tantivy", "bm25s", "PyStemmer", "numpy", "matplotlib"):
        try:
            out[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            out[dist] = "not installed"
    return out


def cpu_count() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()

