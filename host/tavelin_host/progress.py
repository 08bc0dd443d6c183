"""Progress display on standard error (tqdm), silent when stderr is no terminal."""
from __future__ import annotations

import sys
from typing import Any, Iterable, TextIO


def stderr_is_terminal(stream: TextIO | None = None) -> bool:
    stream = stream if stream is not None else sys.stderr
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


class ProgressUI:
    """The host's ``ui``: one progress bar that the plug-in opens, advances and closes.

    ``quiet`` None means: quiet unless stderr is a terminal.
    """

    def __init__(self, quiet: bool | None = None, stream: TextIO | None = None, position: int = 0):
        self.stream = stream if stream is not None else sys.stderr
        if self.stream is None:  # stderr closed: nowhere to show anything (tqdm would fall back on stdout)
            import io

            self.stream, quiet = io.StringIO(), True
        self.quiet = (not stderr_is_terminal(self.stream)) if quiet is None else bool(quiet)
        self.position = position
        self._bar: Any = None
        self._files_open = 0
        self.history: list[tuple[str, int]] = []

    def progress_bar(self, message: str, percent: int) -> None:
        percent = max(0, min(100, int(percent)))
        self.history.append((str(message), percent))
        if self.quiet:
            return
        if self._bar is None:
            from tqdm import tqdm

            self._bar = tqdm(
                total=100, desc=str(message), file=self.stream, leave=False,
                position=self.position + self._files_open, bar_format="{desc}: {percentage:3.0f}%|{bar}|",
            )
        self._bar.set_description_str(str(message), refresh=False)
        self._bar.n = percent
        self._bar.refresh()

    def close_progress_bar(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None

    def file_bar(self, items: Iterable[Any], total: int, unit: str = "file") -> Any:
        """A bar over the files of a run; a plain iterator when quiet."""
        from tqdm import tqdm

        bar = tqdm(items, total=total, unit=unit, file=self.stream, disable=self.quiet,
                   position=self.position, dynamic_ncols=True)
        self._files_open = 1
        return bar

    def files_done(self) -> None:
        self._files_open = 0

    def write(self, line: str) -> None:
        """One line on stderr that does not tear an open bar apart."""
        from tqdm import tqdm

        tqdm.write(line, file=self.stream)


class LineWriter:
    """A minimal text stream that hands each complete line to a callback."""

    def __init__(self, emit):
        self._emit = emit
        self._pending = ""

    def write(self, text: str) -> int:
        self._pending += text
        *complete, self._pending = self._pending.split("\n")
        for line in complete:
            self._emit(line)
        return len(text)

    def flush(self) -> None:
        if self._pending:
            self._emit(self._pending)
            self._pending = ""

    def isatty(self) -> bool:
        return False
