"""The writer lock: one writer at a time across processes and threads.

An exclusive lock on the collection's ``write.lock`` file, taken on a file
descriptor of its own (``flock`` on POSIX, ``msvcrt.locking`` on Windows),
so two writers in one process exclude each other as two processes do. The
operating system drops the lock when its holder dies, so a killed writer
never leaves the collection locked.
"""

from __future__ import annotations

import os
import time

try:
    import fcntl

    def _try_lock(fd: int) -> bool:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
        except BlockingIOError:
            return False

    def _unlock(fd: int) -> None:
        fcntl.flock(fd, fcntl.LOCK_UN)
except ImportError:  # Windows
    import msvcrt

    def _try_lock(fd: int) -> bool:
        try:
            msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)  # type: ignore[attr-defined]
            return True
        except OSError:
            return False

    def _unlock(fd: int) -> None:
        os.lseek(fd, 0, os.SEEK_SET)
        msvcrt.locking(fd, msvcrt.LK_UNLCK, 1)  # type: ignore[attr-defined]


class WriterBusy(TimeoutError):
    """Another writer held the collection for longer than the timeout."""


class WriteLock:
    """The lock on one collection; `acquire` waits up to `timeout` seconds
    (None: for ever) and raises `WriterBusy` after that."""

    def __init__(self, path: str) -> None:
        self.path = path
        self._fd: int | None = None

    def acquire(self, timeout: float | None) -> None:
        if timeout is not None and not timeout >= 0:
            raise ValueError(f"timeout must be a number >= 0 or None, got {timeout!r}")
        fd = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o666)
        deadline = None if timeout is None else time.monotonic() + timeout
        pause = 0.001
        try:
            while not _try_lock(fd):
                if deadline is not None and time.monotonic() >= deadline:
                    raise WriterBusy(
                        f"{os.path.dirname(self.path)}: another writer has held "
                        f"the collection for more than {timeout} s; try again "
                        "later or pass a longer timeout")
                time.sleep(pause if deadline is None
                           else max(0.0, min(pause, deadline - time.monotonic())))
                pause = min(pause * 2, 0.05)
        except BaseException:
            os.close(fd)
            raise
        self._fd = fd

    def release(self) -> None:
        fd, self._fd = self._fd, None
        if fd is not None:
            try:
                _unlock(fd)
            finally:
                os.close(fd)
