#!/usr/bin/env bash
# Builds the self-contained wheel, tagged manylinux2014 (manylinux_2_17_x86_64):
# it installs with pip on any x86_64 Linux with glibc 2.17 or newer, without a
# compiler or Boost. zig compiles the module for glibc 2.17 and links into it
# LLVM's libc++ and static builds of Boost.Regex, the Boost.Iostreams filters,
# RE2, zstd, liblzma, bzip2 and zlib (scripts/wheel_deps.sh, cached outside the
# checkout), so that it loads only what the manylinux policy promises.
# auditwheel then checks the policy and tags the wheel. The module is compiled
# for one CPython, 3.8 unless a version from 3.8 to 3.13 is given, against the
# headers of pyenv's interpreter of that version (scripts/setup.sh makes its
# build venv). The wheel goes to the folder given (default dist/), replacing
# an earlier one for that version; its path is the last line printed.
#
#   scripts/build_wheel.sh            # dist/quorvel_ext-0.1.0-cp38-cp38-manylinux_2_17_x86_64.manylinux2014_x86_64.whl
#   scripts/build_wheel.sh dist 3.12  # dist/quorvel_ext-0.1.0-cp312-cp312-manylinux_2_17_x86_64.manylinux2014_x86_64.whl
#   .venv/bin/pip install dist/quorvel_ext-*-cp38-*.whl
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

PLATFORM=manylinux2014_x86_64
# zig of the ziglang package, for wheel_deps.sh and the wrappers it writes.
QUORVEL_ZIG=$(.venv/bin/python -c 'import os, ziglang; print(os.path.dirname(ziglang.__file__))')/zig
export QUORVEL_ZIG
deps=$(scripts/wheel_deps.sh | tail -n 1)
out=$(realpath -m "${1:-dist}")
version=${2:-3.8}
case $version in
  3.8) python=.venv/bin/python ;;
  3.9 | 3.10 | 3.11 | 3.12 | 3.13) python=.venv-build/$version/bin/python ;;
  *) echo "build_wheel: no wheel for Python $version (3.8 to 3.13)" >&2; exit 2 ;;
esac
tag=cp${version/./}
raw=build/wheel-raw-$tag
rm -rf "$raw"
# A build folder of its own, since the source build's holds another compiler;
# one per build of the libraries, since CMake keeps the compiler's path (the
# folders of earlier ones go), and one per Python.
build=build/wheel-zig-$(basename "$deps")
find build -maxdepth 1 -name 'wheel-zig*' ! -name "$(basename "$build")-*" -exec rm -rf {} +
build=$build-$tag
"$python" -m pip wheel -q --no-deps --no-build-isolation -w "$raw" \
  -C build-dir="$build" \
  -C cmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/cmake/zig-toolchain.cmake" \
  -C cmake.define.QUORVEL_ZIG_BIN="$deps/bin" \
  -C cmake.define.QUORVEL_DEPS_PREFIX="$deps/prefix" .
built=("$raw"/*.whl)

# repair refuses a tag the module's symbols or libraries do not allow, and
# has nothing to copy in: the module needs only libraries the policy lists.
mkdir -p "$out"
rm -f "$out"/quorvel_ext-*-"$tag"-*.whl
.venv/bin/python -m auditwheel repair --plat "$PLATFORM" -w "$out" "${built[0]}"
repaired=("$out"/quorvel_ext-*-"$tag"-*.whl)
echo "${repaired[0]}"
