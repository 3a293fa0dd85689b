"""The scale measure's corpus, its child builds and its page section."""

import marshal
from pathlib import Path

import pytest

pytest.importorskip("bench.extra_scale", reason="run from the checkout root")
from bench import extra_scale as scale  # noqa: E402
from bench import queries  # noqa: E402

TEXT = """\
Intro text before any heading. It has two sentences!

Overview
========

The build is fast. So is the load? Yes.
It wraps over lines e.g. here.

=====
1.2.3
=====

------------
Second part
------------

A final sentence here.
"""


def test_sentences_follow_headings_and_drop_markup():
    assert scale.sentences(TEXT) == [
        (None, "Intro text before any heading."), (None, "It has two sentences!"),
        ("Overview", "The build is fast."), ("Overview", "So is the load?"),
        ("Overview", "It wraps over lines e.g. here."),
        ("Second part", "A final sentence here."),
    ]


def test_passages_are_windows_of_one_to_three_sentences():
    stream = [("A", "one."), ("A", "two."), ("B", "three."), ("B", "four.")]
    docs = scale.passages(stream, "src")
    assert len(docs) == 4 + 3 + 2
    assert len({d["id"] for d in docs}) == len(docs)
    assert {"id": "src/1+3", "title": "A", "body": "two. three. four."} in docs
    assert {"id": "src/3+1", "title": "B", "body": "four."} in docs


@pytest.mark.parametrize("config", ["vrim-1", "fts5", "tantivy-1"])
def test_a_child_build_is_reopened_for_searching(tmp_path, config):
    if config.startswith("tantivy"):
        pytest.importorskip("tantivy")
    docs = [{"id": str(i), "title": f"part {i}", "body": f"the wing {'flow ' * i} number{i}"}
            for i in range(1, 30)]
    with open(tmp_path / "docs", "wb") as f:
        marshal.dump(docs, f)
    figures = scale.build_in_child(config, tmp_path / "docs", tmp_path / "kept")
    assert figures["size"] > 0 and figures["seconds"] > 0
    engine = scale.reopen(config, tmp_path / "kept", len(docs))
    try:
        for kind, terms, hits in [("rare", ["number7"], 1), ("common", ["flow"], 10),
                                  ("prefix", ["numb"], 10), ("field", ["part"], 10)]:
            assert engine.top(engine.prepare(queries.Query(kind, terms)), 10) == hits
        engine.load()
    finally:
        getattr(engine, "close", lambda: None)()


def _result():
    sizes = []
    for n, ms in ((100, 1.0), (300, 2.0), (1000, 8.0)):
        build = {c: {"seconds": n / 100, "cpu_seconds": n / 200, "peak_mb": n / 10, "size": n * 50}
                 for c in ("vrim-1", "vrim-2", "fts5")}
        top = {e: {cls: {"ms": ms * (3 if e == "fts5" else 1), "spread": 0.1, "hits": 10.0}
                   for cls in queries.CLASSES} for e in ("vrim", "fts5")}
        load = {e: {"median": n / 1e5, "low": 0, "high": 0, "runs": 3} for e in ("vrim", "fts5")}
        sizes.append({"documents": n, "text_mb": n / 1e4, "build": build, "load": load,
                      "top10": top})
    return {"documents": 1000, "rounds": 3, "minutes": 2.0, "sizes": sizes,
            "queries": {cls: 20 for cls in queries.CLASSES},
            "examples": {cls: "w" for cls in queries.CLASSES}}


def test_section_targets_and_chart(tmp_path):
    pytest.importorskip("matplotlib")
    result = _result()
    assert scale.growth(result)["vrim"]["rare"] == pytest.approx(8.0)
    lines = scale.section(result)
    text = "\n".join(lines)
    assert lines[0].startswith("## ") and "grows 8.0× to 8.0×" in text
    assert text.count("| Vrim, 2 threads |") == 4  # build time, CPU, memory, size
    assert "| 10 % (100 docs, 0 MB) | 30 % (300 docs, 0 MB) | 100 % (1,000 docs, 0 MB)" in text
    rows = scale.targets(result)
    assert len(rows) == len(queries.CLASSES)
    assert all(r[2] == "8.00×" and r[4].startswith("**missed**") for r in rows)
    scale.charts(result, tmp_path)
    assert Path(tmp_path, scale.CHART).stat().st_size > 0
