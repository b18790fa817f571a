"""How the command line ends: exit statuses and the errors that lead to them."""
from __future__ import annotations

import sys

EXIT_OK = 0
EXIT_OVER_LIMIT = 1  # only ever this: `count --limit N` found an input over N tokens
EXIT_FAILURE = 2  # bad usage, bad input, a file that could not be read, output lost
EXIT_INTERRUPTED = 130


class CliError(Exception):
    """A failure that ends the command: one line on standard error, exit status 2."""


def warn(message: str) -> None:
    """One line on standard error; nothing when it is closed (never onto stdout)."""
    stream = sys.stderr
    if stream is None:
        return
    try:
        stream.write(f"tessel: {message}\n")
        stream.flush()
    except (OSError, ValueError):
        pass  # nowhere left to say it; the exit status still does


def shown(name: str) -> str:
    """A file name as printable text (names that are not UTF-8 reach us with surrogates)."""
    return name.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
