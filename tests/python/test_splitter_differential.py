"""The two piece splitters, run through the `tessel_split` tool of the build in
$TESSEL_BUILD_DIR (skipped when absent), against the published pre-tokenization patterns
run by `regex`. Exact mode: the patterns unchanged, on any text. Classic mode: unchanged
on texts that avoid our documented departures, with the departures written in
(`pattern(encoding, True)`) on all other texts."""
import functools
import os
import pathlib
import random
import subprocess
import sysconfig
import unicodedata

import pytest

regex = pytest.importorskip("regex")
try:
    import unicodedata2  # Unicode 16.0.0, the version of our category table
except ImportError:  # pragma: no cover - optional, narrows the stable set further
    unicodedata2 = None

# The published patterns (data/*.pattern, copied from the published encodings).
PUBLISHED_PATTERNS = {
    name: (pathlib.Path(__file__).resolve().parents[2] / "data" / f"{name}.pattern").read_text().strip()
    for name in ("cl100k_base", "o200k_base")
}
ENCODINGS = sorted(PUBLISHED_PATTERNS)


def pattern(encoding, departures):
    """The published pattern, or with departures=True our documented departures from it:
    U+2019 is an apostrophe in contractions; a whitespace run ends after its first run of
    line breaks; in o200k_base a piece starting with a mark that is followed by neither a
    letter nor a mark is not a word. (U+180E, whitespace for us, is kept out of inputs.)"""
    p = PUBLISHED_PATTERNS[encoding]
    if departures:
        p = p.replace("'", "['\u2019]").replace(r"\s*[\r\n]+", r"[^\S\r\n]*[\r\n]+")
        word_start = r"[^\r\n\p{L}\p{N}]?[\p{Lu}"
        p = p.replace(word_start, r"(?!\p{M}(?![\p{L}\p{M}]))" + word_start)
        assert p.count(word_start) == (2 if encoding == "o200k_base" else 0)
    return regex.compile(p)


TOOL = pathlib.Path(os.environ.get("TESSEL_BUILD_DIR", "/nonexistent")) / "tessel_split"
pytestmark = pytest.mark.skipif(not TOOL.is_file(), reason="TESSEL_BUILD_DIR has no tessel_split")


def our_pieces(encoding, text, exact=False):
    data = text.encode("utf-8", "surrogatepass")
    out = subprocess.run([str(TOOL), *(["--exact"] if exact else []), encoding], input=data,
                         capture_output=True, check=True).stdout
    # A cut inside a character makes decode raise.
    return [data[int(a):int(b)].decode("utf-8") for a, b in map(bytes.split, out.splitlines())]


def assert_same_pieces(encoding, text, departures, exact=False):
    """Classic mode against the pattern with or without departures; exact mode against
    the published pattern."""
    ours = our_pieces(encoding, text, exact)
    theirs = [m.group() for m in pattern(encoding, departures and not exact).finditer(text)]
    i = next((k for k, (a, b) in enumerate(zip(ours, theirs)) if a != b),
             min(len(ours), len(theirs)))
    at = sum(map(len, ours[:i]))
    assert ours[i:i + 5] == theirs[i:i + 5], (
        f"{encoding}: piece {i} at character {at}: {text[max(0, at - 20):at + 30]!r}")


WHITESPACE = set("\t\n\x0b\x0c\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000") | {
    chr(c) for c in range(0x2000, 0x200B)}
PROPERTY_RES = [regex.compile(p) for p in
                (r"\p{Lu}", r"\p{Ll}", r"\p{Lt}", r"\p{Lm}", r"\p{Lo}", r"\p{M}", r"\p{N}", r"\s")]


# Characters on whose splitter-relevant properties `regex`, unicodedata and (when
# installed) unicodedata2 16.0.0 agree; anything else becomes "?", and so does U+180E
# unless the text is for exact mode.
@functools.cache
def is_stable(ch):
    props = tuple(bool(r.match(ch)) for r in PROPERTY_RES)
    for db in filter(None, (unicodedata, unicodedata2)):
        c = db.category(ch)
        if props != (c == "Lu", c == "Ll", c == "Lt", c == "Lm", c == "Lo", c[0] == "M",
                     c[0] == "N", ch in WHITESPACE):
            return False
    return True


def stabilize(text, exact=False):
    return "".join(ch if is_stable(ch) and (exact or ch != "\u180e") else "?" for ch in text)


LETTERS = [
    "abcdefghijklmnopqrstuvwxyz", "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "éèàçñößøå", "ÉÈÀÇÑÖØÅ",
    "αβγσςω", "ΑΒΓΣΩ", "абвгдж", "АБВГДЖ", "ǅǈǋ", "ʰʲˠ々ー", "中文字使用漢", "한국어",
    "あいうアイウ", "אבג", "عربي", "กขค", "कखग", "ﬀﬁ",
]
MARKS = "\u0301\u0300\u0308\u093e\u0e31\u0651\u20dd\u3099\ufe0f"
NUMBERS = "0123456789²³¹¼¾ⅫⅣ٣١१〇"
PUNCTUATION = "!\"#$%&()*+,-./:;<=>?@[\\]^_`{|}~«»—–…€£©™、。「」¿¡§"
WHITESPACE_TOKENS = [" ", " ", "  ", "   ", "\t", "\n", "\n\n", "\r\n", "\r", "\u3000",
                     "\u00a0", "\u2003", "\u0085", "\u2028", "\x0b", "\x0c", " \n", "\t\n "]
OTHERS = ["\x00", "\x07", "\u200b", "\u200d", "\ue000", "\u0378", "😀", "👍🏽", "🇩🇪", "\ufeff",
          "\u180e"]
CONTRACTIONS = ["s", "t", "re", "ve", "ll", "d", "m", "LL", "Re", "VE", "S"]


def _word(rng, allow_marks):
    alphabet = rng.choice(LETTERS)
    chars = [rng.choice(alphabet) for _ in range(rng.randint(1, 8))]
    if rng.random() < 0.3:  # mix cases / scripts inside a word
        other = rng.choice(LETTERS)
        chars.insert(rng.randint(0, len(chars)), rng.choice(other))
    if allow_marks and rng.random() < 0.3:
        chars.insert(rng.randint(1, len(chars)), rng.choice(MARKS))
    return "".join(chars)


def generate_text(rng, size, departures, exact=False):
    """Random mix of words of many scripts and cases, digits, punctuation, whitespace,
    apostrophes, marks and emoji. With departures=False it leaves out U+2019, marks, and
    whitespace runs holding more than one run of line breaks."""
    parts, length, last_ws = [], 0, False
    while length < size:
        kind = rng.random()
        ws = 0.35 <= kind < 0.5
        if ws and last_ws and not departures:
            continue
        if kind < 0.35:
            part = _word(rng, departures)
        elif ws:
            part = rng.choice(WHITESPACE_TOKENS)
        elif kind < 0.6:
            part = "".join(rng.choice(NUMBERS) for _ in range(rng.randint(1, 7)))
        elif kind < 0.75:
            part = "".join(rng.choice(PUNCTUATION) for _ in range(rng.randint(1, 4)))
        elif kind < 0.85:
            part = (rng.choice("''\u2019") if departures else "'") + rng.choice(CONTRACTIONS)
        elif kind < 0.92:
            part = rng.choice(OTHERS)
        elif departures:
            part = "".join(rng.choice(MARKS) for _ in range(rng.randint(1, 2)))
        else:
            part = rng.choice(PUNCTUATION)
        last_ws = ws
        parts.append(part)
        length += len(part)
    return stabilize("".join(parts), exact)


# (mode, departures): classic mode on text without and with the constructs where it
# departs; exact mode on text with all of them.
@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("exact,departures,seed", [(False, True, s) for s in range(3)]
                         + [(False, False, s) for s in range(100, 103)]
                         + [(True, True, s) for s in range(200, 203)])
def test_generated_texts(encoding, exact, departures, seed):
    text = generate_text(random.Random(seed), 150_000, departures, exact)
    assert_same_pieces(encoding, text, departures, exact)


# Single characters on rule boundaries, drawn uniformly: every pair and triple of them
# occurs many times in a text of this size.
TRICKY = list("aZ'sStTlLvVrReEdDmM1 \t\n\r!/.") + [
    "\u0301", "\u02b0", "\u4e2d", "\u01c5", "\u00e9", "\u00c9", "\u3000", "\u00a0",
    "\u0085", "\u2019", "\u2160", "\u00b2", "\U0001f600", "\u093e", "\u20dd", "\x0b",
    "\u2028", "\u180e", "\r\n", " \n", "\n "]


@pytest.mark.parametrize("exact", [False, True], ids=["classic", "exact"])
@pytest.mark.parametrize("encoding", ENCODINGS)
def test_dense_tricky_mix(encoding, exact):
    rng = random.Random(7)
    text = stabilize("".join(rng.choice(TRICKY) for _ in range(200_000)), exact)
    assert_same_pieces(encoding, text, departures=True, exact=exact)


STDLIB = pathlib.Path(sysconfig.get_paths()["stdlib"])
CORPORA = {
    "prose": lambda: pathlib.Path("/usr/share/common-licenses").glob("*"),
    "code": lambda: STDLIB.glob("*.py"),
    "cjk": lambda: (STDLIB / "test" / "cjkencodings").glob("*-utf8.txt"),
}


@pytest.mark.parametrize("exact", [False, True], ids=["classic", "exact"])
@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("corpus", sorted(CORPORA))
def test_real_texts(encoding, corpus, exact):
    texts = [p.read_bytes().decode("utf-8", "replace") for p in sorted(CORPORA[corpus]())
             if p.is_file()]
    if not texts:
        pytest.skip("corpus not found on this machine")
    assert_same_pieces(encoding, stabilize("\n".join(texts), exact), departures=True,
                       exact=exact)
