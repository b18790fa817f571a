"""Concurrency of the Python methods: how much another Python thread runs while a large
text is encoded, and how much faster encode_batch_parallel is than encode_batch.

    python bench/bench_concurrency.py [--mib 20] [--docs 1000] [--rounds 5]

Tick share: a second thread counts loop iterations ("ticks"); its rate while one call of
count / encode (or tiktoken's encode_ordinary) runs on a large text, divided by its rate
alone, measured just before. Near 100% means the call left the interpreter lock free.

Batch speedup: wall time of encode_batch over encode_batch_parallel on the same batch of
documents of 10-50 KB cut from real text, whole calls (lists included), interleaved,
median of the rounds. Run it with PYTHONPATH pointing at another build to compare builds.
Beside it, the speedup of counting the same documents on that many Python threads: the
machine's own ceiling for the encoding, without lists and without the pool; and the
batch speedup again with the cyclic garbage collector paused around the calls. Both
calls make their lists empty before the ids arrive, so the collection the thousand new
lists make due visits next to nothing; the two speedups should agree.
"""
from __future__ import annotations

import argparse
import gc
import random
import statistics
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import corpora  # noqa: E402

from tessel.bpe import openai  # noqa: E402


class Ticker:
    """A Python thread that counts iterations until stopped."""

    def __init__(self) -> None:
        self.ticks = 0
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self) -> None:
        while not self._stop:
            self.ticks += 1

    def __enter__(self) -> Ticker:
        self._thread.start()
        time.sleep(0.01)
        return self

    def __exit__(self, *exc) -> None:
        self._stop = True
        self._thread.join()

    def rate_during(self, call) -> float:
        start_ticks, start = self.ticks, time.perf_counter()
        call()
        return (self.ticks - start_ticks) / (time.perf_counter() - start)

    def rate_alone(self, seconds: float) -> float:
        start_ticks, start = self.ticks, time.perf_counter()
        time.sleep(seconds)
        return (self.ticks - start_ticks) / (time.perf_counter() - start)


def prose_and_code(min_bytes: int) -> str:
    parts, size = [], 0
    for doc in corpora.english() + corpora.code():
        parts.append(doc)
        size += len(doc)
    text = "\n".join(parts)
    return (text * (min_bytes // max(len(text), 1) + 1))[:min_bytes]


def tick_shares(text: str, rounds: int) -> None:
    calls = {}
    for name in ("cl100k_base", "o200k_base"):
        tok = getattr(openai, name)()
        tok.encode("warm up")
        calls[f"tessel {name} count"] = lambda tok=tok: tok.count(text)
        calls[f"tessel {name} encode"] = lambda tok=tok: tok.encode(text)
    try:
        import tiktoken
        from bench_vs_tiktoken import peer_encoding

        enc = peer_encoding(tiktoken, "cl100k_base")
        calls["tiktoken cl100k_base encode_ordinary"] = lambda: enc.encode_ordinary(text)
    except ImportError as error:
        print(f"(tiktoken skipped: {error})")
    shares: dict[str, list[float]] = {name: [] for name in calls}
    with Ticker() as ticker:
        for _ in range(rounds):
            for name, call in calls.items():
                alone = ticker.rate_alone(0.2)
                shares[name].append(ticker.rate_during(call) / alone)
    print(f"\nTick share of a second Python thread during one call on {len(text) / 2**20:.0f} MiB"
          f" (median of {rounds})")
    for name, values in shares.items():
        print(f"  {name:40s} {100 * statistics.median(values):6.1f}%")


def batch(docs: int, seed: int = 1) -> list[str]:
    source = prose_and_code(8 << 20)
    rng = random.Random(seed)
    out = []
    for _ in range(docs):
        size = rng.randrange(10_000, 50_001)
        start = rng.randrange(0, len(source) - size)
        out.append(source[start:start + size])
    return out


def count_with_threads(tok, texts: list[str], workers: int) -> float:
    """Wall time of count() of every text, spread over `workers` Python threads. Texts of
    these sizes are counted without the interpreter lock, so this is what the machine gives
    the encoding itself on that many threads, with no list made and no pool."""
    chunks = [texts[k::workers] for k in range(workers)]
    threads = [threading.Thread(target=lambda c=c: [tok.count(t) for t in c]) for c in chunks]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.perf_counter() - start


def wall_with_collector_paused(call, texts: list[str]) -> float:
    """Wall time of call(texts) while the cyclic garbage collector is off. Making a
    thousand lists makes a collection due, which would visit every id of lists made full;
    tiktoken's are. Collected again before timing."""
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        result = call(texts)
        seconds = time.perf_counter() - start
        del result
    finally:
        gc.enable()
    gc.collect()
    return seconds


def batch_speedup(texts: list[str], rounds: int) -> None:
    threads = openai.get_num_threads()
    print(f"\nBatch of {len(texts)} documents, {sum(map(len, texts)) / 2**20:.1f} MiB,"
          f" {threads} worker threads (median of {rounds} interleaved rounds)")
    for name in ("cl100k_base", "o200k_base"):
        tok = getattr(openai, name)()
        expected = tok.encode_batch(texts[:50])[0]
        assert tok.encode_batch_parallel(texts[:50])[0] == expected
        wall = {"serial": [], "parallel": []}
        cpu = {"serial": [], "parallel": []}
        serial_share = []  # of encode_batch's time spent outside the encoding (the lists)
        counting = {"serial": [], "parallel": []}  # count() of every document, no lists
        paused = {"serial": [], "parallel": []}  # wall time with the cyclic collector paused
        for _ in range(rounds):
            for kind, workers in (("serial", 1), ("parallel", threads)):
                counting[kind].append(count_with_threads(tok, texts, workers))
            for kind, call in (("serial", tok.encode_batch), ("parallel", tok.encode_batch_parallel)):
                start_cpu, start = time.process_time(), time.perf_counter()
                result = call(texts)
                wall[kind].append(time.perf_counter() - start)
                cpu[kind].append(time.process_time() - start_cpu)
                if kind == "serial":
                    serial_share.append(1 - result[2] / wall[kind][-1])
                del result
                paused[kind].append(wall_with_collector_paused(call, texts))
        s, p = statistics.median(wall["serial"]), statistics.median(wall["parallel"])
        ps, pp = statistics.median(paused["serial"]), statistics.median(paused["parallel"])
        # On a busy machine the wall times say little about idle cores. Two estimates that
        # hold under load: with the lists made after the whole batch, the list share f of
        # the serial call stays serial (Amdahl: 1 / ((1 - f) / threads + f)); with the lists
        # made while the workers encode, the bound is threads x serial CPU / parallel CPU.
        f = statistics.median(serial_share)
        amdahl = 1 / ((1 - f) / threads + f)
        overlap = threads * statistics.median(cpu["serial"]) / statistics.median(cpu["parallel"])
        ceiling = statistics.median(counting["serial"]) / statistics.median(counting["parallel"])
        print(f"  {name:12s} encode_batch {s:7.3f} s   encode_batch_parallel {p:7.3f} s"
              f"   speedup {s / p:5.2f}x   lists {100 * f:4.1f}% of encode_batch:"
              f" bound {amdahl:4.2f}x if made after the batch, {overlap:4.2f}x if overlapped;"
              f" {threads} Python threads counting the documents (no lists): {ceiling:4.2f}x;"
              f" with the cyclic collector paused: {ps:5.3f} s / {pp:5.3f} s, {ps / pp:4.2f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mib", type=int, default=20, help="size of the single text")
    parser.add_argument("--docs", type=int, default=1000, help="documents in the batch")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    tick_shares(prose_and_code(args.mib << 20), args.rounds)
    batch_speedup(batch(args.docs), args.rounds)


if __name__ == "__main__":
    main()
