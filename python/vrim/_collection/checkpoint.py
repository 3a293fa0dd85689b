"""Checkpoints of the catalog's write-ahead log, off the commit's path.

A commit appends the pages it changed to the write-ahead log and syncs the
log: from then on it is durable. Copying those pages back into the
database file (a checkpoint) and syncing that file is maintenance, which
SQLite would otherwise do inside the commit that crosses its threshold:
for a batch of random documents in a large collection, that copy costs more
than the rest of the commit. So writers turn SQLite's automatic
checkpoints off and the writing collection runs them on a thread of its
own after each commit, while the caller goes on. A checkpoint interrupted
by a crash is harmless (the log still holds every page), and one that
cannot copy pages a reader still needs copies the rest and leaves them to
the next.
"""

from __future__ import annotations

import sqlite3
import threading

from . import catalog


class Checkpointer:
    """One background checkpoint at a time for the catalog in `directory`;
    a request made while one runs makes it run once more at its end."""

    def __init__(self, directory: str) -> None:
        self._directory = directory
        self._mutex = threading.Lock()
        self._thread: threading.Thread | None = None
        self._again = False

    def request(self) -> None:
        """Checkpoint soon, on the checkpoint thread."""
        with self._mutex:
            if self._thread is not None:
                self._again = True
                return
            # Not a daemon: an exiting interpreter finishes the checkpoint.
            self._thread = threading.Thread(target=self._run,
                                            name="vrim-checkpoint")
            self._thread.start()

    def wait(self) -> None:
        """Return once no checkpoint is running or asked for."""
        with self._mutex:
            thread = self._thread
        if thread is not None:
            thread.join()

    def _run(self) -> None:
        while True:
            try:
                connection = catalog.connect(self._directory, readonly=False,
                                             timeout=0)
                try:
                    connection.execute("PRAGMA wal_checkpoint(PASSIVE)")
                finally:
                    connection.close()
            except sqlite3.Error:
                pass  # busy or gone: the next commit asks again
            with self._mutex:
                if not self._again:
                    self._thread = None
                    return
                self._again = False
