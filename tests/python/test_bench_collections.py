"""The collections measure's own logic, timings aside: every engine gets the
same documents, and a small run goes through to its page section."""

import json

import pytest

extra = pytest.importorskip("bench.extra_collections", reason="run from the checkout root")


def test_documents_are_the_same_each_time_asked_and_change_by_version():
    corpus = extra.Corpus()
    first, again, newer = corpus.doc(7, 1), corpus.doc(7, 1), corpus.doc(7, 2)
    assert first == again
    assert newer["id"] == first["id"] and newer["body"] != first["body"]


def test_a_small_run_makes_a_section_and_three_targets():
    pytest.importorskip("tantivy")
    result = extra.run(1200, 1, "cpu", lambda message: None)
    result = json.loads(json.dumps(result))  # as results.json keeps it
    lines = extra.section(result)
    assert lines[0] == "## Collections"
    for engine in ("Vrim collection", "tantivy-py", "SQLite FTS5"):
        assert any(line.startswith(f"| {engine} |") for line in lines)
    rows = extra.targets(result)
    assert len(rows) == 3 and all(row[4] == "met" or "missed" in row[4] for row in rows)
    assert result["commit"]["segments_after"] >= 2  # the batches became segments
