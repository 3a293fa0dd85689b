"""The `vrim` command line: build, search, info and serve.

Standard library only; each command's module is imported when it runs.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from collections.abc import Sequence

from _vrim import __version__

from .errors import CliError

__all__ = ["main"]

_SUBPARSERS: dict[str, argparse.ArgumentParser] = {}

_DESCRIPTION = """\
Index documents and search them from the command line or a local web page.

  vrim build docs/ -o docs.vrim         index a folder of .md/.rst/.txt/.html
  vrim search docs.vrim 'install -pip'  ranked hits with highlighted snippets
  vrim info docs.vrim                   what the index holds
  vrim serve docs.vrim                  search page at http://127.0.0.1:8000/
  vrim build posts.jsonl --collection -o posts/   a collection: vrim add, vrim delete
  vrim serve posts/                     its search page, with facets and filters

Texts and queries are composed to Unicode NFC. See `vrim COMMAND --help`."""


def _positive_or_zero(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a count of 0 or more, got {text!r}")
    return value


def _positive(text: str) -> int:
    value = _positive_or_zero(text)
    if value == 0:
        raise argparse.ArgumentTypeError("expected a count of 1 or more, got 0")
    return value


def _store_options(parser: argparse.ArgumentParser, build: bool = False) -> None:
    parser.add_argument("--store", metavar="PATH",
                        help="the document store (default: INDEX.db beside the index)")
    parser.add_argument("--no-store", action="store_true",
                        help="write no document store" if build else
                        "ignore the document store (no titles or snippets)")


def _build_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    from .build import DEFAULT_MAX_TOKEN_LENGTH, parse_field
    p = commands.add_parser(
        "build", help="index documents from files into an index file",
        description="Index documents into INDEX. A SOURCE is a JSON Lines file, a JSON "
        "array of objects, an MkDocs search_index.json (fields title and text, "
        "reference location) or a directory of .md, .rst, .txt and .html files (one "
        "document per file: reference = path relative to the directory, title = first "
        "heading, body = text). Texts are composed to NFC. The index is written to a "
        "temporary file and renamed, so INDEX is never left half-written.")
    p.add_argument("sources", nargs="+", metavar="SOURCE")
    p.add_argument("-o", "--output", required=True, metavar="INDEX",
                   help="the index file to write")
    p.add_argument("--language", default="en", metavar="CODE",
                   help="language code (default: en; see vrim.languages())")
    p.add_argument("--ref", metavar="FIELD",
                   help="the JSON field holding each document's reference (default: id; "
                   "location for MkDocs)")
    p.add_argument("--field", action="append", type=parse_field, default=[],
                   metavar="NAME[:BOOST]",
                   help="index this field (repeatable; default: every text field of the "
                   "documents, title boosted 2)")
    p.add_argument("--no-positions", action="store_true",
                   help="leave match positions out (smaller index, no highlighting)")
    p.add_argument("--max-token-length", type=_positive_or_zero, metavar="CHARS",
                   default=DEFAULT_MAX_TOKEN_LENGTH,
                   help="leave out words longer than this, such as encoded blobs "
                   f"(default {DEFAULT_MAX_TOKEN_LENGTH:,}; 0 for no limit)")
    p.add_argument("--coerce", action="store_true",
                   help="index numbers in text fields as their text")
    p.add_argument("--strict", action="store_true",
                   help="stop at the first unreadable file or bad JSON line instead of "
                   "skipping it with a warning")
    p.add_argument("--base-url", metavar="URL",
                   help="where the documents are published: the search page links "
                   "each hit to URL + its reference")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress or summary")
    _store_options(p, build=True)
    _SUBPARSERS["build"] = p


def _search_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    p = commands.add_parser(
        "search", help="search an index and print ranked hits",
        description="Search INDEX. Query syntax: words, +required, -prohibited, "
        "field:word, wild*, fuzzy~1, word^2. A query that does not parse is shown "
        "with a caret under the problem, exit status 2.")
    p.add_argument("index", metavar="INDEX")
    p.add_argument("query", metavar="QUERY", nargs="?",
                   help="the query; one starting with '-' may follow INDEX as is")
    p.add_argument("-n", "--limit", type=_positive_or_zero, default=10, metavar="N",
                   help="show at most N hits (default 10; 0 shows all)")
    p.add_argument("--json", action="store_true",
                   help="one JSON object per hit: ref, score, terms, matches, title "
                   "and snippet with their spans")
    p.add_argument("--literal", action="store_true",
                   help="search the words of QUERY, every operator escaped")
    p.add_argument("--fields", action="store_true",
                   help="show a snippet of every matched field, not only the best one")
    p.add_argument("--width", type=_positive, default=200, metavar="CHARS",
                   help="snippet width in characters (default 200)")
    _store_options(p)
    _SUBPARSERS["search"] = p


def _info_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    p = commands.add_parser(
        "info", help="describe an index file and check its store",
        description="Show INDEX's language, pipeline, fields and boosts, documents, "
        "terms, size, whether positions are stored, and whether the document store "
        "belongs to it (SHA-256 of the index file). Exit status 1 on a mismatch.")
    p.add_argument("index", metavar="INDEX")
    p.add_argument("--store", metavar="PATH",
                   help="the document store (default: INDEX.db beside the index)")


def _serve_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    p = commands.add_parser(
        "serve", help="serve a local search page",
        description="Serve a search page for INDEX (an index file or a collection "
        "directory) that queries as you type, and JSON at /search?q=QUERY&limit=N. "
        "On a collection the page also shows the number of matches and the counts "
        "of the columns' values (the 20 most frequent of each); clicking a value "
        "filters by it (/search?...&where=COLUMN=VALUE, repeatable, read as "
        "`vrim search --where` reads it), and commits made while it runs show "
        "without a restart. Nothing else is served.")
    p.add_argument("index", metavar="INDEX")
    p.add_argument("--port", default="8000",
                   help="TCP port (default 8000; 0 picks a free one)")
    p.add_argument("--host", default="127.0.0.1",
                   help="address to bind (default 127.0.0.1, this machine only)")
    p.add_argument("--base-url", metavar="URL",
                   help="link each hit to URL + its reference (default: the one given "
                   "to build, else the document's text served by the page)")
    p.add_argument("--facet", action="append", default=[], metavar="COLUMN",
                   help="on a collection: count this column's values (repeatable; "
                   "default: every column)")
    _store_options(p)


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="vrim", description=_DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("--version", action="version", version=f"vrim {__version__}")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", required=True)
    _build_parser(commands)
    _search_parser(commands)
    _info_parser(commands)
    _serve_parser(commands)
    from . import collection
    collection.add_options(_SUBPARSERS["build"], _SUBPARSERS["search"])
    collection.add_commands(commands)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    top = parser()
    args, extra = top.parse_known_args(argv)
    if args.command == "search" and args.query is None and len(extra) == 1:
        args.query = extra.pop()  # a bare `-word` query: "prohibit word"
    if args.command == "search" and args.query is None:
        print("vrim search: give a query after INDEX, for example\n"
              "  vrim search docs.vrim 'install -pip'\n"
              "Words, +required, -excluded, field:word, wild*, fuzzy~1, word^2; "
              "--literal searches the text as written.", file=sys.stderr)
        return 2
    if extra:
        top.error("unrecognized arguments: " + " ".join(extra))
    module = importlib.import_module(f".{getattr(args, 'module', args.command)}",
                                     __name__)
    try:
        status: int = module.run(args)
        sys.stdout.flush()
        return status
    except CliError as e:
        print(f"vrim: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("vrim: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`vrim search ... | head`): not an error.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
