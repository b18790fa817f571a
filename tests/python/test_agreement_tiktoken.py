"""Whole-text ids equal those of the reference tokenizer `tiktoken` (a black box, its
encodings built from this project's own rank files) on real text of this machine.

For `tessel.bpe.openai`, texts are first cleared of the few constructs where its
splitting rules deliberately differ from the published patterns (see the differential
splitter test): whitespace between line breaks, U+2019 and U+180E. The exact splitting
mode takes the texts as they are.
"""
import glob
import os
import re
import subprocess
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


SPLIT_TOOL = Path(os.environ.get("TESSEL_BUILD_DIR", "/nonexistent")) / "tessel_split"


@pytest.mark.skipif(not SPLIT_TOOL.is_file(), reason="TESSEL_BUILD_DIR has no tessel_split")
@pytest.mark.parametrize("corpus", sorted(CORPORA))
@pytest.mark.parametrize("name", sorted(MAKERS))
def test_exact_split_ids_equal_reference_on_real_text(name, corpus):
    # Real text plus the constructs where the exact mode parts from tessel.bpe.openai.
    text = CORPORA[corpus]() + "x\n \ny\r\n\t\n don\u2019t \u180e\u180ex \u0301's \u0301!"
    data = text.encode("utf-8")
    pieces = subprocess.run([str(SPLIT_TOOL), "--exact", name], input=data,
                            capture_output=True, check=True).stdout
    bpe = MAKERS[name]().bpe()
    ours = []
    for line in pieces.splitlines():
        start, end = map(int, line.split())
        ours += bpe.encode_via_backtracking(data[start:end])
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
