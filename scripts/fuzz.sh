#!/usr/bin/env bash
# Builds the libFuzzer targets with clang++ in build/fuzz, every target under
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs tokenizer_fuzz,
# chunk_fuzz and pass_fuzz for SECONDS each (default 60), each on a build-tree
# copy of its seeds in tests/fuzz/corpus/. Exits non-zero if any fuzzer reports a
# crash, a sanitizer error, a wrong result or a timeout; the input that did it
# is left in build/fuzz/tests/fuzz/artifacts/.
#
#   scripts/fuzz.sh 300
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [SECONDS]  (a whole number of seconds per fuzzer, default 60)" >&2
  exit 2
fi

scripts/setup.sh

# Configured with every setting each time, so a stale or foreign cache in
# build/fuzz cannot change what is built.
cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVEL_BUILD_FUZZERS=ON -DQUORVEL_BUILD_TESTS=OFF -DQUORVEL_BUILD_MODULE=OFF \
  -DQUORVEL_BUILD_BENCH=OFF -DQUORVEL_SANITIZE=address,undefined -DQUORVEL_WERROR=ON \
  -DFUZZ_SECONDS="$seconds" >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target tokenizer_fuzz chunk_fuzz pass_fuzz

# Every fuzzer runs even when one before it finds something.
status=0
for target in fuzz_tokenizer fuzz_chunk fuzz_pass; do
  printf '\n== %s (%s s)\n' "$target" "$seconds"
  if ! cmake --build build/fuzz --target "$target"; then
    echo "fuzz: $target found a fault; see build/fuzz/tests/fuzz/artifacts/" >&2
    status=1
  fi
done
exit "$status"
