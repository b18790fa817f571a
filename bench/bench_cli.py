"""The command line on large inputs: memory and time of streaming, and counting a tree.

    python bench/bench_cli.py [--gib 1] [--tree-mib 200] [--encoding cl100k_base]

1. Streaming: a file of --gib GiB made of English prose, Python code and multilingual
   text is counted, encoded (ids to /dev/null) and decoded (ids piped from `encode`);
   each command's peak RSS (wait4) and wall time are printed.
2. Trees: a directory of --tree-mib MiB of real files (each corpus document a file, copied
   over several subdirectories) is counted by `tessel count DIR`, and the same files are
   counted in-process, one count call per file on one thread; the ratio of the two
   throughputs is printed (the command line should reach at least 0.8).

Inputs are generated in a temporary directory and removed afterwards.
"""
from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import corpora  # noqa: E402

MIB = 1 << 20


def _documents() -> list[str]:
    return corpora.english(4 * MIB) + corpora.code(8 * MIB) + corpora.multilingual(2 * MIB)


def _run(argv: list[str], stdin=None, stdout=subprocess.DEVNULL) -> tuple[float, int, int]:
    """(seconds, peak RSS in MiB, exit status) of one command."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdin=stdin, stdout=stdout)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - start
    return seconds, usage.ru_maxrss // 1024, os.waitstatus_to_exitcode(status)


def streaming(tmp: Path, gib: float, encoding: str) -> None:
    path = tmp / "big.txt"
    block = "\n".join(_documents()).encode()
    size = int(gib * (1 << 30))
    with open(path, "wb") as f:
        written = 0
        while written < size:
            part = block[: size - written]
            f.write(part)
            written += len(part)
    size_mib = size / MIB
    tessel = [sys.executable, "-m", "tessel"]
    print(f"streaming, {size_mib:.0f} MiB input, {encoding}:")
    for name, argv in [("count", [*tessel, "count", "-q", "-e", encoding, str(path)]),
                       ("encode", [*tessel, "encode", "-e", encoding, str(path)])]:
        seconds, rss, status = _run(argv)
        print(f"  {name:<8} {seconds:7.1f} s  {size_mib / seconds:7.1f} MiB/s  "
              f"peak RSS {rss:5d} MiB  status {status}")
    ids = tmp / "ids.txt"
    with open(ids, "wb") as out:
        subprocess.run([*tessel, "encode", "-e", encoding, str(path)], stdout=out, check=True)
    with open(ids, "rb") as source:
        seconds, rss, status = _run([*tessel, "decode", "-e", encoding], stdin=source)
    print(f"  {'decode':<8} {seconds:7.1f} s  {size_mib / seconds:7.1f} MiB/s  "
          f"peak RSS {rss:5d} MiB  status {status}  ({ids.stat().st_size / MIB:.0f} MiB of ids)")


def tree(tmp: Path, tree_mib: int, encoding: str) -> None:
    root = tmp / "tree"
    docs = [d.encode() for d in _documents()]
    total = 0
    copy = 0
    paths = []
    while total < tree_mib * MIB:
        folder = root / f"copy{copy:03d}"
        folder.mkdir(parents=True)
        for i, data in enumerate(docs):
            path = folder / f"doc{i:05d}.txt"
            path.write_bytes(data)
            paths.append(path)
            total += len(data)
        copy += 1
    print(f"tree: {len(paths)} files, {total / MIB:.0f} MiB, {encoding}:")

    import tessel

    count = tessel.get_encoding(encoding)._count_ordinary  # the plain in-process count
    runs_cli, runs_lib = [], []
    for _ in range(3):  # interleaved, medians
        seconds, rss, status = _run([sys.executable, "-m", "tessel", "count", "-q",
                                     "-e", encoding, str(root)])
        assert status == 0, status
        runs_cli.append(seconds)
        start = time.perf_counter()
        for path in paths:
            count(path.read_text(encoding="utf-8"))
        runs_lib.append(time.perf_counter() - start)
    cli, lib = sorted(runs_cli)[1], sorted(runs_lib)[1]
    print(f"  tessel count DIR   {cli:6.2f} s  {total / MIB / cli:7.1f} MiB/s  peak RSS {rss} MiB")
    print(f"  in-process count   {lib:6.2f} s  {total / MIB / lib:7.1f} MiB/s")
    print(f"  ratio (command line / in-process): {lib / cli:.2f}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--gib", type=float, default=1.0)
    ap.add_argument("--tree-mib", type=int, default=200)
    ap.add_argument("--encoding", default="cl100k_base")
    ap.add_argument("--skip-streaming", action="store_true")
    ap.add_argument("--skip-tree", action="store_true")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="tessel-bench-cli-") as tmp:
        if not args.skip_streaming:
            streaming(Path(tmp), args.gib, args.encoding)
        if not args.skip_tree:
            tree(Path(tmp), args.tree_mib, args.encoding)


if __name__ == "__main__":
    main()
