"""Vrim: in-process full-text search with BM25 ranking.

Everything lives in the native module ``_vrim``; this package re-exports it.
"""

from _vrim import *  # noqa: F401,F403
from _vrim import __all__, __version__  # noqa: F401
