"""The command line on a collection (a directory): `vrim build --collection`
writes one, `vrim add` and `vrim delete` change one, and `vrim search`
searches one with `--where` and `--facet`."""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Iterator
from typing import Any

from _vrim import QueryError

from .._collection import Collection
from .._collection.catalog import CATALOG
from .._collection.documents import column_kind
from .._helpers.escape import escape
from .errors import CliError
from .hits import HitView, nfc
from .progress import Progress
from .sources import RawDocument
from .where import WhereError, conditions, split_condition

DEFAULT_TIMEOUT = 60.0


def is_collection(path: str) -> bool:
    return os.path.isfile(os.path.join(path, CATALOG))


# -- options ---------------------------------------------------------------

def parse_column(spec: str) -> tuple[str, str]:
    """NAME:TYPE, TYPE one of str, int, float."""
    name, sep, kind = spec.rpartition(":")
    try:
        if not sep or not name:
            raise TypeError
        return name, column_kind(name, kind)
    except TypeError:
        raise argparse.ArgumentTypeError(
            f"invalid column {spec!r}: expected NAME:TYPE with TYPE str, int or "
            "float") from None


def parse_where(spec: str) -> tuple[str, str]:
    try:
        return split_condition(spec)
    except WhereError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def add_options(build: argparse.ArgumentParser, search: argparse.ArgumentParser) -> None:
    build.add_argument("--collection", action="store_true",
                       help="write OUTPUT as a collection directory (changed later "
                       "with vrim add and vrim delete) instead of an index file")
    build.add_argument("--column", action="append", type=parse_column, default=[],
                       metavar="NAME:TYPE",
                       help="with --collection: keep the documents' NAME values as a "
                       "metadata column (TYPE str, int or float) for --where and --facet")
    search.add_argument("--where", action="append", type=parse_where, default=[],
                        metavar="COLUMN=VALUE",
                        help="on a collection: only documents whose COLUMN is VALUE, one "
                        "of A,B,... (\\, is a comma inside a value), or within LO..HI (a "
                        "side may be empty); repeatable for other columns, all must hold")
    search.add_argument("--facet", action="append", default=[], metavar="COLUMN",
                        help="on a collection: count the matches' COLUMN values")


def _timeout_option(p: argparse.ArgumentParser) -> None:
    p.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT, metavar="SECONDS",
                   help="wait this long for another writer (default 60)")


def add_commands(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    p = commands.add_parser(
        "add", help="add or replace documents in a collection",
        description="Upsert the documents of every SOURCE (as for vrim build) into "
        "COLLECTION in one commit: a document replaces the one with its reference.")
    p.add_argument("collection", metavar="COLLECTION")
    p.add_argument("sources", nargs="+", metavar="SOURCE")
    p.add_argument("--ref", metavar="FIELD", help="the JSON field holding each "
                   "document's reference (default: the collection's)")
    _timeout_option(p)
    p.add_argument("--strict", action="store_true",
                   help="stop at the first unreadable entry or bad JSON line")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress or summary")
    p.set_defaults(module="collection")
    p = commands.add_parser(
        "delete", help="delete documents from a collection",
        description="Delete the documents REF... from COLLECTION in one commit; "
        "references it lacks are ignored.")
    p.add_argument("collection", metavar="COLLECTION")
    p.add_argument("refs", nargs="+", metavar="REF")
    _timeout_option(p)
    p.set_defaults(module="collection")


# -- writing ---------------------------------------------------------------

def open_collection(path: str, readonly: bool = False) -> Collection:
    try:
        return Collection.open(path, readonly=readonly)
    except (OSError, ValueError) as e:
        raise CliError(f"{path}: cannot open the collection: {e}") from None


def _documents(raw: list[RawDocument], ref_option: str | None, ref_field: str,
               fields: list[str]) -> Iterator[dict[str, Any]]:
    """Documents as the collection stores them: every value read, texts of
    the fields composed to NFC, the reference under `ref_field`."""
    for doc in raw:
        source_ref = ref_option or doc.ref_field or ref_field
        ref = doc.values.get(source_ref)
        if isinstance(ref, (int, float)) and not isinstance(ref, bool):
            ref = str(ref)
        if not isinstance(ref, str) or not ref:
            raise CliError(f"{doc.where}: no reference under {source_ref!r} (choose "
                           "the reference field with --ref)")
        values = {key: nfc(value) if key in fields and isinstance(value, str) else value
                  for key, value in doc.values.items()}
        values[ref_field] = ref
        yield values


def _upsert(coll: Collection, raw: list[RawDocument], ref_option: str | None,
            timeout: float, progress: Progress) -> int:
    docs = list(_documents(raw, ref_option, coll.ref_field, list(coll.fields)))
    progress.status(f"committing {len(docs):,} documents...")
    try:
        with coll.writer(timeout) as writer:
            writer.upsert(docs)
    except (TypeError, ValueError) as e:
        raise CliError(str(e)) from None
    except TimeoutError as e:
        raise CliError(str(e)) from None
    return len(docs)


def build(args: argparse.Namespace, raw: list[RawDocument],
          fields: list[tuple[str, float]], progress: Progress) -> int:
    """`vrim build --collection`: a new collection at OUTPUT."""
    output = os.fspath(args.output)
    columns = dict(args.column)
    if not args.field:  # a declared column is metadata, not text to search
        fields = [(name, boost) for name, boost in fields if name not in columns]
    ref_field = args.ref or next((d.ref_field for d in raw if d.ref_field), None) or "id"
    try:
        coll = Collection.create(output, args.language, dict(fields), ref_field=ref_field,
                                 columns=columns)
    except (OSError, ValueError, TypeError) as e:
        raise CliError(f"{output}: cannot create the collection: {e}") from None
    with coll:
        count = _upsert(coll, raw, args.ref, DEFAULT_TIMEOUT, progress)
        progress.done(f"collection {output}: {len(coll):,} documents from {count:,} read")
    return 0


def run(args: argparse.Namespace) -> int:
    if args.command == "add":
        from .build import _read_all
        from .report import Report
        progress = Progress(quiet=args.quiet)
        raw = _read_all(args.sources, progress, Report(progress, strict=args.strict))
        with open_collection(args.collection) as coll:
            count = _upsert(coll, raw, args.ref, args.timeout, progress)
            progress.done(f"added {count:,} documents: {len(coll):,} in {args.collection}")
        return 0
    with open_collection(args.collection) as coll:
        try:
            with coll.writer(args.timeout) as writer:
                writer.delete(args.refs)
        except TimeoutError as e:
            raise CliError(str(e)) from None
    return 0


# -- searching -------------------------------------------------------------

class DocTexts:
    """The stored texts of the page's hits, as `HitView` reads a store."""

    def __init__(self, docs: dict[str, dict[str, Any]], fields: list[str]) -> None:
        self.docs = docs
        self.fields_ = fields

    def fields(self, ref: str) -> dict[str, str]:
        doc = self.docs.get(ref, {})
        return {name: doc[name] for name in self.fields_ if isinstance(doc.get(name), str)}


def search(args: argparse.Namespace) -> int:
    from .search import _print_hit, report_query_error
    from .terminal import marks_for

    with open_collection(args.index, readonly=True) as coll:
        try:
            where = conditions(coll.columns, [(name, nfc(text)) for name, text in args.where])
        except WhereError as e:
            raise CliError(str(e)) from None
        query = escape(nfc(args.query)) if args.literal else nfc(args.query)
        try:
            page = coll.search(query, args.limit or None, where=where or None,
                               facets=args.facet)
        except QueryError as e:
            return report_query_error(e, sys.stderr)
        except (TypeError, ValueError) as e:
            raise CliError(str(e)) from None
        texts = DocTexts({hit.ref: hit.doc for hit in page.hits}, list(coll.fields))
        views = [HitView(hit.result, texts, coll.language, args.width)  # type: ignore[arg-type]
                 for hit in page.hits]
    out = sys.stdout
    if args.json:
        for hit, view in zip(page.hits, views):
            out.write(json.dumps({**view.to_json(args.fields), "doc": hit.doc},
                                 ensure_ascii=False) + "\n")
        out.write(json.dumps({"total": page.total, "facets": page.facets},
                             ensure_ascii=False) + "\n")
        return 0
    marks = marks_for(out)
    for rank, view in enumerate(views, 1):
        _print_hit(rank, view, args.fields, out, marks)
    if not page.hits:
        print("no documents match", file=sys.stderr)
    out.write(f"{page.total:,} documents match\n")
    for name, counts in page.facets.items():
        shown = ", ".join(f"{value} ({count})" for value, count in counts)
        out.write(f"{name}: {shown or '-'}\n")
    return 0
