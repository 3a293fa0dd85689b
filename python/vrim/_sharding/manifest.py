"""The manifest of written shards: a small JSON file beside them naming
the settings and, per shard, its file, size, SHA-256, content fingerprint
and document count, so that any cluster can load the same collection and
check that it did."""

from __future__ import annotations

import json
import uuid
from typing import Any

import fsspec  # type: ignore[import-untyped]

NAME = "vrim-shards.json"
VERSION = 1
_SHARD_KEYS = {"file": str, "size": int, "sha256": str, "fingerprint": str,
               "documents": int}


def path_of(location: str) -> str:
    """The manifest's path: `location` itself when it names a ``.json``
    file, otherwise the manifest inside the directory `location`."""
    if location.endswith(".json"):
        return location
    return f"{location.rstrip('/')}/{NAME}"


def write(location: str, settings: dict[str, Any],
          shards: list[dict[str, Any]]) -> str:
    """Write the manifest of `shards` (each with path, size, sha256,
    fingerprint, documents) into the directory `location`, atomically: a
    reader sees the old manifest or the new one, never part of one.
    Returns its path."""
    target = path_of(location)
    document = {
        "format": "vrim-shards", "version": VERSION, "settings": settings,
        "shards": [{"file": shard["path"].rsplit("/", 1)[-1],
                    "size": shard["size"], "sha256": shard["sha256"],
                    "fingerprint": shard["fingerprint"],
                    "documents": shard["documents"]} for shard in shards]}
    filesystem, root = fsspec.core.url_to_fs(target)
    temporary = f"{root}.{uuid.uuid4().hex}.tmp"
    with filesystem.open(temporary, "w") as out:
        json.dump(document, out, indent=1)
    # A rename on a file system; object stores write whole objects anyway.
    filesystem.mv(temporary, root)
    return target


def read(location: str) -> dict[str, Any]:
    """The manifest at `location`, checked: ``ValueError`` naming what is
    wrong, ``FileNotFoundError`` when it is missing. Each shard gains
    ``path``, its file's full path."""
    target = path_of(location)
    with fsspec.open(target, "r") as source:
        try:
            document = json.load(source)
        except json.JSONDecodeError as error:
            raise ValueError(f"{target} is not a shard manifest: {error}"
                             ) from None
    if not isinstance(document, dict) or document.get("format") != \
            "vrim-shards":
        raise ValueError(f"{target} is not a shard manifest")
    if document.get("version") != VERSION:
        raise ValueError(f"{target} has manifest version "
                         f"{document.get('version')!r}; this Vrim reads "
                         f"version {VERSION}")
    shards = document.get("shards")
    if not isinstance(shards, list) or not shards or not isinstance(
            document.get("settings"), dict):
        raise ValueError(f"{target} lists no shards or no settings")
    base = target.rsplit("/", 1)[0] if "/" in target else "."
    for number, shard in enumerate(shards):
        for key, kind in _SHARD_KEYS.items():
            if not isinstance(shard, dict) or not isinstance(shard.get(key),
                                                             kind):
                raise ValueError(f"{target}: shard {number} lacks a valid "
                                 f"{key!r}")
        if "/" in shard["file"] or shard["file"] in ("", ".", ".."):
            raise ValueError(f"{target}: shard {number} names the file "
                             f"{shard['file']!r} outside the manifest's "
                             "directory")
        shard["path"] = f"{base}/{shard['file']}"
    return document
