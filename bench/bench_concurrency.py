"""Concurrency of the Python methods: how much another Python thread runs while a large
text is encoded, and how much faster encode_batch_parallel is than encode_batch.

    python bench/bench_concurrency.py [--mib 20] [--docs 1000] [--rounds 5]

Tick share: a second thread counts loop iterations ("ticks"); its rate while one call of
count / encode (or tiktoken's encode_ordinary) runs on a large text, divided by its rate
alone, measured just before. Near 100% means the call left the interpreter lock free.

Batch speedup: wall time of encode_batch over encode_batch_parallel on the same batch of
documents of 10-50 KB cut from real text, whole calls (lists included), interleaved,
median of the rounds. Run it with PYTHONPATH pointing at another build to compare builds.
"""
from __future__ import annotations

import argparse
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


def batch_speedup(texts: list[str], rounds: int) -> None:
    print(f"\nBatch of {len(texts)} documents, {sum(map(len, texts)) / 2**20:.1f} MiB,"
          f" {openai.get_num_threads()} worker threads (median of {rounds} interleaved rounds)")
    for name in ("cl100k_base", "o200k_base"):
        tok = getattr(openai, name)()
        expected = tok.encode_batch(texts[:50])[0]
        assert tok.encode_batch_parallel(texts[:50])[0] == expected
        serial, parallel = [], []
        for _ in range(rounds):
            for times, call in ((serial, tok.encode_batch), (parallel, tok.encode_batch_parallel)):
                start = time.perf_counter()
                call(texts)
                times.append(time.perf_counter() - start)
        s, p = statistics.median(serial), statistics.median(parallel)
        print(f"  {name:12s} encode_batch {s:7.3f} s   encode_batch_parallel {p:7.3f} s"
              f"   speedup {s / p:5.2f}x")


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
