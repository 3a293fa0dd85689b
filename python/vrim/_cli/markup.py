"""Titles and text out of Markdown, reStructuredText, plain text and HTML,
with the standard library only."""

from __future__ import annotations

import re
from html.parser import HTMLParser

_FRONT_MATTER = re.compile(r"\A---[ \t]*\n(.*?\n)(?:---|\.\.\.)[ \t]*(?:\n|\Z)", re.DOTALL)
_FRONT_TITLE = re.compile(r"""^title:[ \t]*(["']?)(.+?)\1[ \t]*$""", re.MULTILINE)
_ATX = re.compile(r"^ {0,3}#{1,6}[ \t]+(.+?)(?:[ \t]+#+)?[ \t]*$")
_SETEXT = re.compile(r"^ {0,3}(=+|-+)[ \t]*$")
_FENCE = re.compile(r"^ {0,3}(```|~~~)")
_RST_ADORNMENT = re.compile(r"""^([!-/:-@\[-`{-~])\1+[ \t]*$""")


def markdown_title(text: str) -> tuple[str | None, str]:
    """The first heading (ATX or setext; a front-matter `title:` wins) and
    the text without its front matter."""
    front = _FRONT_MATTER.match(text)
    if front:
        text = text[front.end():]
        declared = _FRONT_TITLE.search(front.group(1))
        if declared:
            return declared.group(2).strip(), text
    lines = text.splitlines()
    fenced = False
    for i, line in enumerate(lines):
        if _FENCE.match(line):
            fenced = not fenced
        if fenced:
            continue
        atx = _ATX.match(line)
        if atx:
            return atx.group(1).strip(), text
        if (line.strip() and i + 1 < len(lines) and _SETEXT.match(lines[i + 1])
                and not line.startswith(("    ", "\t"))):
            return line.strip(), text
    return None, text


def rst_title(text: str) -> str | None:
    """The first section title: a line underlined by a repeated punctuation
    character at least as long as the title."""
    lines = text.splitlines()
    for i in range(len(lines) - 1):
        title = lines[i].strip()
        if (title and not _RST_ADORNMENT.match(lines[i]) and not lines[i][0].isspace()
                and _RST_ADORNMENT.match(lines[i + 1])
                and len(lines[i + 1].rstrip()) >= len(title)):
            return title
    return None


def text_title(text: str) -> str | None:
    """Plain text has no headings: its first non-empty line stands in."""
    for line in text.splitlines():
        if line.strip():
            return line.strip()[:200]
    return None


# Elements whose content is never text, and elements that break lines.
_DROPPED = {"script", "style", "template", "noscript", "svg"}
_BLOCKS = {"p", "div", "br", "li", "tr", "td", "th", "h1", "h2", "h3", "h4", "h5",
           "h6", "pre", "blockquote", "section", "article", "header", "footer",
           "nav", "table", "ul", "ol", "dl", "dt", "dd", "hr", "title", "main",
           "aside", "figure", "figcaption", "form", "label"}
_HEADINGS = {"h1", "h2", "h3", "h4", "h5", "h6"}
class _TextExtractor(HTMLParser):
    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.parts: list[str] = []
        self.dropped = 0  # depth inside elements whose text is dropped
        self.heading: list[str] | None = None
        self.first_heading: str | None = None
        self.in_title = False
        self.title_parts: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        if tag in _DROPPED:
            self.dropped += 1
        if tag == "title":
            self.in_title = True
        if tag in _HEADINGS and self.first_heading is None and not self.dropped:
            self.heading = []
        if tag in _BLOCKS:
            self.parts.append("\n")

    def handle_endtag(self, tag: str) -> None:
        if tag in _DROPPED and self.dropped:
            self.dropped -= 1
        if tag == "title":
            self.in_title = False
        if tag in _HEADINGS and self.heading is not None:
            self.first_heading = " ".join("".join(self.heading).split()) or None
            self.heading = None
        if tag in _BLOCKS:
            self.parts.append("\n")

    def handle_data(self, data: str) -> None:
        if self.in_title:
            self.title_parts.append(data)
            return
        if self.dropped:
            return
        if self.heading is not None:
            self.heading.append(data)
        self.parts.append(data)


def html_to_text(html: str) -> tuple[str | None, str]:
    """The first heading (else the <title>) and the visible text of a page,
    scripts and styles dropped, one line per block, blank runs collapsed."""
    parser = _TextExtractor()
    parser.feed(html)
    parser.close()
    lines = (" ".join(line.split()) for line in "".join(parser.parts).splitlines())
    body = "\n".join(line for line in lines if line)
    title = parser.first_heading or " ".join("".join(parser.title_parts).split()) or None
    return title, body
