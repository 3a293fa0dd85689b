"""Warnings of a build: each on its own line on stderr up to a few, then
only counted; entries skipped are counted for the summary line. With
`strict`, the first entry that would be skipped stops the build instead."""

from __future__ import annotations

import sys
from typing import TextIO

from .errors import CliError
from .progress import Progress

SHOWN = 10


class Report:
    def __init__(self, progress: Progress, strict: bool = False,
                 stream: TextIO | None = None, shown: int = SHOWN) -> None:
        self.progress = progress
        self.strict = strict
        self.stream = stream if stream is not None else sys.stderr
        self.shown = shown
        self.skipped = 0
        self.warnings = 0
        self._hints: set[str] = set()

    def skip(self, where: str, reason: str) -> None:
        """An entry left out: a file, a directory or a line."""
        if self.strict:
            raise CliError(f"{where}: {reason}")
        self.skipped += 1
        self.warn(f"{where}: skipped: {reason}")

    def warn(self, text: str) -> None:
        self.warnings += 1
        if self.warnings <= self.shown:
            self._print(f"vrim: warning: {text}")

    def hint(self, text: str) -> None:
        """Said once per build, however often it applies."""
        if text not in self._hints:
            self._hints.add(text)
            self._print(f"vrim: hint: {text}")

    def close(self) -> None:
        unlisted = self.warnings - self.shown
        if unlisted > 0:
            self._print(f"vrim: warning: {unlisted:,} more warnings not listed "
                        f"({self.skipped:,} entries skipped in all)")

    def _print(self, line: str) -> None:
        self.progress.clear()
        print(line, file=self.stream)
