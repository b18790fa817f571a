"""The module's structure, its types, object creation, and the options type."""

import inspect
import os
import pickle
import subprocess
import sys
import textwrap

import pytest

import tessel.bpe
from tessel.bpe import BytePairEncoding, openai
from tessel.bpe.openai import ParallelOptions, Tokenizer


def test_registry_key_and_final_types():
    assert sys.modules["tessel.bpe.openai"] is tessel.bpe.openai is openai
    for cls in (BytePairEncoding, Tokenizer, ParallelOptions):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


def test_nothing_built_at_import_and_encodings_independent():
    code = """
        from tessel.bpe import openai
        print(openai.is_cached_cl100k(), openai.is_cached_o200k())
        a, b = openai.cl100k_base(), openai.cl100k_base()
        print(a is b, openai.is_cached_cl100k(), openai.is_cached_o200k())
        del a, b
        print(openai.cl100k_base().encode("hello world"))
    """
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                       capture_output=True, text=True, timeout=300)
    assert r.stdout.splitlines() == ["False False", "False True False", "[15339, 1917]"], r.stderr


def test_help_at_the_prompt():
    tok = openai.cl100k_base()
    assert [repr(x) for x in (tok, tok.bpe(), openai.o200k_base(), Tokenizer())] == [
        "<Tokenizer cl100k_base>", "<BytePairEncoding cl100k_base>", "<Tokenizer o200k_base>",
        "<Tokenizer without a model>"]
    assert repr(ParallelOptions(5)) == "ParallelOptions(min_batch_size=5, chunk_size=100, max_threads=0)"
    functions = [getattr(openai, name) for name in (
        "cl100k_base", "o200k_base", "is_cached_cl100k", "is_cached_o200k", "get_num_threads")]
    for cls in (BytePairEncoding, Tokenizer, ParallelOptions):
        functions += [m for n, m in vars(cls).items() if callable(m) and not n.startswith("__")]
    for thing in (tessel.bpe, openai, BytePairEncoding, Tokenizer, ParallelOptions, *functions):
        assert thing.__doc__ and not thing.__doc__.startswith("--"), thing
    assert all(inspect.signature(f) for f in functions)
    assert str(inspect.signature(tok.count_till_limit)) == "(text, limit, /)"
    assert str(inspect.signature(ParallelOptions)) == (
        "(min_batch_size=20, chunk_size=100, max_threads=0)")
    for cls in (Tokenizer, BytePairEncoding):  # made empty, as before, but never with arguments
        for args, kwargs in (("x",), {}), ((), {"model": 1}):
            with pytest.raises(TypeError, match=rf"^{cls.__name__}\(\) takes no arguments$"):
                cls(*args, **kwargs)


def test_get_num_threads_follows_affinity():
    n = openai.get_num_threads()
    assert n == openai.get_num_threads() >= 1
    if hasattr(os, "sched_getaffinity"):
        assert n == min(len(os.sched_getaffinity(0)), 256)


@pytest.mark.parametrize("cls,hint,call", [
    *[(Tokenizer, r"cl100k_base\(\)", call) for call in (
        lambda t: t.encode("x"), lambda t: t.count("x"), lambda t: t.count_till_limit("x", 3),
        lambda t: t.encode_batch(["x"]), lambda t: t.encode_batch_parallel(["x"]),
        lambda t: t.decode([1]), lambda t: t.decode_batch([[1]]),
        lambda t: t.decode_batch_parallel([[1]]), lambda t: t.bpe(), pickle.dumps)],
    *[(BytePairEncoding, r"\.bpe\(\)", call) for call in (
        lambda b: b.count(b"x"), lambda b: b.encode_via_backtracking(b"x"),
        lambda b: b.decode_tokens([1]), pickle.dumps)],
])
def test_objects_made_directly_raise_clearly(cls, hint, call):
    with pytest.raises(RuntimeError, match=hint):
        call(cls())


def test_parallel_options():
    def values(o):
        return o.min_batch_size, o.chunk_size, o.max_threads

    assert values(ParallelOptions()) == (20, 100, 0)
    assert values(ParallelOptions(5, max_threads=8)) == (5, 100, 8)
    o = ParallelOptions(chunk_size=-1)
    assert o.chunk_size == 18446744073709551615
    o.__init__(max_threads=3)  # a second initialisation starts again from the defaults
    assert values(o) == (20, 100, 3)
    assert values(pickle.loads(pickle.dumps(ParallelOptions(7, -1, 9)))) == (7, 2**64 - 1, 9)
    for name in ("min_batch_size", "chunk_size", "max_threads"):
        with pytest.raises(AttributeError):
            setattr(o, name, 4)
    for args, kwargs, error in [((1, 2, 3, 4), {}, TypeError), ((), {"threads": 2}, TypeError),
                                (("5",), {}, TypeError), ((2**63,), {}, OverflowError)]:
        with pytest.raises(error):
            ParallelOptions(*args, **kwargs)
