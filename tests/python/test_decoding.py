"""Decoding methods: bad ids, invalid UTF-8, and the id-list argument rules."""

import pytest

from tessel.bpe import openai

CL100K = openai.cl100k_base()


@pytest.mark.parametrize("tok,n_tokens", [(CL100K, 100_256), (openai.o200k_base(), 199_998)])
def test_empty_and_out_of_vocabulary(tok, n_tokens):
    bpe = tok.bpe()
    assert (tok.decode([]), bpe.decode_tokens([]), tok.decode_batch([])) == ("", b"", [])
    last = bpe.decode_tokens([n_tokens - 1])
    assert last != b"" and tok.decode([n_tokens - 1]) == last.decode()
    assert tok.decode([n_tokens]) is None and tok.decode([1, 2, n_tokens]) is None
    assert bpe.decode_tokens([n_tokens]) == bpe.decode_tokens([2**31 - 1]) == b""
    assert tok.decode_batch([[15], [n_tokens], []]) == [tok.decode([15]), None, ""]


def test_invalid_utf8_gives_none_but_bytes_decode():
    bpe = CL100K.bpe()
    high = [i for i in range(256) if bpe.decode_tokens([i])[0] >= 0x80]
    assert len(high) == 128
    assert all(CL100K.decode([token]) is None for token in high)
    # A character split over two tokens is invalid on its own, valid together.
    assert CL100K.decode(bpe.encode_via_backtracking(b"\xc3")) is None
    assert CL100K.decode(bpe.encode_via_backtracking("\u00e9".encode())) == "\u00e9"


@pytest.mark.parametrize("decode,absent", [
    (CL100K.decode, None), (CL100K.bpe().decode_tokens, b""),
    (lambda ids: CL100K.decode_batch([[1], ids])[1], None),
    (lambda ids: CL100K.decode_batch_parallel([ids], None)[0], None),
])
def test_id_range(decode, absent):
    # Every unsigned 32-bit id is read (those above the vocabulary decode as absent); any
    # other integer is one error, whichever side of the range it falls on.
    for ids in ([2**31], [2**32 - 1], [5, 2**31 + 7]):
        assert decode(ids) == absent
    for ids in ([2**32], [2**70], [5, -1], [-(2**40)]):
        with pytest.raises(OverflowError, match=r"token id -?\d+ is out of range \(0 to 4294967295\)"):
            decode(ids)
    for ids in ([1, "2"], [1.0]):
        with pytest.raises(TypeError):
            decode(ids)


def test_id_lists_must_be_lists():
    for call in (CL100K.decode, CL100K.bpe().decode_tokens, CL100K.decode_batch,
                 CL100K.decode_batch_parallel):
        for args in [((1, 2),), ("abc",), ()]:
            with pytest.raises(TypeError):
                call(*args)
    for call in (CL100K.decode_batch, CL100K.decode_batch_parallel):
        for batch in ([[15339], 1917], [(15339,)]):
            with pytest.raises(TypeError, match="^expected list of ints$"):
                call(batch)

    class IdList(list):
        pass

    assert CL100K.decode(IdList([15339])) == "hello"
    assert CL100K.decode_batch([IdList([15339])]) == ["hello"]


def test_decode_batch_parallel_equals_decode_batch():
    texts = ["hello", "", "w\u00f6rld \U0001f600", "x" * 100]
    batch = [CL100K.encode(t) for t in texts] + [[100_256]]
    assert CL100K.decode_batch(batch) == texts + [None]
    for options in ((), (None,), (openai.ParallelOptions(max_threads=2),), ("ignored",), (7,)):
        assert CL100K.decode_batch_parallel(batch, *options) == texts + [None]


def test_index_that_mutates_the_list_is_safe():
    ids = [15339, 1917, 15339]

    class Evil:
        def __index__(self):
            ids.clear()
            return 15339

    ids.insert(1, Evil())
    assert CL100K.decode(ids) in ("hello", "hellohello")
