#!/usr/bin/env bash
# Hardening, run by CI after the test command and by anyone locally:
#   1. the C++ suites built with AddressSanitizer + UndefinedBehaviorSanitizer (build/asan);
#   2. the C++ suites built with ThreadSanitizer (build/tsan);
#   3. every libFuzzer target of tests/fuzz for FUZZ_SECONDS (default 60) on its committed
#      seeds plus what earlier local runs found (build/fuzz).
# Any sanitizer report or fuzzer finding fails the script; a finding is printed with its
# reproducer file, a hexdump and the command that replays it.
# Installs what it lacks: clang and its sanitizer/fuzzer runtime and GoogleTest from
# Debian's packages, CMake and Ninja from PyPI.
#
# Environment: FUZZ_SECONDS, FUZZ_JOBS (targets run at once, default: processors, at
# most 2), PYTHON (interpreter for the build's table generator), HARDEN_STEPS (any of
# "asan tsan fuzz", default all three).
set -euo pipefail
cd "$(dirname "$0")/.."

FUZZ_SECONDS=${FUZZ_SECONDS:-60}
FUZZ_JOBS=${FUZZ_JOBS:-$(( $(nproc) < 2 ? $(nproc) : 2 ))}
PYTHON=${PYTHON:-$(command -v python3 || command -v python)}
HARDEN_STEPS=${HARDEN_STEPS:-asan tsan fuzz}
JOBS=$(nproc)
started=$SECONDS

say() { printf '\n== %s (%ds)\n' "$*" $((SECONDS - started)); }

apt_install() {
  command -v apt-get >/dev/null || { echo "hardening: please install $*" >&2; exit 2; }
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

# --- What the builds need.
[ -f /usr/include/gtest/gtest.h ] || apt_install libgtest-dev
command -v clang++ >/dev/null || apt_install clang
fuzz_probe=$(mktemp -d)
trap 'rm -rf "$fuzz_probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' \
  > "$fuzz_probe/probe.cpp"
if ! clang++ -fsanitize=fuzzer,address,undefined "$fuzz_probe/probe.cpp" -o "$fuzz_probe/probe" 2>/dev/null; then
  clang_major=$(clang++ -dumpversion | cut -d. -f1)
  apt_install "libclang-rt-${clang_major}-dev"
fi
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
  "$PYTHON" -m pip install -q cmake ninja
fi

configure() {  # build dir, then CMake arguments
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$PYTHON" "$@" >/dev/null
}

# --- 1 and 2: the C++ suites under the sanitizers. A report aborts the test that made it.
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
for step in asan tsan; do
  [[ " $HARDEN_STEPS " == *" $step "* ]] || continue
  say "C++ suites under ${step}"
  if [ "$step" = asan ]; then option=-DTESSEL_SANITIZE=ON; else option=-DTESSEL_SANITIZE_THREAD=ON; fi
  configure "build/$step" "$option"
  suites=()
  for dir in tests/cpp/*/; do
    compgen -G "${dir}*.cpp" >/dev/null && suites+=("test_$(basename "$dir")")
  done
  cmake --build "build/$step" -j "$JOBS" --target "${suites[@]}"
  ctest --test-dir "build/$step" --output-on-failure -j "$JOBS"
done

# --- 3: the fuzz targets, FUZZ_JOBS at a time.
if [[ " $HARDEN_STEPS " == *" fuzz "* ]]; then
  say "fuzz targets, ${FUZZ_SECONDS}s each"
  CC=clang CXX=clang++ configure build/fuzz -DTESSEL_FUZZ=ON -DTESSEL_BUILD_TESTS=OFF
  cmake --build build/fuzz --target tessel_fuzz -j "$JOBS"
  mkdir -p build/fuzz/findings build/fuzz/logs
  targets=()
  for source in tests/fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done

  run_target() {
    local name=$1 binary=build/fuzz/tests/fuzz/$1
    mkdir -p "build/fuzz/corpus/$name"
    # New inputs go to the first directory, so the committed seeds stay untouched.
    # -timeout makes an input that runs for 30 s (work exploding on hostile input) a finding.
    nice -n 5 "$binary" -max_total_time="$FUZZ_SECONDS" -timeout=30 -rss_limit_mb=4096 \
      -dict=tests/fuzz/tessel.dict -print_final_stats=1 \
      -artifact_prefix="build/fuzz/findings/$name-" \
      "build/fuzz/corpus/$name" "tests/fuzz/corpus/$name" \
      >"build/fuzz/logs/$name.log" 2>&1
  }

  rm -f build/fuzz/findings/* build/fuzz/logs/*
  for name in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$FUZZ_JOBS" ]; do wait -n || true; done
    (status=0; run_target "$name" || status=$?; echo "$status" >"build/fuzz/logs/$name.status") &
  done
  wait
  failed=0
  for name in "${targets[@]}"; do
    status=$(cat "build/fuzz/logs/$name.status")
    log=build/fuzz/logs/$name.log
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    # A target that stopped on a finding printed no DONE line: no match is no failure here.
    cov=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | grep -oE 'cov: [0-9]+ ft: [0-9]+' | tail -1 || true)
    printf '%-16s status %d, %s executions, %s\n' "$name" "$status" "${execs:-?}" "${cov:-cov: ?}"
    if [ "$status" -ne 0 ]; then
      failed=1
      echo "---- $name failed; last lines of $log:"
      tail -n 40 "$log"
      for finding in build/fuzz/findings/"$name"-*; do
        [ -e "$finding" ] || continue
        echo "---- reproducer $finding ($(stat -c %s "$finding") bytes):"
        od -A x -t x1z -v "$finding" | head -n 32
        echo "replay: build/fuzz/tests/fuzz/$name $finding"
      done
    fi
  done
  [ "$failed" -eq 0 ] || { echo "hardening: fuzz findings above" >&2; exit 1; }
fi

say "hardening passed"
