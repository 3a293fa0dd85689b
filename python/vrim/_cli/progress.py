"""Progress on stderr: a live line on a terminal, one final line otherwise."""

from __future__ import annotations

import sys
import time
from typing import TextIO


def _mb(size: int) -> str:
    return f"{size / 1e6:.1f} MB"


class Progress:
    """Counts files, bytes and documents read; redraws at most ten times a
    second when the stream is a terminal."""

    def __init__(self, stream: TextIO | None = None, quiet: bool = False) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.quiet = quiet
        self.live = not quiet and self.stream.isatty()
        self.files = 0
        self.bytes = 0
        self.documents = 0
        self.started = time.monotonic()
        self._drawn = 0.0
        self._width = 0

    def rate(self) -> float:
        elapsed = max(time.monotonic() - self.started, 1e-9)
        return self.documents / elapsed

    def read(self, files: int = 0, size: int = 0, documents: int = 0) -> None:
        self.files += files
        self.bytes += size
        self.documents += documents
        now = time.monotonic()
        if self.live and now - self._drawn >= 0.1:
            self._drawn = now
            self.status(f"reading: {self.files:,} files, {_mb(self.bytes)}, "
                        f"{self.documents:,} documents ({self.rate():,.0f}/s)")

    def status(self, text: str) -> None:
        if self.live:
            pad = " " * max(0, self._width - len(text))
            self.stream.write("\r" + text + pad)
            self.stream.flush()
            self._width = len(text)

    def clear(self) -> None:
        """Removes the live line, leaving the cursor at the start of it."""
        if self.live and self._width:
            self.stream.write("\r" + " " * self._width + "\r")
            self.stream.flush()
            self._width = 0

    def done(self, text: str) -> None:
        """Replaces the live line (if any) by the final summary line."""
        if self.quiet:
            return
        self.clear()
        self.stream.write(text + "\n")
        self.stream.flush()

    def summary(self) -> str:
        elapsed = time.monotonic() - self.started
        return (f"{self.documents:,} documents from {self.files:,} files "
                f"({_mb(self.bytes)}) in {elapsed:.2f} s, "
                f"{self.rate():,.0f} documents/s")
