"""Filters, pages, counts and statistics without some documents: each the
same as cutting the full ranking, or as an index rebuilt from less."""

import pickle
import random

import pytest

import vrim
from random_queries import WORDS, hit_tuple, random_query, random_text

hypothesis = pytest.importorskip("hypothesis")
st = hypothesis.strategies

LANGUAGES = ["en", "de", "en,tr", "ja"]
SHARES = [0.0, 0.01, 0.1, 0.5, 1.0]


def random_docs(rng, language, most=120):
    words = WORDS[language]
    return {f"d{rng.randrange(10**6):06}": {"title": random_text(rng, words),
                                            "body": random_text(rng, words)}
            for _ in range(rng.randint(0, most))}


def build(language, docs, boosts=None):
    builder = vrim.IndexBuilder(language)
    builder.field("title", 2.0)
    builder.field("body")
    for ref, doc in docs.items():
        builder.add({"id": ref, **doc}, boost=(boosts or {}).get(ref, 1.0))
    return builder.build()


def small_index():
    return build("en", {"a": {"title": "apple", "body": "pear"},
                        "b": {"title": "pear", "body": "apple apple"},
                        "c": {"title": "plum", "body": None}})


@pytest.mark.parametrize("language", LANGUAGES)
def test_filtered_pages_cut_the_full_ranking(language):
    rng = random.Random(language)
    words = WORDS[language]
    for _ in range(40):
        docs = random_docs(rng, language)
        boosts = {ref: rng.choice([1.0, 2.0, 0.0]) for ref in docs}
        index = build(language, docs, boosts)
        for share in SHARES:
            allowed = {ref for ref in docs if rng.random() < share}
            as_set = index.doc_set(allowed)
            for _ in range(4):
                query = random_query(rng, words, ["title", "body"])
                full = [hit_tuple(h) for h in index.search(query) if h.ref in allowed]
                filt = rng.choice([as_set, sorted(allowed)])
                for limit in (None, 0, 1, 3, 10):
                    for offset in (0, 1, 7):
                        got = index.search(query, limit, filter=filt, offset=offset)
                        end = None if limit is None else offset + limit
                        assert [hit_tuple(h) for h in got] == full[offset:end], (query, limit, offset)
                assert index.count(query, filter=filt) == len(full)
                assert index.count(query) == len(index.search(query))


@pytest.mark.parametrize("language", LANGUAGES)
def test_statistics_without_documents_score_like_a_rebuilt_index(language):
    rng = random.Random("exclude" + language)
    words = WORDS[language]
    for _ in range(40):
        docs = random_docs(rng, language, 80)
        excluded = {ref for ref in docs if rng.random() < rng.choice(SHARES)}
        index = build(language, docs)
        rebuilt = build(language, {r: d for r, d in docs.items() if r not in excluded})
        exclude = index.doc_set(excluded)
        for _ in range(6):
            query = random_query(rng, words, ["title", "body"])
            stats = index.query_stats(query, exclude=exclude)
            assert set(stats.terms) >= set(rebuilt.query_stats(query).terms)
            for limit in (None, 3):
                got = index.search(query, limit, stats=stats, filter=~exclude)
                assert ([hit_tuple(h) for h in got]
                        == [hit_tuple(h) for h in rebuilt.search(query, limit)]), query


def test_a_term_only_in_excluded_documents_stays_with_frequency_zero():
    index = small_index()
    stats = index.query_stats("plum apple", exclude=index.doc_set(["c"]))
    assert stats.terms == {"plum": 0, "appl": 2}
    assert stats.document_count == 2 and stats.fields == {"title": (2, 2), "body": (3, 2)}
    # The source names the index and, apart from it, what was left out.
    (fingerprint, exclusion), = stats.sources
    assert fingerprint == index.fingerprint and exclusion is not None
    assert index.query_stats("plum", exclude=index.doc_set(["a"])).sources[0][1] != exclusion
    assert index.query_stats("plum", exclude=[]).sources == [(fingerprint, None)]


@hypothesis.given(st.sets(st.integers(0, 199)), st.sets(st.integers(0, 199)),
                  st.integers(1, 200))
@hypothesis.settings(max_examples=150, deadline=None)
def test_doc_set_algebra_is_set_algebra(a, b, n):
    index = INDEX_200
    refs = index.references[:n]
    x = {refs[i] for i in a if i < n}
    y = {refs[i] for i in b if i < n}
    everything = set(index.references)
    dx, dy = index.doc_set(x), index.doc_set(y)
    for got, want in [(dx & dy, x & y), (dx | dy, x | y), (dx - dy, x - y),
                      (dx ^ dy, x ^ y), (~dx, everything - x)]:
        assert list(got) == sorted(want) and len(got) == len(want)
        assert got == index.doc_set(want) and (got != index.doc_set(want)) is False
    assert all(ref in dx for ref in x) and not any(ref in dx for ref in everything - x)


INDEX_200 = build("en", {f"r{i:03}": {"title": "t", "body": None} for i in range(200)})


def test_doc_set_pickles_with_its_index_and_mixes_with_a_reloaded_one():
    index = small_index()
    fruit = index.doc_set(["b", "a", "zz"])
    assert repr(fruit) == "DocSet(2 of 3 documents)"
    copy, other = pickle.loads(pickle.dumps((fruit, ~fruit)))
    assert copy == fruit and list(copy | other) == ["a", "b", "c"]
    reloaded = vrim.Index.from_bytes(index.to_bytes())
    assert {h.ref for h in reloaded.search("apple pear plum", filter=fruit)} == {"a", "b"}
    # doc_set() of another index's set reads its references.
    other_index = build("en", {"b": {"title": "x", "body": None}})
    assert list(other_index.doc_set(fruit)) == ["b"]


@pytest.mark.parametrize("call, error, message", [
    (lambda ix, other: ix.search("apple", filter=other.doc_set(["b"])), ValueError, "another index"),
    (lambda ix, other: ix.doc_set(["a"]) & other.doc_set(["b"]), ValueError, "another index"),
    (lambda ix, other: ix.query_stats("apple", exclude=other.doc_set([])), ValueError, "another index"),
    (lambda ix, other: ix.search("apple", offset=-1), ValueError, "offset must not be negative"),
    (lambda ix, other: ix.search("apple", offset=True), TypeError, "bool"),
    (lambda ix, other: ix.search("apple", filter="a"), TypeError, "str"),
    (lambda ix, other: ix.search("apple", filter=3), TypeError, "int"),
    (lambda ix, other: ix.doc_set(["a", 3]), TypeError, "references must be str, not int"),
    (lambda ix, other: ix.count("apple", filter=[b"a"]), TypeError, "bytes"),
    (lambda ix, other: 3 in ix.doc_set(["a"]), TypeError, "int"),
    (lambda ix, other: ix.doc_set([]) & {"a"}, TypeError, "unsupported operand"),
])
def test_bad_filters_raise_clear_errors(call, error, message):
    other = build("en", {"b": {"title": "pear", "body": None}})
    with pytest.raises(error, match=message):
        call(small_index(), other)


def test_count_checks_its_statistics_like_search():
    index = small_index()
    stats = index.query_stats("pear")
    with pytest.raises(ValueError, match="lack the term"):
        index.count("apple", stats=stats)
    assert index.count("pear", stats=stats, filter=["a"]) == 1
    assert index.count("-apple") == len(index.search("-apple")) == 1


VALUE_KINDS = {
    "str": lambda rng: rng.choice(["", "a", "b", "é", "ab", "Z"]),
    "number": lambda rng: rng.choice([0, 1, 1.0, -2, 2.5, 2**62, 1e300, -0.0]),
}


@pytest.mark.parametrize("language", ["en", "ja"])
@pytest.mark.parametrize("kind", sorted(VALUE_KINDS))
def test_facets_count_the_full_hits_and_selections_match_the_values(language, kind):
    rng = random.Random(language + kind)
    words = WORDS[language]
    for _ in range(30):
        docs = random_docs(rng, language, 80)
        index = build(language, docs)
        values = {ref: VALUE_KINDS[kind](rng) if rng.random() < 0.8 else None for ref in docs}
        column = pickle.loads(pickle.dumps(index.column(values)))
        allowed = {ref for ref in docs if rng.random() < 0.5}
        for _ in range(4):
            query = random_query(rng, words, ["title", "body"])
            filt = rng.choice([None, allowed])
            counts = {}
            for hit in index.search(query, filter=filt):
                if values[hit.ref] is not None:
                    counts[values[hit.ref]] = counts.get(values[hit.ref], 0) + 1
            want = sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))
            limit = rng.choice([None, 0, 2])
            got = index.facets(query, column, filter=filt, limit=limit)
            assert got == want[:limit], query
        present = [v for v in values.values() if v is not None]
        probe = VALUE_KINDS[kind](rng)
        lo, hi = sorted([VALUE_KINDS[kind](rng), VALUE_KINDS[kind](rng)])
        for got, keep in [(column.equals(probe), lambda v: v == probe),
                          (column.isin([probe, lo]), lambda v: v in (probe, lo)),
                          (column.between(lo, hi), lambda v: lo <= v <= hi),
                          (column.between(None, hi), lambda v: v <= hi),
                          (column.between(lo, None), lambda v: lo <= v)]:
            assert list(got) == sorted(r for r, v in values.items()
                                       if v is not None and keep(v)), (probe, lo, hi, present)


def test_an_integer_and_an_equal_float_are_one_value_compared_exactly():
    index = build("en", {r: {"title": "x", "body": None} for r in "abcd"})
    column = index.column({"a": 1.0, "b": 1, "c": 2**53 + 1, "d": None})
    assert index.facets("x", column) == [(1, 2), (2**53 + 1, 1)]
    assert list(column.equals(float(2**53))) == [] and list(column.between(2.0**53, None)) == ["c"]


@pytest.mark.parametrize("call, error, message", [
    (lambda ix: ix.column({"a": True}), TypeError, "bool"),
    (lambda ix: ix.column({"a": "x", "b": 2}), TypeError, "mix strings and numbers"),
    (lambda ix: ix.column({"a": 2, "zz": "x"}), TypeError, "mix strings and numbers"),
    (lambda ix: ix.column({"a": [1]}), TypeError, "list"),
    (lambda ix: ix.column({3: "x"}), TypeError, "references must be str"),
    (lambda ix: ix.column(["a"]), TypeError, "mapping"),
    (lambda ix: ix.column({"a": float("nan")}), ValueError, "NaN"),
    (lambda ix: ix.column({"a": 2**64}), OverflowError, "64 bits"),
    (lambda ix: ix.column({"a": "x"}).equals(1), TypeError, "holds str values"),
    (lambda ix: ix.column({"a": 1}).isin("ab"), TypeError, "iterable of values"),
    (lambda ix: ix.column({"a": 1}).between(False, None), TypeError, "bool"),
    (lambda ix: ix.facets("apple", ix.doc_set([])), TypeError, "Column"),
    (lambda ix: ix.facets("apple", build("en", {}).column({})), ValueError, "another index"),
])
def test_bad_columns_raise_clear_errors(call, error, message):
    with pytest.raises(error, match=message):
        call(small_index())


@pytest.mark.parametrize("language", LANGUAGES)
def test_merge_equals_a_fresh_build_to_the_byte(language):
    rng = random.Random("merge" + language)
    words = WORDS[language]
    for _ in range(25):
        parts = [[(f"d{rng.randrange(150):03}", {"title": random_text(rng, words),
                                                  "body": random_text(rng, words)})
                  for _ in range(rng.randint(0, 40))]
                 for _ in range(rng.randint(1, 4))]
        boosts = {f"d{n:03}": rng.choice([1.0, 2.0, 0.0]) for n in range(150)}
        drop = {ref for part in parts for ref, _ in part if rng.random() < 0.15}
        survivors = {ref: doc for part in parts for ref, doc in part}  # later wins
        fresh = build(language, {r: d for r, d in survivors.items() if r not in drop}, boosts)
        merged = vrim.merge([build(language, dict(part), boosts) for part in parts],
                            drop=sorted(drop) if rng.random() < 0.5 else drop)
        assert merged.to_bytes() == fresh.to_bytes()
        assert merged.document_count == fresh.document_count


def test_merge_of_an_index_without_positions_keeps_results_but_not_highlights():
    a = build("en", {"a": {"title": "apple", "body": "red apple"}})
    b = build("en", {"b": {"title": "pear", "body": "apple pie"}})
    bare = vrim.Index.from_bytes(b.to_bytes(positions=False))
    merged = vrim.merge([a, bare])
    full = vrim.merge([a, b])
    assert merged.to_bytes(positions=False) == full.to_bytes(positions=False)
    assert ([(h.ref, h.score) for h in merged.search("apple")]
            == [(h.ref, h.score) for h in full.search("apple")])


def settings_builder(language="en", k1=1.2, b=0.75, fields=(("title", 2.0), ("body", 1.0))):
    builder = vrim.IndexBuilder(language, k1=k1, b=b)
    for name, boost in fields:
        builder.field(name, boost)
    builder.add({"id": "x", "title": "apple", "body": None})
    return builder.build()


@pytest.mark.parametrize("other, error, message", [
    (lambda: settings_builder("fr"), ValueError, "index 1 differs from index 0 in language"),
    (lambda: settings_builder(k1=1.5), ValueError, "in k1: 1.2 and 1.5"),
    (lambda: settings_builder(b=0.5), ValueError, "in b: 0.75 and 0.5"),
    (lambda: settings_builder(fields=(("title", 2.0),)), ValueError, "in fields"),
    (lambda: settings_builder(fields=(("title", 3.0), ("body", 1.0))), ValueError,
     "boost of field \"title\": 2 and 3"),
    (lambda: "index", TypeError, "Index objects, not str"),
])
def test_merge_refuses_indexes_that_differ(other, error, message):
    with pytest.raises(error, match=message):
        vrim.merge([settings_builder(), other()])


@pytest.mark.parametrize("call, error, message", [
    (lambda ix: vrim.merge([]), ValueError, "at least one index"),
    (lambda ix: vrim.merge(ix), TypeError, "iterable of Index"),
    (lambda ix: vrim.merge([ix], drop="a"), TypeError, "iterable of references"),
    (lambda ix: vrim.merge([ix], drop=["a", 1]), TypeError, "references must be str, not int"),
])
def test_merge_argument_errors(call, error, message):
    with pytest.raises(error, match=message):
        call(small_index())


@pytest.mark.parametrize("language", ["en", "ja"])
def test_phrase_queries_filter_page_and_count_like_the_full_ranking(language):
    rng = random.Random("phrases" + language)
    words = WORDS[language]
    for _ in range(20):
        index = build(language, random_docs(rng, language, 60))
        allowed = {ref for ref in index.references if rng.random() < 0.5}
        for _ in range(6):
            query = " ".join(
                rng.choice(["", "+", "-"]) + '"' + " ".join(rng.sample(words, 2)) + '"'
                + rng.choice(["", "~1"]) for _ in range(rng.randint(1, 2)))
            query += " " + rng.choice(words)
            full = [hit_tuple(h) for h in index.search(query, phrases=True) if h.ref in allowed]
            got = index.search(query, 3, phrases=True, filter=allowed, offset=1)
            assert [hit_tuple(h) for h in got] == full[1:4], query
            assert index.count(query, phrases=True, filter=allowed) == len(full), query
