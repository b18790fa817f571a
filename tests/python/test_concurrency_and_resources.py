"""Threads sharing tokenizers, lists changed during a batch, pickling across processes,
leaks over many calls, and exhausted memory."""

import gc
import multiprocessing
import os
import pickle
import subprocess
import sys
import textwrap
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from tessel.bpe import openai

TOKENIZERS = CL100K, O200K = openai.cl100k_base(), openai.o200k_base()


def make_texts(seed, n):
    words = ["alpha", "\u00e9t\u00e9", "\u4e2d\u6587", "42", " ", "\n", "don't", "\U0001f600", "x"]
    return ["".join(words[(seed * 7 + i * j) % len(words)] for j in range(i % 23)) + str(seed)
            for i in range(n)]


def test_threads_share_tokenizers():
    inputs = [make_texts(seed, 300) for seed in range(8)]
    expected = [[[tok.encode(t) for t in texts] for texts in inputs] for tok in TOKENIZERS]
    start = threading.Barrier(8, timeout=60)

    def work(seed):
        start.wait()
        for round_ in range(6):
            k, texts = (seed + round_) % 2, inputs[seed]
            tok = TOKENIZERS[k]
            got = ([tok.encode(t) for t in texts] if round_ % 3 == 0 else
                   (tok.encode_batch, tok.encode_batch_parallel)[round_ % 3 - 1](texts)[0])
            assert got == expected[k][seed], (seed, round_)

    with ThreadPoolExecutor(8) as pool:
        list(pool.map(work, range(8)))  # re-raises a failure in any thread


def test_list_changed_during_parallel_batch():
    texts = [("word " * (i % 50)) + str(i) for i in range(2000)]
    stop = threading.Event()

    def mutate():
        k = 0
        while not stop.is_set():
            k += 1
            texts[k % len(texts)] = f"fresh {k} " * (k % 40)  # the old str may be freed right here
            if k % 100 == 0:
                texts.append(texts.pop(0))

    mutator = threading.Thread(target=mutate)
    mutator.start()
    try:
        for _ in range(30):
            n = len(texts)
            lists, total, _, _ = CL100K.encode_batch_parallel(texts)
            assert len(lists) == n and total == sum(map(len, lists))
            assert all(isinstance(CL100K.decode(ids), str) for ids in lists[::50])
    finally:
        stop.set()
        mutator.join()


def test_large_texts_with_other_threads_running():
    # Large str and bytes are encoded without the interpreter lock, other buffers with it
    # held: both give the same ids while other threads encode and mutate a shared buffer.
    text = "Concurrency: caf\u00e9 \u4e2d\u6587 don't 123 \U0001f600\n" * 5000
    raw = text.encode()
    shared = bytearray(b"ab " * 100_000)
    stop = threading.Event()

    def mutate():
        k = 0
        while not stop.is_set():
            k += 1
            shared[(k * 7919) % len(shared)] = b"abc "[k % 4]
            try:
                shared.extend(b"z")  # refused while a call holds the buffer
                del shared[-1]
            except BufferError:
                pass

    def work(tok):
        expected = tok.encode(bytearray(raw))
        n = len(expected)
        for _ in range(3):
            assert tok.encode(text) == tok.encode(raw) == tok.encode(memoryview(raw)) == expected
            assert (tok.count(text), tok.count_till_limit(raw, n), tok.count_till_limit(text, n - 1)) == (n, n, None)
            assert tok.encode_batch([text, text[:100]])[0][0] == expected
            # A view that is read-only over a buffer that is not: the ids are those of one
            # state of the buffer, never of a mix of states.
            ids = tok.encode(memoryview(shared).toreadonly())
            assert tok.encode(tok.bpe().decode_tokens(ids)) == ids

    mutator = threading.Thread(target=mutate)
    mutator.start()
    try:
        with ThreadPoolExecutor(4) as pool:
            list(pool.map(work, TOKENIZERS * 2))
    finally:
        stop.set()
        mutator.join()


def test_first_ints_of_ids_made_by_several_threads_at_once():
    # In a fresh process no id has its int yet: threads that encode large texts at once
    # (without the interpreter lock) all meet ids whose ints others are making meanwhile.
    # Two of the texts have lists long enough to be filled without the lock as well.
    code = textwrap.dedent("""
        import gc, random, threading
        from tessel.bpe import openai
        tok = openai.o200k_base()
        rng = random.Random(5)
        raw = tok.bpe().decode_tokens
        texts = [raw([rng.randrange(1000, 199_000) for _ in range(320_000 if k % 4 == 0 else 3000)])
                 .decode(errors="replace") for k in range(8)]
        start, got = threading.Barrier(4), {}
        def work(k):
            start.wait()
            got[k] = [tok.encode(texts[(k + r) % 8]) for r in range(8)]
        threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
        for t in threads: t.start()
        for t in threads: t.join()
        expected = [tok.encode(t) for t in texts]
        assert all(got[k][r] == expected[(k + r) % 8] for k in range(4) for r in range(8))
        # Freeing the lists must free no int that other lists still hold: new objects of
        # the same size would take its place.
        got.clear()
        gc.collect()
        churn = [float(i) for i in range(300_000)]
        assert max(map(len, expected)) > 2**18
        print([tok.encode(t) for t in texts] == expected and all(type(i) is int for e in expected for i in e)
              and all(gc.is_tracked(e) for e in expected))
    """)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert r.stdout == "True\n", r.stderr


def test_code_run_during_a_call_cannot_reach_its_unfinished_state():
    script = Path(__file__).with_name("collector_during_calls.py")
    r = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=300)
    assert r.stdout == "ok\n", r.stderr


def encode_in_child(args):
    tok, bpe, text = args
    return tok.encode(text), bpe.encode_via_backtracking(text.encode()), type(tok).__name__


def test_pickle_round_trip_through_spawn_pool():
    texts = ["hello world", "caf\u00e9 \u4e2d\u6587", ""]
    jobs = [(CL100K, CL100K.bpe(), t) for t in texts] + [(O200K, O200K.bpe(), texts[1])]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        results = pool.map(encode_in_child, jobs)
    assert results == [(tok.encode(text), bpe.encode_via_backtracking(text.encode()), "Tokenizer")
                       for tok, bpe, text in jobs]


def every_method_once(text, raw, ids, batch, id_batch):
    for tok in TOKENIZERS:
        bpe = tok.bpe()
        for method, *args in [
            (tok.encode, text), (tok.encode, raw), (tok.count, text),
            (tok.count_till_limit, text, 3), (tok.count_till_limit, text, 10_000),
            (tok.encode_batch, batch), (tok.encode_batch_parallel, batch), (tok.decode, ids),
            (tok.decode, [300_000]), (tok.decode, [0x80]), (tok.decode_batch, id_batch),
            (tok.decode_batch_parallel, id_batch, None),
            (bpe.count, raw), (bpe.encode_via_backtracking, raw), (bpe.decode_tokens, ids),
            (lambda: pickle.loads(pickle.dumps(tok)),),
        ]:
            method(*args)
        for method, *args in [
            (tok.encode_batch, [text, 1]), (tok.encode_batch_parallel, [text, None]),
            (tok.decode, [1, -1]), (tok.decode_batch, [ids, 7]), (tok.count_till_limit, text, -5),
            (openai.Tokenizer().encode, text),
        ]:
            try:
                method(*args)
            except (TypeError, ValueError, OverflowError, RuntimeError):
                pass


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_no_leaks_over_many_calls():
    text = "Leak check: caf\u00e9, \u4e2d\u6587, 123 \U0001f600 done."
    ids = CL100K.encode(text)
    args = (text, text.encode(), ids, [text, "", "short"], [ids, [], [15339]])
    watched = [*args, ids[0]]  # ids[0] is the int object shared by every list holding that id
    refcounts_before = [sys.getrefcount(x) for x in watched]
    for _ in range(300):  # warm caches, pools and allocator arenas
        every_method_once(*args)
    gc.collect()
    rss_before = rss_bytes()
    # About 150,000 calls: a leak of even 16 bytes or one object a call shows.
    for _ in range(4_000):
        every_method_once(*args)
    gc.collect()
    assert rss_bytes() - rss_before < 2 * 1024 * 1024
    assert [sys.getrefcount(x) for x in watched] == refcounts_before


@pytest.mark.skipif(sys.platform != "linux", reason="uses RLIMIT_AS")
def test_exhausted_memory_raises_memory_error():
    code = textwrap.dedent("""
        import resource
        from tessel.bpe import openai
        tok = openai.cl100k_base()
        openai.get_num_threads()  # start the workers before memory is capped
        text = "a " * 40_000_000
        batch = [text[:20_000_000]] * 4
        with open("/proc/self/statm") as statm:
            cap = int(statm.read().split()[0]) * resource.getpagesize() + 48 * 1024 * 1024
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
        for call, arg in [(tok.encode, text), (tok.encode_batch, batch),
                          (tok.encode_batch_parallel, batch)]:
            try:
                call(arg)
                print("no error")
            except MemoryError:
                print("MemoryError")
        print(tok.encode("still works"))
    """)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    expected = ["MemoryError"] * 3 + [str(CL100K.encode("still works"))]
    assert r.stdout.splitlines() == expected, r.stderr


def batch_in_child(texts):
    return CL100K.encode_batch_parallel(texts)[0], openai.get_num_threads()


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork of a threaded process
def test_forked_child_starts_its_own_workers():
    texts = make_texts(3, 50)
    CL100K.encode_batch_parallel(texts)  # the parent's workers are running
    with multiprocessing.get_context("fork").Pool(1) as pool:
        lists, threads = pool.apply_async(batch_in_child, (texts,)).get(timeout=120)
    assert (lists, threads) == ([CL100K.encode(t) for t in texts], openai.get_num_threads())
