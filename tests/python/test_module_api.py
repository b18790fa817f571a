"""The module's structure, its types, object creation, and the options type."""

import os
import pickle
import subprocess
import sys
import textwrap

import pytest

import tessel
import tessel.bpe
from tessel.bpe import BytePairEncoding, openai
from tessel.bpe.openai import ParallelOptions, Tokenizer


def test_import_paths_and_registry():
    assert sys.modules["tessel.bpe.openai"] is openai
    assert tessel.bpe.openai is openai
    assert openai.Tokenizer is Tokenizer
    assert tessel.bpe.BytePairEncoding is BytePairEncoding
    assert Tokenizer.__module__ == "tessel.bpe.openai"
    assert BytePairEncoding.__module__ == "tessel.bpe"
    assert ParallelOptions.__module__ == "tessel.bpe.openai"


def test_types_cannot_be_subclassed():
    for cls in (BytePairEncoding, Tokenizer, ParallelOptions):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


def run_fresh(code):
    """Runs code in a fresh interpreter and returns its standard output."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=300, check=False,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_nothing_built_at_import_and_encodings_independent():
    out = run_fresh("""
        from tessel.bpe import openai
        print(openai.is_cached_cl100k(), openai.is_cached_o200k())
        a, b = openai.cl100k_base(), openai.cl100k_base()
        print(a is b, openai.is_cached_cl100k(), openai.is_cached_o200k())
        del a, b
        print(openai.cl100k_base().encode("hello world"))
    """)
    assert out.split("\n")[:3] == ["False False", "False True False", "[15339, 1917]"]


def test_get_num_threads_follows_affinity():
    expected = min(len(os.sched_getaffinity(0)), 256) if hasattr(os, "sched_getaffinity") else None
    first = openai.get_num_threads()
    assert first == openai.get_num_threads() >= 1
    if expected is not None:
        assert first == expected


@pytest.mark.parametrize(
    "call",
    [
        lambda t: t.encode("x"),
        lambda t: t.count("x"),
        lambda t: t.count_till_limit("x", 3),
        lambda t: t.encode_batch(["x"]),
        lambda t: t.encode_batch_parallel(["x"]),
        lambda t: t.decode([1]),
        lambda t: t.decode_batch([[1]]),
        lambda t: t.decode_batch_parallel([[1]]),
        lambda t: t.bpe(),
        lambda t: pickle.dumps(t),
    ],
)
def test_tokenizer_made_directly_raises_clearly(call):
    with pytest.raises(RuntimeError, match=r"cl100k_base\(\)"):
        call(Tokenizer())


@pytest.mark.parametrize(
    "call",
    [
        lambda b: b.count(b"x"),
        lambda b: b.encode_via_backtracking(b"x"),
        lambda b: b.decode_tokens([1]),
        lambda b: pickle.dumps(b),
    ],
)
def test_byte_pair_encoding_made_directly_raises_clearly(call):
    with pytest.raises(RuntimeError, match=r"\.bpe\(\)"):
        call(BytePairEncoding())


def test_parallel_options_values():
    o = ParallelOptions()
    assert (o.min_batch_size, o.chunk_size, o.max_threads) == (20, 100, 0)
    o = ParallelOptions(5, max_threads=8)
    assert (o.min_batch_size, o.chunk_size, o.max_threads) == (5, 100, 8)
    o = ParallelOptions(chunk_size=-1)
    assert o.chunk_size == 18446744073709551615
    o.__init__(max_threads=3)  # a second initialisation starts again from the defaults
    assert (o.min_batch_size, o.chunk_size, o.max_threads) == (20, 100, 3)
    with pytest.raises(AttributeError):
        o.max_threads = 4
    with pytest.raises(TypeError):
        ParallelOptions(1, 2, 3, 4)
    with pytest.raises(TypeError):
        ParallelOptions(threads=2)
    with pytest.raises(TypeError):
        ParallelOptions("5")
    with pytest.raises(OverflowError):
        ParallelOptions(2**63)
    copy = pickle.loads(pickle.dumps(ParallelOptions(7, -1, 9)))
    assert (copy.min_batch_size, copy.chunk_size, copy.max_threads) == (7, 2**64 - 1, 9)
