"""A file that writes behind its caller: writes are queued, a thread puts them on disk.

The recorder's MCAP writer hands its records here so that encoding the next
frame and the disk's slow moments overlap instead of adding up. The queue is
bounded in bytes; a writer that gets ahead of the disk by more waits for it.

Failure: the first error of the disk (``OSError`` of a full or failing disk)
is kept, the queued bytes are discarded, and every later ``write``, ``flush``
and ``drain`` raises it. No call waits for ever: waiting for room or for the
queue to drain gives up after ``timeout_s`` with ``TimeoutError``.
"""

from __future__ import annotations

import collections
import threading
import time
from typing import Any, Protocol

__all__ = ["DEFAULT_LIMIT_BYTES", "WriteBehindFile"]

# About ten large frames (640x480, raw and depth).
DEFAULT_LIMIT_BYTES = 64 * 1024 * 1024


class _Writable(Protocol):
    def write(self, data: Any, /) -> Any: ...


class WriteBehindFile:
    """Accepts ``write`` at once and writes to ``target`` on a thread of its own."""

    def __init__(
        self, target: _Writable, *, limit_bytes: int = DEFAULT_LIMIT_BYTES, timeout_s: float = 30.0
    ) -> None:
        self._target = target
        self._limit_bytes = max(1, limit_bytes)
        self._timeout_s = timeout_s
        self._condition = threading.Condition()  # guards everything below
        self._pending: collections.deque[bytes] = collections.deque()
        self._pending_bytes = 0
        self._writing = False
        self._position = 0
        self._error: BaseException | None = None
        self._closing = False
        self._thread = threading.Thread(target=self._run, name="quorvan-write-behind", daemon=True)
        self._thread.start()

    @property
    def error(self) -> BaseException | None:
        return self._error

    def _raise_if_failed(self) -> None:
        if self._error is not None:
            raise self._error

    def _wait(self, ready: Any, what: str) -> None:
        # Called with the condition held.
        deadline = time.monotonic() + self._timeout_s
        while not ready():
            self._raise_if_failed()
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(f"the disk took more than {self._timeout_s:g} s to {what}")
            self._condition.wait(remaining)
        self._raise_if_failed()

    def write(self, data: Any) -> int:
        chunk = bytes(data)
        with self._condition:
            if self._closing:
                raise ValueError("write to a closed file")
            self._wait(lambda: self._pending_bytes < self._limit_bytes, "take the data")
            self._pending.append(chunk)
            self._pending_bytes += len(chunk)
            self._position += len(chunk)
            self._condition.notify_all()
        return len(chunk)

    def tell(self) -> int:
        return self._position

    def drain(self) -> None:
        """Waits until everything written so far is on the target (bounded; raises its error)."""
        with self._condition:
            self._wait(lambda: not self._pending and not self._writing, "write the queued data")

    def flush(self) -> None:
        self.drain()
        flush = getattr(self._target, "flush", None)
        if flush is not None:
            flush()

    def close(self, wait: bool = True) -> None:
        """Ends the thread once the queue is written (``wait``: for up to the timeout);
        does not close the target."""
        with self._condition:
            self._closing = True
            self._condition.notify_all()
        if wait:
            self._thread.join(self._timeout_s)

    def _run(self) -> None:
        while True:
            with self._condition:
                while not self._pending and not self._closing:
                    self._condition.wait()
                if not self._pending:
                    return
                chunk = self._pending.popleft()
                self._writing = True
            try:
                self._target.write(chunk)
            except BaseException as error:  # reported by the next call
                with self._condition:
                    self._error = error
                    self._pending.clear()
                    self._pending_bytes = 0
                    self._writing = False
                    self._condition.notify_all()
                return
            with self._condition:
                self._pending_bytes -= len(chunk)
                self._writing = False
                self._condition.notify_all()
