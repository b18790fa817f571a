"""The typing stubs agree with the runtime: every module, type, function and method of the
stubs exists at run time, with the same parameters wherever the runtime shows them."""
import os
import pathlib
import subprocess
import sys

import pytest

import tessel


def test_stubs_agree_with_the_runtime(tmp_path):
    pytest.importorskip("mypy.stubtest")
    package = pathlib.Path(tessel.__file__).parent
    # The checker walks the package's own modules, but not into tessel/bpe/, a folder of
    # stubs beside the extension module tessel.bpe: its modules are named one by one.
    modules = ["tessel"] + sorted({
        ".".join(("tessel", *path.relative_to(package).with_suffix("").parts))
        for path in [*package.rglob("*.py"), *package.rglob("*.pyi")]
        if not any((path.parent / init).exists() for init in ("__init__.py", "__init__.pyi"))})
    env = dict(os.environ)
    if package.parent.name not in ("site-packages", "dist-packages"):
        env["MYPYPATH"] = str(package.parent)  # a build tree on PYTHONPATH, not installed
    r = subprocess.run([sys.executable, "-m", "mypy.stubtest", *modules], cwd=tmp_path,
                       env=env, capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stdout + r.stderr
