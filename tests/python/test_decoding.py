"""Decoding methods: bad ids, invalid UTF-8, and the id-list argument rules."""

import pytest

from tessel.bpe import openai

CL100K = openai.cl100k_base()
O200K = openai.o200k_base()
ENCODINGS = [(CL100K, 100_256), (O200K, 199_998)]


@pytest.mark.parametrize("tok,n_tokens", ENCODINGS)
def test_empty_and_out_of_vocabulary(tok, n_tokens):
    bpe = tok.bpe()
    assert tok.decode([]) == ""
    assert bpe.decode_tokens([]) == b""
    assert tok.decode_batch([]) == []
    last = tok.decode([n_tokens - 1])
    assert isinstance(last, str) or last is None
    assert bpe.decode_tokens([n_tokens - 1]) != b""
    assert tok.decode([n_tokens]) is None
    assert tok.decode([1, 2, n_tokens]) is None
    assert bpe.decode_tokens([n_tokens]) == b""
    assert bpe.decode_tokens([2**31 - 1]) == b""
    assert tok.decode_batch([[15], [n_tokens], []]) == [tok.decode([15]), None, ""]


def test_invalid_utf8_gives_none_but_bytes_decode():
    bpe = CL100K.bpe()
    high = [i for i in range(256) if bpe.decode_tokens([i])[0] >= 0x80]
    assert len(high) == 128
    for token in high:
        assert CL100K.decode([token]) is None
    # A character split over two tokens is invalid on its own, valid together.
    assert CL100K.decode(bpe.encode_via_backtracking(b"\xc3")) is None
    assert CL100K.decode(bpe.encode_via_backtracking("\u00e9".encode())) == "\u00e9"


@pytest.mark.parametrize(
    "method",
    [
        lambda ids: CL100K.decode(ids),
        lambda ids: CL100K.bpe().decode_tokens(ids),
        lambda ids: CL100K.decode_batch([[1], ids]),
        lambda ids: CL100K.decode_batch_parallel([ids], None),
    ],
)
def test_bad_id_values_raise(method):
    with pytest.raises(TypeError):
        method([1, "2"])
    with pytest.raises(TypeError):
        method([1.0])
    with pytest.raises(OverflowError):
        method([2**31])
    with pytest.raises(OverflowError):
        method([2**70])
    with pytest.raises(ValueError, match="negative"):
        method([5, -1])
    with pytest.raises(OverflowError):
        method([-(2**40)])


def test_argument_must_be_a_list():
    for call in (CL100K.decode, CL100K.bpe().decode_tokens, CL100K.decode_batch):
        with pytest.raises(TypeError):
            call((1, 2))
        with pytest.raises(TypeError):
            call("abc")
        with pytest.raises(TypeError):
            call()

    class IdList(list):
        pass

    assert CL100K.decode(IdList([15339])) == "hello"
    assert CL100K.decode_batch([IdList([15339])]) == ["hello"]


def test_batch_element_not_a_list():
    with pytest.raises(TypeError, match="^expected list of ints$"):
        CL100K.decode_batch([[15339], 1917])
    with pytest.raises(TypeError, match="^expected list of ints$"):
        CL100K.decode_batch_parallel([(15339,)])


def test_decode_batch_parallel_equals_decode_batch():
    batch = [CL100K.encode(t) for t in ["hello", "", "w\u00f6rld \U0001f600", "x" * 100]]
    batch.append([100_256])
    expected = CL100K.decode_batch(batch)
    assert expected[:4] == ["hello", "", "w\u00f6rld \U0001f600", "x" * 100]
    assert expected[4] is None
    for options in (None, openai.ParallelOptions(max_threads=2), "ignored", 7):
        assert CL100K.decode_batch_parallel(batch, options) == expected
    assert CL100K.decode_batch_parallel(batch) == expected


def test_index_that_mutates_the_list_is_safe():
    ids = [15339, 1917, 15339]

    class Evil:
        def __index__(self):
            ids.clear()
            return 15339

    ids.insert(1, Evil())
    assert CL100K.decode(ids) in ("hello", "hellohello")
