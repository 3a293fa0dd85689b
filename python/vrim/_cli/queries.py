"""What the command line and the page tell a person about a query before
or after searching it: a query of wildcards only, a colon read as a field,
words that are all stop words."""

from __future__ import annotations

import re

from _vrim import IndexBuilder, QueryError, tokenize


# One query clause: optional +/-, optional field:, the term, optional ^n/~n.
_CLAUSE = re.compile(r"^[+-]?(?:[^\s:\\]+:)?(?P<term>.*?)(?:[\^~][0-9.]*)?$")

WILDCARD_ONLY = ("a query of only wildcards would list every document: add letters "
                 "to the wildcard (conf*) or a word")
LITERAL_HINT = "a colon means field:word; to search the text as written, "


def wildcard_only(query: str) -> bool:
    """Whether every clause's term is nothing but `*`."""
    clauses = query.split()
    if not clauses:
        return False
    for clause in clauses:
        match = _CLAUSE.match(clause)
        term = match.group("term") if match else clause
        if not term or term.strip("*"):
            return False
    return True


def caused_by_colon(error: QueryError) -> bool:
    """Whether a query error comes from a colon read as `field:`: an
    unknown field, or a problem at or right after a colon."""
    if str(error).startswith("unrecognised field"):
        return True
    return ":" in error.query[max(error.start - 1, 0):error.end + 1]


_STOP_WORDS: dict[tuple[str, str], bool] = {}


def _is_stop_word(word: str, language: str) -> bool:
    """Whether the language's pipeline drops `word` (an index of it alone
    has no term)."""
    key = (word, language)
    if key not in _STOP_WORDS:
        if len(_STOP_WORDS) > 4096:
            _STOP_WORDS.clear()
        builder = IndexBuilder(language, ref_field="/ref")
        builder.field("t")
        builder.add({"/ref": "x", "t": word})
        _STOP_WORDS[key] = builder.build().term_count == 0
    return _STOP_WORDS[key]


def ignored_stop_words(query: str, language: str) -> list[str]:
    """The words of `query` when every one is a stop word (so the query can
    match nothing), else []."""
    terms = []
    for clause in query.split():
        match = _CLAUSE.match(clause)
        terms.append((match.group("term") if match else clause).replace("*", " "))
    words = tokenize(re.sub(r"[\\^~]", " ", " ".join(terms)), language)
    if words and all(_is_stop_word(word, language) for word in words):
        return words
    return []
