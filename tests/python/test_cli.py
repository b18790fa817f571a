"""The command line (`python -m tessel`, the `tessel` script), run in a subprocess as a user
runs it, on files and standard input, checked against the library's own results."""
import contextlib
import io
import json
import os
import shutil
import subprocess
import sys

import pytest

from tessel.__main__ import main
from tessel.bpe import openai

CL100K = openai.cl100k_base()
ENCODINGS = {"cl100k_base": (CL100K, 100_255), "o200k_base": (openai.o200k_base(), 199_997)}
TEXT_A = "Hello, world! The year 2024 ended.\n  Indented line\r\n"
TEXT_B = "Grüße aus Köln — 東京は晴れ 😀 naïve façade\n"


def run(*args, stdin=b"", **kwargs):
    return subprocess.run([sys.executable, "-m", "tessel", *args], input=stdin,
                          capture_output=True, timeout=300, **kwargs)


@pytest.fixture(autouse=True)
def in_tmp_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with open("a.txt", "w", encoding="utf-8", newline="") as f:
        f.write(TEXT_A)


@pytest.mark.parametrize("encoding", sorted(ENCODINGS))
def test_count_encode_and_decode_files_and_stdin(encoding):
    tok, last = ENCODINGS[encoding]
    na, nb = tok.count(TEXT_A), tok.count(TEXT_B)
    with open("b.txt", "w", encoding="utf-8") as f:
        f.write(TEXT_B)
    # Each input is a text of its own; "-" reads standard input in its place.
    r = run("count", "--encoding", encoding, "a.txt", "-", "b.txt", stdin=TEXT_B.encode())
    assert r.stdout.decode().splitlines() == [
        f"{na} a.txt", f"{nb} <stdin>", f"{nb} b.txt", f"{na + 2 * nb} total"], r.stderr
    r = run("encode", "--json", "-e", encoding, "a.txt")
    assert [json.loads(line) for line in r.stdout.decode().splitlines()] == [tok.encode(TEXT_A)]
    # Space-separated ids decode back to exactly the input bytes; the last id is in range.
    r = run("encode", "-e", encoding, stdin=TEXT_B.encode())
    assert r.stdout.decode() == " ".join(map(str, tok.encode(TEXT_B))) + "\n", r.stderr
    r = run("decode", "-e", encoding, stdin=r.stdout + str(last).encode())
    expected = TEXT_B.encode() + tok.bpe().decode_tokens([last])
    assert (r.returncode, r.stdout) == (0, expected), r.stderr


def test_decode_reads_json_lines_and_writes_bytes_that_are_not_utf8():
    # Ids ending inside a character: the library's decode gives None, the command line
    # writes the bytes as they are.
    partial = CL100K.bpe().encode_via_backtracking("é".encode()[:1])
    stdin = f"{json.dumps(CL100K.encode(TEXT_A))}\n{json.dumps(CL100K.encode(TEXT_B) + partial)}\n"
    r = run("decode", stdin=stdin.encode())
    assert (r.returncode, r.stdout) == (0, (TEXT_A + TEXT_B).encode() + b"\xc3"), r.stderr
    assert run("decode", stdin=b"  \n").stdout == b""


def test_limit_sets_the_exit_status():
    n = CL100K.count(TEXT_A)
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
    (["decode"], b"-1", "outside the vocabulary"),
    (["decode"], b"100256", "outside the vocabulary (0 to 100255)"),
    (["decode", "-e", "o200k_base"], b"[199998]", "outside the vocabulary (0 to 199997)"),
    (["decode"], b"18446744073709551616", "outside the vocabulary"),
])
def test_bad_usage_and_bad_input_exit_2_with_a_message(args, stdin, message):
    r = run(*args, stdin=stdin)
    assert (r.returncode, r.stdout) == (2, b"")
    assert message in r.stderr.decode() and b"Traceback" not in r.stderr


def test_a_reader_that_goes_away_ends_the_command_quietly():
    with open("big.txt", "w") as f:
        f.write("word " * 400_000)
    proc = subprocess.Popen([sys.executable, "-m", "tessel", "encode", "big.txt"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
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
    assert r.returncode == 0 and b"--limit" in r.stdout


def test_odd_surroundings_give_results_or_clear_errors():
    os.rename("a.txt", b"\xff.txt")  # a file name that is not UTF-8
    n = CL100K.count(TEXT_A)
    r = run("count", b"\xff.txt", b"\xff.txt")
    assert r.stdout.decode().splitlines() == [f"{n} \ufffd.txt"] * 2 + [f"{2 * n} total"], r.stderr
    r = run("count", preexec_fn=lambda: os.close(0))  # standard input closed altogether
    assert r.returncode == 2 and b"standard input is closed" in r.stderr
    # Called in-process with a text-only stream as stdout.
    with open("ids.txt", "w") as f:
        f.write(" ".join(map(str, CL100K.encode(TEXT_B))))
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert main(["decode", "ids.txt"]) == 0
    assert out.getvalue() == TEXT_B
