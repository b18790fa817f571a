"""The command line (`python -m tessel`, the `tessel` script), run as a user runs it: in a
subprocess, on files and standard input, checked against the library's own results."""
import contextlib
import io
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from tessel.__main__ import main
from tessel.bpe import openai

TOKENIZERS = {"cl100k_base": openai.cl100k_base(), "o200k_base": openai.o200k_base()}
TEXT_A = "Hello, world! The year 2024 ended.\n  Indented line\r\n"
TEXT_B = "Grüße aus Köln — 東京は晴れ 😀 naïve façade\n"


def run(args, stdin=b"", cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "tessel", *args],
        input=stdin, capture_output=True, cwd=cwd, timeout=300,
    )


@pytest.fixture
def files(tmp_path):
    a, b = tmp_path / "a.txt", tmp_path / "b.txt"
    a.write_text(TEXT_A, encoding="utf-8", newline="")
    b.write_text(TEXT_B, encoding="utf-8")
    return str(a), str(b)


@pytest.mark.parametrize("encoding", sorted(TOKENIZERS))
def test_count_and_encode_on_files_and_stdin(encoding, files, tmp_path):
    tok = TOKENIZERS[encoding]
    a, b = files
    # Each input is a text of its own; "-" reads standard input in its place.
    r = run(["count", "--encoding", encoding, a, "-", b], stdin=TEXT_B.encode(), cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    na, nb = tok.count(TEXT_A), tok.count(TEXT_B)
    assert r.stdout.decode().splitlines() == [
        f"{na} {a}", f"{nb} <stdin>", f"{nb} {b}", f"{na + 2 * nb} total"
    ]

    r = run(["encode", "--json", "-e", encoding, a], cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert [json.loads(line) for line in r.stdout.decode().splitlines()] == [tok.encode(TEXT_A)]

    # Space-separated ids of standard input decode back to exactly the input bytes.
    r = run(["encode", "-e", encoding], stdin=TEXT_B.encode(), cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout.decode() == " ".join(map(str, tok.encode(TEXT_B))) + "\n"
    r = run(["decode", "-e", encoding], stdin=r.stdout, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout == TEXT_B.encode()


def test_decode_reads_json_lines_and_writes_bytes_that_are_not_utf8(tmp_path):
    tok = TOKENIZERS["cl100k_base"]
    bpe = tok.bpe()
    # A sequence ending inside a character: the library's decode gives None, the command
    # line writes the bytes as they are.
    partial = bpe.encode_via_backtracking("é".encode()[:1])
    ids_a, ids_b = tok.encode(TEXT_A), tok.encode(TEXT_B)
    stdin = f"{json.dumps(ids_a)}\n{json.dumps(ids_b + partial)}\n".encode()
    r = run(["decode"], stdin=stdin, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout == (TEXT_A + TEXT_B).encode() + b"\xc3"
    # An empty input decodes to nothing.
    r = run(["decode"], stdin=b"  \n", cwd=tmp_path)
    assert (r.returncode, r.stdout) == (0, b"")


def test_limit_sets_the_exit_status(files, tmp_path):
    a, _ = files
    n = TOKENIZERS["cl100k_base"].count(TEXT_A)
    fits = run(["count", "--limit", str(n), a], cwd=tmp_path)
    assert (fits.returncode, fits.stdout.decode()) == (0, f"{n}\n")
    # One input over the limit fails the command; the others are still counted.
    over = run(["count", "--limit", str(n), "-", a], stdin=(TEXT_A + " more").encode(),
               cwd=tmp_path)
    assert over.returncode == 1
    assert over.stdout.decode().splitlines() == [f">{n} <stdin>", f"{n} {a}"]
    assert f"<stdin>: more than {n} tokens" in over.stderr.decode()
    # A limit beyond any possible count is no error.
    huge = run(["count", "--limit", str(10**30)], stdin=TEXT_A.encode(), cwd=tmp_path)
    assert (huge.returncode, huge.stdout.decode()) == (0, f"{n}\n")


@pytest.mark.parametrize(
    "args,stdin,message",
    [
        (["count", "--encoding", "p50k_base"], b"x", "invalid choice"),
        (["count", "--limit", "-1"], b"x", "must not be negative"),
        (["count", "--limit", "ten"], b"x", "not an integer"),
        (["frobnicate"], b"", "invalid choice"),
        ([], b"", "required"),
        (["count", "/nonexistent/file.txt"], b"", "No such file"),
        (["encode", "."], b"", "Is a directory"),
        (["encode"], b"ok \xff\xfe", "not valid UTF-8 (byte 0xff at offset 3)"),
        (["decode"], b"15 16 x7", "not a token id: 'x7'"),
        (["decode"], b"15 1.5", "not a token id"),
        (["decode"], b"1_5", "not a token id: '1_5'"),
        (["decode"], "\u0661\u0665".encode(), "not a token id"),
        (["decode"], b"[15, true]", "not a token id: true"),
        (["decode"], b"[15, [16]]", "not a token id"),
        (["decode"], b"[15, 16", "bad JSON"),
        (["decode"], b'{"ids": [1]}', "not a token id"),
        (["decode"], b"[1] {}", "expected a JSON list"),
        (["decode"], b"-1", "outside the vocabulary"),
        (["decode"], b"100256", "outside the vocabulary (0 to 100255)"),
        (["decode", "-e", "o200k_base"], b"[199998]", "outside the vocabulary (0 to 199997)"),
        (["decode"], b"18446744073709551616", "outside the vocabulary"),
    ],
)
def test_bad_usage_and_bad_input_exit_2_with_a_message(args, stdin, message, tmp_path):
    r = run(args, stdin=stdin, cwd=tmp_path)
    assert r.returncode == 2
    assert message in r.stderr.decode()
    assert b"Traceback" not in r.stderr
    assert r.stdout == b""


def test_the_last_vocabulary_ids_decode():
    for encoding, last in (("cl100k_base", 100_255), ("o200k_base", 199_997)):
        r = run(["decode", "-e", encoding], stdin=str(last).encode())
        assert r.returncode == 0, r.stderr
        assert r.stdout == TOKENIZERS[encoding].bpe().decode_tokens([last]) != b""


def test_a_reader_that_goes_away_ends_the_command_quietly(tmp_path):
    big = tmp_path / "big.txt"
    big.write_text("word " * 400_000)
    proc = subprocess.Popen(
        [sys.executable, "-m", "tessel", "encode", str(big)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path,
    )
    proc.stdout.read(10)
    proc.stdout.close()
    stderr = proc.stderr.read()
    assert proc.wait(timeout=300) == 141
    assert b"Traceback" not in stderr and b"Exception" not in stderr


def test_console_script_is_installed():
    script = shutil.which("tessel", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("the tessel script is not installed next to this interpreter")
    r = subprocess.run([script, "count", "--help"], capture_output=True, timeout=60)
    assert r.returncode == 0
    assert b"--limit" in r.stdout


def test_odd_surroundings_give_results_or_clear_errors(tmp_path):
    # A file name that is not UTF-8 is shown, not a crash.
    odd = os.path.join(os.fsencode(tmp_path), b"\xff.txt")
    with open(odd, "wb") as f:
        f.write(TEXT_A.encode())
    r = subprocess.run([sys.executable, "-m", "tessel", "count", odd, odd],
                       capture_output=True, cwd=tmp_path, timeout=300)
    assert r.returncode == 0, r.stderr
    n = TOKENIZERS["cl100k_base"].count(TEXT_A)
    assert r.stdout.decode().splitlines()[-1] == f"{2 * n} total"

    # Standard input closed altogether.
    r = subprocess.run([sys.executable, "-m", "tessel", "count"], capture_output=True,
                       cwd=tmp_path, preexec_fn=lambda: os.close(0), timeout=300)
    assert r.returncode == 2
    assert b"standard input is closed" in r.stderr

    # Called in-process with a text-only stream as stdout.
    ids = tmp_path / "ids.txt"
    ids.write_text(" ".join(map(str, TOKENIZERS["cl100k_base"].encode(TEXT_B))))
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert main(["decode", str(ids)]) == 0
    assert out.getvalue() == TEXT_B
