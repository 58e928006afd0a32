"""One progress line on standard error for the command-line tools."""

from __future__ import annotations

import sys
import time
from typing import TextIO

__all__ = ["Progress"]

_BAR_WIDTH = 30
# Redrawing more often than this only costs time the frame loop needs.
_REDRAW_INTERVAL_S = 0.1


class Progress:
    """A bar over ``total`` frames, or over ``seconds`` when no frame count is
    known; ``update(count)`` redraws it at most ten times a second."""

    def __init__(
        self,
        *,
        total: int | None = None,
        seconds: float | None = None,
        unit: str = "frames",
        stream: TextIO = sys.stderr,
    ) -> None:
        self._total = total
        self._seconds = seconds
        self._unit = unit
        self._stream = stream
        self._started = time.monotonic()
        self._drawn_at = 0.0
        self._count = 0

    def update(self, count: int) -> None:
        self._count = count
        now = time.monotonic()
        if now - self._drawn_at >= _REDRAW_INTERVAL_S:
            self._drawn_at = now
            self._draw(now)

    def finish(self) -> None:
        """Draws the final state and ends the line."""
        self._draw(time.monotonic())
        self._stream.write("\n")
        self._stream.flush()

    def _draw(self, now: float) -> None:
        elapsed = now - self._started
        if self._total:
            done = self._count / self._total
            detail = f"{self._count}/{self._total} {self._unit}"
        elif self._seconds:
            done = elapsed / self._seconds
            shown = min(elapsed, self._seconds)
            detail = f"{shown:.1f}/{self._seconds:.1f} s, {self._count} {self._unit}"
        else:
            done = 0.0
            detail = f"{self._count} {self._unit}"
        bar = "#" * int(min(max(done, 0.0), 1.0) * _BAR_WIDTH)
        self._stream.write(f"\r[{bar:<{_BAR_WIDTH}}] {detail}")
        self._stream.flush()
