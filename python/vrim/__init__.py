"""Vrim: in-process full-text search with BM25 ranking.

The engine lives in the native module ``_vrim``; this package re-exports it
and adds what is written in Python: query escaping, highlighting and
snippets in the original text, saving and loading by path, and pickling of
`Index` objects. The command line (``vrim``, ``python -m vrim``) lives in
``vrim._cli`` and is imported only when it runs.
"""

from _vrim import *  # noqa: F401,F403
from _vrim import __all__ as _native_all
from _vrim import __version__  # noqa: F401

from ._escape import escape
from ._highlight import field_spans, highlight, snippet
from ._persist import load, save

__all__ = [*_native_all, "escape", "field_spans", "highlight", "snippet",
           "save", "load"]
