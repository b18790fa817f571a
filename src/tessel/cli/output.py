"""Standard output that never loses data silently.

Every write either reaches the stream in full or raises CliError: a reader that went away
(`| head`), a full disk and a closed descriptor are failures of the command, not success.
"""
from __future__ import annotations

import os
import sys

from .errors import CliError


class Output:
    def __init__(self, stream) -> None:
        if stream is None:
            raise CliError("standard output is closed")
        self._text = stream
        # Bytes go straight to the binary buffer; a text-only stream (e.g. io.StringIO put
        # in place of sys.stdout) gets text, and undecodable bytes as U+FFFD.
        self._binary = getattr(stream, "buffer", None)
        self._is_process_stdout = stream is sys.__stdout__
        if self._binary is not None:
            self._guard(stream.flush)

    def write(self, text: str) -> None:
        if self._binary is not None:
            self._guard(self._write_all, text.encode("utf-8", "surrogateescape"))
        else:
            self._guard(self._text.write, text)

    def write_bytes(self, data: bytes) -> None:
        if self._binary is not None:
            self._guard(self._write_all, data)
        else:
            self._guard(self._text.write, data.decode("utf-8", "replace"))

    def flush(self) -> None:
        self._guard(self._text.flush)  # text others wrote through sys.stdout (argparse)
        if self._binary is not None:
            self._guard(self._binary.flush)

    def _write_all(self, data: bytes) -> None:
        # A buffered stream may take only part of the data (a pipe whose reader went away
        # mid-write reports how much it took, not an error); what is left is written again,
        # which then fails for real or goes through.
        view = memoryview(data)
        while view:
            n = self._binary.write(view)
            if not n:
                raise OSError("the output took no more data")
            view = view[n:]

    def _guard(self, call, *args) -> None:
        try:
            call(*args)
        except BrokenPipeError:
            self._silence()
            raise CliError("output closed before everything was written (broken pipe)") from None
        except (OSError, ValueError) as e:
            self._silence()
            reason = getattr(e, "strerror", None) or str(e)
            raise CliError(f"cannot write the output: {reason}") from None

    def _silence(self) -> None:
        """Point descriptor 1 at /dev/null, so the interpreter's own flush at exit does
        not fail a second time on the data still buffered."""
        if self._is_process_stdout:
            _devnull_onto(1)


def _devnull_onto(fd: int) -> None:
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, fd)
        os.close(devnull)
    except OSError:
        pass  # stdout already gone: nothing can be flushed to it anyway
