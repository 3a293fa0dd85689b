"""`vrim info`: what an index file holds and whether its store matches."""

from __future__ import annotations

import argparse

from .errors import CliError
from .indexfile import read_header
from .opened import open_index


def _boost(value: float) -> str:
    return f"{value:g}"


def run(args: argparse.Namespace) -> int:
    opened = open_index(args.index, args.store, verify=False)
    header = read_header(opened.data, opened.path)
    index = opened.index
    rows = [
        ("index", f"{opened.path} ({len(opened.data):,} bytes, format {header.version})"),
        ("language", index.language),
        ("pipeline", ", ".join(header.pipeline) or "(none: bigrams as indexed)"),
        ("fields", ", ".join(f"{name} (boost {_boost(boost)})"
                             for name, boost in header.fields)),
        ("documents", f"{index.document_count:,}"),
        ("terms", f"{index.term_count:,}"),
        ("positions", "stored" if header.positions else "not stored (no highlighting)"),
        ("sha-256", opened.sha256),
    ]
    status = 0
    if opened.store_problem is not None:
        rows.append(("store", opened.store_problem))
        status = 1
    elif opened.store is None:
        rows.append(("store", f"none ({opened.store_path} does not exist)"))
    else:
        try:
            opened.store.verify(opened.sha256, opened.path)
            verdict = "index SHA-256 matches"
        except CliError:
            verdict = "MISMATCH: written for other index bytes; rebuild"
            status = 1
        rows.append(("store", f"{opened.store_path} ({opened.store.count():,} "
                              f"documents, {verdict})"))
    for key, value in rows:
        print(f"{key + ':':<11}{value}")
    return status
