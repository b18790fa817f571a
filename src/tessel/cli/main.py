"""Argument parsing and the one place where a run turns into an exit status."""
from __future__ import annotations

import argparse
import os
import sys

from . import commands
from .encodings import ALL, DEFAULT_ENCODING, encoding_for_model, encoding_names, load
from .errors import EXIT_FAILURE, EXIT_INTERRUPTED, CliError, warn
from .numbers import parse_decimal
from .output import Output

DESCRIPTION = """\
Count, encode and decode the tokens of text in the encodings of OpenAI models.

Without FILE, or with '-', standard input is read. Text must be UTF-8. Input is read in
blocks and output written as it is produced, so inputs of any size take little memory.
Exit status: 0 ok, 1 over the limit (count --limit), 2 any failure (bad usage, bad input,
an input that could not be read, output that could not be written)."""


def _limit(value: str) -> int:
    limit = parse_decimal(value)
    if limit is None:
        raise argparse.ArgumentTypeError(f"not an integer: {value!r}")
    if limit < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {value}")
    return limit


def _version() -> str:
    import tessel

    return f"tessel {tessel.__version__}"


class _Parser(argparse.ArgumentParser):
    """Help goes through `Output`: argparse itself would drop a failed write silently."""

    output: Output | None = None

    def _print_message(self, message, file=None):
        if message and file is sys.stdout and _Parser.output is not None:
            _Parser.output.write(message)
        else:
            super()._print_message(message, file)


def parser() -> argparse.ArgumentParser:
    p = _Parser(prog="tessel", description=DESCRIPTION,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--version", action="store_true", help="print the version and exit")
    subs = p.add_subparsers(dest="command", metavar="COMMAND")

    names = encoding_names()

    def command(name: str, help: str, files_help: str, description: str | None = None,
                specials: bool = True):
        sub = subs.add_parser(name, help=help, description=description or help)
        which = sub.add_mutually_exclusive_group()
        which.add_argument("-e", "--encoding", choices=names,
                           help=f"the encoding (default: {DEFAULT_ENCODING})")
        which.add_argument("-m", "--model", metavar="MODEL",
                           help="the encoding of this model (e.g. gpt-4o), as "
                           "tessel.encoding_for_model picks it")
        if specials:
            sub.add_argument("--allowed-special", action="append", metavar="TOKEN",
                             help=f"read this special token (e.g. '<|endoftext|>'), or every "
                             f"one with '{ALL}', as itself; may be repeated. Without it, "
                             "text that looks like a special token is ordinary text")
        sub.add_argument("files", nargs="*", metavar="FILE", help=files_help)
        return sub

    count = command(
        "count", "print the number of tokens of each input",
        "files or directories; a directory counts every text file below it",
        description="Print the number of tokens of each input, and a total when there are "
        "several. Directories are walked recursively: binary files are skipped, and so are "
        "files that git ignores (.gitignore) unless --no-ignore is given. An input that "
        "cannot be read is reported and the others are still counted (exit status 2).")
    count.add_argument("-l", "--limit", type=_limit, metavar="N",
                       help="print '>N' for an input with more than N tokens and exit with "
                       "status 1")
    count.add_argument("--json", action="store_true",
                       help="print one JSON object per input, then one with the total")
    count.add_argument("--no-ignore", action="store_true",
                       help="count files that .gitignore files exclude")
    count.add_argument("-q", "--quiet", action="store_true",
                       help="no progress bar (it is shown only on a terminal, for long runs)")
    encode = command("encode", "print the token ids of each input, one line per input",
                     "input files (UTF-8 text)")
    encode.add_argument("--json", action="store_true",
                        help="print each input's ids as a JSON list")
    command(
        "decode", "write the text (bytes) that token ids stand for", "files of ids",
        specials=False,
        description="Write the bytes that token ids stand for. Ids are read as JSON lists "
        "(one or more, e.g. the output of 'encode --json') or as ASCII decimal integers "
        "separated by whitespace; the ids of all inputs are decoded in order. The bytes are "
        "written unchanged, even when they are not valid UTF-8.")
    return p


def main(argv: list[str] | None = None) -> int:
    _reserve_standard_descriptors()
    try:
        out = _Parser.output = Output(sys.stdout)
        p = parser()
        try:
            args = p.parse_args(argv)
        except SystemExit as e:  # --help, or a usage error already reported by argparse
            out.flush()
            return EXIT_FAILURE if e.code else 0
        if args.version:
            out.write(_version() + "\n")
            out.flush()
            return 0
        if args.command is None:
            p.print_usage(sys.stderr) if sys.stderr is not None else None
            warn("a command is required (count, encode or decode)")
            return EXIT_FAILURE
        name = encoding_for_model(args.model) if args.model else args.encoding
        codec = load(name or DEFAULT_ENCODING, getattr(args, "allowed_special", None))
        run = {"count": commands.count, "encode": commands.encode,
               "decode": commands.decode}[args.command]
        status = run(args, out, codec)
        out.flush()
        return status
    except CliError as e:
        warn(str(e))
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except MemoryError:
        warn("out of memory")
    return EXIT_FAILURE


def _reserve_standard_descriptors() -> None:
    """Put /dev/null on a closed descriptor 0, 1 or 2, so that no file this run opens
    takes its number and gets written to as if it were standard output or error.
    (sys.stdin, sys.stdout or sys.stderr stay None: that is how we know it was closed.)"""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            try:
                null = os.open(os.devnull, os.O_RDWR)
            except OSError:
                return
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
