"""The typing stubs agree with the runtime: every type, function and method of the stubs
exists at run time, with the same parameters wherever the runtime shows them."""
import os
import pathlib
import subprocess
import sys

import pytest

import tessel


def module_name(package, path):
    return ".".join(("tessel", *path.relative_to(package).with_suffix("").parts))


def python_modules(package):
    return sorted(module_name(package, path).removesuffix(".__init__")
                  for path in package.rglob("*.py"))


def test_stubs_agree_with_the_runtime(tmp_path):
    pytest.importorskip("mypy.stubtest")
    package = pathlib.Path(tessel.__file__).parent
    # Each module that has a stub; a Python module is its own stub, with nothing to compare.
    modules = sorted(module_name(package, path).removesuffix(".__init__")
                     for path in package.rglob("*.pyi"))
    # The agreement is the point here, not the typing of the Python modules the stubs import
    # (their bodies may import optional packages such as numpy, or the private native module).
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\nignore_missing_imports = True\n" + "".join(
        f"[mypy-{module}]\nignore_errors = True\n"
        for module in python_modules(package)))
    env = dict(os.environ)
    if package.parent.name not in ("site-packages", "dist-packages"):
        env["MYPYPATH"] = str(package.parent)  # a build tree on PYTHONPATH, not installed
    r = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config),
                        *modules], cwd=tmp_path,
                       env=env, capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stdout + r.stderr
