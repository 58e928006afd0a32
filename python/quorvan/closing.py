"""Closes what an application left open when the interpreter exits.

Objects of this package own threads that call into native code (Zenoh
sessions, camera readers, the playback feeder). Left running while Python
finalises, such a thread can wait for ever on the interpreter lock, or a
native callback can wait for a thread that no longer runs, and the process
never ends. Every such object registers here when it starts; at exit the ones
still open are closed, the newest first, so that a sink goes before the camera
it reads. An object closed by its owner simply drops out (weak references).
"""

from __future__ import annotations

import atexit
import itertools
import logging
import threading
import weakref
from typing import Protocol

_log = logging.getLogger(__name__)


class Closeable(Protocol):
    def close(self) -> object: ...


_lock = threading.Lock()  # guards _open
_open: dict[int, weakref.ref[Closeable]] = {}
_numbers = itertools.count()


def close_at_exit(owner: Closeable) -> int:
    """Registers ``owner`` to be closed at interpreter exit; the number forgets it again."""
    number = next(_numbers)
    with _lock:
        _open[number] = weakref.ref(owner)
    return number


def forget(number: int) -> None:
    """``owner`` of ``number`` was closed by its owner: nothing to do at exit."""
    with _lock:
        _open.pop(number, None)


def close_all() -> None:
    """Closes every registered object still alive, newest first."""
    with _lock:
        owners = [_open.pop(number) for number in sorted(_open, reverse=True)]
    for reference in owners:
        owner = reference()
        if owner is None:
            continue
        try:
            owner.close()
        except Exception:  # noqa: BLE001 - exit goes on whatever one object says
            _log.exception("closing %s at exit failed", type(owner).__name__)


atexit.register(close_all)


__all__ = [
    "Closeable",
    "close_all",
    "close_at_exit",
    "forget",
]
