"""Text read in blocks and cut only where a new piece certainly starts.

Encoding the blocks one by one gives exactly the ids of the whole text, because no cut
falls inside a piece and no piece near a cut comes out differently for being cut there.

The cut rule lives here and only here. A cut goes
  (a) between an ASCII letter and a following space, tab, CR or LF, or
  (b) between a LF and a following ASCII letter or CJK unified ideograph (U+4E00-U+9FFF,
      all of them letters, Lo, in every Unicode version we classify by).
Why it is certain, for both encodings and both splitting modes (the published patterns in
data/*.pattern and the tokenizer's own rules, which differ only inside whitespace runs,
at U+2019, U+180E and marks):
  - A letter belongs to a word piece (or a contraction such as 's), and every such piece
    ends with a letter or a mark: it never takes in the whitespace after it (a). No piece
    that holds a letter starts with CR or LF: the optional lead character of a word
    excludes them, and punctuation, digit and whitespace pieces hold no letters (b).
  - A piece's extent is decided by the text from its own start onward; only its end
    looks one character ahead. Where rule (a) cuts, that character is whitespace, which
    stops a word exactly as the end of the text does. Where rule (b) cuts, the piece
    before ends in a line break ("\\s*[\\r\\n]+" and the trailing "[\\r\\n]*" of a
    punctuation run match through the LF and stop at the letter as at the end of the
    text; "\\s+(?!\\S)" is never reached, the line-break rule comes first).
  - Special tokens (<|...|>) hold neither whitespace after a letter nor a line break,
    so no cut splits one.
So the pieces of a text are the pieces of its blocks, and the ids the ids of its blocks.
A text without such a place (one giant piece) is simply not cut.
"""
from __future__ import annotations

import codecs
import re
from typing import BinaryIO, Iterator

from .errors import CliError


class NotUtf8(CliError):
    """The input is not UTF-8 text."""

READ_SIZE = 1 << 18  # bytes per read; a block is at least this much text, if it can be cut

_CUT = re.compile(r"(?<=[A-Za-z])(?=[ \t\r\n])|(?<=\n)(?=[A-Za-z\u4e00-\u9fff])")
# Cut points are searched from the end of the new text backwards in windows of growing size,
# so a block costs one pass even when it holds no cut point.
_FIRST_WINDOW = 4096


def last_cut(text: str, start: int) -> int:
    """The last cut point p with start <= p < len(text), or -1 if there is none.

    The character after p must be in `text`: the last position is never a cut point."""
    end = len(text)
    window = _FIRST_WINDOW
    while True:
        lo = max(start, end - window)
        last = -1
        for m in _CUT.finditer(text, lo, end):
            last = m.start()
        if last >= 0 or lo == start:
            return last
        end = lo + 1  # a cut at lo needs text[lo]; keep it in the next window
        window *= 16


def text_blocks(stream: BinaryIO, name: str, read_size: int = READ_SIZE) -> Iterator[str]:
    """The UTF-8 text of `stream` in blocks that are cut only at cut points.

    Raises NotUtf8 at the first byte that is not valid UTF-8, with its offset in the stream.
    """
    decoder = codecs.getincrementaldecoder("utf-8")("strict")
    fed = 0  # bytes given to the decoder so far
    held: list[str] = []  # text read since the last block was handed out
    held_size = 0
    searched = 0  # held[:searched] has no cut point
    while True:
        data = stream.read(read_size)
        final = not data
        try:
            text = decoder.decode(data, final)
        except UnicodeDecodeError as e:
            pending = len(e.object) - len(data)  # bytes the decoder held from the last read
            offset = fed - pending + e.start
            raise NotUtf8(
                f"{name}: not valid UTF-8 (byte 0x{e.object[e.start]:02x} at offset {offset})"
            ) from None
        fed += len(data)
        if final:
            rest = "".join(held) + text
            if rest:
                yield rest
            return
        if not text:
            continue
        held.append(text)
        held_size += len(text)
        # Cut points are looked for only once a block is due: a file smaller than a read
        # is never searched (counting a tree of small files spent as long in this search
        # as in the tokenizer). Newest parts first, so the block is as long as it can be;
        # each part is searched once between two blocks.
        if held_size < read_size:
            continue
        for i in range(len(held) - 1, searched - 1, -1):
            before = held[i - 1][-1] if i > 0 else ""  # a cut may fall right before a part
            p = last_cut(before + held[i], len(before))
            if p >= 0:
                p -= len(before)
                block = "".join(held[:i]) + held[i][:p]
                held = [held[i][p:], *held[i + 1:]]
                held_size = sum(map(len, held))
                searched = len(held)  # nothing after the last cut point is one
                if block:
                    yield block
                break
        else:
            searched = len(held)
