"""`COLUMN=VALUE` conditions on a collection's metadata columns, as
`vrim search --where` and the `where` parameter of `vrim serve` take them.

VALUE is one value, several joined by commas (any of them), or, for a number
column, an inclusive range `LO..HI` (a side may be empty). In a text value,
`\\,` is a comma that does not separate values and `\\\\` a backslash; any
other backslash is itself. Values are typed by the column's declared kind.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any

from .._collection.documents import check_value

_CONVERT = {"str": str, "int": int, "float": float}


class WhereError(ValueError):
    """A condition that does not parse or does not fit its column."""


def split_condition(spec: str) -> tuple[str, str]:
    """COLUMN=VALUE as (COLUMN, VALUE)."""
    name, sep, value = spec.partition("=")
    if not sep or not name:
        raise WhereError(f"invalid condition {spec!r}: expected COLUMN=VALUE, "
                         "COLUMN=A,B or COLUMN=LO..HI")
    return name, value


def _parts(text: str) -> list[str]:
    """`text` split at its unescaped commas, escapes resolved."""
    parts, current, i = [], [], 0
    while i < len(text):
        char = text[i]
        if char == "\\" and text[i + 1:i + 2] in (",", "\\"):
            current.append(text[i + 1])
            i += 2
            continue
        if char == ",":
            parts.append("".join(current))
            current = []
        else:
            current.append(char)
        i += 1
    parts.append("".join(current))
    return parts


def _typed(name: str, kind: str, text: str) -> str | int | float:
    try:
        value = _CONVERT[kind](text)
    except ValueError:
        raise WhereError(f"where {name}={text}: not {'an' if kind == 'int' else 'a'} "
                         f"{kind} value") from None
    try:
        return check_value(kind, value)
    except (TypeError, ValueError) as e:
        raise WhereError(f"where {name}={text}: {e}") from None


def condition(columns: Mapping[str, str], name: str, text: str) -> object:
    """The condition `coll.search(where=...)` takes for COLUMN=VALUE."""
    kind = columns.get(name)
    if kind is None:
        raise WhereError(f"where {name}=...: {name!r} is not a column of the "
                         f"collection (columns: {', '.join(columns) or 'none'})")
    if kind != "str" and ".." in text:
        lo, hi = text.split("..", 1)
        return (_typed(name, kind, lo) if lo else None,
                _typed(name, kind, hi) if hi else None)
    parts = _parts(text)
    if len(parts) > 1:
        return [_typed(name, kind, part) for part in parts]
    return _typed(name, kind, parts[0])


def conditions(columns: Mapping[str, str],
               specs: Iterable[tuple[str, str]]) -> dict[str, object]:
    """Every (COLUMN, VALUE) as one `where` mapping; a column given twice
    is an error, as the mapping holds one condition per column."""
    where: dict[str, object] = {}
    for name, text in specs:
        if name in where:
            raise WhereError(f"where {name}=... is given twice: give one "
                             f"condition per column ({name}=A,B for any of several)")
        where[name] = condition(columns, name, text)
    return where


def value_text(value: Any) -> str:
    """The VALUE text that selects exactly `value`."""
    if isinstance(value, str):
        return value.replace("\\", "\\\\").replace(",", "\\,")
    return repr(value)
