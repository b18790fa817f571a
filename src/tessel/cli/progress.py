"""Progress on standard error, shown only to a person watching a long run."""
from __future__ import annotations

import sys

SHOW_AFTER = 2.0  # seconds; shorter runs never draw a bar


class _Quiet:
    def update(self, n: int) -> None:
        pass

    def close(self) -> None:
        pass


def progress(total_bytes: int | None, enabled: bool = True):
    """A bar counting bytes read, or an object that ignores updates when nobody watches."""
    stderr = sys.stderr
    try:
        watching = enabled and stderr is not None and stderr.isatty()
    except (OSError, ValueError):
        watching = False
    if not watching:
        return _Quiet()
    from tqdm import tqdm

    return tqdm(total=total_bytes, unit="B", unit_scale=True, unit_divisor=1024,
                delay=SHOW_AFTER, leave=False, file=stderr, dynamic_ncols=True)


class CountingReader:
    """A binary stream that reports the bytes read from it to a progress bar."""

    def __init__(self, stream, bar) -> None:
        self._stream = stream
        self._bar = bar

    def read(self, n: int = -1) -> bytes:
        data = self._stream.read(n)
        self._bar.update(len(data))
        return data
