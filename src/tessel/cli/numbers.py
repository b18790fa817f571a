"""Numbers on the command line and in id input: ASCII decimal, nothing else.

`int()` would also take other scripts' digits ("٣"), underscores ("1_000") and
surrounding whitespace (" 7"), and it refuses, slowly, strings of thousands of digits.
Every number the command line reads goes through `parse_decimal`.
"""
from __future__ import annotations

import re

# More significant digits than this name a value beyond every token id and every count a
# text can have; such values are all the same to us, so they stay short and cheap.
MAX_DIGITS = 30
BEYOND_ANY = 10**MAX_DIGITS

DECIMAL = re.compile(r"[+-]?[0-9]+")


def parse_decimal(word: str | bytes) -> int | None:
    """The value of an optionally signed ASCII decimal, or None when `word` is not one.

    Values with more than MAX_DIGITS significant digits come back as ±BEYOND_ANY.
    """
    if isinstance(word, (bytes, bytearray)):
        try:
            word = word.decode("ascii")
        except UnicodeDecodeError:
            return None
    if not DECIMAL.fullmatch(word):
        return None
    sign = -1 if word[0] == "-" else 1
    digits = word.lstrip("+-").lstrip("0")
    if len(digits) > MAX_DIGITS:
        return sign * BEYOND_ANY
    return sign * int(digits or "0")
