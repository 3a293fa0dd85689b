"""A real English benchmark corpus: Debian's documentation sources.

One document per file, from the reStructuredText sources shipped in
``python3.11-doc`` and the ``Documentation/`` tree of ``linux-doc-6.1``
(about 40 MB of text). Each document is a dict with ``id`` (the file's path
below its package root), ``title`` (its first section heading, else the file
name) and ``body`` (the whole file).

    from corpus import load_english_corpus
    docs = load_english_corpus()

The packages are installed with apt-get when missing; the assembled corpus
is cached in ``english.json`` under the benchmark cache directory
(``$VRIM_BENCH_CACHE``, by default ``~/.cache/vrim-bench``), so later loads
are one JSON read. Run as a script to (re)build the cache and print its size;
``--dump PATH`` also writes the corpus for native drivers as a sequence of
records, each three strings (id, title, body), each a little-endian u32
byte length followed by its UTF-8 bytes.
"""

from __future__ import annotations

import argparse
import gzip
import json
import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

DATA_DIR = Path(os.environ.get("VRIM_BENCH_CACHE") or Path.home() / ".cache" / "vrim-bench")
CACHE = DATA_DIR / "english.json"

PACKAGES = ("python3.11-doc", "linux-doc-6.1")
PYTHON_SOURCES = Path("/usr/share/doc/python3.11/html/_sources")
LINUX_SOURCES = Path("/usr/share/doc/linux-doc-6.1/Documentation")

# reST section adornment characters.
_ADORNMENT = set("=-`:'\"~^_*+#<>.")


class PackageUnavailable(RuntimeError):
    """A Debian package a corpus is made from could not be installed."""


def install_packages(packages, probes) -> None:
    """Installs `packages` with apt-get unless every path in `probes` exists.

    Raises PackageUnavailable, saying what to install by hand, when apt-get
    is missing or fails.
    """
    if all(Path(p).exists() for p in probes):
        return
    names = " ".join(packages)
    if shutil.which("apt-get") is None:
        raise PackageUnavailable(f"needs apt-get to install {names}")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    cmd = ["apt-get", "install", "-y", "-qq", "--no-install-recommends", *packages]
    if subprocess.run(cmd, env=env, capture_output=True).returncode != 0:
        subprocess.run(["apt-get", "update", "-qq"], env=env, capture_output=True)
        done = subprocess.run(cmd, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            reason = (done.stderr.strip().splitlines() or ["apt-get failed"])[-1]
            raise PackageUnavailable(f"could not install {names} ({reason}); install it as root")
    missing = [str(p) for p in probes if not Path(p).exists()]
    if missing:
        raise PackageUnavailable(f"{names} installed but {missing[0]} is missing")


def ensure_packages() -> None:
    """Installs the documentation packages when their files are missing."""
    try:
        install_packages(PACKAGES, (PYTHON_SOURCES, LINUX_SOURCES))
    except PackageUnavailable as e:
        sys.exit(f"corpus: {e}")


def _is_adornment(line: str) -> bool:
    s = line.rstrip()
    return len(s) >= 3 and s[0] in _ADORNMENT and s == s[0] * len(s)


def title_of(text: str, fallback: str) -> str:
    """The first reST section title of `text`, else `fallback`."""
    lines = text.splitlines()
    for i in range(len(lines) - 1):
        line = lines[i].strip()
        if not line or _is_adornment(line):
            continue
        if _is_adornment(lines[i + 1]) and len(lines[i + 1].rstrip()) >= len(line):
            return line
    return fallback


def _documents():
    for path in sorted(PYTHON_SOURCES.rglob("*.rst.txt")):
        text = path.read_text(encoding="utf-8", errors="replace")
        ref = "python/" + path.relative_to(PYTHON_SOURCES).as_posix()[: -len(".rst.txt")]
        yield ref, text
    for path in sorted(LINUX_SOURCES.rglob("*.gz")):
        name = path.name[: -len(".gz")]
        if not (name.endswith(".rst") or name.endswith(".txt")):
            continue
        with gzip.open(path, "rb") as f:
            text = f.read().decode("utf-8", errors="replace")
        ref = "linux/" + path.relative_to(LINUX_SOURCES).as_posix()[: -len(".gz")]
        yield ref, text


def write_cache(path: Path, docs: list[dict]) -> None:
    """Writes `docs` as JSON atomically (a temporary file, then a rename)."""
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp")
    tmp.write_text(json.dumps(docs, ensure_ascii=False), encoding="utf-8")
    tmp.replace(path)


def build_cache() -> list[dict]:
    ensure_packages()
    docs = []
    for ref, text in _documents():
        if not text.strip():
            continue
        stem = ref.rsplit("/", 1)[-1].split(".", 1)[0]
        docs.append({"id": ref, "title": title_of(text, stem), "body": text})
    write_cache(CACHE, docs)
    return docs


def load_english_corpus() -> list[dict]:
    """The corpus as a list of {"id", "title", "body"} dicts."""
    if CACHE.exists():
        return json.loads(CACHE.read_text(encoding="utf-8"))
    return build_cache()


def text_bytes(docs: list[dict]) -> int:
    """UTF-8 size of all indexed text (titles and bodies)."""
    return sum(len(d["title"].encode()) + len(d["body"].encode()) for d in docs)


def dump(docs: list[dict], path: Path) -> None:
    with open(path, "wb") as f:
        for d in docs:
            for key in ("id", "title", "body"):
                b = d[key].encode("utf-8")
                f.write(struct.pack("<I", len(b)))
                f.write(b)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rebuild", action="store_true", help="rebuild the cache")
    parser.add_argument("--dump", type=Path, help="write the native record file")
    args = parser.parse_args()
    docs = build_cache() if args.rebuild else load_english_corpus()
    print(f"{len(docs)} documents, {text_bytes(docs) / 1e6:.1f} MB of text")
    if args.dump:
        dump(docs, args.dump)
        print(f"wrote {args.dump}")


if __name__ == "__main__":
    main()
