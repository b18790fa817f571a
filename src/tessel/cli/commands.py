"""The three commands: count, encode and decode, streaming from their inputs."""
from __future__ import annotations

import json
import os
from dataclasses import dataclass

from .errors import EXIT_FAILURE, EXIT_OK, EXIT_OVER_LIMIT, CliError, shown, warn
from .ids import read_ids
from .progress import CountingReader, progress
from .sources import BINARY_SNIFF, STDIN, Source, is_binary, sources
from .streaming import NotUtf8, text_blocks

# Text handed to the worker pool in one call: enough to keep every thread busy, little
# enough that memory stays flat however large the input is.
BATCH_CHARS = 1 << 20


@dataclass
class _Tally:
    source: Source
    tokens: int = 0
    unfinished: int = 0  # blocks of it still waiting to be counted
    read: bool = False  # every block of it has been read (or reading stopped)
    over: bool = False
    error: str | None = None
    skipped: str | None = None
    same_as: "_Tally | None" = None  # standard input named again: the same text


class _Counter:
    """Counts the blocks of many inputs in batches on the worker pool, and reports each
    input, in order, as soon as all its blocks are counted."""

    def __init__(self, codec, limit, report) -> None:
        self._codec = codec
        self._limit = limit
        self._report = report
        self._batch: list[tuple[_Tally, str]] = []
        self._batch_chars = 0
        self._waiting: list[_Tally] = []  # in input order, not yet reported

    def add(self, tally: _Tally) -> None:
        self._waiting.append(tally)

    def add_block(self, tally: _Tally, text: str) -> None:
        self._batch.append((tally, text))
        tally.unfinished += 1
        self._batch_chars += len(text)
        if self._batch_chars >= BATCH_CHARS:
            self.flush()

    def flush(self) -> None:
        """Counts the waiting blocks, then reports what is complete."""
        if self._batch:
            counts = self._codec.count_batch([text for _, text in self._batch])
            for (tally, _), n in zip(self._batch, counts):
                tally.tokens += n
                tally.unfinished -= 1
                if self._limit is not None and tally.tokens > self._limit:
                    tally.over = True
            self._batch, self._batch_chars = [], 0
        self.report_ready()

    def report_ready(self) -> None:
        done = 0
        for tally in self._waiting:
            if not tally.read or tally.unfinished:
                break
            self._report(tally.same_as or tally)
            done += 1
        del self._waiting[:done]


def count(args, out, codec) -> int:
    all_sources = list(sources(args.files, trees=True, ignore=not args.no_ignore))
    labelled = len(args.files) > 1 or any(os.path.isdir(a) for a in args.files)
    limit = args.limit
    totals = {"tokens": 0, "over": 0, "errors": 0, "skipped": 0}

    def report(tally: _Tally) -> None:
        name = tally.source.name
        label = f" {shown(name)}" if labelled else ""
        if tally.error is not None:
            totals["errors"] += 1
            warn(tally.error)
            record = {"path": shown(name), "error": tally.error}
        elif tally.skipped is not None:
            totals["skipped"] += 1
            record = {"path": shown(name), "skipped": tally.skipped}
        elif tally.over:
            totals["over"] += 1
            where = f"{shown(name)}: " if labelled or tally.source.path is not None else ""
            warn(f"{where}more than {limit} tokens (over the limit)")
            record = {"path": shown(name), "over_limit": limit}
            if not args.json:
                out.write(f">{limit}{label}\n")
        else:
            totals["tokens"] += tally.tokens
            record = {"path": shown(name), "tokens": tally.tokens}
            if not args.json:
                out.write(f"{tally.tokens}{label}\n")
        if args.json:
            out.write(json.dumps(record, ensure_ascii=False) + "\n")

    counter = _Counter(codec, limit, report)
    bar = progress(sum(s.size or 0 for s in all_sources) or None, enabled=not args.quiet)
    stdin_tally = None
    try:
        for source in all_sources:
            tally = _Tally(source)
            counter.add(tally)
            if source.path is None and stdin_tally is not None:
                tally.same_as = stdin_tally
            else:
                if source.path is None:
                    stdin_tally = tally
                _read_for_count(tally, counter, bar)
            tally.read = True
            counter.report_ready()
        counter.flush()
    finally:
        bar.close()
    out.flush()

    if args.json:
        out.write(json.dumps({"total": totals["tokens"]}) + "\n")
    elif labelled and not totals["over"]:
        out.write(f"{totals['tokens']} total\n")
    if totals["skipped"]:
        warn(f"skipped {totals['skipped']} binary file(s) (not UTF-8 text)")
    if totals["errors"]:
        if labelled:
            warn(f"{totals['errors']} input(s) could not be counted and are left out of the total")
        return EXIT_FAILURE
    return EXIT_OVER_LIMIT if totals["over"] else EXIT_OK


def _read_for_count(tally: _Tally, counter: _Counter, bar) -> None:
    source = tally.source
    if source.error is not None:
        tally.error = f"{shown(source.name)}: {source.error}"
        return
    try:
        with source.open() as f:
            if source.in_tree and is_binary(_peek(f)):
                tally.skipped = "binary"
                return
            for block in text_blocks(CountingReader(f, bar), shown(source.name)):
                counter.add_block(tally, block)
                if tally.over:
                    return  # over the limit already: the rest cannot change that
    except NotUtf8 as e:
        if source.in_tree:
            tally.skipped = "binary"
        else:
            tally.error = str(e)
    except CliError as e:
        tally.error = str(e)
    except OSError as e:
        tally.error = f"{shown(source.name)}: {e.strerror or e}"


def _peek(f) -> bytes:
    peek = getattr(f, "peek", None)
    return peek(BINARY_SNIFF) if peek is not None else b""


def _single_sources(files: list[str]) -> list[Source]:
    names = files or [STDIN]
    if names.count(STDIN) > 1:
        raise CliError("standard input ('-') can be read only once")
    return list(sources(names, trees=False))


def encode(args, out, codec) -> int:
    separator, opening, closing = (", ", "[", "]\n") if args.json else (" ", "", "\n")
    for source in _single_sources(args.files):
        with source.open() as f:
            written = 0  # ids of this input written so far

            def write(texts: list[str]) -> None:
                nonlocal written
                for ids in codec.encode_batch(texts):
                    if ids:
                        out.write((separator if written else opening) + separator.join(map(str, ids)))
                        written += len(ids)

            batch: list[str] = []
            batch_chars = 0
            for block in text_blocks(f, shown(source.name)):
                batch.append(block)
                batch_chars += len(block)
                if batch_chars >= BATCH_CHARS:
                    write(batch)
                    batch, batch_chars = [], 0
            write(batch)
            out.write(("" if written else opening) + closing)
    return EXIT_OK


def decode(args, out, codec) -> int:
    for source in _single_sources(args.files):
        with source.open() as f:
            for ids in read_ids(f, shown(source.name)):
                try:
                    data = codec.decode_bytes(ids)
                except CliError as e:
                    raise CliError(f"{shown(source.name)}: {e}") from None
                out.write_bytes(data)
    return EXIT_OK
