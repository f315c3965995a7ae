"""A progress line for long fits: iterations and residual of the demeaning, on stderr.

Quiet for the first two seconds (most fits end before) and, unless asked, outside an
interactive terminal, so logs and notebooks stay clean.
"""

from __future__ import annotations

import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import TextIO


class _Line:
    def __init__(self, stream: TextIO, delay: float, every: float):
        self.stream, self.delay, self.every = stream, delay, every
        self.start = time.monotonic()
        self.next_at = self.start + delay
        self.width = 0

    def __call__(self, iteration: int, residual: float) -> None:
        now = time.monotonic()
        if now < self.next_at:
            return
        self.next_at = now + self.every
        text = (f"kestrel: absorbing fixed effects, iteration {iteration:,}, "
                f"residual {residual:.2e}, {now - self.start:.0f} s")
        self._write("\r" + text.ljust(self.width))
        self.width = len(text)

    def clear(self) -> None:
        if self.width:
            self._write("\r" + " " * self.width + "\r")

    def _write(self, text: str) -> None:
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError):  # a closed or broken stream is no reason to stop a fit
            self.width = 0


@contextmanager
def progress_line(setting: bool | None, stream: TextIO | None = None, delay: float = 2.0,
                  every: float = 0.25) -> Iterator[Callable[[int, float], None] | None]:
    """The engine's progress callback for ``feols(progress=setting)``: None (no callback,
    no cost) when off. ``setting`` None: on when ``stream`` is a terminal; True: always."""
    stream = stream if stream is not None else sys.stderr
    if setting is None:
        try:
            setting = stream.isatty()
        except (AttributeError, ValueError):
            setting = False
    if not setting:
        yield None
        return
    line = _Line(stream, delay, every)
    try:
        yield line
    finally:
        line.clear()
