"""Benchmark inputs, made at run time from text that ships with the machine.

Each corpus is a list of documents (one per source file or message catalog): the batch
operations take the list, the single-text operations the documents joined by newlines.
Sizes are capped so that a full benchmark run stays short; the choice of files is sorted
and therefore the same on every run of the same machine.
"""
from __future__ import annotations

import base64
import glob
import gzip
import random
import string
import struct
import sysconfig
from pathlib import Path

# The published pre-tokenization patterns of the two encodings (data/*.pattern). The peer is
# built with these and the project's own rank files (data/*.tiktoken).
PUBLISHED_PATTERNS = {
    name: (Path(__file__).resolve().parents[1] / "data" / f"{name}.pattern").read_text().strip()
    for name in ("cl100k_base", "o200k_base")
}

STDLIB = Path(sysconfig.get_paths()["stdlib"])
MIB = 1 << 20

# Languages of the multilingual corpus: their message catalogs (Debian's translations of
# program messages) cover many scripts; the interpreter's CJK test texts come first.
CATALOG_LANGUAGES = (
    "ar", "bn", "de", "el", "es", "fa", "fr", "he", "hi", "hy", "ja", "ka", "ko", "pl",
    "ru", "ta", "th", "tr", "uk", "vi", "zh_CN",
)


def _read_text(path: Path | str) -> str | None:
    try:
        data = Path(path).read_bytes()
        if str(path).endswith(".gz"):
            data = gzip.decompress(data)
        return data.decode("utf-8")
    except (OSError, UnicodeDecodeError, EOFError, gzip.BadGzipFile):
        return None


def _documents(paths, cap_bytes: int) -> list[str]:
    docs, size = [], 0
    for path in paths:
        if size >= cap_bytes:
            break
        text = _read_text(path)
        if text:
            docs.append(text)
            size += len(text.encode("utf-8"))
    return docs


def _catalog_messages(path: str) -> str | None:
    """The translated messages of a GNU message catalog (.mo), one per line."""
    try:
        data = Path(path).read_bytes()
        magic = struct.unpack_from("<I", data)[0]
        order = "<" if magic == 0x950412DE else ">"
        _, count, _, translations = struct.unpack_from(order + "4I", data, 4)
        messages = []
        for i in range(1, count):  # entry 0 is the catalog header
            length, offset = struct.unpack_from(order + "2I", data, translations + 8 * i)
            raw = data[offset:offset + length]
            messages.extend(m.decode("utf-8") for m in raw.split(b"\0") if m)
        return "\n".join(messages) or None
    except (OSError, struct.error, UnicodeDecodeError):
        return None


def english(cap_bytes: int = MIB) -> list[str]:
    """English prose: the license texts of /usr/share/common-licenses."""
    return _documents(sorted(glob.glob("/usr/share/common-licenses/*")), cap_bytes)


def code(cap_bytes: int = 3 * MIB // 2) -> list[str]:
    """Source code: the interpreter's Lib/*.py (two thirds) and C headers of /usr/include."""
    python = _documents(sorted(STDLIB.glob("*.py")), cap_bytes * 2 // 3)
    c = _documents(sorted(glob.glob("/usr/include/*.h")), cap_bytes // 3)
    return python + c


def _first_lines(text: str, max_bytes: int) -> str:
    """The leading lines of `text` that fit in `max_bytes` (at least one line)."""
    lines, size = [], 0
    for line in text.split("\n"):
        size += len(line.encode("utf-8")) + 1
        if lines and size > max_bytes:
            break
        lines.append(line)
    return "\n".join(lines)


def package_docs(cap_bytes: int = MIB) -> list[str]:
    """Another kind of English: the plain-text READMEs, NEWS, TODO and *.txt files of
    /usr/share/doc (short tab-indented paragraphs, quotations, tables, some ASCII art)."""
    names = ("README*", "NEWS", "TODO", "*.txt")
    paths = {p for name in names for p in glob.glob(f"/usr/share/doc/**/{name}", recursive=True)}
    return _documents(sorted(p for p in paths if not p.endswith(".gz")), cap_bytes)


def multilingual(cap_bytes: int = MIB, per_language: int = 44 * 1024) -> list[str]:
    """Many scripts: the interpreter's CJK test texts (Han, Kana, Hangul), then program
    messages of Debian's translations, at most `per_language` bytes per language (Arabic,
    Bengali, Latin, Greek, Hebrew, Devanagari, Armenian, Georgian, Cyrillic, Tamil, Thai
    and more, as far as the machine has them)."""
    docs = _documents(sorted(STDLIB.glob("test/cjkencodings/*-utf8.txt")), cap_bytes)
    size = sum(len(d.encode("utf-8")) for d in docs)
    for language in CATALOG_LANGUAGES:
        taken = 0
        for path in sorted(glob.glob(f"/usr/share/locale/{language}/LC_MESSAGES/*.mo")):
            if taken >= per_language or size >= cap_bytes:
                break
            text = _catalog_messages(path)
            if text:
                text = _first_lines(text, per_language - taken)
                docs.append(text)
                taken += len(text.encode("utf-8"))
        size += taken
    return docs


def pathological(size: int = MIB) -> dict[str, str]:
    """Single long pieces of `size` bytes of UTF-8 each."""
    rnd = random.Random(20240601)
    punctuation = "".join(rnd.choice(string.punctuation) for _ in range(size))
    letters = "".join(rnd.choice(string.ascii_letters) for _ in range(size))
    blob = base64.b64encode(rnd.randbytes(size * 3 // 4 + 3)).decode("ascii")[:size]
    return {
        "one letter": "a" * size,
        "random letters": letters,
        "base64 blob": blob,
        "spaces": " " * size,
        "punctuation": punctuation,
        "one CJK character": "\u4e2d" * (size // 3),
    }


CORPORA = {"English prose": english, "code": code, "package docs": package_docs,
           "multilingual": multilingual}
