"""`where` conditions as SQL over the catalog's column table.

A condition maps a column to a value, a list or set of values, or a
`(lo, hi)` range (inclusive, None for an open side); conditions are joined
by AND. Values are always bound as parameters; a list goes in as one JSON
parameter read by `json_each`, so its length is not limited by SQLite's
parameter count. Column names are checked against the declared ones and
only their positional SQL names appear in the statement.
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from typing import Any

from .catalog import column_sql
from .documents import check_value


def _value(name: str, kind: str, value: object) -> str | int | float:
    try:
        return check_value(kind, value)
    except (TypeError, ValueError) as error:
        raise type(error)(f"where: column {name!r}: {error}") from None


def compile_where(where: Mapping[str, Any] | None, columns: Mapping[str, str]
                  ) -> tuple[str, list[Any]]:
    """(SQL condition, parameters); an empty condition when there is none."""
    if where is None:
        return "", []
    if not isinstance(where, Mapping):
        raise TypeError(f"where must be a mapping of column to condition, "
                        f"not {type(where).__name__}")
    positions = {name: i for i, name in enumerate(columns)}
    terms: list[str] = []
    params: list[Any] = []
    for name, condition in where.items():
        if name not in positions:
            raise ValueError(f"where: {name!r} is not a column of this collection "
                             f"(columns: {', '.join(map(repr, columns)) or 'none'})")
        kind = columns[name]
        sql = column_sql(positions[name])
        if isinstance(condition, tuple):
            if len(condition) != 2:
                raise ValueError(f"where: column {name!r}: a range is a (lo, hi) "
                                 f"pair, got {len(condition)} items")
            lo, hi = condition
            for op, bound in ((">=", lo), ("<=", hi)):
                if bound is not None:
                    terms.append(f"{sql} {op} ?")
                    params.append(_value(name, kind, bound))
            if lo is None and hi is None:
                terms.append(f"{sql} IS NOT NULL")
        elif isinstance(condition, (list, set, frozenset)):
            values = [_value(name, kind, v) for v in condition]
            terms.append(f"{sql} IN (SELECT value FROM json_each(?))")
            params.append(json.dumps(values, ensure_ascii=False))
        elif condition is None:
            raise TypeError(f"where: column {name!r}: None is not a condition")
        else:
            terms.append(f"{sql} = ?")
            params.append(_value(name, kind, condition))
    return " AND ".join(terms), params
