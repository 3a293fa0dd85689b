"""The benchmark suite's own logic: query escaping, query forms, metrics."""

import sqlite3
from pathlib import Path

import pytest

bench = pytest.importorskip("bench.engines", reason="run from the checkout root")
from bench import corpora, engines, quality, queries, timing  # noqa: E402

import vrim  # noqa: E402

DOCS = [
    {"id": "a", "title": "Flow", "body": "two-dimensional flow over a wing at mach 2"},
    {"id": "b", "title": "Heat", "body": "heat transfer: the boundary-layer and its flow"},
    {"id": "c", "title": "Wings", "body": "wing loads, +5% and -3 degrees"},
]


@pytest.fixture(scope="module")
def index():
    b = vrim.IndexBuilder("en")
    b.field("title")
    b.field("body")
    b.add_many(DOCS)
    return b.build()


@pytest.mark.parametrize("text", [
    "-flow over wing", "+heat transfer", "boundary-layer: flow", "mach 2^3 wing~1",
    "wing* loads\\", "what -- is - the flow ?", "transfer: heat", "-", "+", ":",
])
def test_escaped_text_searches_its_words(index, text):
    plain = " ".join(engines.words(text))
    got = {(h.ref, h.score) for h in index.search(engines.escape(text))}
    assert got == {(h.ref, h.score) for h in index.search(plain)}


@pytest.mark.skipif(not corpora.CRANFIELD.is_dir(), reason="shared Cranfield corpus absent")
def test_every_cranfield_query_parses_once_escaped(index):
    texts, judgments = corpora.cranfield_judgments()
    assert len(texts) == 225 and set(judgments) <= set(range(1, 226))
    for text in texts:
        index.search(engines.escape(text))


def test_query_forms_parse_in_vrim_and_fts5(index):
    db = sqlite3.connect(":memory:")
    db.execute("CREATE VIRTUAL TABLE docs USING fts5(id UNINDEXED, title, body)")
    db.executemany("INSERT INTO docs VALUES (?, ?, ?)", [(d["id"], d["title"], d["body"]) for d in DOCS])
    for kind, terms in [("rare", ["flow"]), ("three", ["heat", "wing", "flow"]),
                        ("required", ["wing", "loads"]), ("prohibited", ["flow", "heat"]),
                        ("field", ["heat"]), ("prefix", ["boun"]), ("fuzzy", ["wong"])]:
        q = queries.Query(kind, terms, ["wing", "wong"] if kind == "fuzzy" else [])
        assert index.search(q.vrim), q.vrim
        assert db.execute("SELECT id FROM docs WHERE docs MATCH ?", (q.fts5,)).fetchall(), q.fts5


@pytest.mark.parametrize("ranking, gains, ndcg, ap", [
    (["a", "b", "c"], {"a": 4, "b": 1}, 1.0, 1.0),
    (["x", "a"], {"a": 4}, 0.6309, 0.5),
    (["x", "y"], {"a": 4}, 0.0, 0.0),
    (["b", "a"], {"a": 4, "b": 1}, 0.7609, 1.0),
])
def test_metrics(ranking, gains, ndcg, ap):
    assert quality.ndcg(ranking, gains) == pytest.approx(ndcg, abs=1e-4)
    assert quality.average_precision(ranking, gains) == pytest.approx(ap)


def test_figure_and_interleaving():
    f = timing.Figure.of([3.0, 1.0, 2.0, 10.0])
    assert (f.median, f.low, f.high, f.runs) == (2.5, 1.0, 10.0, 4)
    order = []
    timing.interleaved(3, {n: (lambda n=n: order.append(n) or 0) for n in "abc"})
    assert order == list("abcbcacab")
    assert Path(timing.ROOT, "bench", "__main__.py").exists()


def _filter_times(unfiltered, one, half):
    return {"unfiltered": unfiltered, "1 %": one, "50 %": half}


@pytest.mark.parametrize("with_tantivy", [True, False])
def test_filters_section_and_targets(with_tantivy):
    from bench import extra_filters

    times = {kind: _filter_times(60e-6, 20e-6, 66e-6) for kind in extra_filters.KINDS}
    times["common"] = _filter_times(30e-6, 10e-6, 39e-6)  # the worst at 50 %
    result = {"corpus": "english", "documents": 10, "queries": {"all": 9},
              "filter_sizes": {"1 %": 1, "50 %": 5}, "vrim": times,
              "tantivy": times if with_tantivy else None,
              "count": {"len(search)": 6e-6, "count": 2e-6},
              "merge": {"build": 1.0, "merge": 0.25}}
    lines = extra_filters.section(result)
    assert lines[0].startswith("## ")
    assert sum("| common term | 30.0 | 10.0 | 3.00× | 39.0 | 1.30× |" == l for l in lines) \
        == (2 if with_tantivy else 1)
    verdicts = [(row[2], row[4]) for row in extra_filters.targets(result)]
    assert verdicts == [("3.00×", "met"), ("1.30×", "**missed** by 8%"),
                        ("3.00×", "met"), ("4.00×", "**missed** by 20%")]
    # Ratios kept per round take the place of the ratio of the medians.
    times["common"]["ratios"] = {"unfiltered": 1.0, "1 %": 0.25, "50 %": 1.1}
    assert extra_filters.speedups(times["common"]) == {"1 %": 4.0, "50 %": 1 / 1.1}
    assert "| common term | 30.0 | 10.0 | 4.00× | 39.0 | 1.10× |" in extra_filters.section(result)
