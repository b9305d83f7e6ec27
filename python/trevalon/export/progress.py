"""A one-line text progress bar on stderr (no dependency), redrawn in place."""

from __future__ import annotations

import sys
from typing import TextIO


class ProgressBar:
    def __init__(self, label: str, total: int | None, enabled: bool = True,
                 stream: TextIO | None = None, width: int = 30):
        self.label = label
        self.total = total if total else None
        self.enabled = enabled
        self.stream = stream if stream is not None else sys.stderr
        self.width = width
        self.done = 0
        self._draw()

    def update(self, count: int = 1) -> None:
        self.done += count
        self._draw()

    def close(self) -> None:
        if self.enabled:
            self.stream.write("\n")
            self.stream.flush()

    def _draw(self) -> None:
        if not self.enabled:
            return
        if self.total is None:
            text = f"{self.label}: {self.done}"
        else:
            filled = self.width * min(self.done, self.total) // self.total
            text = f"{self.label} [{'#' * filled}{'.' * (self.width - filled)}] {self.done}/{self.total}"
        self.stream.write("\r" + text)
        self.stream.flush()
