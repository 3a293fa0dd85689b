"""Highlighting and snippets in the original text from `Result.matches`.

Match spans count characters of the *normalized* field text. Normalization
works character by character except that a kana followed by a voicing mark
composes into one character, and lowercasing may lengthen a character (`İ`
becomes `i` plus a combining dot). So the text is cut into units, each a
character with the voicing marks that follow it; a unit normalizes on its own
exactly as it does inside the whole text, and summing the units' normalized
lengths gives, for every unit boundary, its offset in both texts.
"""

from __future__ import annotations

from bisect import bisect_left, bisect_right
from collections.abc import Callable, Iterable, Mapping, Sequence
from types import ModuleType

from _vrim import Result, normalize

__all__ = ["field_spans", "highlight", "snippet"]

Span = tuple[int, int]
Segment = tuple[str, bool]

# An ASCII run (normalized one for one, lowercased), or one character with the
# voicing marks that may compose with it.
_UNIT = r"[\x00-\x7f]+|.[\u3099\u309a\uff9e\uff9f]*"


def _re() -> ModuleType:
    import re  # only when highlighting: `import vrim` stays light
    return re


def _normalize(text: str, language: str) -> str:
    # The library folds the Turkish way exactly when the trimmed code is "tr";
    # choosing here avoids re-warning about unknown codes on every snippet.
    return normalize(text, "tr" if language.strip() == "tr" else "en")


class _OffsetMap:
    """Unit boundaries of a text, as offsets into it and into its normalized
    form: two parallel, strictly increasing lists."""

    def __init__(self, text: str, language: str) -> None:
        if not isinstance(language, str):
            raise TypeError(f"language must be a str, got {type(language).__name__}")
        self.original: list[int] = [0]
        self.normalized: list[int] = [0]
        cache: dict[str, int] = {}
        for unit in _re().finditer(_UNIT, text, _re().DOTALL):
            piece = unit.group()
            if piece[0] < "\x80":
                start_o, start_n = self.original[-1], self.normalized[-1]
                self.original.extend(range(start_o + 1, start_o + len(piece) + 1))
                self.normalized.extend(range(start_n + 1, start_n + len(piece) + 1))
                continue
            size = cache.get(piece)
            if size is None:
                size = cache[piece] = len(_normalize(piece, language))
            self.original.append(self.original[-1] + len(piece))
            self.normalized.append(self.normalized[-1] + size)
        expected = len(_normalize(text, language))
        if self.normalized[-1] != expected:
            raise RuntimeError(
                f"normalized length {expected} differs from the per-character "
                f"mapping's {self.normalized[-1]}; please report this text")

    def to_original(self, span: Span) -> Span:
        """The smallest run of whole units of the original text covering a
        normalized (start, length) span, as (start, end)."""
        start, length = span
        limit = self.normalized[-1]
        if start < 0 or length < 0 or start + length > limit:
            raise ValueError(
                f"span {span!r} lies outside the normalized text ({limit} "
                "characters): pass the field's original text and the index's "
                "language")
        first = self.original[bisect_right(self.normalized, start) - 1]
        last = self.original[bisect_left(self.normalized, start + length)]
        return first, last


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
    if (not isinstance(span, Sequence) or len(span) != 2
            or not all(isinstance(v, int) and not isinstance(v, bool) for v in span)):
        raise TypeError(f"a span must be a (start, length) pair of ints, got {span!r}")
    return span[0], span[1]


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
