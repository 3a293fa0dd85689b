"""`vrim search`: ranked hits with highlighted snippets, or JSON Lines."""

from __future__ import annotations

import argparse
import json
import sys
from typing import TextIO

from _vrim import QueryError

from .._helpers.escape import escape
from .._helpers.highlight import Segment
from .errors import CliError
from .hits import HitView, nfc, search
from .opened import open_index
from .queries import (LITERAL_HINT, WILDCARD_ONLY, caused_by_colon, ignored_stop_words,
                      wildcard_only)
from .terminal import caret_lines, marks_for, query_message

QUERY_ERROR_STATUS = 2


def _render(segments: list[Segment], marks: tuple[str, str]) -> str:
    return "".join(marks[0] + piece + marks[1] if marked else piece
                   for piece, marked in segments)


def report_query_error(error: QueryError, out: TextIO) -> int:
    shown, carets = caret_lines(error.query, error.start, error.end)
    out.write(f"  {shown}\n  {carets}\nvrim: query error: {query_message(error)}\n")
    if caused_by_colon(error):
        out.write(f"vrim: hint: {LITERAL_HINT}pass --literal\n")
    return QUERY_ERROR_STATUS


def _print_hit(rank: int, view: HitView, all_fields: bool, out: TextIO,
               marks: tuple[str, str]) -> None:
    out.write(f"{rank}. {view.hit.ref}  (score {view.hit.score:.3f})\n")
    title = view.title()
    if title is not None:
        out.write(f"   {_render(title, marks)}\n")
    if all_fields:
        for name in view.matched_fields():
            out.write(f"   {name}: {_render(view.field_snippet(name), marks)}\n")
        return
    best = view.snippet_field()
    if best is not None:
        out.write(f"   {_render(view.field_snippet(best), marks)}\n")


def run(args: argparse.Namespace) -> int:
    from .collection import is_collection, search as search_collection
    if is_collection(args.index):
        return search_collection(args)
    if args.where or args.facet:
        raise CliError("--where and --facet need a collection (vrim build --collection)")
    opened = open_index(args.index, args.store, use_store=not args.no_store)
    query = nfc(args.query)
    if args.literal:
        query = escape(query)
    elif wildcard_only(query):
        print(f"vrim: query error: {WILDCARD_ONLY}", file=sys.stderr)
        return QUERY_ERROR_STATUS
    try:
        hits = search(opened.index, query, args.limit or None)
    except QueryError as e:
        return report_query_error(e, sys.stderr)
    out = sys.stdout
    language = opened.index.language
    if args.json:
        for hit in hits:
            view = HitView(hit, opened.store, language, args.width)
            out.write(json.dumps(view.to_json(args.fields), ensure_ascii=False) + "\n")
        return 0
    marks = marks_for(out)
    for rank, hit in enumerate(hits, 1):
        _print_hit(rank, HitView(hit, opened.store, language, args.width), args.fields,
                   out, marks)
    if not hits:
        print("no documents match", file=sys.stderr)
        _explain_no_hits(query, language)
    return 0


def _explain_no_hits(query: str, language: str) -> None:
    ignored = ignored_stop_words(query, language)
    if ignored:
        print("vrim: note: every word of the query is a stop word, which the index "
              "leaves out: " + ", ".join(ignored), file=sys.stderr)
