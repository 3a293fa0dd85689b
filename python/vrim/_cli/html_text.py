"""The title and the text for people of an HTML page, with the standard
library's `html.parser`.

Left out: scripts, styles and other non-text elements, and the parts of a
page that are there to move around the site rather than to read: `<nav>`,
`<aside>`, footers, and elements whose role or class says
navigation (`role="navigation"`, sidebars, breadcrumbs, "related" bars).
The title is the first `<h1>` of what is left, else its first heading,
else the `<title>`.
"""

from __future__ import annotations

from html.parser import HTMLParser

# Elements whose content is never text, and elements that frame a page.
_NOT_TEXT = {"script", "style", "template", "noscript", "svg", "math", "object",
             "iframe", "select", "button"}
_FRAME = {"nav", "aside", "footer"}
_FRAME_ROLES = {"navigation", "banner", "contentinfo", "search", "menu", "menubar"}
# Class names or ids of navigation containers (whole names: "wy-grid-for-nav"
# wraps a whole page), and of the anchors that follow headings ("¶").
_FRAME_WORDS = {"nav", "navbar", "navigation", "sidebar", "sphinxsidebar",
                "breadcrumb", "breadcrumbs", "related", "menu", "footer",
                "toc", "skip", "navrow1", "navrow2", "headerlink", "wy-breadcrumbs"}
_BLOCKS = {"p", "div", "br", "li", "tr", "td", "th", "h1", "h2", "h3", "h4", "h5",
           "h6", "pre", "blockquote", "section", "article", "table", "ul", "ol",
           "dl", "dt", "dd", "hr", "title", "main", "figure", "figcaption", "form",
           "label", "caption"}
_HEADINGS = {"h1", "h2", "h3", "h4", "h5", "h6"}



def _is_frame(tag: str, attrs: list[tuple[str, str | None]]) -> bool:
    if tag in _NOT_TEXT or tag in _FRAME:
        return True
    values = dict(attrs)
    if (values.get("role") or "").lower() in _FRAME_ROLES:
        return True
    if "hidden" in values or (values.get("aria-hidden") or "").lower() == "true":
        return True
    words = set(f"{values.get('class') or ''} {values.get('id') or ''}".lower().split())
    return bool(words & _FRAME_WORDS)


class _Extractor(HTMLParser):
    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.parts: list[str] = []
        # The element being left out, and how deep the same tag nests in it.
        self.skipping: tuple[str, int] | None = None
        self.heading: tuple[str, list[str]] | None = None
        self.headings: dict[str, str] = {}  # the first of each level
        self.in_title = False
        self.title_parts: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        if self.skipping is not None:
            if tag == self.skipping[0]:
                self.skipping = (tag, self.skipping[1] + 1)
            return
        if tag == "title":
            self.in_title = True
        elif _is_frame(tag, attrs):
            self.skipping = (tag, 0)
            return
        if tag in _HEADINGS and self.heading is None:
            self.heading = (tag, [])
        if tag in _BLOCKS:
            self.parts.append("\n")

    def handle_startendtag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        if self.skipping is None and tag in _BLOCKS:
            self.parts.append("\n")

    def handle_endtag(self, tag: str) -> None:
        if self.skipping is not None:
            name, depth = self.skipping
            if tag == name:
                self.skipping = (name, depth - 1) if depth else None
            return
        if tag == "title":
            self.in_title = False
        if self.heading is not None and tag == self.heading[0]:
            text = " ".join("".join(self.heading[1]).split()).rstrip(" ¶#")
            if text:
                self.headings.setdefault(tag, text)
            self.heading = None
        if tag in _BLOCKS:
            self.parts.append("\n")

    def handle_data(self, data: str) -> None:
        if self.in_title:
            self.title_parts.append(data)
            return
        if self.skipping is not None:
            return
        if self.heading is not None:
            self.heading[1].append(data)
        self.parts.append(data)

    def title(self) -> str | None:
        for level in ("h1", "h2", "h3", "h4", "h5", "h6"):
            if level in self.headings:
                return self.headings[level]
        return " ".join("".join(self.title_parts).split()) or None


def html_to_text(html: str) -> tuple[str | None, str]:
    """The title and the visible text of a page, one line per block, blank
    runs collapsed."""
    parser = _Extractor()
    parser.feed(html)
    parser.close()
    lines = (" ".join(line.split()) for line in "".join(parser.parts).splitlines())
    return parser.title(), "\n".join(line for line in lines if line)
