"""Searching and turning hits into what `search` prints and `serve` sends."""

from __future__ import annotations

import unicodedata
from typing import Any

from _vrim import Index, Result

from .._helpers.highlight import Segment, field_spans, snippet_segments
from .store import Store

TITLE_FIELD = "title"
SNIPPET_WIDTH = 200


def nfc(text: str) -> str:
    return unicodedata.normalize("NFC", text)


def search(index: Index, query: str, limit: int | None) -> list[Result]:
    """The best `limit` hits (all with None); quoted words are phrases."""
    return index.search(query, limit, phrases=True)


def segments_json(segments: list[Segment]) -> dict[str, Any]:
    """(piece, marked) pairs as one text and its marked (start, length) spans."""
    text: list[str] = []
    spans: list[list[int]] = []
    pos = 0
    for piece, marked in segments:
        if marked:
            spans.append([pos, len(piece)])
        text.append(piece)
        pos += len(piece)
    return {"text": "".join(text), "spans": spans}


class HitView:
    """One hit with its stored texts: title, best snippet, per-field snippets."""

    def __init__(self, hit: Result, store: Store | None, language: str,
                 width: int = SNIPPET_WIDTH) -> None:
        self.hit = hit
        self.texts = store.fields(hit.ref) if store is not None else {}
        self.language = language
        self.width = width
        self.spans = {name: field_spans(hit, name) for name in self.texts}

    def title(self) -> list[Segment] | None:
        text = self.texts.get(TITLE_FIELD)
        if not text:
            return None
        return snippet_segments(text, self.spans[TITLE_FIELD], self.language, self.width)

    def snippet_field(self) -> str | None:
        """The non-title field with the most matches, else the first one."""
        body = [name for name in self.texts if name != TITLE_FIELD and self.texts[name]]
        if not body:
            return None
        return max(body, key=lambda name: len(self.spans[name]))

    def field_snippet(self, name: str) -> list[Segment]:
        return snippet_segments(self.texts[name], self.spans[name], self.language,
                                self.width)

    def matched_fields(self) -> list[str]:
        return [name for name in self.texts if self.spans[name]]

    def to_json(self, all_fields: bool) -> dict[str, Any]:
        title = self.title()
        best = self.snippet_field()
        out: dict[str, Any] = {
            "ref": self.hit.ref,
            "score": self.hit.score,
            "terms": self.hit.terms,
            "matches": {term: {f: [list(s) for s in spans] for f, spans in fields.items()}
                        for term, fields in self.hit.matches.items()},
            "title": segments_json(title) if title is not None else None,
            "snippet": (dict(field=best, **segments_json(self.field_snippet(best)))
                        if best is not None else None),
        }
        if all_fields:
            out["fields"] = {name: segments_json(self.field_snippet(name))
                             for name in self.matched_fields()}
        return out
