#!/usr/bin/env bash
# Runs every test: formatting; that the module sees no regex engine; the C++
# tests in a warnings-as-errors build, under AddressSanitizer+UndefinedBehaviorSanitizer
# and under ThreadSanitizer;
# a minute of fuzzing for each fuzz target (FUZZ_SECONDS); the Python tests
# against a sanitized build of the module; the module built by pip and a few
# tests of what it installs; last, the self-contained manylinux2014 wheels of CPython 3.8
# to 3.13, each installed into a fresh venv: the Python tests against 3.8's
# and 3.12's, a smoke test of the others, and each module refused by every
# other Python. Sets up what it needs first, and ends with the time of each
# stage.
set -euo pipefail
cd "$(dirname "$0")/.."

STAGES=()
stage_started=$SECONDS
stage_name="Setup"
# Closes the running stage, and opens the next one if named.
step() {
  STAGES+=("$(printf '%5ds  %s' $((SECONDS - stage_started)) "$stage_name")")
  stage_started=$SECONDS
  stage_name=$*
  [ $# -eq 0 ] || printf '\n== %s\n' "$*"
}

scripts/setup.sh

ctest_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DQUORVEL_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
  ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
}

step "clang-format"
git ls-files -co --exclude-standard '*.hpp' '*.h' '*.cpp' ':!third_party' | xargs clang-format --dry-run --Werror

step "The module's translation unit includes no regex engine"
scripts/check_seal.sh

step "C++ tests"
ctest_build build/release -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_BENCH=ON

step "C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ctest_build build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_SANITIZE=address,undefined

step "C++ tests under ThreadSanitizer"
TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/tests/tsan.supp" ctest_build build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVEL_SANITIZE=thread

step "Fuzzing the tokenizer and the pass"
scripts/fuzz.sh "${FUZZ_SECONDS:-60}"

step "Python tests against the module under AddressSanitizer and UndefinedBehaviorSanitizer"
scripts/asan_pytest.sh -q

step "The module built by pip: its stub, its example and describe() on it"
# The suite runs under AddressSanitizer above and against the 3.8 and 3.12 wheels below,
# which the same sources build; here what pip itself installs is checked, and the wheel tests
# compare against it.
.venv/bin/python -m pip install -q --no-build-isolation .
.venv/bin/python -m pytest tests/python/test_stub.py tests/python/test_example.py \
  tests/python/test_describe.py

step "The self-contained wheels, each installed into a fresh venv, and the Python tests against them"
# The slowest phases: each wheel's build is the setup of the first test that needs it.
.venv/bin/python -m pytest tests/wheel --durations=12

step
printf '\n== Time per stage\n'
printf '%s\n' "${STAGES[@]}"
printf '%5ds  in all\n' "$SECONDS"
