"""Command line of tessel: count, encode and decode tokens of files or standard input.

    python -m tessel count  [--encoding E] [--limit N] [FILE ...]
    python -m tessel encode [--encoding E] [--json]    [FILE ...]
    python -m tessel decode [--encoding E]             [FILE ...]

No FILE, or "-", reads standard input. Text input must be UTF-8 (checked strictly; a
leading byte-order mark is kept as the character U+FEFF). Several files are handled one by
one, each as a text of its own. `decode` writes the exact bytes the ids stand for, even
when they are not valid UTF-8 (a sequence of ids may end inside a character).

Exit status: 0 on success; 1 when `count --limit N` finds an input with more than N
tokens; 2 for bad usage or bad input (unknown encoding, unreadable file, text that is not
UTF-8, ids that are not integers or lie outside the vocabulary).
"""
from __future__ import annotations

import argparse
import json
import os
import re
import sys

ENCODINGS = ("cl100k_base", "o200k_base")
# Ids run from 0 to the vocabulary size minus one, without gaps.
VOCAB_SIZES = {"cl100k_base": 100_256, "o200k_base": 199_998}

EXIT_OVER_LIMIT = 1
EXIT_BAD_INPUT = 2
EXIT_BROKEN_PIPE = 141  # as a shell reports a process ended by SIGPIPE

_DECIMAL = re.compile(r"[+-]?[0-9]+")


class InputError(Exception):
    """Bad input: reported on standard error, exit status 2."""


def _limit(value: str) -> int:
    try:
        limit = int(value, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {value!r}") from None
    if limit < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {limit}")
    return limit


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tessel",
        description="Count, encode and decode tokens of the cl100k_base and o200k_base "
        "encodings.",
        epilog="Without FILE, or with '-', standard input is read. Exit status: 0 ok, "
        "1 over the limit (count --limit), 2 bad usage or bad input.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, help: str, files_help: str = "input files (UTF-8 text)",
                description: str | None = None) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=description or help)
        sub.add_argument(
            "-e", "--encoding", choices=ENCODINGS, default="cl100k_base",
            help="the encoding (default: %(default)s)",
        )
        sub.add_argument("files", nargs="*", metavar="FILE", help=files_help)
        return sub

    count = command("count", "print the number of tokens of each input")
    count.add_argument(
        "-l", "--limit", type=_limit, metavar="N",
        help="stop counting past N tokens; print '>N' for an input with more than N tokens "
        "and exit with status 1",
    )
    encode = command("encode", "print the token ids of each input, one line per input")
    encode.add_argument("--json", action="store_true", help="print each input's ids as a JSON list")
    command(
        "decode", "write the text (bytes) that token ids stand for", files_help="files of ids",
        description="Write the bytes that token ids stand for. Ids are read as JSON lists "
        "(one or more, e.g. the output of 'encode --json') or as integers separated by "
        "whitespace; the ids of all inputs are decoded in order. The bytes are written "
        "unchanged, even when they are not valid UTF-8.",
    )
    return parser


def _inputs(files: list[str]) -> list[tuple[str, bytes]]:
    """(name, content) of every input, in order; '-' and no files mean standard input."""
    names = files or ["-"]
    inputs = []
    stdin_data = None
    for name in names:
        if name == "-":
            if sys.stdin is None:
                raise InputError("standard input is closed")
            if stdin_data is None:  # read once; "-" given twice names the same text
                stdin_data = sys.stdin.buffer.read()
            inputs.append(("<stdin>", stdin_data))
            continue
        try:
            with open(name, "rb") as f:
                inputs.append((name, f.read()))
        except OSError as e:
            raise InputError(f"{name}: {e.strerror or e}") from None
    return inputs


def _text(name: str, data: bytes) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise InputError(
            f"{name}: not valid UTF-8 (byte 0x{data[e.start]:02x} at offset {e.start})"
        ) from None


def _parse_ids(name: str, data: bytes, vocab_size: int) -> list[int]:
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise InputError(f"{name}: not valid UTF-8 at offset {e.start}") from None
    if text.lstrip().startswith("["):
        ids = _parse_json_lists(name, text)
    else:
        ids = []
        for word in text.split():
            if not _DECIMAL.fullmatch(word):  # int() would also take "1_0" and other digits
                raise InputError(f"{name}: not a token id: {word[:40]!r}")
            ids.append(int(word, 10))
    for i in ids:
        if not 0 <= i < vocab_size:
            raise InputError(
                f"{name}: token id {i} is outside the vocabulary (0 to {vocab_size - 1})"
            )
    return ids


def _parse_json_lists(name: str, text: str) -> list[int]:
    """The ids of one or more JSON lists of integers separated by whitespace."""
    decoder = json.JSONDecoder()
    ids: list[int] = []
    pos = 0
    while True:
        while pos < len(text) and text[pos].isspace():
            pos += 1
        if pos == len(text):
            return ids
        try:
            value, pos = decoder.raw_decode(text, pos)
        except json.JSONDecodeError as e:
            raise InputError(f"{name}: bad JSON: {e}") from None
        if not isinstance(value, list):
            raise InputError(f"{name}: expected a JSON list of token ids")
        for item in value:
            # bool is an int subclass in Python; true/false are not ids.
            if type(item) is not int:
                raise InputError(f"{name}: not a token id: {json.dumps(item)[:40]}")
        ids.extend(value)


def _shown(name: str) -> str:
    """A file name as printable UTF-8 (names that are not UTF-8 reach us with surrogates)."""
    return name.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def _tokenizer(encoding: str):
    from tessel.bpe import openai

    return openai.cl100k_base() if encoding == "cl100k_base" else openai.o200k_base()


def _count(args, out) -> int:
    inputs = [(name, _text(name, data)) for name, data in _inputs(args.files)]
    tokenizer = _tokenizer(args.encoding)
    status = 0
    total = 0
    for name, text in inputs:
        label = f" {_shown(name)}" if len(inputs) > 1 else ""
        if args.limit is None or args.limit >= sys.maxsize:
            n = tokenizer.count(text)  # no text has that many tokens
        else:
            n = tokenizer.count_till_limit(text, args.limit)
        if n is None:
            status = EXIT_OVER_LIMIT
            out.write(f">{args.limit}{label}\n")
            out.flush()
            where = f"{name}: " if len(inputs) > 1 or name != "<stdin>" else ""
            print(f"tessel: {where}more than {args.limit} tokens (over the limit)",
                  file=sys.stderr)
        else:
            total += n
            out.write(f"{n}{label}\n")
    if len(inputs) > 1 and status == 0:
        out.write(f"{total} total\n")
    return status


def _encode(args, out) -> int:
    inputs = [(name, _text(name, data)) for name, data in _inputs(args.files)]
    tokenizer = _tokenizer(args.encoding)
    for _, text in inputs:
        ids = tokenizer.encode(text)
        out.write(json.dumps(ids) if args.json else " ".join(map(str, ids)))
        out.write("\n")
    return 0


def _decode(args, out) -> int:
    vocab_size = VOCAB_SIZES[args.encoding]
    batches = [_parse_ids(name, data, vocab_size) for name, data in _inputs(args.files)]
    bpe = _tokenizer(args.encoding).bpe()
    out.flush()
    binary = getattr(out, "buffer", None)
    for ids in batches:
        data = bpe.decode_tokens(ids)
        if binary is not None:
            binary.write(data)
        else:  # a text-only stream put in place of stdout
            out.write(data.decode("utf-8", "replace"))
    if binary is not None:
        binary.flush()
    return 0


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    run = {"count": _count, "encode": _encode, "decode": _decode}[args.command]
    try:
        status = run(args, sys.stdout)
        sys.stdout.flush()
    except InputError as e:
        print(f"tessel: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly, without a second error when
        # the interpreter flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except KeyboardInterrupt:
        return 130
    return status


if __name__ == "__main__":
    sys.exit(main())
