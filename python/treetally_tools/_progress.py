# A progress bar on standard error for work that runs longer than a couple of seconds: tqdm's
# when the progress extra is installed, else one line rewritten in place.
"""Progress reports for long tables."""

from __future__ import annotations

import sys
import time
from typing import Any, Optional, TextIO

from ._extras import available, require

DELAY_SECONDS = 2.0
_REDRAW_SECONDS = 0.5


def _duration(seconds: float) -> str:
    seconds = int(seconds)
    return f"{seconds // 3600}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"


class Progress:
    """Counts finished units of `total`; shows nothing before DELAY_SECONDS have passed, and
    nothing at all when disabled (by default, when standard error is not a terminal)."""

    def __init__(self, total: int, unit: str, enabled: Optional[bool] = None, stream: Optional[TextIO] = None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = self.stream.isatty() if enabled is None else enabled
        self.total = total
        self.unit = unit
        self.done = 0
        self.started = time.monotonic()
        self.drawn_at = 0.0
        self.bar: Any = None
        if self.enabled and available("tqdm"):
            self.bar = require("tqdm", "progress").tqdm(
                total=total, unit=f" {unit}", unit_scale=True, delay=DELAY_SECONDS, file=self.stream, leave=False
            )

    def advance(self, units: int) -> None:
        self.done += units
        if not self.enabled:
            return
        if self.bar is not None:
            self.bar.update(units)
            return
        now = time.monotonic()
        if now - self.started >= DELAY_SECONDS and now - self.drawn_at >= _REDRAW_SECONDS:
            self.drawn_at = now
            self.stream.write("\r" + self.line(now - self.started))
            self.stream.flush()

    def line(self, elapsed: float) -> str:
        """The progress as one line: done, share, rate and time left."""
        rate = self.done / elapsed if elapsed > 0 else 0.0
        left = (self.total - self.done) / rate if rate > 0 else 0.0
        share = self.done / self.total if self.total else 1.0
        return (
            f"{self.done:,}/{self.total:,} {self.unit} ({share:.0%}), {rate:,.0f}/s, "
            f"{_duration(elapsed)} elapsed, {_duration(left)} left "
        )

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.drawn_at:
            self.stream.write("\r" + " " * len(self.line(time.monotonic() - self.started)) + "\r")
            self.stream.flush()
