"""Titles and text for people out of HTML, Markdown, reStructuredText and
plain text files.

HTML is read with the standard library's parser; Markdown with
markdown-it-py (rendered, then read as HTML) and reStructuredText with
docutils, the optional `cli` extra. Without one of those a file of its kind
is read as plain text: the first heading found by its underline or `#`
marks, the text as it is. `missing_parsers()` names the packages absent.
"""

from __future__ import annotations

import importlib
import io
import re
from typing import Any

from .html_text import html_to_text

_FRONT_MATTER = re.compile(r"\A---[ \t]*\n(.*?\n)(?:---|\.\.\.)[ \t]*(?:\n|\Z)", re.DOTALL)
_FRONT_TITLE = re.compile(r"""^title:[ \t]*(["']?)(.+?)\1[ \t]*$""", re.MULTILINE)
_ATX = re.compile(r"^ {0,3}#{1,6}[ \t]+(.+?)(?:[ \t]+#+)?[ \t]*$")
_SETEXT = re.compile(r"^ {0,3}(=+|-+)[ \t]*$")
_FENCE = re.compile(r"^ {0,3}(```|~~~)")
_RST_ADORNMENT = re.compile(r"""^([!-/:-@\[-`{-~])\1+[ \t]*$""")
# What a role left unresolved (`:mod:`os``, `:py:func:`x``) shows of itself.
_ROLE = re.compile(r":[\w.+:-]+:`([^`]*)`|`([^`]*)`:[\w.+:-]+:")
_ROLE_TARGET = re.compile(r"^(?:~|!)?(.*?)(?:\s*<[^>]*>)?$", re.DOTALL)

PARSERS = {"markdown": "markdown_it", "rst": "docutils"}
PACKAGES = {"markdown": "markdown-it-py", "rst": "docutils"}


_MODULES: dict[str, Any] = {}


def _module(name: str) -> Any:
    """The module, or None when it cannot be imported; tried once."""
    if name not in _MODULES:
        try:
            _MODULES[name] = importlib.import_module(name)
        except ImportError:
            _MODULES[name] = None
    return _MODULES[name]


def missing_parsers() -> list[str]:
    """The kinds ("markdown", "rst") whose parser is not installed."""
    return [kind for kind, module in PARSERS.items() if _module(module) is None]


def read_markup(text: str, kind: str) -> tuple[str | None, str]:
    """(title, body) of a file's text; `kind` is "html", "markdown", "rst"
    or "text"."""
    if kind == "html":
        return html_to_text(text)
    if kind == "markdown":
        return markdown_text(text)
    if kind == "rst":
        return rst_text(text)
    return text_title(text), text


# ------------------------------------------------------------- Markdown

def markdown_text(text: str) -> tuple[str | None, str]:
    """The first heading (a front-matter `title:` wins) and the rendered
    text, front matter left out."""
    front = _FRONT_MATTER.match(text)
    declared = None
    if front:
        text = text[front.end():]
        match = _FRONT_TITLE.search(front.group(1))
        declared = match.group(2).strip() if match else None
    module = _module("markdown_it")
    if module is None:
        return declared or markdown_title(text), text
    # Raw HTML passes through to the HTML reader, which keeps only its text.
    html = module.MarkdownIt("commonmark", {"html": True}).enable("table").render(text)
    title, body = html_to_text(html)
    return declared or title, body


def markdown_title(text: str) -> str | None:
    """Without a parser: the first ATX or setext heading outside fences."""
    lines = text.splitlines()
    fenced = False
    for i, line in enumerate(lines):
        if _FENCE.match(line):
            fenced = not fenced
        if fenced:
            continue
        atx = _ATX.match(line)
        if atx:
            return atx.group(1).strip()
        if (line.strip() and i + 1 < len(lines) and _SETEXT.match(lines[i + 1])
                and not line.startswith(("    ", "\t"))):
            return line.strip()
    return None


# ---------------------------------------------------- reStructuredText

_RST_SETTINGS = {
    "report_level": 5, "halt_level": 5, "warning_stream": io.StringIO(),
    "file_insertion_enabled": False, "raw_enabled": False, "input_encoding": "unicode",
    "_disable_config": True, "syntax_highlight": "none", "character_level_inline_markup": False,
}


def rst_text(text: str) -> tuple[str | None, str]:
    """The document title (or first section title) and the text, with
    directives the reader does not know, comments and substitution
    definitions left out and unknown roles reduced to their text."""
    core, nodes = _module("docutils.core"), _module("docutils.nodes")
    if core is None or nodes is None:
        return rst_title(text), text
    try:
        tree = core.publish_doctree(text, settings_overrides=dict(
            _RST_SETTINGS, warning_stream=io.StringIO()))
    except Exception:  # a reader fault on odd input: keep the text as it is
        return rst_title(text), text
    for kind in (nodes.system_message, nodes.comment, nodes.substitution_definition):
        for node in list(_findall(tree, kind)):
            node.parent.remove(node)
    title_node = next(iter(_findall(tree, nodes.title)), None)
    title = " ".join(title_node.astext().split()) if title_node is not None else None
    lines = (_ROLE.sub(_role_text, line).rstrip() for line in tree.astext().splitlines())
    body = re.sub(r"\n{3,}", "\n\n", "\n".join(lines)).strip()
    return title and _ROLE.sub(_role_text, title), body


def _findall(tree: Any, kind: type) -> Any:
    finder = getattr(tree, "findall", None) or tree.traverse
    return finder(kind)


def _role_text(match: re.Match[str]) -> str:
    target = match.group(1) if match.group(1) is not None else match.group(2)
    shown = _ROLE_TARGET.match(target)
    return shown.group(1) if shown and shown.group(1) else target


def rst_title(text: str) -> str | None:
    """Without a parser: the first line underlined by a repeated punctuation
    character at least as long as it."""
    lines = text.splitlines()
    for i in range(len(lines) - 1):
        title = lines[i].strip()
        if (title and not _RST_ADORNMENT.match(lines[i]) and not lines[i][0].isspace()
                and _RST_ADORNMENT.match(lines[i + 1])
                and len(lines[i + 1].rstrip()) >= len(title)):
            return title
    return None


# ----------------------------------------------------------- plain text

def text_title(text: str) -> str | None:
    """Plain text has no headings: its first line of words stands in."""
    for line in text.splitlines():
        stripped = line.strip()
        if stripped and not _RST_ADORNMENT.match(stripped):
            return stripped[:200]
    return None
