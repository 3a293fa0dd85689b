"""What a collection search returns: a page of hits with their stored
documents, the total number of matches, and facet counts."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import Any

from _vrim import Result

from .._helpers.highlight import field_spans, highlight, snippet


class Hit:
    """One hit: the engine's `Result` (``ref``, ``score``, ``terms``,
    ``matches``) with ``doc``, the stored document."""

    __slots__ = ("result", "doc", "_language", "_fields")

    def __init__(self, result: Result, doc: dict[str, Any], language: str,
                 fields: tuple[str, ...]) -> None:
        self.result = result
        self.doc = doc
        self._language = language
        self._fields = fields

    @property
    def ref(self) -> str:
        return self.result.ref

    @property
    def score(self) -> float:
        return self.result.score

    @property
    def terms(self) -> list[str]:
        return self.result.terms

    @property
    def matches(self) -> dict[str, dict[str, list[tuple[int, int]]]]:
        return self.result.matches

    def _text(self, field: str) -> tuple[str, list[tuple[int, int]]]:
        if field not in self._fields:
            raise ValueError(f"{field!r} is not a field of this collection "
                             f"(fields: {', '.join(map(repr, self._fields))})")
        text = self.doc.get(field)
        return (text if isinstance(text, str) else ""), field_spans(self.result, field)

    def snippet(self, field: str, *, width: int = 160, before: str = "[",
                after: str = "]", escape_text: Callable[[str], str] | None = None) -> str:
        """The passage of `field` with the most matches, marked up (see
        `vrim.snippet`); empty when the document has no text there."""
        text, spans = self._text(field)
        return snippet(text, spans, self._language, width=width, before=before,
                       after=after, escape_text=escape_text)

    def highlight(self, field: str, *, before: str = "[", after: str = "]",
                  escape_text: Callable[[str], str] | None = None) -> str:
        """The whole text of `field` with every match marked up."""
        text, spans = self._text(field)
        return highlight(text, spans, self._language, before=before, after=after,
                         escape_text=escape_text)

    def __repr__(self) -> str:
        return f"Hit(ref={self.ref!r}, score={self.score!r})"


class Page:
    """``hits`` (from ``offset``, at most ``limit``), ``total`` (every
    match) and ``facets`` (column → ``[(value, count), ...]``, by count
    descending, then value). Iterating a page iterates its hits."""

    __slots__ = ("hits", "total", "facets", "offset", "limit")

    def __init__(self, hits: list[Hit], total: int,
                 facets: dict[str, list[tuple[Any, int]]], offset: int,
                 limit: int | None) -> None:
        self.hits = hits
        self.total = total
        self.facets = facets
        self.offset = offset
        self.limit = limit

    def __iter__(self) -> Iterator[Hit]:
        return iter(self.hits)

    def __len__(self) -> int:
        return len(self.hits)

    def __getitem__(self, i: int) -> Hit:
        return self.hits[i]

    def __repr__(self) -> str:
        return (f"Page(hits={len(self.hits)}, total={self.total}, "
                f"offset={self.offset}, facets={list(self.facets)})")
