"""A commit's segment, built and written on a thread of its own while the
commit's transaction records the documents.

The file name is reserved first (an empty file), so the transaction can
name the segment from its start; the thread builds the index, writes the
file and syncs it; the commit waits for it (`result`) before it commits,
so the catalog still never names a file that is not whole and synced.
Building is native work that releases the interpreter, as do SQLite's
statements, so the two overlap.
"""

from __future__ import annotations

import threading

from _vrim import Index, IndexBuilder

from .segments import fill_file, remove_files, reserve_file


class SegmentBuild:
    """Builds `builder` (its documents added) into the new file `self.file`
    of the collection in `directory`."""

    def __init__(self, directory: str, builder: IndexBuilder) -> None:
        self._directory = directory
        self.file = reserve_file(directory)
        self._outcome: tuple[Index, str] | BaseException | None = None
        self._thread = threading.Thread(target=self._run, args=(builder,),
                                        name="vrim-segment-build")
        try:
            self._thread.start()
        except BaseException:
            remove_files(directory, [self.file])
            raise

    def _run(self, builder: IndexBuilder) -> None:
        try:
            index = builder.build()
            self._outcome = (index, fill_file(self._directory, self.file,
                                              index.to_bytes()))
        except BaseException as error:  # handed to the committing thread
            self._outcome = error

    def result(self) -> tuple[Index, str]:
        """(the index, the file's SHA-256) once written and synced; raises
        what building or writing raised."""
        self._thread.join()
        outcome = self._outcome
        if isinstance(outcome, BaseException):
            raise outcome
        assert outcome is not None
        return outcome

    def wait(self) -> None:
        """Wait for the thread to end, whatever its outcome."""
        self._thread.join()
