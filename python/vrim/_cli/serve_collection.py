"""`vrim serve COLLECTION`: the search page and its JSON over a collection
directory, with the matches' total, facet counts and `where` filters, and
every commit of another process picked up without a restart.

The request threads share one read-only `Collection`. Before each answer
the server calls its `refresh()`: one read of the catalog's generation, and
a load of only the new segments and deletions when it has moved. The
collection's own lock serializes refreshes; a search takes the collection's
state once, at its start, and runs on that state (its segments and its
catalog read transaction) to the end, so a refresh by another thread never
changes what a running search sees, and searches never wait for each other.
"""

from __future__ import annotations

import argparse
import os
import sqlite3
from typing import Any

from _vrim import Index, IndexBuilder, QueryError

from .._collection import Collection, Page
from .._helpers.escape import escape
from .collection import DocTexts, open_collection
from .doc_page import document_hit, not_found, render, request
from .errors import CliError
from .hits import HitView, nfc
from .queries import wildcard_only
from .serve import (PageServer, add_note, bind, query_error, read_search, serve,
                    wildcard_error, with_prefix)
from .where import WhereError, conditions, split_condition, value_text

MAX_FACET_VALUES = 20  # per column, the most frequent first


class CollectionServer(PageServer):
    """Serves one collection, opened read-only, counting `facets` columns."""

    def __init__(self, address: tuple[str, int], coll: Collection, facets: list[str],
                 base_url: str | None = None) -> None:
        self.coll = coll
        self.facets = facets
        super().__init__(address, os.path.basename(os.path.normpath(coll.path)),
                         base_url)

    def refresh(self) -> str | None:
        """Loads the newest committed state; the problem, if that fails."""
        try:
            self.coll.refresh()
        except (OSError, ValueError, sqlite3.Error) as e:
            return f"cannot load the collection's newest state: {e}"
        return None

    def search(self, params: dict[str, list[str]]) -> tuple[int, dict[str, Any]]:
        asked = read_search(params)
        if isinstance(asked, dict):
            return 400, asked
        specs = params.get("where", [])
        try:
            where = conditions(self.coll.columns, map(split_condition, specs))
        except WhereError as e:
            return 400, {"error": {"message": str(e), "kind": "where"}}
        problem = self.refresh()
        if problem is not None:
            return 503, {"error": {"message": problem}}
        return self.answer(*asked, where=where, specs=specs)

    def answer(self, query: str, limit: int, offset: int, literal: bool, prefix: bool,
               where: dict[str, object], specs: list[str]) -> tuple[int, dict[str, Any]]:
        query = nfc(query)
        if not literal and wildcard_only(query):
            return 400, wildcard_error(query)
        try:
            page = self._search(escape(query) if literal else query, limit, offset,
                                where, prefix)
        except QueryError as e:
            return 400, query_error(e)
        coll = self.coll
        texts = DocTexts({hit.ref: hit.doc for hit in page.hits}, list(coll.fields))
        hits = [dict(HitView(hit.result, texts, coll.language)  # type: ignore[arg-type]
                     .to_json(False), doc=hit.doc,
                     url=self.url(hit.ref, query, literal, specs))
                for hit in page.hits]
        shown = {name: counts[:MAX_FACET_VALUES] for name, counts in page.facets.items()}
        out: dict[str, Any] = {
            "query": query, "hits": hits, "offset": offset, "literal": literal,
            "more": page.total > offset + len(hits), "total": page.total,
            "facets": {name: [[value, count] for value, count in counts]
                       for name, counts in shown.items()},
            "facet_where": {name: [f"{name}={value_text(value)}" for value, _ in counts]
                            for name, counts in shown.items()},
            "where": specs}
        if not hits:
            add_note(out, query, coll.language)
        return 200, out

    def _search(self, query: str, limit: int, offset: int, where: dict[str, object],
                prefix: bool) -> Page:
        def run(text: str) -> Page:
            return self.coll.search(text, limit, offset=offset, where=where or None,
                                    facets=self.facets)
        if prefix and with_prefix(query) != query:
            try:
                page = run(with_prefix(query))
                if page.total:
                    return page
            except QueryError:
                pass
        return run(query)

    def document(self, params: dict[str, list[str]]) -> tuple[int, bytes]:
        ref, query, literal = request(params)
        specs = params.get("where", [])
        problem = self.refresh()
        if problem is not None:
            return not_found(ref, query, problem, specs, status=503)
        doc = self.coll.get(ref)
        if doc is None:
            return not_found(ref, query, "no document has this reference", specs)
        texts = DocTexts({ref: doc}, list(self.coll.fields)).fields(ref)
        hit = document_hit(self._one_document(ref, texts), ref, query, literal)
        return 200, render(ref, query, texts, hit, self.coll.language, specs)

    def _one_document(self, ref: str, texts: dict[str, str]) -> Index:
        """An index of the stored document alone, built as the collection
        builds its segments, so its matches are the ones a search finds."""
        coll = self.coll
        builder = IndexBuilder(coll.language, ref_field=coll.ref_field, k1=coll.k1,
                               b=coll.b)
        for name, boost in coll.fields.items():
            builder.field(name, boost)
        builder.add({**texts, coll.ref_field: ref})
        return builder.build(threads=1)


def facet_columns(coll: Collection, chosen: list[str]) -> list[str]:
    """The columns to count: those chosen (in order, once each), else all."""
    unknown = [name for name in chosen if name not in coll.columns]
    if unknown:
        raise CliError(f"--facet {unknown[0]}: not a column of the collection "
                       f"(columns: {', '.join(coll.columns) or 'none'})")
    return list(dict.fromkeys(chosen)) if chosen else list(coll.columns)


def run(args: argparse.Namespace, port: int) -> int:
    if args.store or args.no_store:
        raise CliError("--store and --no-store are for an index file: a collection "
                       "keeps its documents")
    coll = open_collection(args.index, readonly=True)
    try:
        facets = facet_columns(coll, args.facet)
        server = bind(args.host, port, lambda address: CollectionServer(
            address, coll, facets, args.base_url))
        return serve(server, str(args.host),
                     f"the collection {args.index} ({len(coll):,} documents)")
    finally:
        coll.close()

