"""Uses every public name of `vrim` the way an application would.

tests/python/test_types.py checks it with `mypy --strict` and runs it.
"""

from __future__ import annotations

import pickle
import tempfile
from pathlib import Path

import vrim


def build(docs: dict[str, dict[str, str | None]]) -> vrim.Index:
    builder = vrim.IndexBuilder("en", ref_field="path", k1=1.2, b=0.75,
                                max_token_length=None)
    builder.field("title", 2.0)
    builder.field("body")
    builder.add({"path": "a", "title": "Apples", "body": "Red apples are sweet."})
    builder.add_many(({"path": path, **doc} for path, doc in docs.items()), boost=1.0)
    staged: int = builder.staged
    fields: list[str] = builder.fields
    assert (staged, fields) == (3, ["title", "body"])
    assert (builder.ref_field, builder.language) == ("path", "en")
    index: vrim.Index = builder.build()
    dropped: int = builder.dropped_tokens
    longest: int | None = builder.max_token_length
    assert (dropped, longest) == (0, None)
    builder.clear()
    return index


def show(results: list[vrim.Result]) -> list[str]:
    lines = []
    for hit in results:
        where = [
            f"{field}@{start}+{length}"
            for term in hit.terms
            for field, spans in hit.matches[term].items()
            for start, length in spans
        ]
        lines.append(f"{hit.ref} {hit.score:.3f} {' '.join(where)}")
    return lines


def marked(index: vrim.Index, text: str, query: str) -> tuple[str, str]:
    hit = index.search(vrim.escape(query))[0]
    spans: list[tuple[int, int]] = vrim.field_spans(hit, "body")
    whole: str = vrim.highlight(text, spans, index.language, before="<b>", after="</b>")
    passage: str = vrim.snippet(text, spans, index.language, width=40)
    return whole, passage


def round_trip(index: vrim.Index) -> vrim.Index:
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "example.vrim"
        vrim.save(index, path, positions=True)
        loaded: vrim.Index = vrim.load(str(path), "en")
    copy = pickle.loads(pickle.dumps(loaded))
    assert isinstance(copy, vrim.Index)
    return copy


def sharded(index: vrim.Index, docs: dict[str, dict[str, str | None]]) -> list[str]:
    # A second shard of the same collection: equal settings, other documents.
    builder = vrim.IndexBuilder(index.language, ref_field="path", k1=index.k1, b=index.b)
    for name, boost in index.field_boosts.items():
        builder.field(name, boost)
    builder.add_many({"path": path, **doc} for path, doc in docs.items())
    shards = vrim.ShardedIndex([index, builder.build(threads=1)])
    assert len(shards) == shards.document_count == len(index.references) + len(docs)
    first, *rest = [shard.query_stats("apple") for shard in shards.shards]
    total: vrim.QueryStats = sum(rest, first)
    assert total.document_count == len(shards) and "appl" in total.terms
    assert vrim.QueryStats(total.document_count, total.fields, total.terms).terms == total.terms
    # Statistics name the shards they were gathered from.
    sources: list[tuple[str, str | None]] = total.sources
    assert sorted(f for f, _ in sources) == sorted(s.fingerprint for s in shards.shards)
    assert vrim.QueryStats(total.document_count, total.fields, total.terms, sources) == total
    assert index.pipeline == ["trimmer", "stopWordFilter", "stemmer"] and shards.fields
    # A shard searched with the statistics of all shards scores as the whole.
    merged = {hit.ref: hit.score for hit in shards.search("apple", limit=5)}
    for hit in index.search("apple", stats=total):
        assert abs(merged[hit.ref] - hit.score) < 1e-9
    return list(merged)


def filtered(index: vrim.Index) -> list[str]:
    fruit: vrim.DocSet = index.doc_set(["a", "c", "missing"])
    others = ~fruit
    assert len(fruit) == 2 and "a" in fruit and list(fruit | others) == index.references
    assert (fruit & others, fruit - others, fruit ^ others) == (others - others, fruit, fruit | others)
    hits = index.search("apple", 10, filter=fruit, offset=0)
    assert index.count("apple", filter=["c"]) <= len(hits)
    stats = index.query_stats("apple", exclude=others)
    assert [h.ref for h in index.search("apple", stats=stats, filter=fruit)] == [h.ref for h in hits]
    kinds: vrim.Column = index.column({"a": "fruit", "b": "fruit", "c": None})
    facets: list[tuple[str | int | float, int]] = index.facets("apple pear", kinds, limit=3)
    assert facets == [("fruit", index.count("apple pear", filter=kinds.isin(["fruit"])))]
    assert kinds.equals("fruit") == kinds.between("f", None) == index.doc_set(["a", "b"])
    whole: vrim.Index = vrim.merge([index, index], drop=["b"])
    assert whole.references == [ref for ref in index.references if ref != "b"]
    return [hit.ref for hit in hits]


def update(index: vrim.Index) -> vrim.Index:
    builder = vrim.IndexBuilder.from_index(index, ref_field="path", max_token_length=1000)
    removed: bool = builder.remove("b")
    assert removed
    builder.add({"path": "d", "title": "Figs", "body": None}, 2.0)
    return builder.build()


def collection(folder: Path) -> list[tuple[str, float]]:
    with vrim.Collection.create(folder / "shop", "en", {"title": 2.0, "body": 1.0},
                                columns={"kind": str, "year": int}) as shop:
        with shop.writer(timeout=5.0) as writer:
            staged: int = writer.upsert([{"id": "p1", "title": "Apples", "kind": "fruit",
                                          "year": 2020}])
            writer.delete(["p0"])
            assert staged == 1
        page = shop.search("apple", 5, offset=0, where={"year": (2000, None)},
                           facets=["kind"])
        counts: list[tuple[object, int]] = page.facets["kind"]
        assert page.total == 1 and counts == [("fruit", 1)] and len(shop) == 1
        stored = shop.get("p1")
        assert stored is not None and stored["kind"] == "fruit"
        assert shop.refresh() is False and list(shop) == ["p1"]
        shop.optimize()
        return [(hit.ref, hit.score) for hit in page.hits if hit.snippet("title")]


def main() -> None:
    assert isinstance(vrim.__version__, str)
    assert "en" in vrim.languages()
    words: list[str] = vrim.tokenize("Searching apples", "en")
    folded: str = vrim.normalize("ＡＰＰＬＥ", language="en")
    assert words == ["searching", "apples"] and folded == "apple"

    index = build({"b": {"title": "Pears", "body": "A pear."}, "c": {"title": None, "body": "Apple pie."}})
    print("\n".join(show(index.search("apple -title:pear"))))
    assert (index.document_count, len(index), index.term_count > 0) == (3, 3, True)
    assert index.fields == ["title", "body"] and index.language == "en"

    whole, passage = marked(round_trip(index), "Red apples are sweet.", "apples (sweet")
    assert whole == "Red <b>apples</b> are <b>sweet</b>." and "[apples]" in passage

    print(filtered(index))
    print(sharded(index, {"e": {"title": "Apple tart", "body": "Baked apples."}}))

    assert [hit.ref for hit in index.search('"apple fig"~1', phrases=True)] == []
    assert index.query_stats('"apple fig"', phrases=True).document_count > 0
    data: bytes = index.to_bytes(positions=False)
    assert vrim.index_language(data) == "en"
    index = update(vrim.Index.from_bytes(data, "en"))
    assert sorted(hit.ref for hit in index.search("apple fig")) == ["a", "c", "d"]
    assert len(index.search("apple fig", limit=1)) == 1

    with tempfile.TemporaryDirectory() as folder:
        print(collection(Path(folder)))

    try:
        index.search("title:")
    except vrim.QueryError as error:
        span: tuple[str, int, int] = (error.query, error.start, error.end)
        print("query error at", span)
    try:
        vrim.Index.from_bytes(b"not an index")
    except vrim.FormatError as error:
        print("format error:", error)


if __name__ == "__main__":
    main()
