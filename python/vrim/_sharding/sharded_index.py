"""Several indexes searched as one collection, scores exact.

Each shard scores a query with the statistics of the whole collection
(phase one gathers and sums every shard's ``query_stats``; phase two passes
the sum to every shard's ``search``), so a hit's score is the one a single
index over all the documents gives it, and the merged ranking is that
index's ranking.
"""

from __future__ import annotations

import heapq
import itertools
import operator
from collections.abc import Iterable, Sequence

from _vrim import Index, QueryStats, Result

# `typing` imports `re`; `import vrim` stays light without it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

# The settings that must agree for shards to score like one index.
SHARED_SETTINGS = ("language", "pipeline", "fields", "field_boosts", "k1", "b")


def settings_of(index: Index) -> dict[str, Any]:
    """The scoring settings of ``index``, by attribute name."""
    return {name: getattr(index, name) for name in SHARED_SETTINGS}


def check_same_settings(settings: Sequence[dict[str, Any]]) -> None:
    """Raise ``ValueError`` naming the first setting a shard differs in."""
    first = settings[0]
    for number, other in enumerate(settings[1:], start=1):
        for name in SHARED_SETTINGS:
            if other[name] != first[name]:
                raise ValueError(
                    f"shard {number} differs from shard 0 in {name}: "
                    f"{other[name]!r} != {first[name]!r}; shards of one "
                    "collection must be built with the same language, "
                    "pipeline, fields, field boosts, k1 and b")


def check_disjoint(references: Iterable[tuple[int, Iterable[str]]]) -> None:
    """Raise ``ValueError`` when a reference is in two shards.

    ``references`` gives each shard's number with its references.
    """
    owner: dict[str, int] = {}
    for number, refs in references:
        for ref in refs:
            first = owner.setdefault(ref, number)
            if first != number:
                raise ValueError(
                    f"reference {ref!r} is in shard {first} and in shard "
                    f"{number}: it would be counted twice; remove it from "
                    "one of them")


def check_complete(total: QueryStats, fingerprints: Sequence[str]) -> None:
    """Raise ``ValueError`` unless ``total`` sums exactly the shards with
    ``fingerprints`` (their ``Index.fingerprint``, in shard order), each
    once: a sum lacking a shard would score every hit wrongly."""
    summed = sorted(source[0] for source in total.sources)
    if summed == sorted(fingerprints):
        return
    remaining = list(summed)
    for number, fingerprint in enumerate(fingerprints):
        if fingerprint in remaining:
            remaining.remove(fingerprint)
        else:
            raise ValueError(
                f"query statistics lack shard {number} (fingerprint "
                f"{fingerprint}): sum query_stats() of every shard")
    raise ValueError("query statistics include indexes that are not shards "
                     f"of this collection: {', '.join(remaining)}")


def hit_order(ref: str, score: float) -> tuple[float, str]:
    """Sort key of the full ranking: score descending, then reference.

    ``str`` order is code point order, which is the UTF-8 byte order the
    indexes break ties by.
    """
    return (-score, ref)


def merge_ranked(ranked: Iterable[list[Any]], limit: int | None,
                 key: Any) -> list[Any]:
    """Merge lists each sorted by ``key``, keeping the first ``limit``."""
    merged = heapq.merge(*ranked, key=key)
    return list(merged if limit is None else itertools.islice(merged, limit))


def _result_order(result: Result) -> tuple[float, str]:
    return hit_order(result.ref, result.score)


class ShardedIndex:
    """Indexes of one collection, split by document, searched as one.

    ``ShardedIndex(indexes)`` takes the shards (built with the same
    language, pipeline, fields, field boosts, k1 and b: ``ValueError``
    naming the difference otherwise, as for a reference present in two
    shards, which would be counted twice). ``search`` returns exactly what
    one index built from all their documents returns: the same references,
    scores and order, ties included.
    """

    def __init__(self, indexes: Iterable[Index]) -> None:
        shards = list(indexes)
        if not shards:
            raise ValueError("ShardedIndex needs at least one index")
        for number, shard in enumerate(shards):
            if not isinstance(shard, Index):
                raise TypeError(f"shard {number} must be a vrim.Index, not "
                                f"{type(shard).__name__}")
        check_same_settings([settings_of(shard) for shard in shards])
        check_disjoint((n, s.references) for n, s in enumerate(shards))
        self._shards = tuple(shards)
        self._fingerprints = [shard.fingerprint for shard in shards]

    @property
    def shards(self) -> tuple[Index, ...]:
        """The indexes, in the order given."""
        return self._shards

    @property
    def document_count(self) -> int:
        """Documents in all shards together."""
        return sum(shard.document_count for shard in self._shards)

    @property
    def fields(self) -> list[str]:
        """Indexed field names, shared by every shard."""
        return self._shards[0].fields

    @property
    def language(self) -> str:
        """The language code every shard was built with."""
        return self._shards[0].language

    def __len__(self) -> int:
        return self.document_count

    def __repr__(self) -> str:
        return (f"ShardedIndex(shards={len(self._shards)}, "
                f"language={self.language!r}, "
                f"documents={self.document_count})")

    def query_stats(self, query: str, *, phrases: bool = False) -> QueryStats:
        """The statistics of ``query`` summed over every shard."""
        total = self._shards[0].query_stats(query, phrases=phrases)
        for shard in self._shards[1:]:
            total = total + shard.query_stats(query, phrases=phrases)
        check_complete(total, self._fingerprints)
        return total

    def search(self, query: str, limit: int | None = None, *,
               filter: Iterable[str] | None = None, offset: int = 0,
               phrases: bool = False) -> list[Result]:
        """Search every shard with the collection's statistics.

        Hits in descending score order, ties by reference; ``limit``,
        ``offset`` and ``phrases`` as in ``Index.search``. ``filter`` is
        any iterable of references (shards number their documents apart,
        so a ``DocSet`` of one shard does not serve): only those documents
        are hits, scored as without the filter. Raises ``QueryError`` for a
        query that does not parse.
        """
        options = SearchOptions.check(limit, filter, offset, phrases)
        stats = self.query_stats(query, phrases=phrases)
        ranked = [shard.search(query, options.wanted, stats=stats,
                               **options.shard_keywords())
                  for shard in self._shards]
        return options.page(merge_ranked(ranked, options.wanted, _result_order))


class SearchOptions:
    """A sharded search's limit, filter, offset and phrase mode, checked
    once and applied alike to every shard: each shard returns its first
    ``offset + limit`` hits, and the page is cut from their merge."""

    __slots__ = ("wanted", "filter", "offset", "phrases")

    def __init__(self, wanted: int | None, filter: frozenset[str] | None,
                 offset: int, phrases: bool) -> None:
        self.wanted = wanted
        self.filter = filter
        self.offset = offset
        self.phrases = phrases

    @classmethod
    def check(cls, limit: int | None, filter: Iterable[str] | None,
              offset: int, phrases: bool) -> "SearchOptions":
        start = operator.index(offset)
        if start < 0:
            raise ValueError("offset must not be negative")
        if type(phrases) is not bool:
            raise TypeError("phrases must be True or False, not "
                            f"{type(phrases).__name__}")
        wanted = None
        if limit is not None:
            wanted = operator.index(limit)
            if wanted < 0:
                raise ValueError("limit must not be negative")
            wanted += start
        refs = None
        if filter is not None:
            if isinstance(filter, (str, bytes)):
                raise TypeError("filter must be an iterable of references, "
                                "not a single string")
            refs = frozenset(filter)
            for ref in refs:
                if not isinstance(ref, str):
                    raise TypeError("filter references must be str, not "
                                    f"{type(ref).__name__}")
        return cls(wanted, refs, start, phrases)

    def shard_keywords(self) -> dict[str, Any]:
        """The keywords of each shard's ``Index.search`` (offset 0: the
        page is cut after merging)."""
        keywords: dict[str, Any] = {"phrases": self.phrases}
        if self.filter is not None:
            keywords["filter"] = self.filter
        return keywords

    def page(self, merged: list[Any]) -> list[Any]:
        return merged[self.offset:] if self.offset else merged
