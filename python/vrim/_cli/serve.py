"""`vrim serve`: a local search page and its JSON endpoint.

Two resources only: `/` (one self-contained HTML page) and
`/search?q=...&limit=...` (JSON). No file of the machine is served. Bound to
127.0.0.1 by default; while bound to a loopback address, requests must name a
loopback host, so a web page elsewhere cannot reach the server through a
rebound DNS name.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import http.server
import ipaddress
import json
import os
import re
import socket
import sys
from importlib import resources
from typing import Any
from urllib.parse import parse_qs, urlsplit

from _vrim import QueryError

from .hits import HitView, nfc, search
from .opened import OpenedIndex, open_index
from .terminal import query_message

DEFAULT_LIMIT = 20
MAX_LIMIT = 1000
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
    page = page.replace("{{TITLE}}", _html_escape(title))
    policy = (f"default-src 'none'; script-src {_csp_hash(page, 'script')}; "
              f"style-src {_csp_hash(page, 'style')}; connect-src 'self'; "
              "base-uri 'none'; form-action 'none'; frame-ancestors 'none'")
    return page.encode("utf-8"), policy


def _html_escape(text: str) -> str:
    import html
    return html.escape(text, quote=True)


class SearchServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address: tuple[str, int], opened: OpenedIndex) -> None:
        self.opened = opened
        self.page, self.policy = load_page(os.path.basename(opened.path))
        self.loopback = _is_loopback(address[0])
        if ":" in address[0]:
            self.address_family = socket.AF_INET6
        super().__init__(address, Handler)

    def answer(self, query: str, limit: int) -> tuple[int, dict[str, Any]]:
        query = nfc(query)
        try:
            hits = search(self.opened.index, query, limit)
        except QueryError as e:
            return 400, {"error": {"message": query_message(e), "query": e.query,
                                   "start": e.start, "end": e.end}}
        language = self.opened.index.language
        views = [HitView(hit, self.opened.store, language).to_json(False) for hit in hits]
        return 200, {"query": query, "hits": views}


def _is_loopback(host: str) -> bool:
    if host in _LOOPBACK_NAMES:
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


class Handler(http.server.BaseHTTPRequestHandler):
    server: SearchServer
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
            status, body = self._search(parse_qs(url.query))
            self._send(status, "application/json",
                       json.dumps(body, ensure_ascii=False).encode("utf-8"), head)
        else:
            self._send(404, "text/plain; charset=utf-8", b"not found\n", head)

    def _host_is_loopback(self) -> bool:
        host = self.headers.get("Host", "")
        name = host.rsplit(":", 1)[0] if not host.endswith("]") else host
        return name.strip("[]").lower() in _LOOPBACK_NAMES or _is_loopback(name.strip("[]"))

    def _search(self, params: dict[str, list[str]]) -> tuple[int, dict[str, Any]]:
        query = params.get("q", [""])[0]
        raw_limit = params.get("limit", [str(DEFAULT_LIMIT)])[0]
        try:
            limit = int(raw_limit)
            if not 1 <= limit <= MAX_LIMIT:
                raise ValueError
        except ValueError:
            return 400, {"error": {"message":
                                   f"limit must be an integer from 1 to {MAX_LIMIT}"}}
        return self.server.answer(query, limit)

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


def run(args: argparse.Namespace) -> int:
    opened = open_index(args.index, args.store, use_store=not args.no_store)
    server = SearchServer((args.host, args.port), opened)
    host, port = str(args.host), int(server.server_address[1])
    shown = f"[{host}]" if ":" in host else host
    print(f"vrim: serving {args.index} ({opened.index.document_count:,} documents) at "
          f"http://{shown}:{port}/ (Ctrl-C to stop)", file=sys.stderr, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0
