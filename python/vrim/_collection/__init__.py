"""Collections: documents kept in a SQLite catalog and indexed in segment
files, changed in committed batches and searched exactly as one index."""

from .collection import Collection
from .lock import WriterBusy
from .merge_policy import TieredMergePolicy
from .page import Hit, Page
from .writer import Writer

__all__ = ["Collection", "Hit", "Page", "TieredMergePolicy", "Writer", "WriterBusy"]
