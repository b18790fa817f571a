#!/usr/bin/env bash
# Builds the native code once and runs every test on that build: the C++ suites (CTest)
# and the Python suite (pytest, importing the extension from the same build tree). Then
# installs the package with pip on every CPython 3.9-3.13 it finds and smoke-tests it
# (tests/smoke_install.sh): the `tessel` script, `python -m tessel`, pickling.
# Installs what the tests need when it is missing: GoogleTest from Debian's packages, the
# Python test packages and the package's own dependencies from PyPI.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python}
BUILD_DIR=${BUILD_DIR:-build/tests}

if [ ! -f /usr/include/gtest/gtest.h ] && command -v apt-get >/dev/null && [ "$(id -u)" = 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev
fi
if [ ! -f /usr/include/gtest/gtest.h ] && [ ! -f /usr/local/include/gtest/gtest.h ]; then
  echo "run_all: GoogleTest is missing (Debian: apt-get install libgtest-dev); the C++" \
       "suites cannot run" >&2
  exit 1
fi
"$PYTHON" -m pip install -q -r tests/requirements.txt
"$PYTHON" tests/project_dependencies.py | xargs -r -d '\n' "$PYTHON" -m pip install -q

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPython_EXECUTABLE="$(command -v "$PYTHON")" ${CMAKE_ARGS:-}
cmake --build "$BUILD_DIR" -j "$(nproc)"
# Without GoogleTest the C++ suites are not built; that is a failure, not a pass.
ctest --test-dir "$BUILD_DIR" --output-on-failure --no-tests=error

# The package as a wheel would lay it out, from this build: the install rules place the
# extension, the Python files come from src/tessel.
STAGE="$BUILD_DIR/python"
rm -rf "$STAGE"
cmake --install "$BUILD_DIR" --prefix "$STAGE" >/dev/null
cp -R src/tessel/. "$STAGE/tessel/"
export TESSEL_BUILD_DIR="$PWD/$BUILD_DIR"
PYTHONPATH="$PWD/$STAGE${PYTHONPATH:+:$PYTHONPATH}" "$PYTHON" -m pytest -q tests/python

bash tests/smoke_install.sh "$PYTHON"
