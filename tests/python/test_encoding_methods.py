"""Encoding, counting and batch methods of Tokenizer and BytePairEncoding."""

import pathlib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessel.bpe import openai

CL100K = openai.cl100k_base()
O200K = openai.o200k_base()
TOKENIZERS = pytest.mark.parametrize("tok", [CL100K, O200K], ids=["cl100k", "o200k"])

# Any code point except the surrogates, which have no UTF-8 form.
ANY_TEXT = st.text(st.characters(blacklist_categories=("Cs",)), max_size=300)


def sample_texts():
    texts = ["", " ", "hello world", "a  b", "\n\n \t x", "caf\u00e9 \u3000\u4e2d\u6587",
             "\U0001f600\U0001f44d\U0001f3fd", "1234567 89", "don't DON\u2019T", "\u0300x"]
    licenses = pathlib.Path("/usr/share/common-licenses")
    if licenses.is_dir():
        for path in sorted(licenses.iterdir())[:4]:
            if path.is_file():
                texts.extend(path.read_text(errors="replace").split("\n\n")[:60])
    return texts


TEXTS = sample_texts()


def test_known_ids():
    assert CL100K.encode("hello world") == [15339, 1917]
    assert O200K.encode("hello world") == [24912, 2375]
    assert CL100K.encode("a  b") == [64, 220, 293]


@TOKENIZERS
def test_empty_text(tok):
    assert tok.encode("") == []
    assert tok.count("") == 0
    assert tok.count_till_limit("", 0) == 0
    assert tok.bpe().count(b"") == 0
    assert tok.bpe().encode_via_backtracking(b"") == []


@TOKENIZERS
@settings(max_examples=150, deadline=None)
@given(text=ANY_TEXT)
def test_round_trip_and_count(tok, text):
    ids = tok.encode(text)
    assert tok.decode(ids) == text
    assert tok.count(text) == len(ids)
    assert tok.bpe().decode_tokens(ids) == text.encode()
    assert tok.encode(text.encode()) == ids


@TOKENIZERS
@settings(max_examples=100, deadline=None)
@given(data=st.binary(max_size=200))
def test_bytes_level_encoder(tok, data):
    bpe = tok.bpe()
    ids = bpe.encode_via_backtracking(data)
    assert bpe.count(data) == len(ids)
    assert bpe.decode_tokens(ids) == data
    assert bpe.encode_via_backtracking(bytearray(data)) == ids
    assert bpe.encode_via_backtracking(memoryview(data)) == ids
    # Text methods take any bytes too, valid UTF-8 or not.
    assert bpe.decode_tokens(tok.encode(data)) == data


@TOKENIZERS
def test_bytes_like_inputs_equal_str(tok):
    text = "Gr\u00fc\u00dfe, \u4e16\u754c! \U0001f600 done"
    raw = text.encode()
    assert tok.encode(raw) == tok.encode(text)
    assert tok.count(raw) == tok.count(text)
    assert tok.count_till_limit(raw, 100) == tok.count(text)
    with pytest.raises(TypeError):
        tok.encode(bytearray(raw))  # writable buffers are refused
    with pytest.raises(TypeError):
        tok.bpe().count(text)  # the byte-level encoder takes no str
    with pytest.raises(UnicodeEncodeError):
        tok.encode("lone \ud800 surrogate")


@TOKENIZERS
def test_count_till_limit(tok):
    for text in TEXTS[:40]:
        n = tok.count(text)
        assert tok.count_till_limit(text, n) == n
        assert tok.count_till_limit(text, n + 10) == n
        if n > 0:
            assert tok.count_till_limit(text, n - 1) is None
            assert tok.count_till_limit(text, 0) is None
    assert tok.count_till_limit("word " * 100_000, 5) is None
    with pytest.raises(ValueError, match="negative"):
        tok.count_till_limit("abc", -1)
    with pytest.raises(TypeError):
        tok.count_till_limit("abc", 1.5)
    with pytest.raises(OverflowError):
        tok.count_till_limit("abc", 2**64)


def test_argument_errors():
    for call in (lambda: CL100K.encode(5), lambda: CL100K.count(), lambda: CL100K.encode("a", "b"),
                 lambda: CL100K.encode_batch(("a",)), lambda: CL100K.encode_batch_parallel("ab")):
        with pytest.raises(TypeError):
            call()


@TOKENIZERS
def test_batches_equal_encode_in_order(tok):
    expected = [tok.encode(t) for t in TEXTS]
    total = sum(map(len, expected))
    lists, count, seconds = tok.encode_batch(TEXTS)
    assert (lists, count) == (expected, total)
    assert seconds >= 0.0
    for options in (None, openai.ParallelOptions(1, 1, 1), object()):
        lists, count, seconds, threads = tok.encode_batch_parallel(TEXTS, options)
        assert (lists, count) == (expected, total)
        assert seconds >= 0.0 and threads == openai.get_num_threads()
    assert tok.encode_batch_parallel(TEXTS[:1])[0] == expected[:1]


@TOKENIZERS
def test_empty_batches(tok):
    lists, total, seconds = tok.encode_batch([])
    assert (lists, total) == ([], 0) and 0.0 <= seconds < 1.0
    lists, total, seconds, threads = tok.encode_batch_parallel([])
    assert (lists, total, threads) == ([], 0, openai.get_num_threads())
    assert tok.encode_batch([""])[:2] == ([[]], 0)
    assert tok.encode_batch_parallel(["", ""])[:2] == ([[], []], 0)


def test_batch_larger_than_the_job_ring():
    texts = [f"text number {i} " + "x" * (i % 37) for i in range(10_000)]
    lists, total, _, _ = CL100K.encode_batch_parallel(texts)
    assert len(lists) == 10_000
    assert all(CL100K.decode(ids) == text for ids, text in zip(lists, texts))
    assert total == sum(map(len, lists))


@pytest.mark.parametrize("method", ["encode_batch", "encode_batch_parallel"])
def test_bad_batch_element_fails_whole_call(method):
    call = getattr(CL100K, method)
    for bad in (["ok", 5], ["ok", b"bytes"], [None]):
        with pytest.raises(TypeError, match="str"):
            call(bad)
    with pytest.raises(UnicodeEncodeError):
        call(["ok", "\udc80"])

    class Text(str):
        pass

    assert call([Text("hello world")])[0] == [[15339, 1917]]
