"""Token ids read from a stream in blocks: integers separated by whitespace, or one or more
JSON lists of integers (the output of `encode` and of `encode --json`).

Blocks end after a separator, so no id is split. The common case is checked by one regular
expression per block and converted by `int` in C; input that fails the check is parsed
again, slowly, only to name the first thing wrong with it.
"""
from __future__ import annotations

import re
from typing import BinaryIO, Iterator

from .errors import CliError
from .numbers import MAX_DIGITS, parse_decimal

# Checking a block with one regular expression costs about 50 bytes of matcher state per
# id: a 1 MiB block raised decode's peak RSS by ~50 MB (131 MB on any large input, 48 MB
# with 64 KiB blocks), and reading plus decoding 8 MB of ids took 1.70 s of CPU against
# 0.89 s with 64 KiB blocks (medians of 3, alternating, in one process).
READ_SIZE = 1 << 16
# No valid input has this much between two separators; reading stops rather than growing.
MAX_GAP = 1 << 20

_SPACE = rb"[ \t\n\r\x0b\x0c]"  # ASCII whitespace, as bytes.split() splits on
_PLAIN = re.compile(
    rb"%s*(?:[+-]?[0-9]{1,%d}(?:%s+[+-]?[0-9]{1,%d})*)?%s*" % (_SPACE, MAX_DIGITS, _SPACE, MAX_DIGITS, _SPACE)
)

# JSON: a block starts either between lists or inside one right after a comma, and ends
# after "]" (between lists) or after "," (inside a list).
_WS = rb"[ \t\n\r]*"
_INT = rb"-?(?:0|[1-9][0-9]{0,%d})" % (MAX_DIGITS - 1)
_ITEMS = rb"%s%s(?:,%s%s%s)*" % (_INT, _WS, _WS, _INT, _WS)
_LIST = rb"\[%s(?:%s)?\]" % (_WS, _ITEMS)
_TAIL = rb"(?:%s%s)*(?:%s\[%s%s,|%s)" % (_WS, _LIST, _WS, _WS, _ITEMS, _WS)
_JSON_FROM_OUTSIDE = re.compile(_TAIL)
_JSON_FROM_COMMA = re.compile(rb"%s%s(?:,|\]%s)" % (_WS, _ITEMS, _TAIL))
_JSON_INT = re.compile(rb"-?(?:0|[1-9][0-9]*)")
_NUMBERS = re.compile(rb"-?[0-9]+")
_TOKEN = re.compile(rb"[ \t\n\r]*(?:([\[\],])|([^ \t\n\r\[\],]+))")


def read_ids(stream: BinaryIO, name: str, read_size: int = READ_SIZE) -> Iterator[list[int]]:
    """Lists of ids, in input order (ids of more than MAX_DIGITS digits come back clamped,
    see parse_decimal). Raises CliError for anything that is not an id."""
    json_mode = None  # decided by the first non-blank byte
    inside = False  # JSON: the last block ended inside a list, after a comma
    buf = b""
    offset = 0  # of buf in the stream
    while True:
        data = stream.read(read_size)
        final = not data
        buf += data
        if json_mode is None:
            stripped = buf.lstrip()
            if stripped or final:
                json_mode = stripped.startswith(b"[")
            else:
                continue
        if final:
            if not buf:  # the last block ended right at the end of the input
                if inside:
                    raise CliError(f"{name}: bad JSON: a list is not closed at the end")
                return
            end = len(buf)
        elif len(buf) < read_size:
            continue  # small inputs are checked whole before anything is written
        elif json_mode:
            end = max(buf.rfind(b","), buf.rfind(b"]")) + 1
        else:
            end = max(buf.rfind(c) for c in (b" ", b"\t", b"\n", b"\r", b"\x0b", b"\x0c")) + 1
        if end == 0:
            if len(buf) > MAX_GAP:
                raise CliError(f"{name}: no separator between ids within {MAX_GAP} bytes "
                               f"at offset {offset}")
            continue
        block, buf = buf[:end], buf[end:]
        if json_mode:
            ids, inside = _json_block(block, inside, name, offset)
            if final and inside:
                raise CliError(f"{name}: bad JSON: a list is not closed at the end")
        else:
            ids = _plain_block(block, name, offset)
        if ids:
            yield ids
        offset += end
        if final:
            return


def _plain_block(block: bytes, name: str, offset: int) -> list[int]:
    if _PLAIN.fullmatch(block):
        return list(map(int, block.split()))
    ids = []
    for word in block.split():
        value = parse_decimal(word)
        if value is None:
            raise CliError(f"{name}: not a token id: {_show(word)!r}")
        ids.append(value)
    return ids


def _json_block(block: bytes, inside: bool, name: str, offset: int) -> tuple[list[int], bool]:
    pattern = _JSON_FROM_COMMA if inside else _JSON_FROM_OUTSIDE
    if pattern.fullmatch(block):
        return list(map(int, _NUMBERS.findall(block))), block.endswith(b",")
    return _json_block_slowly(block, inside, name, offset)


def _json_block_slowly(block, inside, name, offset):
    """The ids of a block that the fast check refused; raises CliError at its first fault."""
    ids = []
    # States: "outside" a list, "open" right after "[", "value" after ",", "item" after an id.
    state = "value" if inside else "outside"
    for m in _TOKEN.finditer(block):
        punct, word = m.group(1), m.group(2)
        where = f"at offset {offset + m.start(1 if punct else 2)}"
        if state == "outside":
            if punct != b"[":
                raise CliError(f"{name}: expected a JSON list of token ids {where}")
            state = "open"
        elif state in ("open", "value"):
            if punct == b"]" and state == "open":
                state = "outside"
            elif word is not None and _JSON_INT.fullmatch(word):
                ids.append(parse_decimal(word))
                state = "item"
            else:
                raise CliError(f"{name}: not a token id: {_show(word or punct + block[m.end():])}")
        elif punct == b",":
            state = "value"
        elif punct == b"]":
            state = "outside"
        else:
            raise CliError(f"{name}: bad JSON: expected ',' or ']' {where}")
    if state in ("open", "item"):
        raise CliError(f"{name}: bad JSON: a list is not closed at the end")
    return ids, state == "value"


def _show(word: bytes) -> str:
    return word[:40].decode("utf-8", "replace")
