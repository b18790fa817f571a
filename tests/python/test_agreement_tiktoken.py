"""Whole-text ids equal those of the reference tokenizer `tiktoken` (a black box, its
encodings built from this project's own rank files) on real text of this machine.

Texts are first cleared of the few constructs where our splitting rules deliberately
differ from the published patterns (see the differential splitter test): whitespace
between line breaks, U+2019 and U+180E.
"""
import glob
import os
import re
import sysconfig
from pathlib import Path

import pytest

tiktoken = pytest.importorskip("tiktoken")
from tiktoken.load import load_tiktoken_bpe  # noqa: E402

from tessel.bpe import openai  # noqa: E402

DATA = Path(__file__).resolve().parents[2] / "data"
STDLIB = Path(sysconfig.get_paths()["stdlib"])
MAKERS = {"cl100k_base": openai.cl100k_base, "o200k_base": openai.o200k_base}


def reference(name):
    return tiktoken.Encoding(
        name=f"reference_{name}",
        pat_str=(DATA / f"{name}.pattern").read_text().strip(),
        mergeable_ranks=load_tiktoken_bpe(str(DATA / f"{name}.tiktoken")),
        special_tokens={},
    )


def read(paths):
    texts = []
    for path in paths:
        try:
            texts.append(Path(path).read_text(encoding="utf-8"))
        except (OSError, UnicodeDecodeError):
            pass
    return "\n".join(texts)


def without_departures(text):
    text = re.sub(r"[^\S\r\n]+(?=[\r\n])", "", text)  # whitespace before a line break
    return text.replace("\u2019", "'").replace("\u180e", " ")


CORPORA = {
    "english": lambda: read(sorted(glob.glob("/usr/share/common-licenses/*"))[:12]),
    "python": lambda: read(sorted(STDLIB.glob("*.py"))[:40]),
    "c": lambda: read(sorted(glob.glob("/usr/include/*.h"))[:60]),
    "cjk": lambda: read(sorted(STDLIB.glob("test/cjkencodings/*-utf8.txt"))),
}


def first_difference(ours, theirs):
    for i, (a, b) in enumerate(zip(ours, theirs)):
        if a != b:
            return i
    return min(len(ours), len(theirs))


@pytest.mark.parametrize("corpus", sorted(CORPORA))
@pytest.mark.parametrize("name", sorted(MAKERS))
def test_ids_equal_reference_on_real_text(name, corpus):
    text = without_departures(CORPORA[corpus]())
    if not text:
        pytest.skip(f"no {corpus} text on this machine")
    ours = MAKERS[name]().encode(text)
    theirs = reference(name).encode_ordinary(text)
    if ours != theirs:
        i = first_difference(ours, theirs)
        context = reference(name).decode(theirs[max(0, i - 5) : i + 5])
        pytest.fail(f"first difference at token {i}, near {context!r}")


@pytest.mark.parametrize("name", sorted(MAKERS))
def test_known_ids(name):
    tok = MAKERS[name]()
    expected = {"cl100k_base": [15339, 1917], "o200k_base": [24912, 2375]}[name]
    assert tok.encode("hello world") == expected
    assert reference(name).encode_ordinary("hello world") == expected
