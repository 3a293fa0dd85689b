"""Showing things to a person: highlight marks and the caret under a query's
error span."""

from __future__ import annotations

import os
import unicodedata
from typing import TextIO

BOLD = ("\x1b[1m", "\x1b[22m")
BRACKETS = ("[", "]")


def marks_for(stream: TextIO) -> tuple[str, str]:
    """Bold on a terminal (unless NO_COLOR is set), brackets otherwise."""
    if stream.isatty() and not os.environ.get("NO_COLOR") and os.environ.get("TERM") != "dumb":
        return BOLD
    return BRACKETS


def _columns(text: str) -> int:
    """Terminal columns `text` occupies: wide characters take two, combining
    marks none."""
    width = 0
    for ch in text:
        if unicodedata.combining(ch):
            continue
        width += 2 if unicodedata.east_asian_width(ch) in ("W", "F") else 1
    return width


def _printable(text: str) -> str:
    """Control characters would move the cursor: show them as one symbol."""
    return "".join("\ufffd" if unicodedata.category(ch) == "Cc" else ch for ch in text)


def caret_lines(query: str, start: int, end: int) -> tuple[str, str]:
    """The query and a line of carets under characters start..end (at least
    one caret, also for an empty span or one past the end)."""
    shown = _printable(query)
    start = max(0, min(start, len(shown)))
    end = max(start, min(end, len(shown)))
    pad = " " * _columns(shown[:start])
    return shown, pad + "^" * max(1, _columns(shown[start:end]))


def query_message(error: Exception) -> str:
    """A QueryError's own message, without the quoted query it ends with."""
    text = str(error)
    cut = text.rfind(' in query "')
    return text[:cut] if cut >= 0 else text
