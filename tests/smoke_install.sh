#!/usr/bin/env bash
# Installs the package with pip, as a user does, into a virtual environment of its own for
# each CPython 3.9-3.13 found (the interpreters given as arguments first, then python3.N on
# PATH and pyenv's), and runs it once: the `tessel` script, `python -m tessel`, the library,
# pickling, and tests/python/collector_during_calls.py. A build or import break, or a
# failed check, on any of those versions fails the run.
# Each version keeps its environment (with the build requirements, so pip builds without
# an isolated environment of its own) and build directory under build/smoke/, so reruns
# are incremental; with ccache on PATH the versions share the compiled core, which does not
# depend on Python.
set -euo pipefail
unset PYTHONPATH
cd "$(dirname "$0")/.."

candidates=("$@")
for minor in 9 10 11 12 13; do
  if command -v "python3.$minor" >/dev/null; then candidates+=("python3.$minor"); fi
done
for py in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.*/bin/python; do
  if [ -x "$py" ]; then candidates+=("$py"); fi
done
if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR="$PWD"
fi

declare -A seen=()
tested=()
for py in "${candidates[@]}"; do
  version=$("$py" -c 'import sys, platform
v = sys.version_info
ok = platform.python_implementation() == "CPython" and (3, 9) <= v[:2] <= (3, 13)
print(f"{v[0]}.{v[1]}" if ok else "")' 2>/dev/null) || continue
  if [ -z "$version" ] || [ -n "${seen[$version]:-}" ]; then continue; fi
  seen[$version]=1
  root="build/smoke/$version"
  started=$SECONDS
  if [ ! -x "$root/venv/bin/python" ]; then
    "$py" -m venv "$root/venv"
    "$py" tests/project_dependencies.py --build |
      xargs -d '\n' "$root/venv/bin/python" -m pip install -q --disable-pip-version-check
  fi
  # The environment's own CMake and Ninja, found at once (a slow shim on PATH can make
  # the build backend give up on CMake on a loaded machine).
  PATH="$PWD/$root/venv/bin:$PATH" "$root/venv/bin/python" -m pip install -q \
    --disable-pip-version-check --no-build-isolation . --config-settings=build-dir="$root/build"
  (cd "$root" && venv/bin/python - <<'PY'
import pickle, subprocess, sys
from tessel.bpe import openai

for make, ids in ((openai.cl100k_base, [15339, 1917, 198]), (openai.o200k_base, [24912, 2375, 198])):
    enc = make()
    assert enc.encode("hello world\n") == ids, enc.encode("hello world\n")
    assert pickle.loads(pickle.dumps(enc)).decode(ids) == "hello world\n"
    # Large enough to be encoded without the interpreter lock; the lists share their ints.
    text = "tessel " * 2000 + "".join(map(chr, range(0x4E00, 0x4F00)))
    lists = [enc.encode(text) for _ in range(3)]
    del lists[1:]
    assert enc.decode(lists[0]) == text and enc.encode(text) == lists[0]
bindir = sys.executable.rsplit("/", 1)[0]
for command in ([f"{bindir}/tessel"], [sys.executable, "-m", "tessel"]):
    out = subprocess.run([*command, "encode"], input=b"hello world\n", capture_output=True)
    assert (out.returncode, out.stdout) == (0, b"15339 1917 198\n"), (command, out)
PY
  )
  # Code run by the collector during calls: its schedule differs between versions.
  "$root/venv/bin/python" tests/python/collector_during_calls.py >/dev/null
  tested+=("$version ($((SECONDS - started)) s)")
done
if [ ${#tested[@]} -eq 0 ]; then
  echo "smoke_install: no CPython 3.9-3.13 found" >&2
  exit 1
fi
echo "smoke_install: installed and ran on CPython ${tested[*]}"
