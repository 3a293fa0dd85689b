"""Repeating every call and every error path leaves memory and reference
counts flat."""

import gc
import os
import pickle
import sys
import warnings

import pytest

import vrim

pytestmark = pytest.mark.skipif(
    not os.path.exists("/proc/self/statm"), reason="needs /proc for RSS")

# Under AddressSanitizer (tools/run-sanitizers) freed memory waits in a
# quarantine, so RSS says nothing about leaks; LeakSanitizer judges instead.
def address_sanitized():
    with open("/proc/self/maps") as f:
        return "libclang_rt.asan" in f.read()


SANITIZED = os.path.exists("/proc/self/maps") and address_sanitized()


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Boom(dict):
    def __getitem__(self, key):
        if key == "t":
            raise LookupError("boom")
        return super().__getitem__(key)


def exercise(data, index, query, builder, doc):
    b = vrim.IndexBuilder("en")
    b.field("t")
    b.add(doc)
    b.add_many([doc, {"id": "z", "t": "more words"}])
    built = b.build()
    for hit in built.search(query):
        hit.matches, hit.terms, hit.ref, hit.score, repr(hit)
    repr(b), repr(built), b.fields, built.fields
    raw = built.to_bytes()
    vrim.Index.from_bytes(raw, "en").search(query)
    vrim.index_language(raw)
    rehydrated = vrim.IndexBuilder.from_index(built)
    rehydrated.remove("a")
    rehydrated.build()
    some = built.doc_set(["a", "z", "missing"])
    other = ~some | (some & some) ^ (some - some)
    list(other), len(other), "a" in other, repr(other), other == some
    built.search(query, 1, filter=some, offset=1), built.search(query, filter=["a"])
    built.count(query, filter=some), built.query_stats(query, exclude=some)
    column = built.column({"a": 1, "z": 2.5, "missing": None})
    column.equals(1), column.isin([2.5]), column.between(None, 2)
    built.facets(query, column, filter=some, limit=1)
    words = built.column({"a": "x", "z": "y"})
    built.facets(query, words), words.between("a", None)
    vrim.merge([built, built], drop=["z"])
    pickle.loads(pickle.dumps((some, column)))
    vrim.tokenize("Some text to split", "en")
    vrim.normalize("ＡＢＣ ｶﾞ", "ja")
    vrim.languages()

    errors = [
        lambda: index.search("titel:x"),
        lambda: index.search(b"x"),
        lambda: index.search("\ud800"),
        lambda: index.to_bytes(positions=1),
        lambda: vrim.Index.from_bytes(data, "de"),
        lambda: vrim.Index.from_bytes(data[:100]),
        lambda: vrim.index_language(b""),
        lambda: vrim.index_language(bytearray(data)),
        lambda: vrim.tokenize("x", "xx"),
        lambda: vrim.tokenize("x", "en,\0"),
        lambda: vrim.IndexBuilder("en", k1=float("nan")),
        lambda: vrim.IndexBuilder("en", k1="x"),
        lambda: builder.field("a b"),
        lambda: builder.field("t"),
        lambda: builder.add({"id": 1}),
        lambda: builder.add({"id": "a", "t": "\udc00"}),
        lambda: builder.add({"t": "x"}),
        lambda: builder.add(Boom(id="a", t="x")),
        lambda: builder.add_many([{"id": "q", "t": "x"}, {}]),
        lambda: builder.remove("a"),
        lambda: vrim.IndexBuilder.from_index(None),
        lambda: index.search("x", filter=built.doc_set(["a"])),
        lambda: index.search("x", filter=["a", 1]),
        lambda: index.search("x", offset=-1),
        lambda: index.doc_set("a"),
        lambda: built.column({"a": "x", "z": 1}),
        lambda: built.column({"a": True}),
        lambda: built.column({"a": 1}).equals("x"),
        lambda: index.facets("x", built.column({})),
        lambda: vrim.merge([index, vrim.IndexBuilder("de").build()]),
        lambda: vrim.merge([index], drop=[1]),
        lambda: 1 in built.doc_set([]),
    ]
    for call in errors:
        try:
            call()
        except Exception:
            pass
    builder.clear()


def test_no_leaks():
    seed = vrim.IndexBuilder("en")
    seed.field("t")
    seed.add({"id": "a", "t": "apples and pears"})
    index = seed.build()
    data = index.to_bytes()
    query = "apple pear* +appl~1"
    builder = vrim.IndexBuilder("en")
    builder.field("t")
    doc = {"id": "a", "t": "apples and pears"}
    tracked = [data, index, query, builder, doc, doc["t"], vrim.Index,
               vrim.Result, vrim.IndexBuilder, vrim.QueryError, vrim.DocSet,
               vrim.Column]

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for _ in range(300):
            exercise(data, index, query, builder, doc)
        gc.collect()
        refs = [sys.getrefcount(obj) for obj in tracked]
        before = rss_bytes()
        for _ in range(2000 if SANITIZED else 20000):
            exercise(data, index, query, builder, doc)
        gc.collect()
        after = rss_bytes()
    assert [sys.getrefcount(obj) for obj in tracked] == refs
    # A leak of even one small object per call would add megabytes here.
    assert SANITIZED or after - before < 1024 * 1024, (before, after)
