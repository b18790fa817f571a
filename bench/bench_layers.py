"""The two tessel layers side by side, and the per-call cost of a short text.

    python bench/bench_layers.py [--runs N]

1. `tessel.get_encoding(name).encode_ordinary` (exact splitting, tiktoken's ids) against
   `tessel.bpe.openai` `encode` (its own splitting rules), on the same corpora, calls
   interleaved in one process: the time ratio exact / openai per corpus (median of runs).
2. `Encoding.encode` with its default arguments, which looks for special tokens first,
   against tiktoken's `encode` (the same check) and against tessel's own
   `encode_ordinary` (no check) on the same corpora, interleaved.
3. The per-call time of `encode` on an 11-byte text for tessel's `Encoding.encode`,
   `Encoding.encode_ordinary`, `tessel.bpe.openai`'s `encode` and tiktoken's `encode` /
   `encode_ordinary` (its encodings built from this project's rank files), interleaved.
"""
from __future__ import annotations

import argparse
import statistics
import time
import timeit
from pathlib import Path

import corpora
import tessel
from tessel.bpe import openai

ENCODINGS = ("cl100k_base", "o200k_base")
SHORT_TEXT = "hello world"  # 11 bytes


def _peer(name: str):
    import tiktoken
    from tiktoken.load import load_tiktoken_bpe

    ours = tessel.get_encoding(name)
    ranks = load_tiktoken_bpe(str(Path(__file__).resolve().parents[1] / "data" / f"{name}.tiktoken"))
    return tiktoken.Encoding(name, pat_str=corpora.PUBLISHED_PATTERNS[name], mergeable_ranks=ranks,
                             special_tokens={t: ours.encode_single_token(t) for t in ours.special_tokens_set})


def corpus_texts() -> dict[str, str]:
    return {
        "English prose": "\n".join(corpora.english()),
        "code": "\n".join(corpora.code()),
        "package docs": "\n".join(corpora.package_docs()),
        "multilingual": "\n".join(corpora.multilingual()),
    }


def interleaved_medians(calls: dict, runs: int) -> dict:
    times = {label: [] for label in calls}
    for run in range(runs):
        order = list(calls.items())
        for label, call in order if run % 2 == 0 else reversed(order):
            start = time.perf_counter()
            call()
            times[label].append(time.perf_counter() - start)
    return {label: statistics.median(t) for label, t in times.items()}


def layer_ratios(runs: int) -> None:
    print("| encoding | corpus | MB | openai MB/s | exact MB/s | exact / openai time |")
    print("|---|---|--:|--:|--:|--:|")
    inputs = corpus_texts()
    for name in ENCODINGS:
        classic = getattr(openai, name)()
        exact = tessel.get_encoding(name)
        for corpus, text in inputs.items():
            size = len(text.encode("utf-8")) / 1e6
            classic.encode(text), exact.encode_ordinary(text)  # warm-up
            t = interleaved_medians({"openai": lambda: classic.encode(text),
                                     "exact": lambda: exact.encode_ordinary(text)}, runs)
            a, b = t["openai"], t["exact"]
            print(f"| {name} | {corpus} | {size:.2f} | {size / a:.1f} | {size / b:.1f} | {b / a:.3f} |")


def encode_with_check(runs: int) -> None:
    print("\n`Encoding.encode(text)` with its default arguments (median of interleaved runs):\n")
    print("| encoding | corpus | encode MB/s | tiktoken encode MB/s | vs tiktoken "
          "| encode / encode_ordinary time |")
    print("|---|---|--:|--:|--:|--:|")
    inputs = corpus_texts()
    for name in ENCODINGS:
        ours, peer = tessel.get_encoding(name), _peer(name)
        for corpus, text in inputs.items():
            size = len(text.encode("utf-8")) / 1e6
            assert ours.encode(text) == peer.encode(text)
            t = interleaved_medians({"encode": lambda: ours.encode(text),
                                     "peer": lambda: peer.encode(text),
                                     "ordinary": lambda: ours.encode_ordinary(text)}, runs)
            print(f"| {name} | {corpus} | {size / t['encode']:.1f} | {size / t['peer']:.1f} "
                  f"| {t['peer'] / t['encode']:.1f}x | {t['encode'] / t['ordinary']:.3f} |")


def per_call(runs: int) -> None:
    print(f"\nPer call on {SHORT_TEXT!r} (median of {runs} interleaved timeit rounds, ns):\n")
    print("| encoding | tessel Encoding.encode | tessel encode_ordinary | tessel.bpe.openai encode "
          "| tiktoken encode | tiktoken encode_ordinary |")
    print("|---|--:|--:|--:|--:|--:|")
    for name in ENCODINGS:
        ours, peer, classic = tessel.get_encoding(name), _peer(name), getattr(openai, name)()
        calls = [lambda: ours.encode(SHORT_TEXT), lambda: ours.encode_ordinary(SHORT_TEXT),
                 lambda: classic.encode(SHORT_TEXT), lambda: peer.encode(SHORT_TEXT),
                 lambda: peer.encode_ordinary(SHORT_TEXT)]
        number = 20_000
        samples = [[] for _ in calls]
        for _ in range(runs):
            for i, call in enumerate(calls):
                samples[i].append(timeit.timeit(call, number=number) / number * 1e9)
        cells = " | ".join(f"{statistics.median(s):.0f}" for s in samples)
        print(f"| {name} | {cells} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=9)
    args = parser.parse_args()
    layer_ratios(args.runs)
    encode_with_check(args.runs)
    per_call(args.runs)


if __name__ == "__main__":
    main()
