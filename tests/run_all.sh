#!/usr/bin/env bash
# Builds and runs every test: the C++ suites (CTest) and the Python suite (pytest).
# Installs what the tests need when it is missing: GoogleTest from Debian's packages,
# the Python test packages from PyPI.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python}
if [ ! -f /usr/include/gtest/gtest.h ] && command -v apt-get >/dev/null; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev
fi
"$PYTHON" -m pip install -q -r tests/requirements.txt

BUILD_DIR=${BUILD_DIR:-build/tests}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPython_EXECUTABLE="$(command -v "$PYTHON")" ${CMAKE_ARGS:-}
cmake --build "$BUILD_DIR" -j "$(nproc)"
ctest --test-dir "$BUILD_DIR" --output-on-failure

export TESSEL_BUILD_DIR="$PWD/$BUILD_DIR"
if ls tests/python/test_*.py >/dev/null 2>&1; then
  "$PYTHON" -m pip install -q .
  "$PYTHON" -m pytest -q tests/python
fi
