"""The runnable examples: the Dask scale-out and the README's Python example, run as a user
runs them."""
import array
import pathlib
import re
import subprocess
import sys

import pytest

from tessel.bpe import openai

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_dask_example_counts_and_encodes_every_file_and_reports_unreadable_ones(tmp_path):
    pytest.importorskip("dask.distributed")
    enc = openai.o200k_base()
    texts = {"a.txt": "Hello, world!\n", "sub/b.md": "Grüße — 東京 😀\n" * 50,
             "sub/deeper/c.py": "def f(x):\n    return x + 1\n", "empty.txt": ""}
    corpus = tmp_path / "corpus"
    for name, text in texts.items():
        (corpus / name).parent.mkdir(parents=True, exist_ok=True)
        (corpus / name).write_text(text, encoding="utf-8")
    (corpus / "latin1.txt").write_bytes("café".encode("latin-1"))
    r = subprocess.run([sys.executable, str(ROOT / "examples" / "dask_corpus.py"), str(corpus),
                        "--workers", "2", "-e", "o200k_base", "--output", str(tmp_path / "ids")],
                       capture_output=True, text=True, timeout=600)
    assert r.returncode == 2 and "latin1.txt" in r.stderr, r.stderr
    total = sum(enc.count(text) for text in texts.values())
    assert re.match(rf"{total} tokens in {len(texts)} files", r.stdout), r.stdout
    for name, text in texts.items():
        ids = array.array("I", (tmp_path / "ids" / (name + ".ids")).read_bytes())
        assert ids.tolist() == enc.encode(text), name


def test_readme_python_example_runs_as_pasted():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    blocks = re.findall(r"```python\n(.*?)```", readme, re.S)
    assert blocks
    for block in blocks:
        r = subprocess.run([sys.executable, "-c", block], capture_output=True, text=True,
                           timeout=300, cwd=ROOT / "tests")
        assert r.returncode == 0, f"{block}\n{r.stderr}"
