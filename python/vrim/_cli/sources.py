"""Reading documents for `vrim build`: JSON Lines, JSON arrays, MkDocs search
indexes (recognised by shape) and directories of text, Markdown,
reStructuredText and HTML files.

Every document comes out as a `RawDocument`: its reference, a mapping of its
values as read, the reference field and fields its source defines, and a
`where` naming the file and line or document for error messages.

A SOURCE named on the command line must be readable; an entry inside a
directory that is not (a broken link, no permission, a FIFO, socket or
device, binary content under a text name) and a bad line of JSON Lines are
reported and skipped, or stop the build when the report is strict.
"""

from __future__ import annotations

import json
import os
import re
from collections.abc import Iterator
from dataclasses import dataclass

from .errors import CliError
from .files import TEXT_SUFFIXES, Unreadable, looks_binary, read_regular, walk
from .markup import PACKAGES, missing_parsers, read_markup
from .progress import Progress
from .report import Report

DIRECTORY_FIELDS = ("title", "body")
MKDOCS_FIELDS = ("title", "text")


@dataclass
class RawDocument:
    where: str
    values: dict[str, object]
    ref_field: str | None  # None: the reference field chosen with --ref
    fields: tuple[str, ...] = ()  # the source's own fields; () means infer


def read_source(path: str, progress: Progress, report: Report) -> Iterator[RawDocument]:
    """Every document of one SOURCE argument, in source order."""
    if os.path.isdir(path):
        yield from _read_directory(path, progress, report)
        return
    if path.lower().endswith(TEXT_SUFFIXES):
        # A lone document file: its reference is the path as given.
        try:
            yield _text_document(path, path.replace(os.sep, "/"), progress, report)
        except Unreadable as e:
            raise CliError(f"{path}: {e}") from None
        return
    data = _read_bytes(path)
    progress.read(files=1, size=len(data))
    text = _decode_json_text(data, path)
    lowered = path.lower()
    if lowered.endswith((".jsonl", ".ndjson")):
        yield from _json_lines(text, path, progress, report)
        return
    stripped = text.lstrip()
    if stripped.startswith("["):
        yield from _json_array(_parse_json(text, path), path, progress, report)
    elif stripped.startswith("{"):
        try:
            whole = json.loads(text)
        except json.JSONDecodeError as e:
            if e.msg != "Extra data":
                raise CliError(_json_error(path, e)) from None
            yield from _json_lines(text, path, progress, report)  # one per line
            return
        yield from _json_object(whole, path, progress, report)
    elif not stripped:
        raise CliError(f"{path}: empty file, no documents")
    else:
        raise CliError(f"{path}: not a document source: expected JSON Lines, a JSON "
                       "array of objects, an MkDocs search_index.json or a directory")


def _read_bytes(path: str) -> bytes:
    try:
        return read_regular(path)
    except Unreadable as e:
        raise CliError(f"{path}: {e}") from None


def _decode_json_text(data: bytes, path: str) -> str:
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise CliError(f"{path}: not valid UTF-8 (byte 0x{data[e.start]:02x} at offset "
                       f"{e.start}); JSON sources must be UTF-8") from None


def _json_error(path: str, e: json.JSONDecodeError, line: int | None = None) -> str:
    where = f"{path}:{line if line is not None else e.lineno}"
    return f"{where}: invalid JSON: {e.msg} (column {e.colno})"


def _parse_json(text: str, path: str) -> object:
    try:
        return json.loads(text)
    except json.JSONDecodeError as e:
        raise CliError(_json_error(path, e)) from None


def _json_lines(text: str, path: str, progress: Progress,
                report: Report) -> Iterator[RawDocument]:
    """One object per line; a line that is not one is reported and skipped
    (an error when the report is strict)."""
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        where = f"{path}:{number}"
        try:
            value = json.loads(line)
        except json.JSONDecodeError as e:
            report.skip(where, f"invalid JSON: {e.msg} (column {e.colno})")
            continue
        if not isinstance(value, dict):
            report.skip(where, f"expected a JSON object, got {_json_type(value)}")
            continue
        progress.read(documents=1)
        yield RawDocument(where, value, None)


def _json_array(value: object, path: str, progress: Progress,
                report: Report) -> Iterator[RawDocument]:
    assert isinstance(value, list)
    for number, item in enumerate(value, 1):
        where = f"{path}: document {number}"
        if not isinstance(item, dict):
            report.skip(where, f"expected a JSON object, got {_json_type(item)}")
            continue
        progress.read(documents=1)
        yield RawDocument(where, item, None)


def _json_object(value: object, path: str, progress: Progress,
                 report: Report) -> Iterator[RawDocument]:
    docs = value.get("docs") if isinstance(value, dict) else None
    if not isinstance(docs, list) or not all(
            isinstance(d, dict) and "location" in d for d in docs):
        # A file holding one object is a (one-line) JSON Lines file.
        yield from _json_lines(json.dumps(value), path, progress, report)
        return
    for number, item in enumerate(docs, 1):
        values = dict(item)
        # The site's home page has the empty location: "./" is the same URL.
        if values.get("location") == "":
            values["location"] = "./"
        progress.read(documents=1)
        yield RawDocument(f"{path}: docs[{number - 1}]", values, "location",
                          MKDOCS_FIELDS)


def _json_type(value: object) -> str:
    names = {dict: "an object", list: "an array", str: "a string", int: "a number",
             float: "a number", bool: "a boolean", type(None): "null"}
    return names.get(type(value), type(value).__name__)


def _read_directory(root: str, progress: Progress,
                    report: Report) -> Iterator[RawDocument]:
    for path in walk(root, report):
        try:
            yield _text_document(path, os.path.relpath(path, root).replace(os.sep, "/"),
                                 progress, report)
        except Unreadable as e:
            report.skip(path, str(e))


def _kind(path: str) -> str:
    # Documentation generators publish their sources as NAME.rst.txt.
    lowered = path.lower().removesuffix(".txt")
    if lowered.endswith((".html", ".htm")):
        return "html"
    if lowered.endswith((".md", ".markdown")):
        return "markdown"
    return "rst" if lowered.endswith(".rst") else "text"


def _text_document(path: str, ref: str, progress: Progress,
                   report: Report) -> RawDocument:
    """One .md, .rst, .txt or .html file as a document: title and body.
    Raises Unreadable for a file that cannot be read or is not text."""
    data = read_regular(path)
    progress.read(files=1, size=len(data))
    if looks_binary(data):
        raise Unreadable("not text (binary content)")
    kind = _kind(path)
    text, warning = _decode_document(data, path, kind == "html")
    if warning:
        report.warn(warning)
    if kind in missing_parsers():
        report.hint(f"{PACKAGES[kind]} is not installed: reading {kind} files as "
                    "plain text (pip install 'vrim[cli]')")
    title, body = read_markup(text, kind)
    progress.read(documents=1)
    return RawDocument(path, {"path": ref, "title": title, "body": body}, "path",
                       DIRECTORY_FIELDS)


_META_CHARSET = re.compile(rb"""<meta[^>]+charset\s*=\s*["']?([A-Za-z0-9_.:-]+)""",
                           re.IGNORECASE)


def _decode_document(data: bytes, path: str, is_html: bool) -> tuple[str, str | None]:
    """The file's text and, when it is not UTF-8, a warning saying how it was
    read: by its UTF-16 byte order mark, by the charset an HTML file
    declares, else as Windows-1252 (which maps nearly every byte), else
    Latin-1."""
    if data.startswith((b"\xff\xfe", b"\xfe\xff")):
        try:
            return data.decode("utf-16"), None
        except UnicodeDecodeError:
            pass
    try:
        return data.decode("utf-8-sig"), None
    except UnicodeDecodeError as e:
        problem = f"not valid UTF-8 (byte 0x{data[e.start]:02x} at offset {e.start})"
    declared = _META_CHARSET.search(data[:4096]) if is_html else None
    candidates = [declared.group(1).decode("ascii")] if declared else []
    for encoding in [*candidates, "cp1252", "latin-1"]:
        try:
            return data.decode(encoding), f"{path}: {problem}, read as {encoding}"
        except (UnicodeDecodeError, LookupError):
            continue
    raise AssertionError("latin-1 decodes every byte")
