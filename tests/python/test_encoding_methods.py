"""Encoding, counting and batch methods of Tokenizer and BytePairEncoding."""

import pathlib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessel.bpe import openai

CL100K, O200K = openai.cl100k_base(), openai.o200k_base()
TOKENIZERS = pytest.mark.parametrize("tok", [CL100K, O200K], ids=["cl100k", "o200k"])
# Any code point except the surrogates, which have no UTF-8 form.
ANY_TEXT = st.text(st.characters(blacklist_categories=("Cs",)), max_size=300)
TEXTS = ["", " ", "hello world", "a  b", "\n\n \t x", "caf\u00e9 \u3000\u4e2d\u6587",
         "\U0001f600\U0001f44d\U0001f3fd", "1234567 89", "don't DON\u2019T", "\u0300x"]
for _path in sorted(pathlib.Path("/usr/share/common-licenses").glob("*"))[:4]:
    if _path.is_file():
        TEXTS += _path.read_text(errors="replace").split("\n\n")[:60]


@pytest.mark.parametrize("tok,known", [
    (CL100K, {"hello world": [15339, 1917], "a  b": [64, 220, 293]}),
    (O200K, {"hello world": [24912, 2375]}),
], ids=["cl100k", "o200k"])
def test_known_ids_and_empty_text(tok, known):
    assert {text: tok.encode(text) for text in known} == known
    bpe = tok.bpe()
    assert (tok.encode(""), tok.count(""), tok.count_till_limit("", 0)) == ([], 0, 0)
    assert (bpe.count(b""), bpe.encode_via_backtracking(b"")) == (0, [])


@TOKENIZERS
@settings(max_examples=150, deadline=None)
@given(text=ANY_TEXT, data=st.binary(max_size=200))
def test_round_trip_and_count(tok, text, data):
    bpe, raw = tok.bpe(), text.encode()
    ids = tok.encode(text)
    n = len(ids)
    assert tok.decode(ids) == text and bpe.decode_tokens(ids) == raw and tok.count(text) == n
    for same in (raw, bytearray(raw), memoryview(raw)):
        assert (tok.encode(same), tok.count(same), tok.count_till_limit(same, n)) == (ids, n, n)
    # The byte-level encoder and the text methods take any bytes, valid UTF-8 or not.
    ids = bpe.encode_via_backtracking(data)
    assert bpe.count(data) == len(ids) and bpe.decode_tokens(ids) == data
    for same in (bytearray(data), memoryview(data)):
        assert bpe.encode_via_backtracking(same) == ids
    assert bpe.decode_tokens(tok.encode(data)) == data


@TOKENIZERS
def test_count_till_limit(tok):
    for text in TEXTS[:40]:
        n = tok.count(text)
        assert tok.count_till_limit(text, n) == tok.count_till_limit(text, n + 10) == n
        if n > 0:
            assert tok.count_till_limit(text, n - 1) is tok.count_till_limit(text, 0) is None
    assert tok.count_till_limit("word " * 100_000, 5) is None
    with pytest.raises(ValueError, match="negative"):
        tok.count_till_limit("abc", -1)
    for limit, error in [(1.5, TypeError), (2**64, OverflowError)]:
        with pytest.raises(error):
            tok.count_till_limit("abc", limit)


def test_argument_errors():
    for call, error in [
        (lambda: CL100K.encode(5), TypeError), (lambda: CL100K.encode_batch(("a",)), TypeError),
        (lambda: CL100K.encode_batch_parallel("ab"), TypeError),  # a str is no list of texts
        (lambda: CL100K.bpe().count("a"), TypeError),  # the byte-level encoder takes no str
        (lambda: CL100K.encode("lone \ud800 surrogate"), UnicodeEncodeError),
    ]:
        with pytest.raises(error):
            call()


@TOKENIZERS
def test_batches_equal_encode_in_order(tok):
    for texts in (TEXTS, TEXTS[:1], [], [""], ["", ""]):
        expected = [tok.encode(t) for t in texts]
        total = sum(map(len, expected))
        lists, count, seconds = tok.encode_batch(texts)
        assert (lists, count) == (expected, total) and seconds >= 0.0
        for options in ((), (None,), (openai.ParallelOptions(1, 1, 1),), (object(),)):
            lists, count, seconds, threads = tok.encode_batch_parallel(texts, *options)
            assert (lists, count, threads) == (expected, total, openai.get_num_threads())
            assert seconds >= 0.0


def test_batch_larger_than_the_job_ring():
    texts = [f"text number {i} " + "x" * (i % 37) for i in range(10_000)]
    lists, total, _, _ = CL100K.encode_batch_parallel(texts)
    assert [CL100K.decode(ids) for ids in lists] == texts
    assert total == sum(map(len, lists))


@pytest.mark.parametrize("method", ["encode_batch", "encode_batch_parallel"])
def test_bad_batch_element_fails_whole_call(method):
    call = getattr(CL100K, method)
    for bad, error, match in [(["ok", 5], TypeError, "str"), (["ok", b"bytes"], TypeError, "str"),
                              ([None], TypeError, "str"),
                              (["ok", "\udc80"], UnicodeEncodeError, None)]:
        with pytest.raises(error, match=match):
            call(bad)

    class Text(str):
        pass

    assert call([Text("hello world")])[0] == [[15339, 1917]]
