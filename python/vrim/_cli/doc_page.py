"""`/doc?ref=REF&q=QUERY`: one document's stored text as a page, the
matches of the query marked, linked back to the search."""

from __future__ import annotations

import base64
import hashlib
import html
from collections.abc import Sequence
from urllib.parse import urlencode

from _vrim import Index, QueryError, Result

from .._helpers.escape import escape
from .._helpers.highlight import field_spans, highlight
from .hits import TITLE_FIELD, nfc
from .opened import OpenedIndex

_STYLE = """
body { font: 16px/1.55 system-ui, sans-serif; margin: 0 auto; max-width: 50em; padding: 1em; color: #222; }
nav { font-size: .9em; margin-bottom: 1em; }
h1 { font-size: 1.4em; overflow-wrap: anywhere; }
.ref { color: #176; font-size: .85em; overflow-wrap: anywhere; }
.field { white-space: pre-wrap; overflow-wrap: anywhere; }
.name { color: #888; font-size: .8em; text-transform: uppercase; margin-top: 1.2em; }
mark { background: #ffe066; color: inherit; }
"""


# The page's only style, admitted by its hash; no script at all.
POLICY = ("default-src 'none'; style-src 'sha256-"
          + base64.b64encode(hashlib.sha256(_STYLE.encode()).digest()).decode()
          + "'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'")


def document_hit(index: Index, ref: str, query: str, literal: bool) -> Result | None:
    """Document `ref` as a search of `query` finds it, or None."""
    if not query.strip():
        return None
    try:
        hits = index.search(escape(query) if literal else query, filter=(ref,),
                            phrases=True)
    except QueryError:
        return None
    return hits[0] if hits else None


def request(params: dict[str, list[str]]) -> tuple[str, str, bool]:
    """The reference, the query (NFC) and whether it is literal."""
    return (params.get("ref", [""])[0], nfc(params.get("q", [""])[0]),
            params.get("literal", ["0"])[0] == "1")


def _field(name: str, text: str, hit: Result | None, language: str) -> str:
    spans = field_spans(hit, name) if hit is not None else []
    marked = highlight(text, spans, language, before="<mark>", after="</mark>",
                       escape_text=html.escape)
    return (f'<div class="name">{html.escape(name)}</div>'
            f'<div class="field">{marked}</div>')


def document_page(opened: OpenedIndex, params: dict[str, list[str]]) -> tuple[int, bytes]:
    ref, query, literal = request(params)
    texts = opened.store.fields(ref) if opened.store is not None else {}
    if not texts:
        return not_found(ref, query, "this index has no document store"
                         if opened.store is None else "no document has this reference")
    hit = document_hit(opened.index, ref, query, literal)
    return 200, render(ref, query, texts, hit, opened.index.language)


def _back(query: str, where: Sequence[str]) -> str:
    """The search page as it was: the query and a collection's filters."""
    if not query:
        return "./"
    return "./?" + urlencode([("q", query), *(("where", w) for w in where)])


def not_found(ref: str, query: str, why: str, where: Sequence[str] = (),
              status: int = 404) -> tuple[int, bytes]:
    return status, _page("Not found" if status == 404 else "Unavailable", f'<p>{html.escape(why)}: '
                      f'<span class="ref">{html.escape(ref)}</span></p>',
                      _back(query, where))


def render(ref: str, query: str, texts: dict[str, str], hit: Result | None,
           language: str, where: Sequence[str] = ()) -> bytes:
    """The page of document `ref`: its field `texts`, the matches of `hit`
    marked, linking back to the search of `query` (and `where`)."""
    title = texts.get(TITLE_FIELD) or ref
    title_spans = field_spans(hit, TITLE_FIELD) if hit and TITLE_FIELD in texts else []
    heading = highlight(title, title_spans, language, before="<mark>", after="</mark>",
                        escape_text=html.escape)
    fields = "".join(_field(name, text, hit, language)
                     for name, text in texts.items() if name != TITLE_FIELD and text)
    body = (f'<h1>{heading}</h1><div class="ref">{html.escape(ref)}</div>{fields}')
    return _page(title, body, _back(query, where))


def _page(title: str, body: str, back: str) -> bytes:
    page = f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{html.escape(title)}</title>
<style>{_STYLE}</style>
</head>
<body>
<nav><a href="{html.escape(back, quote=True)}">&larr; Back to the results</a></nav>
{body}
</body>
</html>
"""
    return page.encode("utf-8")
