"""Checking documents before they are staged: the reference, the field
texts, the metadata column values, and the JSON the catalog keeps.

Every document is checked in full before anything is written, and every
error names the document (by reference, or by position when it has none).
"""

from __future__ import annotations

import json
import math
from collections.abc import Iterable, Iterator, Mapping
from typing import Any

# One encoder for every document: json.dumps with options makes a new one
# per call, which costs as much as the encoding of a short document.
_ENCODER = json.JSONEncoder(ensure_ascii=False, allow_nan=False)

# Column kinds by the name `Collection.create` takes, with their SQL types.
COLUMN_TYPES = {"str": "TEXT", "int": "INTEGER", "float": "REAL"}


def column_kind(name: str, kind: object) -> str:
    """The kind name ("str", "int", "float") of a column declaration."""
    for type_, label in ((str, "str"), (int, "int"), (float, "float")):
        if kind is type_ or kind == label:
            return label
    raise TypeError(f"column {name!r} must be declared as str, int or float, "
                    f"not {kind!r}")


def check_value(kind: str, value: object) -> str | int | float:
    """`value` as the column stores it; TypeError/ValueError when it does
    not fit (the caller adds which document and column)."""
    if kind == "str":
        if isinstance(value, str):
            return value
    elif isinstance(value, bool):
        pass  # a bool is an int to Python, never a number here
    elif kind == "int":
        if isinstance(value, int):
            if not -2**63 <= value < 2**63:
                raise ValueError(f"{value} does not fit in 64 bits")
            return int(value)
    elif isinstance(value, (int, float)):
        number = float(value)
        if math.isnan(number):
            raise ValueError("NaN is not a value; use None for no value")
        return number
    raise TypeError(f"expected {kind}, got {type(value).__name__} {value!r}")


def _native(value: object) -> object:
    """NumPy scalars as Python values, and a missing value (NaN, NaT, NA)
    of a DataFrame cell as None."""
    item = getattr(value, "item", None)
    if item is not None and type(value).__module__ == "numpy":
        value = item()
    if isinstance(value, float) and math.isnan(value):
        return None
    if type(value).__name__ in ("NAType", "NaTType"):
        return None
    return value


def _is_data_frame(docs: object) -> bool:
    return (type(docs).__name__ == "DataFrame"
            and type(docs).__module__.split(".")[0] == "pandas")


def iterate(docs: object) -> Iterator[Mapping[str, Any]]:
    """The documents of an upsert: one mapping, an iterable of mappings, or
    a pandas DataFrame (one document a row, missing cells as no value)."""
    if _is_data_frame(docs):
        # A missing value turns a column of ints into floats (1999.0);
        # nullable dtypes give the ints back.
        frame = docs.convert_dtypes()  # type: ignore[attr-defined]
        names = [str(name) for name in frame.columns]
        for row in frame.itertuples(index=False, name=None):
            yield {name: _native(value) for name, value in zip(names, row)}
        return
    if isinstance(docs, Mapping):
        yield docs
        return
    if isinstance(docs, (str, bytes)) or not isinstance(docs, Iterable):
        raise TypeError("upsert() takes a mapping, an iterable of mappings or a "
                        f"pandas DataFrame, not {type(docs).__name__}")
    for number, doc in enumerate(docs):
        if type(doc) is not dict and not isinstance(doc, Mapping):
            raise TypeError(f"document {number} of the batch is a "
                            f"{type(doc).__name__}, not a mapping")
        yield doc


class Checker:
    """Checks documents against a collection's reference field, fields and
    columns."""

    def __init__(self, ref_field: str, fields: Iterable[str],
                 columns: Mapping[str, str]) -> None:
        self.ref_field = ref_field
        self.fields = list(fields)
        self.columns = dict(columns)

    def check(self, doc: Mapping[str, Any], number: int
              ) -> tuple[str, str, dict[str, Any], list[str | int | float | None]]:
        """(reference, JSON, the document as a dict, its column values)."""
        ref = doc.get(self.ref_field)
        if not isinstance(ref, str):
            raise (ValueError if ref is None else TypeError)(
                f"document {number} of the batch needs a str reference under "
                f"{self.ref_field!r}, got {type(ref).__name__}")
        for key in doc:
            if not isinstance(key, str):
                raise TypeError(f"document {ref!r}: key {key!r} is not a str")
        for field in self.fields:
            text = doc.get(field)
            if text is not None and not isinstance(text, str):
                raise TypeError(f"document {ref!r}: field {field!r} must be a "
                                f"str or None, got {type(text).__name__}")
        values: list[str | int | float | None] = []
        for name, kind in self.columns.items():
            value = doc.get(name)
            try:
                values.append(None if value is None else check_value(kind, value))
            except (TypeError, ValueError) as error:
                raise type(error)(f"document {ref!r}: column {name!r}: {error}") from None
        plain = dict(doc)
        try:
            text = _ENCODER.encode(plain)
        except (TypeError, ValueError) as error:
            raise type(error)(f"document {ref!r} cannot be stored as JSON: "
                              f"{error}") from None
        try:
            text.encode("utf-8")
        except UnicodeEncodeError as error:
            raise UnicodeEncodeError(
                error.encoding, error.object, error.start, error.end,
                f"document {ref!r} holds text that is not valid Unicode "
                f"({error.reason})") from None
        return ref, text, plain, values
