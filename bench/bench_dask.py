"""tessel beside tiktoken on a Dask LocalCluster: the corpus pipeline of
examples/dask_corpus.py (count and encode every file) on worker processes.

    python bench/bench_dask.py [--files 2000] [--file-kib 15] [--workers 2] [--rounds 3]

Each library gets a cluster of its own (so each one's worker memory can be read), both
clusters are up at once and the runs alternate between them; times are medians of the
rounds, the first round included (it is when each worker gets its model). The tokenizer
travels to the workers by pickling, as in the example: tessel's as its encoding's name,
tiktoken's as its whole vocabulary.
"""
from __future__ import annotations

import argparse
import itertools
import pathlib
import statistics
import sys
import tempfile
import time

import cloudpickle
from dask.distributed import Client, LocalCluster

import corpora
from tessel.bpe import openai

ROOT = pathlib.Path(__file__).resolve().parents[1]


def load_example():
    sys.path.insert(0, str(ROOT / "examples"))
    import dask_corpus

    cloudpickle.register_pickle_by_value(dask_corpus)  # the workers cannot import it by name
    return dask_corpus


def write_corpus(directory: pathlib.Path, files: int, file_bytes: int) -> int:
    text = "\n".join(corpora.english() + corpora.code() + corpora.multilingual())
    pieces = itertools.cycle(range(0, len(text) - file_bytes, file_bytes))
    total = 0
    for i in range(files):
        start = next(pieces)
        data = text[start:start + file_bytes].encode("utf-8")
        (directory / f"{i // 100:02d}").mkdir(exist_ok=True)
        (directory / f"{i // 100:02d}" / f"{i:05d}.txt").write_bytes(data)
        total += len(data)
    return total


def worker_peak_rss_mib(client) -> list[float]:
    def peak():
        import resource
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

    return sorted(client.run(peak).values())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--file-kib", type=int, default=15)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    import tiktoken
    from tiktoken.load import load_tiktoken_bpe

    example = load_example()
    peer = tiktoken.Encoding(name="bench_cl100k_base",
                             pat_str=corpora.PUBLISHED_PATTERNS["cl100k_base"],
                             mergeable_ranks=load_tiktoken_bpe(str(ROOT / "data" / "cl100k_base.tiktoken")),
                             special_tokens={})
    libraries = {"tessel": openai.cl100k_base().encode, "tiktoken": peer.encode_ordinary}
    with tempfile.TemporaryDirectory() as tmp:
        corpus = pathlib.Path(tmp)
        size = write_corpus(corpus, args.files, args.file_kib * 1024)
        clusters = {name: LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                       processes=True, dashboard_address=None)
                    for name in libraries}
        clients = {name: Client(cluster) for name, cluster in clusters.items()}
        try:
            seconds = {name: [] for name in libraries}
            counts = {}
            for round_ in range(args.rounds):
                order = list(libraries) if round_ % 2 == 0 else list(libraries)[::-1]
                for name in order:
                    started = time.perf_counter()
                    rows = example.tokenize_corpus(clients[name], corpus, libraries[name])
                    seconds[name].append(time.perf_counter() - started)
                    counts[name] = sum(count for _, count, _ in rows)
            # The counts may differ by a few tokens where tessel's splitter departs from the
            # published pattern (whitespace runs holding several line breaks).
            print(f"{args.files} files, {size / 1e6:.1f} MB, {args.workers} worker processes, "
                  f"{args.rounds} rounds; tokens: tessel {counts['tessel']}, "
                  f"tiktoken {counts['tiktoken']}")
            for name in libraries:
                runs = ", ".join(f"{s:.2f}" for s in seconds[name])
                rss = ", ".join(f"{m:.0f}" for m in worker_peak_rss_mib(clients[name]))
                print(f"{name:8s} median {statistics.median(seconds[name]):.2f} s "
                      f"(runs {runs}); worker peak RSS {rss} MiB")
        finally:
            for name in libraries:
                clients[name].close()
                clusters[name].close()


if __name__ == "__main__":
    main()
