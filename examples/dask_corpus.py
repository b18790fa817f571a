"""Count and encode a corpus of text files on a Dask cluster of separate worker processes.

    python examples/dask_corpus.py CORPUS_DIR [--workers 2] [-e o200k_base] [--output IDS_DIR]

The tokenizer reaches the workers by pickling. A tessel tokenizer pickles as the name of
its encoding, so each worker process makes its own model once (or reads the model image)
instead of receiving the vocabulary with every task. The same holds for any engine that
ships functions by pickling them: Ray tasks, Spark's `mapPartitions`, `datasets.map`.

With --output, each file's ids are written to IDS_DIR/<relative path>.ids as unsigned
32-bit little-endian integers. Files that cannot be read as UTF-8 are listed on standard
error and the exit status is 2; all others are still counted.
"""
from __future__ import annotations

import argparse
import array
import pathlib
import sys
import time
from typing import Callable, Optional, Sequence

from tessel.bpe import openai

FILES_PER_TASK = 50


def tokenize_files(root: str, names: Sequence[str], encode: Callable[[str], list],
                   output: Optional[str] = None) -> list:
    """Runs on a worker: (name, token count or None, error or None) for each file."""
    results = []
    for name in names:
        try:
            text = (pathlib.Path(root) / name).read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError) as error:
            results.append((name, None, str(error)))
            continue
        ids = encode(text)
        if output is not None:
            target = pathlib.Path(output) / (name + ".ids")
            target.parent.mkdir(parents=True, exist_ok=True)
            packed = array.array("I", ids)
            if sys.byteorder != "little":
                packed.byteswap()
            target.write_bytes(packed.tobytes())
        results.append((name, len(ids), None))
    return results


def tokenize_corpus(client, root: pathlib.Path, encode: Callable[[str], list],
                    output: Optional[pathlib.Path] = None) -> list:
    """Every file under root, in tasks of FILES_PER_TASK files spread over the cluster."""
    names = sorted(str(p.relative_to(root)) for p in root.rglob("*") if p.is_file())
    tasks = [names[i:i + FILES_PER_TASK] for i in range(0, len(names), FILES_PER_TASK)]
    futures = client.map(tokenize_files, [str(root)] * len(tasks), tasks,
                         encode=encode, output=None if output is None else str(output))
    return [row for rows in client.gather(futures) for row in rows]


def main(argv: Optional[Sequence[str]] = None) -> int:
    from dask.distributed import Client, LocalCluster

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("corpus", type=pathlib.Path, help="directory of UTF-8 text files")
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("-e", "--encoding", default="cl100k_base",
                        choices=["cl100k_base", "o200k_base"])
    parser.add_argument("--output", type=pathlib.Path, help="directory for the ids of each file")
    args = parser.parse_args(argv)
    if not args.corpus.is_dir():
        parser.error(f"{args.corpus} is not a directory")

    tokenizer = getattr(openai, args.encoding)()
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        started = time.perf_counter()
        rows = tokenize_corpus(client, args.corpus, tokenizer.encode, args.output)
        seconds = time.perf_counter() - started
    failed = [(name, error) for name, _, error in rows if error is not None]
    for name, error in failed:
        print(f"{name}: {error}", file=sys.stderr)
    total = sum(count for _, count, _ in rows if count is not None)
    print(f"{total} tokens in {len(rows) - len(failed)} files, {seconds:.2f} s "
          f"on {args.workers} workers")
    return 2 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
