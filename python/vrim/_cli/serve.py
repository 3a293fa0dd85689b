"""`vrim serve`: a local search page and its JSON endpoint, over an index
file (here) or a collection (`serve_collection`).

Three resources only: `/` (one self-contained HTML page),
`/search?q=...&limit=...&offset=...` (JSON) and `/doc?ref=...&q=...` (one
document's stored text with the matches marked). No file of the machine is
served. Bound to
127.0.0.1 by default; while bound to a loopback address, requests must name a
loopback host, so a web page elsewhere cannot reach the server through a
rebound DNS name.
"""

from __future__ import annotations

import argparse
import base64
import errno
import hashlib
import html
import http.server
import ipaddress
import json
import os
import re
import socket
import sys
from collections.abc import Callable, Sequence
from importlib import resources
from typing import Any
from urllib.parse import parse_qs, quote, urlencode, urlsplit

from _vrim import QueryError

from .._helpers.escape import escape
from .doc_page import POLICY as DOC_POLICY
from .doc_page import document_page
from .errors import CliError
from .hits import HitView, nfc, search
from .opened import OpenedIndex, open_index
from .queries import WILDCARD_ONLY, ignored_stop_words, wildcard_only
from .terminal import query_message

DEFAULT_LIMIT = 20
MAX_LIMIT = 100  # hits per answer: more come as further pages (offset)
MAX_OFFSET = 10_000
_LOOPBACK_NAMES = {"localhost", "127.0.0.1", "::1"}


def _csp_hash(page: str, tag: str) -> str:
    match = re.search(rf"<{tag}>(.*?)</{tag}>", page, re.DOTALL)
    assert match is not None, f"the page has no <{tag}>"
    digest = hashlib.sha256(match.group(1).encode("utf-8")).digest()
    return "'sha256-" + base64.b64encode(digest).decode("ascii") + "'"


def load_page(title: str) -> tuple[bytes, str]:
    """The page with the index's name filled in, and a Content-Security-Policy
    admitting exactly its inline script and style."""
    page = resources.files(__package__).joinpath("page.html").read_text("utf-8")
    page = page.replace("{{TITLE}}", html.escape(title, quote=True))
    policy = (f"default-src 'none'; script-src {_csp_hash(page, 'script')}; "
              f"style-src {_csp_hash(page, 'style')}; connect-src 'self'; "
              "base-uri 'none'; form-action 'none'; frame-ancestors 'none'")
    return page.encode("utf-8"), policy


def with_prefix(query: str) -> str:
    """The query with its last word read as a prefix (`configur` finds
    configuration), while it is being typed: only a plain last word, not
    one with an operator, changes."""
    if not query or query[-1].isspace():
        return query
    head, _, last = query.rpartition(" ")
    word = last.lstrip("+-")
    if ":" in word:
        word = word.split(":", 1)[1]
    # Scripts indexed as two-character pieces have no word to extend.
    if (not word or not word[-1].isalnum() or any(c in word for c in "\\*~^")
            or any(ord(c) >= 0x0590 for c in word)):
        return query
    return query + "*"


class PageServer(http.server.ThreadingHTTPServer):
    """What serving an index file and a collection share: the page, its
    policy, the loopback rule and the links to documents. A subclass
    answers `/search` and `/doc`."""

    daemon_threads = True

    def __init__(self, address: tuple[str, int], title: str,
                 base_url: str | None) -> None:
        self.page, self.policy = load_page(title)
        self.base_url = base_url
        self.loopback = _is_loopback(address[0])
        if ":" in address[0]:
            self.address_family = socket.AF_INET6
        super().__init__(address, Handler)

    def search(self, params: dict[str, list[str]]) -> tuple[int, dict[str, Any]]:
        raise NotImplementedError

    def document(self, params: dict[str, list[str]]) -> tuple[int, bytes]:
        raise NotImplementedError

    def url(self, ref: str, query: str, literal: bool,
            where: Sequence[str] = ()) -> str:
        """Where a hit links: its published page, else its stored text."""
        if self.base_url:
            return self.base_url + quote(ref, safe="/#?&=:%~+")
        params = ([("ref", ref), ("q", query)] + ([("literal", "1")] if literal else [])
                  + [("where", w) for w in where])
        return "doc?" + urlencode(params)


class SearchServer(PageServer):
    """Serves one index file and its store."""

    def __init__(self, address: tuple[str, int], opened: OpenedIndex,
                 base_url: str | None = None) -> None:
        self.opened = opened
        stored = opened.store.meta.get("base_url") if opened.store else None
        super().__init__(address, os.path.basename(opened.path), base_url or stored)

    def search(self, params: dict[str, list[str]]) -> tuple[int, dict[str, Any]]:
        asked = read_search(params)
        if isinstance(asked, dict):
            return 400, asked
        return self.answer(*asked)

    def document(self, params: dict[str, list[str]]) -> tuple[int, bytes]:
        return document_page(self.opened, params)

    def answer(self, query: str, limit: int, offset: int = 0, literal: bool = False,
               prefix: bool = False) -> tuple[int, dict[str, Any]]:
        query = nfc(query)
        searched = escape(query) if literal else query
        if not literal and wildcard_only(query):
            return 400, wildcard_error(query)
        try:
            hits = self._search(searched, offset + limit + 1, prefix)
        except QueryError as e:
            return 400, query_error(e)
        language = self.opened.index.language
        page = hits[offset:offset + limit]
        views = [dict(HitView(hit, self.opened.store, language).to_json(False),
                      url=self.url(hit.ref, query, literal)) for hit in page]
        out: dict[str, Any] = {"query": query, "hits": views, "offset": offset,
                               "more": len(hits) > offset + limit, "literal": literal}
        if not hits:
            add_note(out, query, language)
        return 200, out

    def _search(self, query: str, limit: int, prefix: bool) -> list[Any]:
        if prefix and with_prefix(query) != query:
            try:
                hits = search(self.opened.index, with_prefix(query), limit)
                if hits:
                    return hits
            except QueryError:
                pass
        return search(self.opened.index, query, limit)


def read_search(params: dict[str, list[str]]
                ) -> tuple[str, int, int, bool, bool] | dict[str, Any]:
    """(query, limit, offset, literal, prefix) from `/search`'s parameters,
    or the error to answer."""
    query = params.get("q", [""])[0]
    limit = _integer(params, "limit", DEFAULT_LIMIT, 1, MAX_LIMIT)
    offset = _integer(params, "offset", 0, 0, MAX_OFFSET)
    if limit is None or offset is None:
        return {"error": {"message": f"limit must be an integer from 1 to "
                          f"{MAX_LIMIT}, offset from 0 to {MAX_OFFSET}"}}
    literal = params.get("literal", ["0"])[0] == "1"
    prefix = params.get("prefix", ["0"])[0] == "1"
    return query, limit, offset, literal, prefix


def wildcard_error(query: str) -> dict[str, Any]:
    return {"error": {"message": WILDCARD_ONLY, "query": query, "start": 0,
                      "end": len(query), "kind": "wildcard"}}


def query_error(e: QueryError) -> dict[str, Any]:
    return {"error": {"message": query_message(e), "query": e.query, "start": e.start,
                      "end": e.end}}


def add_note(out: dict[str, Any], query: str, language: str) -> None:
    """Says why a query with no hits matched nothing, when every word of it
    is a stop word."""
    ignored = ignored_stop_words(query, language) if query.strip() else []
    if ignored:
        out["note"] = ("Every word is a stop word, which the index leaves out: "
                       + ", ".join(ignored))


def _is_loopback(host: str) -> bool:
    if host in _LOOPBACK_NAMES:
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


class Handler(http.server.BaseHTTPRequestHandler):
    server: PageServer
    server_version = "vrim-serve"

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass  # a search-as-you-type page makes a request per keystroke

    def do_HEAD(self) -> None:  # noqa: N802
        self.do_GET(head=True)

    def do_GET(self, head: bool = False) -> None:  # noqa: N802
        if self.server.loopback and not self._host_is_loopback():
            self._send(403, "text/plain; charset=utf-8", b"forbidden host\n", head)
            return
        url = urlsplit(self.path)
        if url.path == "/":
            self._send(200, "text/html; charset=utf-8", self.server.page, head,
                       {"Content-Security-Policy": self.server.policy})
        elif url.path == "/search":
            status, body = self.server.search(parse_qs(url.query))
            self._send(status, "application/json",
                       json.dumps(body, ensure_ascii=False).encode("utf-8"), head)
        elif url.path == "/doc":
            status, page = self.server.document(parse_qs(url.query))
            self._send(status, "text/html; charset=utf-8", page, head,
                       {"Content-Security-Policy": DOC_POLICY})
        else:
            self._send(404, "text/plain; charset=utf-8", b"not found\n", head)

    def _host_is_loopback(self) -> bool:
        host = self.headers.get("Host", "")
        name = host.rsplit(":", 1)[0] if not host.endswith("]") else host
        return name.strip("[]").lower() in _LOOPBACK_NAMES or _is_loopback(name.strip("[]"))

    def _send(self, status: int, content_type: str, body: bytes, head: bool,
              extra: dict[str, str] | None = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Referrer-Policy", "no-referrer")
        for key, value in (extra or {}).items():
            self.send_header(key, value)
        self.end_headers()
        if not head:
            self.wfile.write(body)


def _integer(params: dict[str, list[str]], name: str, default: int, low: int,
             high: int) -> int | None:
    try:
        value = int(params.get(name, [str(default)])[0])
    except ValueError:
        return None
    return value if low <= value <= high else None


def parse_port(text: str) -> int:
    try:
        port = int(text)
    except ValueError:
        port = -1
    if not 0 <= port <= 65535:
        raise CliError(f"invalid port {text!r}: expected a number from 0 to 65535 "
                       "(0 picks a free one)")
    return port


def bind(host: str, port: int, make: Callable[[tuple[str, int]], PageServer]
         ) -> PageServer:
    """The server `make` returns for host:port; a port in use, an address
    that is not this machine's or a name that does not resolve is one
    CliError."""
    where = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
    try:
        return make((host, port))
    except socket.gaierror as e:
        raise CliError(f"cannot serve on {where}: unknown host ({e.strerror})") from None
    except OSError as e:
        hint = " (pick another with --port, or --port 0)" if e.errno == errno.EADDRINUSE else ""
        raise CliError(f"cannot serve on {where}: {e.strerror or e}{hint}") from None
    except (OverflowError, ValueError) as e:
        raise CliError(f"cannot serve on {where}: {e}") from None


def serve(server: PageServer, host: str, what: str) -> int:
    """Announces the address on stderr and serves until Ctrl-C."""
    port = int(server.server_address[1])
    shown = f"[{host}]" if ":" in host else host
    print(f"vrim: serving {what} at http://{shown}:{port}/ (Ctrl-C to stop)",
          file=sys.stderr, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


def run(args: argparse.Namespace) -> int:
    from .collection import is_collection
    port = parse_port(str(args.port))
    if is_collection(args.index):
        from .serve_collection import run as run_collection
        return run_collection(args, port)
    if args.facet:
        raise CliError("--facet needs a collection (vrim build --collection)")
    opened = open_index(args.index, args.store, use_store=not args.no_store)
    server = bind(args.host, port,
                  lambda address: SearchServer(address, opened, args.base_url))
    return serve(server, str(args.host),
                 f"{args.index} ({opened.index.document_count:,} documents)")
