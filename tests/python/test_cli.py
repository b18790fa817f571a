"""The command line (`python -m tessel`, the `tessel` script), run in a subprocess as a user
runs it, on files and standard input, checked against the library's own results."""
import contextlib
import io
import json
import os
import re
import shutil
import subprocess
import sys

import pytest

from tessel.__main__ import main
import tessel
from tessel.bpe import openai

# The command line gives the ids of the tiktoken-compatible layer.
CL100K = tessel.get_encoding("cl100k_base")
ENCODINGS = {"cl100k_base": (CL100K, 100_255),
             "o200k_base": (tessel.get_encoding("o200k_base"), 199_997)}


def count(encoding, text):
    return len(encoding.encode_ordinary(text))
TEXT_A = "Hello, world! The year 2024 ended.\n  Indented line\r\n"
TEXT_B = "Grüße aus Köln — 東京は晴れ 😀 naïve façade\n"


def run(*args, stdin=b"", **kwargs):
    if "stdout" not in kwargs and "stderr" not in kwargs:
        kwargs["capture_output"] = True
    return subprocess.run([sys.executable, "-m", "tessel", *args], input=stdin,
                          timeout=300, **kwargs)


@pytest.fixture(autouse=True)
def in_tmp_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with open("a.txt", "w", encoding="utf-8", newline="") as f:
        f.write(TEXT_A)


@pytest.mark.parametrize("encoding", sorted(ENCODINGS))
def test_count_encode_and_decode_files_and_stdin(encoding):
    tok, last = ENCODINGS[encoding]
    na, nb = count(tok, TEXT_A), count(tok, TEXT_B)
    with open("b.txt", "w", encoding="utf-8") as f:
        f.write(TEXT_B)
    # Each input is a text of its own; "-" reads standard input in its place.
    r = run("count", "--encoding", encoding, "a.txt", "-", "b.txt", stdin=TEXT_B.encode())
    assert r.stdout.decode().splitlines() == [
        f"{na} a.txt", f"{nb} <stdin>", f"{nb} b.txt", f"{na + 2 * nb} total"], r.stderr
    r = run("encode", "--json", "-e", encoding, "a.txt")
    assert [json.loads(line) for line in r.stdout.decode().splitlines()] == [tok.encode_ordinary(TEXT_A)]
    # Space-separated ids decode back to exactly the input bytes; the last id is in range.
    r = run("encode", "-e", encoding, stdin=TEXT_B.encode())
    assert r.stdout.decode() == " ".join(map(str, tok.encode_ordinary(TEXT_B))) + "\n", r.stderr
    r = run("decode", "-e", encoding, stdin=r.stdout + str(last).encode())
    expected = TEXT_B.encode() + tok.decode_bytes([last])
    assert (r.returncode, r.stdout) == (0, expected), r.stderr


def test_decode_reads_json_lines_and_writes_bytes_that_are_not_utf8():
    # Ids ending inside a character: the library's decode gives None, the command line
    # writes the bytes as they are.
    partial = [CL100K.encode_single_token("é".encode()[:1])]
    stdin = f"{json.dumps(CL100K.encode_ordinary(TEXT_A))}\n{json.dumps(CL100K.encode_ordinary(TEXT_B) + partial)}\n"
    r = run("decode", stdin=stdin.encode())
    assert (r.returncode, r.stdout) == (0, (TEXT_A + TEXT_B).encode() + b"\xc3"), r.stderr
    assert run("decode", stdin=b"  \n").stdout == b""


def test_limit_sets_the_exit_status():
    n = count(CL100K, TEXT_A)
    r = run("count", "--limit", str(n), "a.txt")
    assert (r.returncode, r.stdout.decode()) == (0, f"{n}\n")
    # One input over the limit fails the command and drops the total; the others are counted.
    r = run("count", "--limit", str(n), "-", "a.txt", stdin=(TEXT_A + " more").encode())
    assert (r.returncode, r.stdout.decode().splitlines()) == (1, [f">{n} <stdin>", f"{n} a.txt"])
    assert f"<stdin>: more than {n} tokens" in r.stderr.decode()
    r = run("count", "--limit", str(10**30), stdin=TEXT_A.encode())  # beyond any count
    assert (r.returncode, r.stdout.decode()) == (0, f"{n}\n")


@pytest.mark.parametrize("args,stdin,message", [
    (["count", "--encoding", "p50k_base"], b"x", "invalid choice"),
    (["count", "--limit", "-1"], b"x", "must not be negative"),
    (["count", "--limit", "ten"], b"x", "not an integer"),
    # Numbers are ASCII decimal everywhere, as the ids decode reads.
    (["count", "--limit", "\u0663"], b"x", "not an integer"),
    (["count", "--limit", "1_000"], b"x", "not an integer"),
    (["count", "--limit", " 7"], b"x", "not an integer"),
    ([], b"", "required"),
    (["count", "/nonexistent/file.txt"], b"", "No such file"),
    (["encode", "."], b"", "Is a directory"),
    (["encode"], b"ok \xff\xfe", "not valid UTF-8 (byte 0xff at offset 3)"),
    (["decode"], b"15 16 x7", "not a token id: 'x7'"),
    (["decode"], b"1_5", "not a token id: '1_5'"),
    (["decode"], "\u0661\u0665".encode(), "not a token id"),
    (["decode"], b"[15, true]", "not a token id: true"),
    (["decode"], b"[15, [16]]", "not a token id"),
    (["decode"], b"[15, 16", "bad JSON"),
    (["decode"], b"[1] {}", "expected a JSON list"),
    (["decode"], b"-1", "token id -1 is not in the vocabulary"),
    (["decode"], b"100256", "token id 100256 is not in the vocabulary of cl100k_base"),
    (["decode", "-e", "o200k_base"], b"[199998]", "199998 is not in the vocabulary of o200k_base"),
    (["decode"], b"18446744073709551616", "not in the vocabulary"),
    (["decode"], b"7" * 5000, "token id of more than 30 digits is not in the vocabulary"),
])
def test_bad_usage_and_bad_input_exit_2_with_a_message(args, stdin, message):
    r = run(*args, stdin=stdin)
    assert (r.returncode, r.stdout) == (2, b"")
    assert message in r.stderr.decode() and b"Traceback" not in r.stderr


def test_output_that_is_lost_is_a_failure_never_success():
    with open("ids.txt", "w") as f:
        f.write("15 " * 200_000)
    # A reader that goes away mid-write: the pipe takes part of the data and says so.
    proc = subprocess.Popen([sys.executable, "-m", "tessel", "decode", "ids.txt"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.read(5)
    proc.stdout.close()
    stderr = proc.stderr.read()
    assert (proc.wait(timeout=300), stderr) == (2, b"tessel: output closed before everything "
                                                   b"was written (broken pipe)\n")
    # A full disk is no "over the limit" (status 1), and a closed stdout no traceback.
    with open("/dev/full", "wb") as full:
        r = run("count", "--limit", "1", "a.txt", stdout=full, stderr=subprocess.PIPE)
        assert r.returncode == 2
        assert r.stderr.endswith(b"\ntessel: cannot write the output: No space left on device\n")
        r = run("--help", stdout=full, stderr=subprocess.PIPE)  # argparse would drop it
        assert r.returncode == 2 and b"No space left" in r.stderr
    r = run("encode", "a.txt", stdout=None, stderr=subprocess.PIPE, preexec_fn=lambda: os.close(1))
    assert (r.returncode, r.stderr) == (2, b"tessel: standard output is closed\n")
    # With stderr closed the message is lost, but never written to stdout instead.
    r = run("decode", "-", stdout=subprocess.PIPE, stderr=None, stdin=b"x",
            preexec_fn=lambda: os.close(2))
    assert (r.returncode, r.stdout) == (2, b"")


def test_console_script_is_installed():
    script = shutil.which("tessel", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("the tessel script is not installed next to this interpreter")
    r = subprocess.run([script, "count", "--help"], capture_output=True, timeout=60)
    assert r.returncode == 0 and b"--limit" in r.stdout


def test_odd_surroundings_give_results_or_clear_errors():
    os.rename("a.txt", b"\xff.txt")  # a file name that is not UTF-8
    n = count(CL100K, TEXT_A)
    r = run("count", b"\xff.txt", b"\xff.txt")
    assert r.stdout.decode().splitlines() == [f"{n} \ufffd.txt"] * 2 + [f"{2 * n} total"], r.stderr
    r = run("count", preexec_fn=lambda: os.close(0))  # standard input closed altogether
    assert r.returncode == 2 and b"standard input is closed" in r.stderr
    # Called in-process with a text-only stream as stdout.
    with open("ids.txt", "w") as f:
        f.write(" ".join(map(str, CL100K.encode_ordinary(TEXT_B))))
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert main(["decode", "ids.txt"]) == 0
    assert out.getvalue() == TEXT_B


# Texts whose block boundaries fall inside every kind of piece: words with marks and
# contractions (both apostrophes), digit runs, punctuation with line breaks, whitespace runs
# of every kind with and without line breaks, CJK, emoji, special-token look-alikes.
_PIECE_PARTS = ["word", "Word", "WORD", "a", "é", "e\u0301", "\u0301x", "it's", "IT\u2019LL",
                "1234567", "3.14", "?!", "...\n", "/", "<|endoftext|>", "<|end", " ", "  ",
                "\t", "\n", "\r\n", " \n \n", "\n\n  ", "\u00a0", "\u180e", "\u3000",
                "\u2028", "\u4e2d\u6587", "\n\u4e2d", "😀", "ǅx", "Σς"]


def _mixed_texts(seed, count):
    import random
    rng = random.Random(seed)
    return ["".join(rng.choice(_PIECE_PARTS) for _ in range(rng.randint(0, 120)))
            for _ in range(count)]


def test_blocks_are_cut_only_where_a_piece_starts():
    import regex

    from tessel.cli.streaming import text_blocks
    data_dir = os.path.join(os.path.dirname(__file__), "..", "..", "data")
    patterns = [regex.compile(open(os.path.join(data_dir, f"{name}.pattern")).read().strip())
                for name in sorted(ENCODINGS)]
    # Both splitting modes: the exact one and the specified module's own rules.
    encoders = [openai.cl100k_base().encode, openai.o200k_base().encode,
                *(enc.encode_ordinary for enc, _ in ENCODINGS.values())]
    prose = open("/usr/share/common-licenses/GPL-3", encoding="utf-8").read()[:20_000]
    for text in [prose, *_mixed_texts(7, 150)]:
        data = text.encode()
        for read_size in (1, 2, 5, 64, 4096):
            blocks = list(text_blocks(io.BytesIO(data), "t", read_size))
            assert "".join(blocks) == text
            if len(blocks) == 1:
                continue
            for encode in encoders:
                assert [i for b in blocks for i in encode(b)] == encode(text)
            for pattern in patterns:  # the published patterns, as tiktoken runs them
                assert [p for b in blocks for p in pattern.findall(b)] == pattern.findall(text)


def test_large_inputs_stream_with_the_ids_of_the_whole_text():
    text = "".join(_mixed_texts(11, 400)) * 8  # several reads
    with open("big.txt", "w", encoding="utf-8", newline="") as f:
        f.write(text)
    ids = CL100K.encode_ordinary(text)
    r = run("encode", "big.txt")
    assert r.stdout == (" ".join(map(str, ids)) + "\n").encode(), r.stderr
    r = run("decode", stdin=run("encode", "--json", "big.txt").stdout)
    assert r.stdout == text.encode(), r.stderr
    assert run("count", "big.txt").stdout == f"{len(ids)}\n".encode()
    # A text that cannot be cut at all is read whole, and a bad byte is found across reads
    # (a character split between two reads is no fault).
    giant = "x" * (3 << 20)
    assert run("count", stdin=giant.encode()).stdout == f"{count(CL100K, giant)}\n".encode()
    data = ("a" * ((1 << 20) - 1) + "é").encode() + b"\xff"
    r = run("count", stdin=data)
    assert r.returncode == 2
    assert r.stderr == f"tessel: <stdin>: not valid UTF-8 (byte 0xff at offset {len(data) - 1})\n".encode()


def test_count_walks_directories_with_ignore_rules_binary_files_and_failures():
    files = {
        ".gitignore": "*.log\nbuild/\n!keep.log\n", "a.py": TEXT_A, "keep.log": TEXT_B,
        "skip.log": TEXT_A, "build/x.txt": TEXT_A, "sub/.gitignore": "secret.txt\n",
        "sub/secret.txt": TEXT_A, "sub/b.md": TEXT_B * 3, ".git/config": TEXT_A,
    }
    for name, text in files.items():
        os.makedirs(os.path.dirname(os.path.join("tree", name)), exist_ok=True)
        with open(os.path.join("tree", name), "w", encoding="utf-8") as f:
            f.write(text)
    with open("tree/image.png", "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n\0\0" + TEXT_A.encode())
    with open("tree/latin1.txt", "wb") as f:
        f.write(b"caf\xe9\n")
    os.symlink("missing", "tree/dangling")  # unreadable: reported, the others still counted
    os.mkfifo("tree/fifo")  # never opened: it would block

    def expected(names):
        counts = [(count(CL100K, files[n]), f"tree/{n}") for n in names]
        return [f"{n} {p}" for n, p in counts] + [f"{sum(n for n, _ in counts)} total"]

    r = run("count", "tree")
    assert r.returncode == 2
    assert r.stdout.decode().splitlines() == expected(
        [".gitignore", "a.py", "keep.log", "sub/.gitignore", "sub/b.md"])
    assert r.stderr.decode().splitlines() == [
        "tessel: tree/dangling: No such file or directory",
        "tessel: skipped 2 binary file(s) (not UTF-8 text)",
        "tessel: 1 input(s) could not be counted and are left out of the total"]
    os.remove("tree/dangling")
    r = run("count", "--no-ignore", "--json", "tree")
    records = [json.loads(line) for line in r.stdout.decode().splitlines()]
    walk = [".gitignore", "a.py", "build/x.txt", "image.png", "keep.log", "latin1.txt",
            "skip.log", "sub/.gitignore", "sub/b.md", "sub/secret.txt"]
    counts = {n: count(CL100K, files[n]) for n in walk if n in files}
    assert (r.returncode, records) == (0, [
        {"path": f"tree/{n}", "tokens": counts[n]} if n in counts else
        {"path": f"tree/{n}", "skipped": "binary"} for n in walk] + [
        {"total": sum(counts.values())}])


def test_version_model_and_special_tokens():
    r = run("--version")
    assert (r.returncode, r.stdout.decode()) == (0, f"tessel {tessel.__version__}\n")
    text = "Hi<|endoftext|><|end|>x"
    harmony = tessel.get_encoding("o200k_harmony")
    r = run("encode", "--model", "gpt-4o", stdin=text.encode())
    assert r.stdout.decode().split() == [str(i) for i in ENCODINGS["o200k_base"][0].encode_ordinary(text)]
    r = run("encode", "-e", "o200k_harmony", "--allowed-special", "<|end|>", stdin=text.encode())
    ids = harmony.encode(text, allowed_special={"<|end|>"}, disallowed_special=())
    assert 200007 in ids and r.stdout.decode().split() == [str(i) for i in ids]
    r = run("count", "--allowed-special", "all", stdin=text.encode())
    assert r.stdout.decode() == f"{len(CL100K.encode(text, allowed_special='all'))}\n"
    assert run("decode", stdin=b"100257").stdout == b"<|endoftext|>"
    for args, message in [(["--model", "no-such-model"], "no encoding is known for the model"),
                          (["--allowed-special", "<|nope|>"], "has no special token '<|nope|>'"),
                          (["-e", "cl100k_base", "-m", "gpt-4"], "not allowed with")]:
        r = run("count", *args, stdin=b"x")
        assert r.returncode == 2 and message in r.stderr.decode(), r.stderr


def test_ids_are_read_across_blocks_in_both_formats():
    import random

    from tessel.cli.errors import CliError
    from tessel.cli.ids import read_ids
    rng = random.Random(3)
    lists = [[rng.randrange(0, 10 ** rng.randint(1, 6)) for _ in range(rng.randint(0, 9))]
             for _ in range(40)]
    space = lambda: rng.choice(["", " ", "\n", " \t\r\n "])
    json_text = "".join(space() + "[" + space() + ("," + space()).join(
        str(i) + space() for i in ids) + "]" for ids in lists) + space()
    plain_text = space() + "".join(str(i) + rng.choice([" ", "\n", "\t\x0c"])
                                   for ids in lists for i in ids)
    expected = [i for ids in lists for i in ids]
    for text in (json_text, plain_text):
        for read_size in (1, 2, 3, 7, 64, 1 << 20):
            got = [i for ids in read_ids(io.BytesIO(text.encode()), "t", read_size) for i in ids]
            assert got == expected
    for bad, message in [("[1, 2, 3", "not closed"), ("[1,, 2]", "not a token id: ,"),
                         ("[1 2]", "expected ',' or ']'"), ("[1.5]", "not a token id: 1.5"),
                         ("1 2 +3 0x4", "not a token id: '0x4'"), ("[1] 2", "expected a JSON list")]:
        for read_size in (1, 3, 64):
            with pytest.raises(CliError, match=re.escape(message)):
                list(read_ids(io.BytesIO(bad.encode()), "t", read_size))
