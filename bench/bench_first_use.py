"""First use and memory of the built-in models, in fresh processes, beside tiktoken.

For each encoding and way of getting the model, runs `import` → first `encode` in new
interpreters (interleaved with the other ways) and prints the medians of: the seconds
taken, the CPU time (user + system, which a loaded machine disturbs less), the
resident-set growth after the first encode, and the peak growth (VmHWM).

    python bench/bench_first_use.py [--runs 7] [--encodings cl100k_base o200k_base]

Ways: "built" (no image anywhere: the cache off), "cache image" (read from a filled
per-user cache), "filling cache" (built, then its image written: once per user), and
tiktoken reading the same rank file.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
import corpora  # noqa: E402

PROBE = r"""
import json, resource, time
def status():
    fields = {}
    for line in open("/proc/self/status"):
        key, _, value = line.partition(":")
        if key in ("VmRSS", "VmHWM"):
            fields[key] = int(value.split()[0]) * 1024
    return fields
def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime
before = status()
start, start_cpu = time.perf_counter(), cpu()
%s
seconds, cpu_seconds = time.perf_counter() - start, cpu() - start_cpu
after = status()
print(json.dumps({"seconds": seconds, "cpu": cpu_seconds, "rss": after["VmRSS"] - before["VmRSS"],
                  "peak": after["VmHWM"] - before["VmRSS"]}))
"""

TESSEL = """
from tessel.bpe import openai
ids = openai.{encoding}().encode("hello world")
"""

PEER = """
import tiktoken
from tiktoken.load import load_tiktoken_bpe
enc = tiktoken.Encoding(name="first_use", pat_str={pattern!r},
                        mergeable_ranks=load_tiktoken_bpe({path!r}), special_tokens={{}})
ids = enc.encode_ordinary("hello world")
"""


def once(body, cache_dir):
    env = dict(os.environ, TESSEL_CACHE_DIR=cache_dir)
    r = subprocess.run([sys.executable, "-c", PROBE % body], capture_output=True, text=True,
                       env=env, cwd=tempfile.gettempdir(), timeout=600)
    if r.returncode != 0:
        raise RuntimeError(r.stderr)
    return json.loads(r.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--encodings", nargs="+", default=["cl100k_base", "o200k_base"])
    args = parser.parse_args()
    print(f"{'encoding':12} {'way':14} {'first use ms':>12} {'CPU ms':>8} {'RSS MB':>8} "
          f"{'peak MB':>8}")
    for encoding in args.encodings:
        tessel = TESSEL.format(encoding=encoding)
        peer = PEER.format(pattern=corpora.PUBLISHED_PATTERNS[encoding],
                           path=str(ROOT / "data" / f"{encoding}.tiktoken"))
        results = {way: [] for way in ("built", "cache image", "filling cache", "tiktoken")}
        with tempfile.TemporaryDirectory() as filled:
            once(tessel, filled)
            for _ in range(args.runs):
                results["built"].append(once(tessel, ""))
                results["cache image"].append(once(tessel, filled))
                with tempfile.TemporaryDirectory() as empty:
                    results["filling cache"].append(once(tessel, empty))
                results["tiktoken"].append(once(peer, ""))
        for way, runs in results.items():
            ms = 1e3 * statistics.median(r["seconds"] for r in runs)
            cpu_ms = 1e3 * statistics.median(r["cpu"] for r in runs)
            rss = statistics.median(r["rss"] for r in runs) / 1e6
            peak = statistics.median(r["peak"] for r in runs) / 1e6
            print(f"{encoding:12} {way:14} {ms:12.1f} {cpu_ms:8.1f} {rss:8.1f} {peak:8.1f}")


if __name__ == "__main__":
    main()
