"""Highlighting and snippets in the original text from `Result.matches`.

Match spans count characters of the *normalized* field text. Normalization
maps character to character except where a kana and the voicing mark after it
compose into one character, and where lowercasing lengthens a character (`İ`
becomes `i` plus a combining dot). So the text is cut into runs that map one
for one and units (such a character with its marks) that normalize on their
own exactly as they do inside the whole text; their lengths give every
boundary's offset in both texts. The total is checked against the library's
normalization of the whole text; should a character outside those cases ever
change length, the map is rebuilt unit by unit, every character measured.
"""

from __future__ import annotations

from bisect import bisect_right
from collections.abc import Callable, Iterable, Mapping, Sequence
from types import ModuleType

from _vrim import Result, normalize

__all__ = ["field_spans", "highlight", "snippet"]

Span = tuple[int, int]
Segment = tuple[str, bool]

_MARKS = "\u3099\u309a\uff9e\uff9f"  # voicing marks that compose with the kana before
# Units whose normalized length may differ from their own: what the map measures.
_IRREGULAR = f"(?s).[{_MARKS}]+|\u0130"
# Every character a unit: the exact, slower map.
_EVERY_UNIT = f"(?s).[{_MARKS}]*"


def _re() -> ModuleType:
    import re  # only when highlighting: `import vrim` stays light
    return re


def _normalize(text: str, language: str) -> str:
    # The library folds the Turkish way exactly when the trimmed code is "tr";
    # choosing here avoids re-warning about unknown codes on every snippet.
    return normalize(text, "tr" if language.strip() == "tr" else "en")


class _OffsetMap:
    """A text cut into segments, each either a run mapping one for one onto
    the normalized text or a unit mapping as a whole: segment i covers
    original[i]..original[i+1] and normalized[i]..normalized[i+1]."""

    def __init__(self, text: str, language: str, units: str = _IRREGULAR) -> None:
        if not isinstance(language, str):
            raise TypeError(f"language must be a str, got {type(language).__name__}")
        expected = len(_normalize(text, language))
        self._build(text, language, units)
        if self.normalized[-1] != expected and units != _EVERY_UNIT:
            self._build(text, language, _EVERY_UNIT)
        if self.normalized[-1] != expected:
            raise RuntimeError(
                f"normalized length {expected} differs from the per-character "
                f"mapping's {self.normalized[-1]}; please report this text")

    def _build(self, text: str, language: str, units: str) -> None:
        self.original: list[int] = [0]
        self.normalized: list[int] = [0]
        self.is_unit: list[bool] = []
        sizes: dict[str, int] = {}
        for match in _re().finditer(units, text):
            self._add(match.start() - self.original[-1], None)
            piece = match.group()
            size = sizes.get(piece)
            if size is None:
                size = sizes[piece] = len(_normalize(piece, language))
            self._add(len(piece), size)
        self._add(len(text) - self.original[-1], None)

    def _add(self, length: int, unit_size: int | None) -> None:
        if length > 0:
            self.original.append(self.original[-1] + length)
            self.normalized.append(self.normalized[-1] + (
                length if unit_size is None else unit_size))
            self.is_unit.append(unit_size is not None)

    def _locate(self, offset: int, round_up: bool) -> int:
        """The original offset of a normalized one; inside a unit, the unit's
        start or (round_up) its end."""
        i = bisect_right(self.normalized, offset) - 1
        if i >= len(self.is_unit) or self.normalized[i] == offset:
            return self.original[i]
        if self.is_unit[i]:
            return self.original[i + 1] if round_up else self.original[i]
        return self.original[i] + offset - self.normalized[i]

    def to_original(self, span: Span) -> Span:
        """The smallest run of the original text covering a normalized
        (start, length) span, as (start, end)."""
        start, length = span
        limit = self.normalized[-1]
        if start < 0 or length < 0 or start + length > limit:
            raise ValueError(
                f"span {span!r} lies outside the normalized text ({limit} "
                "characters): pass the field's original text and the index's "
                "language")
        return self._locate(start, False), self._locate(start + length, True)


def _runs(text: str, spans: Iterable[Span], language: str) -> list[Span]:
    """Spans mapped to the original text as sorted, merged (start, end) runs;
    overlapping and touching spans (CJK bigrams) become one run."""
    if not isinstance(text, str):
        raise TypeError(f"text must be a str, got {type(text).__name__}")
    spans = list(spans)
    if not spans:
        return []
    mapping = _OffsetMap(text, language)
    runs: list[list[int]] = []
    for start, end in sorted(mapping.to_original(_check_span(s)) for s in spans):
        if end == start:
            continue
        if runs and start <= runs[-1][1]:
            runs[-1][1] = max(runs[-1][1], end)
        else:
            runs.append([start, end])
    return [(start, end) for start, end in runs]


def _check_span(span: object) -> Span:
    if isinstance(span, (tuple, list)) and len(span) == 2:
        start, length = span
        if type(start) is int and type(length) is int:  # not bool, not float
            return start, length
    raise TypeError(f"a span must be a (start, length) pair of ints, got {span!r}")


def _segments(text: str, runs: Sequence[Span], window: Span) -> list[Segment]:
    """The text inside `window` cut into (text, marked) pieces."""
    lo, hi = window
    out: list[Segment] = []
    pos = lo
    for start, end in runs:
        start, end = max(start, lo), min(end, hi)
        if start >= end:
            continue
        if pos < start:
            out.append((text[pos:start], False))
        out.append((text[start:end], True))
        pos = end
    if pos < hi:
        out.append((text[pos:hi], False))
    return out


def _render(segments: Iterable[Segment], before: str, after: str,
            escape_text: Callable[[str], str] | None) -> str:
    out: list[str] = []
    for piece, marked in segments:
        if escape_text is not None:
            piece = escape_text(piece)
        out.append(before + piece + after if marked else piece)
    return "".join(out)


def field_spans(result: Result, field: str) -> list[Span]:
    """All (start, length) spans of one field in `result.matches`, any term."""
    matches: Mapping[str, Mapping[str, list[Span]]] = result.matches
    return [span for fields in matches.values() for span in fields.get(field, ())]


def highlight(text: str, spans: Iterable[Span], language: str = "en", *,
              before: str = "[", after: str = "]",
              escape_text: Callable[[str], str] | None = None) -> str:
    """Return `text` with every matched run between `before` and `after`.

    `text` is the original field text, `spans` the (start, length) pairs of
    `Result.matches` for that field (offsets into its normalized form), and
    `language` the index's language. The marks land on the original
    characters, case and accents kept; overlapping spans merge into one run.
    `escape_text`, when given, is applied to every piece of text (not to the
    marks): pass `html.escape` to build HTML.
    """
    runs = _runs(text, spans, language)
    return _render(_segments(text, runs, (0, len(text))), before, after, escape_text)


def _best_window(text: str, runs: Sequence[Span], width: int) -> Span:
    """The `width`-character window holding the most runs, with the runs
    centred and its edges moved to word boundaries where one is near."""
    n = len(text)
    if n <= width:
        return 0, n
    if not runs:
        return 0, _word_end(text, width, 0)
    best, best_count, j = 0, 0, 0
    for i, (start, _) in enumerate(runs):
        j = max(j, i)
        while j + 1 < len(runs) and runs[j + 1][1] - start <= width:
            j += 1
        if j - i + 1 > best_count:
            best, best_count = i, j - i + 1
    first = runs[best][0]
    last = min(runs[best + best_count - 1][1], first + width)
    lo = max(0, min(first - (width - (last - first)) // 2, n - width))
    hi = lo + width
    return _word_start(text, lo, first), _word_end(text, hi, last)


def _word_start(text: str, lo: int, limit: int) -> int:
    if lo == 0 or text[lo - 1].isspace():
        return lo
    for k in range(lo, min(limit, lo + 20)):
        if text[k].isspace():
            return k + 1
    return lo


def _word_end(text: str, hi: int, limit: int) -> int:
    if hi >= len(text) or text[hi].isspace():
        return hi
    for k in range(hi, max(limit, hi - 20), -1):
        if text[k - 1].isspace():
            return k - 1
    return hi


def snippet_segments(text: str, spans: Iterable[Span], language: str = "en",
                     width: int = 160) -> list[Segment]:
    """The best passage of `text` as (piece, marked) pairs, white space runs
    collapsed, with "…" pieces where the passage is cut."""
    if not isinstance(width, int) or isinstance(width, bool) or width < 1:
        raise ValueError(f"width must be a positive int, got {width!r}")
    runs = _runs(text, spans, language)
    lo, hi = _best_window(text, runs, width)
    segments = [(_re().sub(r"\s+", " ", piece), marked)
                for piece, marked in _segments(text, runs, (lo, hi))]
    if segments and not segments[0][1]:
        segments[0] = (segments[0][0].lstrip(), False)
    if segments and not segments[-1][1]:
        segments[-1] = (segments[-1][0].rstrip(), False)
    if text[:lo].strip():
        segments.insert(0, ("…", False))
    if hi < len(text) and text[hi:].strip():
        segments.append(("…", False))
    return [(piece, marked) for piece, marked in segments if piece]


def snippet(text: str, spans: Iterable[Span], language: str = "en", *,
            width: int = 160, before: str = "[", after: str = "]",
            escape_text: Callable[[str], str] | None = None) -> str:
    """Return the passage of about `width` characters of `text` that holds the
    most matches, marked up as `highlight` does, with "…" where it is cut and
    runs of white space shown as one space. Without spans it is the start of
    the text.
    """
    return _render(snippet_segments(text, spans, language, width), before, after,
                   escape_text)
