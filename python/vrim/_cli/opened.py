"""An index file opened for `search`, `info` and `serve`, with its store."""

from __future__ import annotations

import os
from dataclasses import dataclass

from _vrim import FormatError, Index

from . import store as store_module
from .errors import CliError
from .store import Store


@dataclass
class OpenedIndex:
    path: str
    data: bytes
    index: Index
    sha256: str
    store: Store | None
    store_path: str
    store_problem: str | None = None  # why a file at store_path was not opened


def open_index(path: str, store_path: str | None, use_store: bool = True,
               verify: bool = True) -> OpenedIndex:
    """Loads the index and, when present, its store; with `verify` a store
    written for other index bytes is an error."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise CliError(f"{path}: cannot read: {e.strerror or e}") from None
    try:
        index = Index.from_bytes(data)
    except FormatError as e:
        raise CliError(f"{path}: {e}") from None
    digest = store_module.sha256(data)
    store_path = store_path or store_module.default_path(path)
    opened_store, problem = None, None
    if use_store and os.path.exists(store_path):
        try:
            opened_store = Store(store_path)
        except CliError as e:
            if verify:
                raise CliError(f"{e} (pass --no-store to search without it)") from None
            problem = str(e)
        if verify and opened_store is not None:
            opened_store.verify(digest, path)
    return OpenedIndex(path, data, index, digest, opened_store, store_path, problem)
