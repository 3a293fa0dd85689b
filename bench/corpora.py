"""The corpora of the benchmark suite, each made from a Debian package.

Every corpus is a list of {"id", "title", "body"} dicts plus the language
code it is indexed with. Each is assembled once and cached as JSON in the
cache directory of ``corpus.py``; a package that cannot be installed raises
``PackageUnavailable`` with the reason, and the suite skips that corpus.

    english       python3.11-doc reST sources + linux-doc-6.1 Documentation/,
                  one document per file ("en")
    fortunes      every fortune of the fortunes package, one document each
    handbook-XX   debian-handbook in de, fr, es, ru, ja and zh-CN, one
                  document per HTML page, in that language's code
    cranfield     ../shared/corpora/cranfield, 1,400 abstracts, for quality
"""

from __future__ import annotations

import html
import json
import os
import re
from dataclasses import dataclass
from html.parser import HTMLParser
from pathlib import Path

from . import corpus
from .corpus import PackageUnavailable, install_packages, write_cache

FORTUNES = Path("/usr/share/games/fortunes")
HANDBOOK = Path("/usr/share/doc/debian-handbook/html")

def _find_cranfield() -> Path:
    """$VRIM_SHARED_DIR/corpora/cranfield, else ../shared beside the checkout
    (or beside the directory holding it, for worktrees)."""
    root = Path(__file__).resolve().parent.parent
    candidates = [root.parent / "shared", root.parent.parent / "shared"]
    if os.environ.get("VRIM_SHARED_DIR"):
        candidates.insert(0, Path(os.environ["VRIM_SHARED_DIR"]))
    for shared in candidates:
        if (shared / "corpora" / "cranfield").is_dir():
            return shared / "corpora" / "cranfield"
    return candidates[0] / "corpora" / "cranfield"


CRANFIELD = _find_cranfield()

# Handbook directory -> the language code Vrim indexes it with.
HANDBOOK_LANGUAGES = {"de": "de-DE", "fr": "fr-FR", "es": "es-ES", "ru": "ru-RU",
                      "ja": "ja-JP", "zh": "zh-CN"}


@dataclass
class Corpus:
    name: str
    language: str
    docs: list
    source: str

    @property
    def text_bytes(self) -> int:
        return corpus.text_bytes(self.docs)


def _cached(name: str, make) -> list:
    path = corpus.DATA_DIR / f"{name}.json"
    if path.exists():
        return json.loads(path.read_text(encoding="utf-8"))
    docs = make()
    write_cache(path, docs)
    return docs


def _fortunes() -> list:
    install_packages(("fortunes",), (FORTUNES / "fortunes",))
    docs = []
    for path in sorted(FORTUNES.iterdir()):
        if "." in path.name or path.is_symlink() or not path.is_file():
            continue
        text = path.read_text(encoding="utf-8", errors="replace")
        for i, fortune in enumerate(re.split(r"^%\n", text, flags=re.M)):
            if fortune.strip():
                docs.append({"id": f"{path.name}/{i}", "title": path.name, "body": fortune})
    return docs


_BLOCKS = {"p", "div", "br", "li", "dt", "dd", "td", "th", "tr", "pre", "table",
           "h1", "h2", "h3", "h4", "h5", "h6", "title"}


class _PageText(HTMLParser):
    """The title and the visible text of one handbook page."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.title = ""
        self.parts = []
        self._skip = 0
        self._in_title = False

    def handle_starttag(self, tag, attrs):
        if tag in ("script", "style", "head"):
            self._skip += 1
        if tag == "title":
            self._in_title = True
        if tag in _BLOCKS:
            self.parts.append("\n")

    def handle_endtag(self, tag):
        if tag in ("script", "style", "head"):
            self._skip = max(0, self._skip - 1)
        if tag == "title":
            self._in_title = False
        if tag in _BLOCKS:
            self.parts.append("\n")

    def handle_data(self, data):
        if self._in_title:
            self.title += data
        elif not self._skip:
            self.parts.append(data)


def _handbook(directory: str):
    def make() -> list:
        root = HANDBOOK / directory
        install_packages(("debian-handbook",), (root,))
        docs = []
        for path in sorted(root.glob("*.html")):
            page = _PageText()
            page.feed(path.read_text(encoding="utf-8", errors="replace"))
            body = re.sub(r"[ \t]*\n\s*", "\n", html.unescape("".join(page.parts))).strip()
            if body:
                docs.append({"id": path.stem, "title": page.title.strip(), "body": body})
        return docs
    return make


def _cranfield() -> list:
    source = CRANFIELD / "cran.all.1400"
    if not source.exists():
        raise PackageUnavailable(f"{CRANFIELD} is missing")
    docs = []
    for record in source.read_text(encoding="utf-8").split(".I ")[1:]:
        ref, _, rest = record.partition("\n")
        fields = dict(re.findall(r"^\.([TABW])\n(.*?)(?=^\.[TABW]\n|\Z)", rest, flags=re.M | re.S))
        docs.append({"id": ref.strip(), "title": fields.get("T", "").strip(),
                     "body": fields.get("W", "").strip()})
    return docs


def names() -> list:
    return ["english", "fortunes", *(f"handbook-{code}" for code in HANDBOOK_LANGUAGES),
            "cranfield"]


def load(name: str) -> Corpus:
    """The corpus called `name`; raises PackageUnavailable when it cannot be made."""
    if name == "english":
        corpus.install_packages(corpus.PACKAGES, (corpus.PYTHON_SOURCES, corpus.LINUX_SOURCES))
        return Corpus(name, "en", corpus.load_english_corpus(), "python3.11-doc + linux-doc-6.1")
    if name == "fortunes":
        return Corpus(name, "en", _cached(name, _fortunes), "fortunes")
    if name.startswith("handbook-") and name[9:] in HANDBOOK_LANGUAGES:
        code = name[9:]
        return Corpus(name, code, _cached(name, _handbook(HANDBOOK_LANGUAGES[code])),
                      f"debian-handbook {HANDBOOK_LANGUAGES[code]}")
    if name == "cranfield":
        return Corpus(name, "en", _cranfield(), "shared/corpora/cranfield")
    raise ValueError(f"unknown corpus {name!r}; choose from {', '.join(names())}")


def cranfield_judgments() -> tuple:
    """The 225 queries (numbered 1.. in file order) and {query: {doc id: gain}}.

    Gain is 5 - grade for grades 1 to 4; grade -1 (of no interest) is left out.
    """
    queries = []
    for record in (CRANFIELD / "cran.qry").read_text(encoding="utf-8").split(".I ")[1:]:
        queries.append(" ".join(record.partition(".W\n")[2].split()))
    gains: dict = {}
    for line in (CRANFIELD / "cranqrel").read_text(encoding="utf-8").split("\n"):
        parts = line.split()
        if len(parts) == 3 and 1 <= int(parts[2]) <= 4:
            gains.setdefault(int(parts[0]), {})[parts[1]] = 5 - int(parts[2])
    return queries, gains
