"""tessel side by side with tiktoken (PyPI), in one process, on the same inputs.

    python bench/bench_vs_tiktoken.py [--runs 7] [--output results.md] [--quick]

For every encoding, corpus and operation both libraries run interleaved (alternating which
goes first) after a warm-up; the table shows the median of the runs as MB/s (10^6 bytes of
UTF-8 input per second, for decoding the bytes of the decoded text) and the ratio
tessel/tiktoken. The peer is a black box, its encodings built from this project's rank
files and the published patterns, without special tokens.

Operations and the peer's counterparts:
  encode                 encode(text)                    encode_ordinary(text)
  count                  count(text)                     len(encode_ordinary(text))
  count_till_limit       count_till_limit(text, n)       len(encode_ordinary(text)) <= n
                         (n = the token count: the whole text is scanned)
  decode                 decode(ids) -> str              decode(ids) -> str
  decode_bytes           bpe().decode_tokens(ids)        decode_bytes(ids)
  encode_batch           encode_batch(docs)              encode_ordinary_batch(docs, num_threads=1)
  encode_batch_parallel  encode_batch_parallel(docs)     encode_ordinary_batch(docs)  (its default threads)

Rows whose encoding says "get_encoding" measure the tiktoken-compatible layer
(tessel.get_encoding(name): encode_ordinary, decode_bytes, encode_ordinary_batch, ...), which
splits text exactly as tiktoken does; the others measure tessel.bpe.openai (--layers).

Single long inputs ("pathological") are 1 MiB each. The peer is first tried on them in a
subprocess with a time limit, because it can be very slow or fail on some; where it fails
or is too slow at 1 MiB it is measured on the largest smaller size that works (the row
says so), which flatters it when its time grows faster than the input.

Then, in fresh subprocesses: first use (import to the end of the first encode) and memory
(resident-set growth from before the import to after the first encode, and the peak), for
tiktoken and for tessel without and with model images beside the package. The images come
from --images DIR, from the installed package if it has them, or are written with the
tessel_write_image tool of a CMake build tree (build/*/tessel_write_image; the images must
come from the same sources as the installed module, or the module does not use them).
"""
from __future__ import annotations

import argparse
import json
import os
import platform
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import corpora

ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT / "data"
ENCODINGS = ("cl100k_base", "o200k_base")
IMAGE_FILES = {"cl100k_base": "precomputed_cl100k.bin", "o200k_base": "precomputed_o200k.bin"}
OPERATIONS = ("encode", "count", "count_till_limit", "decode", "decode_bytes", "encode_batch",
              "encode_batch_parallel")
SINGLE_TEXT_OPERATIONS = OPERATIONS[:5]
MIN_RUN_SECONDS = 0.05  # short operations are repeated within a run up to about this long
PEER_PROBE_TIMEOUT = 30.0
PEER_MAX_SECONDS = 2.0  # at 1 MiB; slower than this and the peer is measured on less


def peer_encoding(tiktoken, name: str):
    from tiktoken.load import load_tiktoken_bpe

    return tiktoken.Encoding(
        name=f"bench_{name}",
        pat_str=corpora.PUBLISHED_PATTERNS[name],
        mergeable_ranks=load_tiktoken_bpe(str(DATA / f"{name}.tiktoken")),
        special_tokens={},
    )


def operations(tok, peer, text: str, docs: list[str]):
    """(name, tessel call, peer call, input bytes) of each operation on one corpus."""
    ids = tok.encode(text)
    limit = len(ids)
    bpe = tok.bpe()
    size = len(text.encode("utf-8"))
    batch_size = sum(len(d.encode("utf-8")) for d in docs)
    ops = {
        "encode": (lambda: tok.encode(text), lambda: peer.encode_ordinary(text), size),
        "count": (lambda: tok.count(text), lambda: len(peer.encode_ordinary(text)), size),
        "count_till_limit": (
            lambda: tok.count_till_limit(text, limit),
            lambda: len(peer.encode_ordinary(text)) <= limit,
            size,
        ),
        "decode": (lambda: tok.decode(ids), lambda: peer.decode(ids), size),
        "decode_bytes": (lambda: bpe.decode_tokens(ids), lambda: peer.decode_bytes(ids), size),
    }
    if docs:
        ops["encode_batch"] = (
            lambda: tok.encode_batch(docs),
            lambda: peer.encode_ordinary_batch(docs, num_threads=1),
            batch_size,
        )
        ops["encode_batch_parallel"] = (
            lambda: tok.encode_batch_parallel(docs),
            lambda: peer.encode_ordinary_batch(docs),
            batch_size,
        )
    return ops


class ExactLayer:
    """tessel.get_encoding(name) (the tiktoken-compatible layer, splitting exactly as
    tiktoken does) under the method names of tessel.bpe.openai's Tokenizer."""

    def __init__(self, name: str):
        import tessel

        self.enc = tessel.get_encoding(name)
        self.encode = self.enc.encode_ordinary
        self.count = self.enc._count_ordinary
        self.decode = self.enc.decode
        self.decode_tokens = self.enc.decode_bytes

    def count_till_limit(self, text: str, limit: int):
        count = self.enc._count_ordinary(text)
        return count if count <= limit else None

    def bpe(self):
        return self

    def encode_batch(self, docs):
        return self.enc.encode_ordinary_batch(docs, num_threads=1)

    def encode_batch_parallel(self, docs):
        return self.enc.encode_ordinary_batch(docs, num_threads=os.cpu_count() or 1)


def timed(fn, repeat: int) -> float:
    start = time.perf_counter()
    for _ in range(repeat):
        fn()
    return (time.perf_counter() - start) / repeat


def compare(ours, theirs, runs: int) -> tuple[float, float]:
    """Median seconds per call of each, measured interleaved after a warm-up."""
    warm_ours, warm_theirs = timed(ours, 1), timed(theirs, 1)
    repeat = max(1, min(1000, int(MIN_RUN_SECONDS / max(min(warm_ours, warm_theirs), 1e-7))))
    ours_times, theirs_times = [], []
    for run in range(runs):
        pair = ((ours, ours_times), (theirs, theirs_times))
        for fn, times in pair if run % 2 == 0 else pair[::-1]:
            times.append(timed(fn, repeat))
    return statistics.median(ours_times), statistics.median(theirs_times)


PROBE = r"""
import sys, time
sys.path.insert(0, {bench!r})
import corpora, tiktoken
from bench_vs_tiktoken import peer_encoding
text = corpora.pathological({size})[{name!r}]
enc = peer_encoding(tiktoken, {encoding!r})
start = time.perf_counter()
enc.encode_ordinary(text)
print(time.perf_counter() - start)
"""


def probe_peer(encoding: str, name: str, size: int) -> tuple[float | None, str]:
    """Seconds of one peer encode of a pathological input in a fresh process, or None and
    why it did not finish."""
    code = PROBE.format(bench=str(Path(__file__).parent), size=size, name=name,
                        encoding=encoding)
    try:
        r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                           timeout=PEER_PROBE_TIMEOUT)
    except subprocess.TimeoutExpired:
        return None, f"over {PEER_PROBE_TIMEOUT:.0f} s"
    if r.returncode != 0:
        last = [line for line in r.stderr.splitlines() if line.strip()][-1:]
        reason = last[0] if last else f"exit status {r.returncode}"
        if "StackOverflow" in r.stderr:
            reason = "fails: stack overflow in its regex (PanicException)"
        return None, reason
    return float(r.stdout.strip()), ""


def peer_size_for(encoding: str, name: str, size: int) -> tuple[int | None, str]:
    """The largest of size, size/4, size/16, ... on which the peer works in reasonable
    time, and a note when that is less than `size`."""
    note = ""
    candidate = size
    while candidate >= 4096:
        seconds, reason = probe_peer(encoding, name, candidate)
        if seconds is not None and seconds <= PEER_MAX_SECONDS:
            return candidate, note
        if not note:
            note = reason or f"{seconds:.1f} s for one encode"
            note = f"tiktoken at {size // 1024} KiB: {note}"
        candidate //= 4
    return None, note


def mbps(size: int, seconds: float) -> float:
    return size / seconds / 1e6


def throughput_rows(args, tessel_makers, tiktoken):
    rows, notes, checks = [], [], []
    for encoding in args.encodings:
        tok = tessel_makers[encoding]()
        peer = peer_encoding(tiktoken, encoding)
        for corpus in args.corpora:
            docs = corpora.CORPORA[corpus](cap_bytes=args.corpus_bytes)
            text = "\n".join(docs)
            size = len(text.encode("utf-8"))
            label = f"{corpus} ({size / 1e6:.2f} MB, {len(docs)} docs)"
            differ = sum(tok.encode(d) != peer.encode_ordinary(d) for d in docs)
            if differ:
                checks.append(f"{encoding}, {corpus}: ids differ from tiktoken's in {differ} "
                              f"of {len(docs)} documents")
            for op, (ours, theirs, nbytes) in operations(tok, peer, text, docs).items():
                t_ours, t_theirs = compare(ours, theirs, args.runs)
                rows.append((encoding, label, op, mbps(nbytes, t_ours), mbps(nbytes, t_theirs), ""))
                print(f"  {encoding} {corpus} {op}: {rows[-1][3]:.1f} vs {rows[-1][4]:.1f} MB/s",
                      file=sys.stderr, flush=True)
        for name, text in corpora.pathological(args.piece_bytes).items():
            peer_size, note = peer_size_for(encoding, name, args.piece_bytes)
            label = f"{name} ({args.piece_bytes // 1024} KiB)"
            check = text[:min(len(text), 64 * 1024)]
            if tok.encode(check) != peer.encode_ordinary(check):
                checks.append(f"{encoding}, {name}: ids differ from tiktoken's (first 64 KiB)")
            peer_text = text[:peer_size] if peer_size else None
            for op, (ours, theirs, nbytes) in operations(tok, peer, text, []).items():
                if peer_text is None:
                    t_ours = statistics.median(timed(ours, 1) for _ in range(args.runs))
                    rows.append((encoding, label, op, mbps(nbytes, t_ours), None, note))
                    continue
                if peer_size != len(text):
                    # Same operation, the peer on the shorter text; interleaved all the same.
                    peer_ops = operations(tok, peer, peer_text, [])
                    theirs = peer_ops[op][1]
                t_ours, t_theirs = compare(ours, theirs, args.runs)
                rows.append((encoding, label, op, mbps(nbytes, t_ours),
                             mbps(len(peer_text), t_theirs), note))
                print(f"  {encoding} {name} {op}: {rows[-1][3]:.1f} vs {rows[-1][4]:.1f} MB/s",
                      file=sys.stderr, flush=True)
            if note:
                notes.append(f"{encoding}, {name}: {note}" + (
                    f"; measured at {peer_size // 1024} KiB" if peer_size else "; not measured"))
    return rows, notes, checks


FIRST_USE = r"""
import json, sys, time
def status():
    fields = {{}}
    for line in open("/proc/self/status"):
        key, _, value = line.partition(":")
        if key in ("VmRSS", "VmHWM"):
            fields[key] = int(value.split()[0]) * 1024
    return fields
before = status()
start = time.perf_counter()
{body}
seconds = time.perf_counter() - start
after = status()
print(json.dumps({{"seconds": seconds, "rss": after["VmRSS"] - before["VmRSS"],
                  "peak": after["VmHWM"] - before["VmRSS"], "where": where}}))
"""

TESSEL_BODY = """
from tessel.bpe import openai
ids = openai.{encoding}().encode("hello world")
import tessel.bpe
where = tessel.bpe.__file__
"""

PEER_BODY = """
import tiktoken
from tiktoken.load import load_tiktoken_bpe
enc = tiktoken.Encoding(name="first_use", pat_str={pattern!r},
                        mergeable_ranks=load_tiktoken_bpe({path!r}), special_tokens={{}})
ids = enc.encode_ordinary("hello world")
where = tiktoken.__file__
"""


def first_use(body: str, runs: int, pythonpath: str | None = None) -> dict:
    # No per-user image cache: "no image" rows then build, and image rows read only the
    # image beside the package (bench/bench_first_use.py measures the cache).
    env = dict(os.environ, TESSEL_CACHE_DIR="")
    if pythonpath:
        env["PYTHONPATH"] = pythonpath
    results = []
    for _ in range(runs):
        r = subprocess.run([sys.executable, "-c", FIRST_USE.format(body=body)],
                           capture_output=True, text=True, env=env, cwd=tempfile.gettempdir(),
                           timeout=600)
        if r.returncode != 0:
            raise RuntimeError(f"first-use run failed:\n{r.stderr}")
        results.append(json.loads(r.stdout))
    return {
        "seconds": statistics.median(r["seconds"] for r in results),
        "rss": statistics.median(r["rss"] for r in results),
        "peak": statistics.median(r["peak"] for r in results),
        "where": results[0]["where"],
    }


def image_source(args, package_dir: Path, scratch: Path) -> tuple[Path | None, str]:
    """A directory holding both image files, and how it was found."""
    if args.images:
        return Path(args.images), f"from {args.images}"
    if all((package_dir / f).exists() for f in IMAGE_FILES.values()):
        return package_dir, "installed with the package"
    # The newest writer, preferring builds without sanitizers (same images, written faster).
    writers = sorted(ROOT.glob("build/*/tessel_write_image"),
                     key=lambda p: ("san" not in p.parent.name, p.stat().st_mtime))
    if not writers:
        return None, "no images: build tessel_write_image with CMake or pass --images"
    out = scratch / "images"
    out.mkdir()
    for encoding, file in IMAGE_FILES.items():
        subprocess.run([str(writers[-1]), encoding, str(out / file)], check=True,
                       capture_output=True)
    return out, f"written by {writers[-1].relative_to(ROOT)}"


def first_use_rows(args):
    import tessel

    package_dir = Path(tessel.__file__).parent
    rows, notes = [], []
    with tempfile.TemporaryDirectory() as scratch:
        scratch = Path(scratch)
        plain = scratch / "plain"
        shutil.copytree(package_dir, plain / "tessel",
                        ignore=shutil.ignore_patterns("*.bin", "__pycache__"))
        images, how = image_source(args, package_dir, scratch)
        notes.append(f"model images: {how}")
        with_images = None
        if images is not None:
            with_images = scratch / "with_images"
            shutil.copytree(plain, with_images)
            for file in IMAGE_FILES.values():
                shutil.copy(images / file, with_images / "tessel" / file)
        for encoding in args.encodings:
            body = TESSEL_BODY.format(encoding=encoding)
            result = first_use(body, args.first_use_runs, str(plain))
            assert result["where"].startswith(str(plain)), result["where"]
            rows.append(("tessel, no image", encoding, result))
            if with_images is not None:
                loaded = first_use(body, args.first_use_runs, str(with_images))
                assert loaded["where"].startswith(str(with_images)), loaded["where"]
                rows.append(("tessel, image file", encoding, loaded))
                if loaded["seconds"] >= result["seconds"]:
                    notes.append(f"{encoding}: first use with the image is not faster; the "
                                 "image was rejected (written by a different build?) or read "
                                 "from disk (a page cache emptied between the runs)")
            path = str(DATA / f"{encoding}.tiktoken")
            body = PEER_BODY.format(pattern=corpora.PUBLISHED_PATTERNS[encoding], path=path)
            rows.append(("tiktoken", encoding, first_use(body, args.first_use_runs)))
            print(f"  first use {encoding} done", file=sys.stderr, flush=True)
    return rows, notes


def machine(tiktoken) -> list[str]:
    cpu = "unknown"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    from tessel.bpe import openai

    return [
        f"CPU: {cpu}, {os.cpu_count()} logical cores ({usable} usable); "
        f"tessel worker threads: {openai.get_num_threads()}",
        f"Python {platform.python_version()} on {platform.system()} {platform.release()}; "
        f"tiktoken {tiktoken.__version__}",
    ]


def fmt(value: float | None) -> str:
    if value is None:
        return "n/a"
    return f"{value:,.0f}" if value >= 100 else f"{value:.1f}" if value >= 1 else f"{value:.2f}"


# Throughput goals: (corpus, operation, least tessel/tiktoken ratio).
RATIO_TARGETS = (
    ("English prose", "encode", 8), ("code", "encode", 8), ("multilingual", "encode", 5),
    ("English prose", "count", 10), ("code", "count", 10),
)
LONG_PIECE_MOST_PER_BYTE = 3  # a long piece's encode time per byte, in prose's


def targets(rows) -> list[str]:
    """The goal table: every goal cell with its measured value, met or not."""
    cell = {(e, label.split(" (")[0], op): (ours, theirs) for e, label, op, ours, theirs, _ in rows}
    out = ["| encoding | goal | measured | met |", "|---|---|--:|:-:|"]
    for encoding in dict.fromkeys(r[0] for r in rows):
        for corpus, op, least in RATIO_TARGETS:
            ours, theirs = cell.get((encoding, corpus, op), (None, None))
            if ours and theirs:
                ratio = ours / theirs
                out.append(f"| {encoding} | {op} on {corpus} ≥ {least}× tiktoken | {ratio:.1f}× | "
                           f"{'yes' if ratio >= least else 'no'} |")
        prose = cell.get((encoding, "English prose", "encode"), (None,))[0]
        for name in corpora.pathological(16):
            ours = cell.get((encoding, name, "encode"), (None,))[0]
            if prose and ours:
                per_byte = prose / ours
                out.append(f"| {encoding} | encode time per byte of {name} ≤ "
                           f"{LONG_PIECE_MOST_PER_BYTE}× prose | {per_byte:.2f}× | "
                           f"{'yes' if per_byte <= LONG_PIECE_MOST_PER_BYTE else 'no'} |")
    return out if len(out) > 2 else []


def markdown(command, machine_lines, rows, notes, checks, first, first_notes, load,
             seconds) -> str:
    out = ["Command: `" + command + "`", ""]
    out += [f"- {line}" for line in machine_lines]
    out += [f"- load average (1 min) before/after: {load[0]:.2f}/{load[1]:.2f}; "
            f"run time {seconds / 60:.1f} min", ""]
    out += ["| encoding | input | operation | tessel MB/s | tiktoken MB/s | tessel/tiktoken |",
            "|---|---|---|--:|--:|--:|"]
    previous = None
    for encoding, label, op, ours, theirs, note in rows:
        shown = (encoding, label) != previous
        previous = (encoding, label)
        ratio = f"{ours / theirs:.1f}×" if theirs else "n/a"
        if note and theirs:
            ratio += " *"
        out.append(f"| {encoding if shown else ''} | {label if shown else ''} | {op} | "
                   f"{fmt(ours)} | {fmt(theirs)} | {ratio} |")
    if notes:
        out += ["", "\\* tiktoken measured on a shorter input:"]
        out += [f"- {note}" for note in notes]
    out += ["", "Same ids as tiktoken on every input" + (
        ", except:" if checks else " (each document of each corpus compared).")]
    out += [f"- {check}" for check in checks]
    goals = targets(rows)
    if goals:
        out += ["", "Goals:", ""] + goals
    if first:
        out += ["", "| first use (fresh process) | encoding | import → first encode (s) "
                "| RSS growth (MB) | peak RSS growth (MB) |", "|---|---|--:|--:|--:|"]
        for who, encoding, r in first:
            out.append(f"| {who} | {encoding} | {r['seconds']:.3f} | {r['rss'] / 1e6:.0f} | "
                       f"{r['peak'] / 1e6:.0f} |")
        out += [""] + [f"- {note}" for note in first_notes]
    return "\n".join(out) + "\n"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=7, help="timed runs per operation")
    parser.add_argument("--encodings", nargs="+", choices=ENCODINGS, default=list(ENCODINGS))
    parser.add_argument("--corpora", nargs="+", choices=list(corpora.CORPORA),
                        default=list(corpora.CORPORA))
    parser.add_argument("--corpus-bytes", type=int, default=corpora.MIB,
                        help="approximate size cap of each corpus")
    parser.add_argument("--piece-bytes", type=int, default=corpora.MIB,
                        help="size of each single long input")
    parser.add_argument("--first-use-runs", type=int, default=3)
    parser.add_argument("--no-first-use", action="store_true")
    parser.add_argument("--images", help="directory with precomputed_*.bin to use")
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: 3 runs, small inputs, 1 first-use run")
    parser.add_argument("--layers", nargs="+", choices=("openai", "exact"),
                        default=["openai", "exact"],
                        help="tessel.bpe.openai, and/or tessel.get_encoding (exact splitting)")
    parser.add_argument("--output", help="also write the Markdown to this file")
    args = parser.parse_args(argv)
    if args.runs < 1 or args.first_use_runs < 1:
        parser.error("--runs and --first-use-runs must be at least 1")
    if args.quick:
        args.runs, args.first_use_runs = 3, 1
        args.corpus_bytes, args.piece_bytes = 64 * 1024, 64 * 1024

    try:
        import tiktoken
    except ImportError:
        parser.error("tiktoken is not installed: python -m pip install tiktoken")
    from tessel.bpe import openai

    command = "python " + " ".join(shlex.quote(a) for a in
                                   [str(Path(sys.argv[0]).resolve().relative_to(ROOT))
                                    if Path(sys.argv[0]).resolve().is_relative_to(ROOT)
                                    else sys.argv[0], *(argv if argv is not None else sys.argv[1:])])
    started, load_before = time.perf_counter(), os.getloadavg()[0]
    makers = {"cl100k_base": openai.cl100k_base, "o200k_base": openai.o200k_base}
    rows, notes, checks = throughput_rows(args, makers, tiktoken) if "openai" in args.layers \
        else ([], [], [])
    if "exact" in args.layers:
        exact = {name: (lambda name=name: ExactLayer(name)) for name in ENCODINGS}
        more_rows, more_notes, more_checks = throughput_rows(args, exact, tiktoken)
        rows += [(f"{row[0]} get_encoding", *row[1:]) for row in more_rows]
        notes += [f"get_encoding: {note}" for note in more_notes]
        checks += [f"get_encoding: {check}" for check in more_checks]
    first, first_notes = ([], []) if args.no_first_use else first_use_rows(args)
    table = markdown(command, machine(tiktoken), rows, notes, checks, first, first_notes,
                     (load_before, os.getloadavg()[0]), time.perf_counter() - started)
    print(table)
    if args.output:
        Path(args.output).write_text(table)
    return 0


if __name__ == "__main__":
    sys.exit(main())
