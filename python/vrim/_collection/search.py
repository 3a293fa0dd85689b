"""Searching every segment of a snapshot as one index over the live
documents, exactly.

Phase one sums each segment's query statistics with its no-longer-live
documents excluded: the statistics of an index holding only the live
documents. Phase two searches every segment with that sum and a filter of
its live documents that pass `where`, and merges the ranked lists by score,
then reference, as one index orders ties. Counts and facet counts add up
over segments the same way.
"""

from __future__ import annotations

import json
import operator
from collections import defaultdict
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any

from _vrim import Index, IndexBuilder, Result

from .._sharding.sharded_index import hit_order, merge_ranked
from .catalog import column_sql
from .page import Hit, Page
from .where import compile_where

if TYPE_CHECKING:
    from .collection import Collection
    from .segments import Segment
    from .snapshot import Snapshot


def _result_order(result: Result) -> tuple[float, str]:
    return hit_order(result.ref, result.score)


def _allowed(collection: Collection, state: Snapshot,
             segments: tuple[Segment, ...],
             where: Mapping[str, Any] | None) -> list[Any]:
    """Per segment, the `DocSet` of live documents passing `where`."""
    condition, params = compile_where(where, collection.columns)
    if not condition:
        return [segment.live for segment in segments]
    by_segment: dict[int, list[str]] = defaultdict(list)
    for segment_id, ref in state.query(
            f"SELECT segment, ref FROM documents WHERE {condition}", params):
        by_segment[segment_id].append(ref)
    return [segment.index.doc_set(by_segment.get(segment.id, ())) & segment.live
            for segment in segments]


def _facet(collection: Collection, state: Snapshot, segments: tuple[Segment, ...],
           allowed: list[Any], query: str, name: str,
           phrases: bool) -> list[tuple[Any, int]]:
    if not isinstance(name, str) or name not in collection.columns:
        raise ValueError(f"facets: {name!r} is not a column of this collection "
                         f"(columns: {', '.join(map(repr, collection.columns)) or 'none'})")
    sql = column_sql(list(collection.columns).index(name))
    counts: dict[Any, int] = defaultdict(int)
    for segment, docs in zip(segments, allowed):
        def values(segment: Segment = segment) -> dict[str, Any]:
            # The values of the segment's live documents: the only ones a
            # search lets through, then and after later deletions.
            return dict(state.query(
                f"SELECT ref, {sql} FROM documents WHERE ref IN "
                f"(SELECT value FROM json_each(?)) AND {sql} IS NOT NULL",
                (json.dumps(list(segment.live), ensure_ascii=False),)))
        column = segment.column(name, values)
        for value, count in segment.index.facets(query, column, filter=docs,
                                                 phrases=phrases):
            counts[value] += count
    return sorted(counts.items(), key=lambda item: (-item[1], item[0]))


def _check_count(name: str, value: object, *, allow_none: bool) -> int | None:
    if value is None and allow_none:
        return None
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not bool")
    number = operator.index(value)  # type: ignore[arg-type]
    if number < 0:
        raise ValueError(f"{name} must be >= 0, got {number}")
    return number


def search_page(collection: Collection, query: str, limit: int | None, *,
                offset: int, where: Mapping[str, Any] | None,
                facets: Iterable[str], phrases: bool) -> Page:
    if not isinstance(query, str):
        raise TypeError(f"query must be a str, not {type(query).__name__}")
    limit = _check_count("limit", limit, allow_none=True)
    start = _check_count("offset", offset, allow_none=False)
    assert start is not None
    facet_names = [facets] if isinstance(facets, str) else list(facets)
    state = collection._live()
    segments = state.segments or (_empty_segment(collection),)
    allowed = _allowed(collection, state, segments, where)
    stats = sum((segment.index.query_stats(query, exclude=segment.deleted,
                                           phrases=phrases)
                 for segment in segments[1:]),
                segments[0].index.query_stats(query, exclude=segments[0].deleted,
                                              phrases=phrases))
    wanted = None if limit is None else start + limit
    ranked = [segment.index.search(query, wanted, stats=stats, filter=docs,
                                   phrases=phrases)
              for segment, docs in zip(segments, allowed)]
    results = merge_ranked(ranked, wanted, _result_order)[start:]
    total = sum(segment.index.count(query, filter=docs, stats=stats, phrases=phrases)
                for segment, docs in zip(segments, allowed))
    counted = {name: _facet(collection, state, segments, allowed, query, name,
                            phrases)
               for name in facet_names}
    docs = {}
    if results:
        docs = {ref: json.loads(doc) for ref, doc in state.query(
            "SELECT ref, doc FROM documents WHERE ref IN "
            "(SELECT value FROM json_each(?))",
            (json.dumps([r.ref for r in results], ensure_ascii=False),))}
    fields = tuple(collection.fields)
    hits = [Hit(result, docs[result.ref], collection.language, fields)
            for result in results]
    return Page(hits, total, counted, start, limit)


def _empty_segment(collection: Collection) -> Segment:
    """A segment with no documents, so an empty collection still parses
    and checks queries as any other."""
    from .segments import Segment

    builder = IndexBuilder(collection.language, ref_field=collection.ref_field,
                           k1=collection.k1, b=collection.b)
    for name, boost in collection.fields.items():
        builder.field(name, boost)
    index: Index = builder.build(threads=1)
    return Segment(-1, "", index, index.doc_set(()))
