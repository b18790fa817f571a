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
import tracemalloc

import pytest

from tessel.bpe import openai

CL100K = openai.cl100k_base()
O200K = openai.o200k_base()


def make_texts(seed, n):
    words = ["alpha", "\u00e9t\u00e9", "\u4e2d\u6587", "42", " ", "\n", "don't", "\U0001f600", "x"]
    return ["".join(words[(seed * 7 + i * j) % len(words)] for j in range(i % 23)) + str(seed)
            for i in range(n)]


def test_threads_share_tokenizers():
    inputs = [make_texts(seed, 300) for seed in range(8)]
    expected = {
        (name, seed): [tok.encode(t) for t in inputs[seed]]
        for name, tok in (("cl100k", CL100K), ("o200k", O200K))
        for seed in range(8)
    }
    failures = []

    def work(seed):
        try:
            for round_ in range(6):
                name, tok = ("cl100k", CL100K) if (seed + round_) % 2 else ("o200k", O200K)
                want = expected[(name, seed)]
                if round_ % 3 == 0:
                    got = [tok.encode(t) for t in inputs[seed]]
                elif round_ % 3 == 1:
                    got = tok.encode_batch(inputs[seed])[0]
                else:
                    got = tok.encode_batch_parallel(inputs[seed])[0]
                if got != want:
                    failures.append((seed, round_))
        except Exception as error:  # reported below; a thread's exception is otherwise lost
            failures.append(repr(error))

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def test_list_changed_during_parallel_batch():
    texts = [("word " * (i % 50)) + str(i) for i in range(2000)]
    stop = threading.Event()

    def mutate():
        k = 0
        while not stop.is_set():
            k += 1
            i = k % len(texts)
            texts[i] = f"fresh {k} " * (k % 40)  # the old str may be freed right here
            if k % 100 == 0:
                texts.append(texts.pop(0))

    mutator = threading.Thread(target=mutate)
    mutator.start()
    try:
        for _ in range(30):
            snapshot_len = len(texts)
            lists, total, _, _ = CL100K.encode_batch_parallel(texts)
            assert len(lists) == snapshot_len
            assert total == sum(map(len, lists))
            for ids in lists[::50]:
                assert isinstance(CL100K.decode(ids), str)
    finally:
        stop.set()
        mutator.join()


def encode_in_child(args):
    tok, bpe, text = args
    return tok.encode(text), bpe.encode_via_backtracking(text.encode()), type(tok).__name__


def test_pickle_round_trip_through_spawn_pool():
    for tok in (CL100K, O200K):
        copy = pickle.loads(pickle.dumps(tok))
        assert copy.encode("hello world") == tok.encode("hello world")
        bpe_copy = pickle.loads(pickle.dumps(tok.bpe()))
        assert bpe_copy.encode_via_backtracking(b"hello") == tok.bpe().encode_via_backtracking(b"hello")
    texts = ["hello world", "caf\u00e9 \u4e2d\u6587", ""]
    jobs = [(CL100K, CL100K.bpe(), t) for t in texts] + [(O200K, O200K.bpe(), texts[1])]
    context = multiprocessing.get_context("spawn")
    with context.Pool(2) as pool:
        results = pool.map(encode_in_child, jobs)
    for (tok, bpe, text), (ids, raw_ids, name) in zip(jobs, results):
        assert ids == tok.encode(text)
        assert raw_ids == bpe.encode_via_backtracking(text.encode())
        assert name == "Tokenizer"


def every_method_once(text, raw, ids, batch, id_batch):
    for tok in (CL100K, O200K):
        tok.encode(text)
        tok.encode(raw)
        tok.count(text)
        tok.count_till_limit(text, 3)
        tok.count_till_limit(text, 10_000)
        tok.encode_batch(batch)
        tok.encode_batch_parallel(batch)
        tok.decode(ids)
        tok.decode([300_000])
        tok.decode([0x80])
        tok.decode_batch(id_batch)
        tok.decode_batch_parallel(id_batch, None)
        bpe = tok.bpe()
        bpe.count(raw)
        bpe.encode_via_backtracking(raw)
        bpe.decode_tokens(ids)
        pickle.loads(pickle.dumps(tok))
        for failing in (
            lambda: tok.encode_batch([text, 1]),
            lambda: tok.encode_batch_parallel([text, None]),
            lambda: tok.decode([1, -1]),
            lambda: tok.decode_batch([ids, 7]),
            lambda: tok.count_till_limit(text, -5),
            lambda: openai.Tokenizer().encode(text),
        ):
            try:
                failing()
            except (TypeError, ValueError, RuntimeError):
                pass


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_no_leaks_over_many_calls():
    text = "Leak check: caf\u00e9, \u4e2d\u6587, 123 \U0001f600 done."
    raw = text.encode()
    ids = CL100K.encode(text)
    batch = [text, "", "short"]
    id_batch = [ids, [], [15339]]
    args = (text, raw, ids, batch, id_batch)
    refcounts_before = [sys.getrefcount(x) for x in args]
    for _ in range(300):  # warm caches, pools and allocator arenas
        every_method_once(*args)
    gc.collect()
    tracemalloc.start()
    traced_before = tracemalloc.get_traced_memory()[0]
    for _ in range(300):
        every_method_once(*args)
    gc.collect()
    traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    tracemalloc.stop()
    # Python objects: a leaked reference per call would be over 300 * 60 objects.
    assert traced_growth < 64 * 1024
    # Native memory: about 150,000 more calls; a leak of even 16 bytes a call shows.
    rss_before = rss_bytes()
    for _ in range(4_000):
        every_method_once(*args)
    gc.collect()
    assert rss_bytes() - rss_before < 2 * 1024 * 1024
    assert [sys.getrefcount(x) for x in args] == refcounts_before


@pytest.mark.skipif(sys.platform != "linux", reason="uses RLIMIT_AS")
def test_exhausted_memory_raises_memory_error():
    code = textwrap.dedent("""
        import resource
        from tessel.bpe import openai
        tok = openai.cl100k_base()
        openai.get_num_threads()  # start the workers before memory is capped
        text = "a " * 40_000_000
        batch = [text[:20_000_000]] * 4
        def vm_bytes():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[0]) * resource.getpagesize()
        cap = vm_bytes() + 48 * 1024 * 1024
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
        for name, call in [("encode", lambda: tok.encode(text)),
                           ("encode_batch", lambda: tok.encode_batch(batch)),
                           ("encode_batch_parallel", lambda: tok.encode_batch_parallel(batch))]:
            try:
                call()
                print(name, "no error")
            except MemoryError:
                print(name, "MemoryError")
        print(tok.encode("still works"))
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=300, check=False)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:3] == ["encode MemoryError", "encode_batch MemoryError",
                         "encode_batch_parallel MemoryError"]
    assert lines[3] == str(CL100K.encode("still works"))


def batch_in_child(texts):
    return CL100K.encode_batch_parallel(texts)[0], openai.get_num_threads()


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork of a threaded process
def test_forked_child_starts_its_own_workers():
    texts = make_texts(3, 50)
    CL100K.encode_batch_parallel(texts)  # the parent's workers are running
    context = multiprocessing.get_context("fork")
    with context.Pool(1) as pool:
        lists, threads = pool.apply_async(batch_in_child, (texts,)).get(timeout=120)
    assert lists == [CL100K.encode(t) for t in texts]
    assert threads == openai.get_num_threads()
