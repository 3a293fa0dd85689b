"""Reading documents for `vrim build`: JSON Lines, JSON arrays, MkDocs search
indexes (recognised by shape) and directories of text, Markdown,
reStructuredText and HTML files.

Every document comes out as a `RawDocument`: its reference, a mapping of its
values as read, the reference field and fields its source defines, and a
`where` naming the file and line or document for error messages.
"""

from __future__ import annotations

import json
import os
import re
from collections.abc import Iterator
from dataclasses import dataclass, field

from .errors import CliError
from .markup import html_to_text, markdown_title, rst_title, text_title
from .progress import Progress

# Files a directory source reads, by suffix.
TEXT_SUFFIXES = (".md", ".rst", ".txt", ".html", ".htm")
DIRECTORY_FIELDS = ("title", "body")
MKDOCS_FIELDS = ("title", "text")


@dataclass
class RawDocument:
    where: str
    values: dict[str, object]
    ref_field: str | None  # None: the reference field chosen with --ref
    fields: tuple[str, ...] = ()  # the source's own fields; () means infer
    warnings: list[str] = field(default_factory=list)


def read_source(path: str, progress: Progress) -> Iterator[RawDocument]:
    """Every document of one SOURCE argument, in source order."""
    if os.path.isdir(path):
        yield from _read_directory(path, progress)
        return
    if path.lower().endswith(TEXT_SUFFIXES):
        # A lone document file: its reference is the path as given.
        yield _text_document(path, path.replace(os.sep, "/"), progress)
        return
    data = _read_bytes(path)
    progress.read(files=1, size=len(data))
    text = _decode_json_text(data, path)
    lowered = path.lower()
    if lowered.endswith((".jsonl", ".ndjson")):
        yield from _json_lines(text, path, progress)
        return
    stripped = text.lstrip()
    if stripped.startswith("["):
        yield from _json_array(_parse_json(text, path), path, progress)
    elif stripped.startswith("{"):
        try:
            whole = json.loads(text)
        except json.JSONDecodeError as e:
            if e.msg != "Extra data":
                raise CliError(_json_error(path, e)) from None
            yield from _json_lines(text, path, progress)  # one object per line
            return
        yield from _json_object(whole, path, progress)
    elif not stripped:
        raise CliError(f"{path}: empty file, no documents")
    else:
        raise CliError(f"{path}: not a document source: expected JSON Lines, a JSON "
                       "array of objects, an MkDocs search_index.json or a directory")


def _read_bytes(path: str) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise CliError(f"{path}: cannot read: {e.strerror or e}") from None


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


def _json_lines(text: str, path: str, progress: Progress) -> Iterator[RawDocument]:
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        try:
            value = json.loads(line)
        except json.JSONDecodeError as e:
            raise CliError(_json_error(path, e, number)) from None
        where = f"{path}:{number}"
        if not isinstance(value, dict):
            raise CliError(f"{where}: expected a JSON object, got {_json_type(value)}")
        progress.read(documents=1)
        yield RawDocument(where, value, None)


def _json_array(value: object, path: str, progress: Progress) -> Iterator[RawDocument]:
    assert isinstance(value, list)
    for number, item in enumerate(value, 1):
        where = f"{path}: document {number}"
        if not isinstance(item, dict):
            raise CliError(f"{where}: expected a JSON object, got {_json_type(item)}")
        progress.read(documents=1)
        yield RawDocument(where, item, None)


def _json_object(value: object, path: str, progress: Progress) -> Iterator[RawDocument]:
    docs = value.get("docs") if isinstance(value, dict) else None
    if not isinstance(docs, list) or not all(
            isinstance(d, dict) and "location" in d for d in docs):
        # A file holding one object is a (one-line) JSON Lines file.
        yield from _json_lines(json.dumps(value), path, progress)
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


def _read_directory(root: str, progress: Progress) -> Iterator[RawDocument]:
    for path in _walk(root):
        yield _text_document(path, os.path.relpath(path, root).replace(os.sep, "/"),
                             progress)


def _text_document(path: str, ref: str, progress: Progress) -> RawDocument:
    """One .md, .rst, .txt or .html file as a document: title and body."""
    data = _read_bytes(path)
    progress.read(files=1, size=len(data))
    lowered = path.lower()
    is_html = lowered.endswith((".html", ".htm"))
    text, warning = _decode_document(data, path, is_html)
    if is_html:
        title, body = html_to_text(text)
    elif lowered.endswith(".md"):
        title, body = markdown_title(text)
    elif lowered.endswith(".rst"):
        title, body = rst_title(text), text
    else:
        title, body = text_title(text), text
    progress.read(documents=1)
    return RawDocument(path, {"path": ref, "title": title, "body": body}, "path",
                       DIRECTORY_FIELDS, [warning] if warning else [])


def _walk(root: str) -> Iterator[str]:
    """Matching files under `root` in a stable order, hidden entries skipped."""
    def on_error(e: OSError) -> None:
        raise CliError(f"{e.filename}: cannot read directory: {e.strerror}")

    for directory, subdirs, files in os.walk(root, onerror=on_error):
        subdirs[:] = sorted(d for d in subdirs if not d.startswith("."))
        for name in sorted(files):
            if not name.startswith(".") and name.lower().endswith(TEXT_SUFFIXES):
                yield os.path.join(directory, name)


_META_CHARSET = re.compile(rb"""<meta[^>]+charset\s*=\s*["']?([A-Za-z0-9_.:-]+)""",
                           re.IGNORECASE)


def _decode_document(data: bytes, path: str, is_html: bool) -> tuple[str, str | None]:
    """The file's text and, when it is not UTF-8, a warning saying how it was
    read: by the charset an HTML file declares, else as Windows-1252 (which
    maps nearly every byte), else Latin-1."""
    try:
        return data.decode("utf-8-sig"), None
    except UnicodeDecodeError as e:
        problem = f"not valid UTF-8 (byte 0x{data[e.start]:02x} at offset {e.start})"
    declared = _META_CHARSET.search(data[:4096]) if is_html else None
    candidates = [declared.group(1).decode("ascii")] if declared else []
    for encoding in [*candidates, "cp1252", "latin-1"]:
        try:
            return data.decode(encoding), f"warning: {path}: {problem}, read as {encoding}"
        except (UnicodeDecodeError, LookupError):
            continue
    raise AssertionError("latin-1 decodes every byte")
