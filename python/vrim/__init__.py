"""Vrim: in-process full-text search with BM25 ranking.

The engine lives in the native module ``_vrim``; this package re-exports it
and adds what is written in Python: query escaping, highlighting and
snippets in the original text, saving and loading by path, pickling of
`Index` objects, ``ShardedIndex``, shards searched as one index, and
``Collection``, a persistent, updatable store searched exactly. The
command line (``vrim``, ``python -m vrim``) lives in
``vrim._cli`` and is imported only when it runs.
"""

from _vrim import *  # noqa: F401,F403
from _vrim import __version__  # noqa: F401

from ._helpers.escape import escape
from ._helpers.highlight import field_spans, highlight, snippet
from ._helpers.persist import load, save
from ._sharding.sharded_index import ShardedIndex

# `Collection` needs sqlite3 and json, so it is imported on first use and
# `import vrim` stays light. Type checkers see the import below.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._collection import Collection
else:
    def __getattr__(name: str) -> object:
        if name == "Collection":
            from ._collection import Collection
            globals()["Collection"] = Collection
            return Collection
        raise AttributeError(f"module 'vrim' has no attribute {name!r}")

# A literal list, as type checkers read it: the native module's names in its
# order (tests/python/test_module.py holds the two in step), then the package's.
# ``vrim.dask`` (the ``dask`` extra) is imported only on request.
__all__ = [
    "__version__", "IndexBuilder", "Index", "Result", "QueryStats", "DocSet",
    "Column", "QueryError", "FormatError", "languages", "tokenize", "normalize",
    "index_language", "merge",
    "escape", "field_spans", "highlight", "snippet", "save", "load",
    "ShardedIndex", "Collection",
]
