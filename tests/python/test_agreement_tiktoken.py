"""Whole-text ids against the reference tokenizer `tiktoken` (a black box, its encodings
built from this project's own rank files, never downloaded).

On real text of this machine, cleared for `tessel.bpe.openai` of the few constructs where
its splitting rules deliberately differ from the published patterns (whitespace between
line breaks, U+2019 and U+180E), the ids are equal; the exact splitting mode takes the
texts as they are. On generated strings that are full of those constructs,
`tessel.bpe.openai` gives the reference's ids of the pieces its rules cut, and the
compatible layer gives the reference's ids.
TESSEL_DIFFERENTIAL_STRINGS sets how many strings each generated test takes (2,000 by
default; a million for a long run).
"""
import functools
import glob
import os
import random
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


@functools.cache
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


# --- Generated strings.

STRINGS = int(os.environ.get("TESSEL_DIFFERENTIAL_STRINGS", "2000"))
LOOKALIKES = ["<|endoftext|>", "<|endoftext", "endoftext|>", "<|fim_prefix|>", "<|fim_middle|>",
              "<|endofprompt|>", "<|", "|>", "<|endoftext|>x", "< |endoftext| >"]
SEPARATORS = ["\u180e", "\u2019", "'", "\u2019s", "'S", "\u2019ll"]


def generated_strings(seed):
    """Short strings (most of the splitting rules' edges are at the ends of a text) mixing
    scripts, marks, digits, every kind of whitespace, both apostrophes, emoji, U+180E and
    special-token look-alikes. Characters whose classes differ between Unicode versions
    are replaced, so that only our rules decide."""
    from test_splitter_differential import generate_text

    rng = random.Random(seed)
    for _ in range(STRINGS):
        text = generate_text(rng, rng.randint(1, 40), departures=True)
        for _ in range(rng.choice((0, 0, 1, 2))):
            at = rng.randint(0, len(text))
            text = text[:at] + rng.choice(LOOKALIKES + SEPARATORS) + text[at:]
        yield text


def expected_openai_ids(name, text):
    """The reference's ids of each piece our rules cut: the published pattern with our
    documented departures written in. U+180E, whitespace to us, is split as U+2000."""
    from test_splitter_differential import pattern

    as_split = text.replace("\u180e", "\u2000")
    ids = []
    for m in pattern(name, True).finditer(as_split):
        ids += reference(name)._encode_single_piece(text[m.start():m.end()].encode())
    return ids


@pytest.mark.parametrize("name", sorted(MAKERS))
def test_generated_strings_specified_api(name):
    tok = MAKERS[name]()
    mismatches = [(text, ours, theirs) for text in generated_strings(1)
                  if (ours := tok.encode(text)) != (theirs := expected_openai_ids(name, text))]
    assert not mismatches, f"{len(mismatches)} of {STRINGS} strings differ, e.g. " + "; ".join(
        f"{text!r}: {ours} != {theirs}" for text, ours, theirs in mismatches[:5])


@pytest.mark.parametrize("name", sorted(MAKERS))
def test_generated_strings_exact_layer(name):
    import tessel

    ours, theirs = tessel.get_encoding(name), reference(name)
    mismatches = [(text, mine, expected) for text in generated_strings(2)
                  if (mine := ours.encode_ordinary(text)) != (expected := theirs.encode_ordinary(text))]
    assert not mismatches, f"{len(mismatches)} of {STRINGS} strings differ, e.g. " + "; ".join(
        f"{text!r}: {mine} != {expected}" for text, mine, expected in mismatches[:5])
