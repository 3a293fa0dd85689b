"""Turning arbitrary text into a query that searches its words.

The query lexer gives meaning to `\\ : ^ ~`, to `+` and `-` opening a term,
to an unescaped `*` anywhere in a term and, when phrases are read, to `"`
opening one. Every one of those is preceded by
a backslash here, so the result lexes into plain terms only and can never
fail to parse. Separators (white space and the hyphen) are kept as word
breaks; the hyphen becomes a space, since it splits words anyway and would
otherwise read as "prohibited" at the start of a term.

A star is the one character a query cannot carry through the analysis
pipeline: an escaped `\\*` makes its term an exact, unanalysed lookup. Stars
at the ends of a word would be trimmed away by the indexer anyway, so they are
dropped; a word with a star inside keeps it escaped and is looked up as typed.
"""

from __future__ import annotations

__all__ = ["escape"]

# The query separators every language reports; the hyphen is one of them.
_SEPARATORS = frozenset(" \t\n\r\f\v\u00a0-")
_OPERATORS = frozenset('\\:^~+-*"')


def _is_word_char(ch: str) -> bool:
    return ch.isalnum() or ch == "_"


def _drop_edge_stars(word: str) -> str:
    """Removes the punctuation runs at both ends of a word when they hold a
    star, as the indexer's trimmer would remove them."""
    start, end = 0, len(word)
    while start < end and not _is_word_char(word[start]):
        start += 1
    while end > start and not _is_word_char(word[end - 1]):
        end -= 1
    if "*" in word[:start] or "*" in word[end:]:
        return word[start:end]
    return word


def _escape_word(word: str) -> str:
    if "*" in word:
        word = _drop_edge_stars(word)
    return "".join("\\" + ch if ch in _OPERATORS else ch for ch in word)


def escape(text: str) -> str:
    """Return a query that searches the words of `text`, operators and all.

    `index.search(vrim.escape(text))` never raises `QueryError`, with or
    without `phrases=True`: every query operator in `text` (the double quote
    included) is escaped, so each word is an ordinary optional term.
    """
    if not isinstance(text, str):
        raise TypeError(f"escape() expects a str, got {type(text).__name__}")
    out: list[str] = []
    word_start = 0
    for i, ch in enumerate(text):
        if ch in _SEPARATORS:
            out.append(_escape_word(text[word_start:i]))
            out.append(" " if ch == "-" else ch)
            word_start = i + 1
    out.append(_escape_word(text[word_start:]))
    return "".join(out)
