"""`vrim build`: documents from files to an index file and its store."""

from __future__ import annotations

import argparse
import os
import sqlite3
import sys
import warnings
from dataclasses import dataclass

from _vrim import Index, IndexBuilder, __version__

from .._helpers.persist import write_atomically
from . import store
from .errors import CliError
from .hits import nfc
from .progress import Progress
from .report import Report
from .sources import RawDocument, read_source

# The builder's reference key: a name no field can have (fields have no "/").
_REF_KEY = "/ref"
_DEFAULT_BOOSTS = {"title": 2.0}
DEFAULT_MAX_TOKEN_LENGTH = 1000


@dataclass
class Document:
    ref: str
    fields: dict[str, str]


def parse_field(spec: str) -> tuple[str, float | None]:
    """NAME or NAME:BOOST."""
    name, sep, boost = spec.rpartition(":")
    if not sep:
        return spec, None
    try:
        return name, float(boost)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"invalid field {spec!r}: the boost after ':' must be a number") from None


def _is_number(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _chosen_fields(raw: list[RawDocument], ref_option: str | None,
                   explicit: list[tuple[str, float | None]],
                   coerce: bool = False) -> list[tuple[str, float]]:
    """--field options as given, else the fields the sources define: their
    own (MkDocs, directories) or the keys of JSON documents holding text
    (or numbers, with --coerce)."""
    if explicit:
        return [(name, 1.0 if boost is None else boost) for name, boost in explicit]
    names: dict[str, None] = {}
    for doc in raw:
        ref_field = doc.ref_field or ref_option or "id"
        keys = doc.fields or tuple(k for k, v in doc.values.items() if isinstance(v, str)
                                   or (coerce and _is_number(v)))
        names.update((k, None) for k in keys if k != ref_field)
    return [(name, _DEFAULT_BOOSTS.get(name, 1.0)) for name in names]


def _document(doc: RawDocument, ref_option: str | None, fields: list[str],
              coerce: bool = False) -> Document:
    ref_field = ref_option or doc.ref_field or "id"
    ref = doc.values.get(ref_field)
    if ref is None:
        raise CliError(f"{doc.where}: document has no reference field {ref_field!r} "
                       "(choose the reference field with --ref)")
    if _is_number(ref):
        ref = _number_text(ref)  # numeric ids are common; they read the same as text
    if not isinstance(ref, str) or not ref:
        raise CliError(f"{doc.where}: reference field {ref_field!r} must be a "
                       f"non-empty string, got {ref!r}")
    texts: dict[str, str] = {}
    for name in fields:
        value = doc.values.get(name)
        if value is None:
            continue
        if coerce and _is_number(value):
            value = _number_text(value)
        if not isinstance(value, str):
            hint = " (pass --coerce to index numbers as text)" if _is_number(value) else ""
            raise CliError(f"{doc.where}: field {name!r} must be a string, got "
                           f"{type(value).__name__} {_preview(value)}{hint}")
        texts[name] = nfc(value)
    return Document(ref, texts)


def _number_text(value: object) -> str:
    """A number as JSON writes it: 3 not 3.0 for an integral float."""
    if isinstance(value, float) and value.is_integer() and abs(value) < 1e16:
        return str(int(value))
    return str(value)


def _preview(value: object) -> str:
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


def _builder(language: str, fields: list[tuple[str, float]], explicit: bool,
             max_token_length: int | None) -> tuple[IndexBuilder, list[tuple[str, float]]]:
    """A builder with the fields declared. A field name the library refuses
    is an error when it was asked for, and left out with a note when it was
    only found in the documents."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        builder = IndexBuilder(language, ref_field=_REF_KEY,
                               max_token_length=max_token_length)
    for warning in caught:
        print(f"vrim: warning: {warning.message}", file=sys.stderr)
    declared = []
    for name, boost in fields:
        try:
            builder.field(name, boost)
        except ValueError as e:
            if explicit:
                raise CliError(f"cannot index field {name!r}: {e}") from None
            print(f"vrim: note: leaving out field {name!r}: {e}", file=sys.stderr)
            continue
        declared.append((name, boost))
    return builder, declared


def _stage(builder: IndexBuilder, docs: list[tuple[RawDocument, Document]]) -> None:
    for raw, doc in docs:
        try:
            builder.add({_REF_KEY: doc.ref, **doc.fields})
        except ValueError as e:
            raise CliError(f"{raw.where}: {e}") from None


def _remove_quietly(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def _read_all(sources: list[str], progress: Progress, report: Report) -> list[RawDocument]:
    raw: list[RawDocument] = []
    for source in sources:
        raw.extend(read_source(source, progress, report))
    report.close()
    if not raw:
        raise CliError("no documents found in " + ", ".join(sources))
    progress.clear()
    return raw


def check_output(args: argparse.Namespace) -> None:
    """Fails before any reading when the index (or its store) cannot be
    written where asked: a missing or unwritable folder, or a folder in the
    way."""
    output = os.fspath(args.output)
    if args.collection:
        return  # a collection is a folder of its own, checked when opened
    paths = [output] if args.no_store else [output, args.store or store.default_path(output)]
    for path in paths:
        folder = os.path.dirname(os.path.abspath(path))
        if os.path.isdir(path):
            raise CliError(f"{path}: cannot write: it is a directory")
        if not os.path.isdir(folder):
            raise CliError(f"{path}: cannot write: no such directory {folder}")
        if not os.access(folder, os.W_OK | os.X_OK):
            raise CliError(f"{path}: cannot write: permission denied in {folder}")


def _serialize(index: Index, positions: bool, max_token_length: int | None) -> bytes:
    try:
        return index.to_bytes(positions=positions)
    except ValueError as e:
        hint = ("lower --max-token-length" if max_token_length
                else "pass --max-token-length")
        raise CliError(f"{e} [{hint}, or --no-positions]") from None


def run(args: argparse.Namespace) -> int:
    check_output(args)
    progress = Progress(quiet=args.quiet)
    report = Report(progress, strict=args.strict)
    raw = _read_all(args.sources, progress, report)
    max_length = args.max_token_length or None
    builder, fields = _builder(
        args.language, _chosen_fields(raw, args.ref, args.field, args.coerce),
        explicit=bool(args.field), max_token_length=max_length)
    if not fields:
        raise CliError("the documents have no text fields: name them with --field")
    if args.collection:
        from .collection import build as build_collection
        return build_collection(args, raw, fields, progress)
    if args.column:
        raise CliError("--column needs --collection")
    docs = [(r, _document(r, args.ref, [name for name, _ in fields], args.coerce))
            for r in raw]
    _stage(builder, docs)
    progress.status(f"building the index of {len(docs):,} documents...")
    index = builder.build()
    data = _serialize(index, not args.no_positions, max_length)
    _write(args, data, docs, index.language, fields)
    skipped = f", {report.skipped:,} skipped" if report.skipped else ""
    progress.done(f"indexed {progress.summary()}{skipped}: {args.output} "
                  f"({len(data) / 1e6:.1f} MB, {index.term_count:,} terms)")
    _notes(len(docs) - index.document_count, builder.dropped_tokens, max_length)
    return 0


def _notes(repeated: int, dropped: int, max_length: int | None) -> None:
    if repeated > 0:
        print(f"vrim: note: {repeated:,} documents repeated an earlier reference; "
              "the last of each was kept", file=sys.stderr)
    if dropped > 0:
        noun = "token" if dropped == 1 else "tokens"
        print(f"vrim: note: left out {dropped:,} {noun} longer than {max_length:,} "
              "characters (--max-token-length)", file=sys.stderr)


def _write(args: argparse.Namespace, data: bytes,
           docs: list[tuple[RawDocument, Document]], language: str,
           fields: list[tuple[str, float]]) -> None:
    """The store first (to a temporary name), then the index, then the store
    renamed into place: a failure leaves no partial file at either path."""
    output = os.fspath(args.output)
    store_path = None if args.no_store else (args.store or store.default_path(output))
    tmp = None
    try:
        if store_path is not None:
            tmp = f"{store_path}.{os.getpid()}.tmp"
            _remove_quietly(tmp)
            store.write(tmp, ((d.ref, d.fields) for _, d in docs), {
                "index_sha256": store.sha256(data),
                "index_file": os.path.basename(output),
                "language": language,
                "fields": ",".join(name for name, _ in fields),
                "vrim_version": __version__,
                **({"base_url": args.base_url} if args.base_url else {}),
            })
        write_atomically(output, data)
        if store_path is not None and tmp is not None:
            os.replace(tmp, store_path)
            tmp = None
        elif os.path.exists(store.default_path(output)) and store.is_store(
                store.default_path(output)):
            # A store left by an earlier build describes an index that is gone.
            os.unlink(store.default_path(output))
    except OSError as e:
        # Name the file the user asked for, not a temporary one beside it.
        name = e.filename if e.filename in (output, store_path) else output
        raise CliError(f"{name}: cannot write: {e.strerror or e}") from None
    except sqlite3.Error as e:  # SQLite reports a missing folder as its own error
        raise CliError(f"{store_path}: cannot write: {e}") from None
    finally:
        if tmp is not None:
            _remove_quietly(tmp)

