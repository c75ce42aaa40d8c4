#!/usr/bin/env bash
# Builds the libraries the self-contained wheel carries inside its module, as
# static archives made by zig for x86_64 Linux with glibc 2.17 (the
# manylinux2014 floor) and LLVM's libc++, from Debian's own sources of the
# versions the source build links: Boost.Regex and the Boost.Iostreams
# filters, RE2, zstd, xz's liblzma, bzip2 and zlib. Boost.Regex is built
# without ICU, which the module never calls.
#
# Everything goes under a cache folder outside the checkout, keyed by the
# versions and by this script, so that a second run reuses it:
#   ${QUORVEL_WHEEL_CACHE:-~/.cache/quorvel-wheel}/<key>/
#     bin/      cc, c++, ar and ranlib: zig for the target, for CMake
#     prefix/   include/ and lib/ of the libraries, share/licenses/ their notices
# Prints the folder as its last line. Needs apt's Debian mirror and, in
# QUORVEL_ZIG, the zig to build with: scripts/build_wheel.sh names that of the
# ziglang package in .venv. The wrappers run whichever zig QUORVEL_ZIG names
# when they run, so that one cache serves every checkout.
set -euo pipefail
cd "$(dirname "$0")/.."

ZIG_TARGET=x86_64-linux-gnu.2.17
# Debian bookworm's sources, the versions of the -dev packages setup.sh
# installs for the source build (zstd's and xz's fixes aside: the mirror
# serves the sources of point releases, not of security updates).
SOURCES=(boost1.74=1.74.0+ds1-21 re2=20220601+dfsg-1 libzstd=1.5.4+dfsg2-5
         xz-utils=5.4.1-1+deb12u1 bzip2=1.0.8-5 zlib=1:1.2.13.dfsg-1)
MIRROR=http://deb.debian.org/debian

log() { echo "wheel_deps: $*" >&2; }

write_wrappers() {
  local tool
  for tool in cc c++; do
    # CMake asks for preprocessed output with "-o -", which zig takes for a
    # file named "-": drop it, so that the output goes to standard output.
    cat > "$cache/bin/$tool" <<WRAPPER
#!/usr/bin/env bash
args=()
while [ \$# -gt 0 ]; do
  if [ "\$1" = -o ] && [ "\${2-}" = - ]; then shift 2; continue; fi
  args+=("\$1")
  shift
done
export ZIG_GLOBAL_CACHE_DIR='$ZIG_GLOBAL_CACHE_DIR' ZIG_LOCAL_CACHE_DIR='$ZIG_GLOBAL_CACHE_DIR'
exec "\$QUORVEL_ZIG" $tool -target $ZIG_TARGET "\${args[@]}"
WRAPPER
  done
  for tool in ar ranlib; do
    cat > "$cache/bin/$tool" <<WRAPPER
#!/bin/sh
export ZIG_GLOBAL_CACHE_DIR='$ZIG_GLOBAL_CACHE_DIR' ZIG_LOCAL_CACHE_DIR='$ZIG_GLOBAL_CACHE_DIR'
exec "\$QUORVEL_ZIG" $tool "\$@"
WRAPPER
  done
  chmod +x "$cache/bin"/*
}

# apt with a state folder of its own and a deb-src entry for Debian's
# mirror: the system's apt configuration stays as it is, and no root needed.
fetch_sources() {
  local apt=$work/apt
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$work/src"
  local sign=/usr/share/keyrings/debian-archive-keyring.gpg
  printf 'deb-src [signed-by=%s] %s bookworm main\ndeb-src [signed-by=%s] %s bookworm-updates main\n' \
    "$sign" "$MIRROR" "$sign" "$MIRROR" > "$apt/sources.list"
  local options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/nonexistent
                 -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
                 -o Debug::NoLocking=1 -o APT::Sandbox::User=root -qq)
  log "fetching ${SOURCES[*]}"
  apt-get "${options[@]}" update
  (cd "$work/src" && apt-get "${options[@]}" source --download-only "${SOURCES[@]}" 2>&1 |
     { grep -v -e '^NOTICE' -e 'salsa.debian.org' -e '^Please use' -e '^git clone' \
               -e '^to retrieve' -e '^$' || true; } >&2)
  local dsc
  for dsc in "$work/src"/*.dsc; do
    local name
    name=$(basename "$dsc")
    # apt checked the files against the mirror's signed index; what
    # dpkg-source says about the keys it lacks is only noise.
    dpkg-source -x "$dsc" "$work/src/${name%%_*}" > "$work/unpack.log" 2>&1 ||
      { cat "$work/unpack.log" >&2; exit 1; }
  done
}

# Compiles the files of a source folder given after "--", two at a time, with
# the compiler and flags given before it, into lib<name>.a of the prefix.
archive() {
  local name=$1 dir=$2
  shift 2
  local command=()
  while [ "$1" != -- ]; do command+=("$1"); shift; done
  shift
  local objects=$work/obj/$name
  mkdir -p "$objects"
  printf '%s\n' "$@" | xargs -P "$jobs" -I{} "${command[@]}" -c "$dir/{}" -o "$objects/{}.o"
  "$cache/bin/ar" rcs "$prefix/lib/lib$name.a" "$objects"/*.o
}

cmake_install() {
  local source=$1 build=$work/build/$2
  shift 2
  cmake -S "$source" -B "$build" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/zig-toolchain.cmake" -DQUORVEL_ZIG_BIN="$cache/bin" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DCMAKE_POLICY_VERSION_MINIMUM=3.5 "$@" >/dev/null
  cmake --build "$build" -j "$jobs" >/dev/null
  cmake --install "$build" >/dev/null
}

build_libraries() {
  local src=$work/src c=("$cache/bin/cc" -O2 -fPIC -fvisibility=hidden -w)
  local hidden=(-DCMAKE_C_VISIBILITY_PRESET=hidden -DCMAKE_CXX_VISIBILITY_PRESET=hidden
                -DCMAKE_VISIBILITY_INLINES_HIDDEN=ON)
  log "building zlib"
  archive z "$src/zlib" "${c[@]}" -D_LARGEFILE64_SOURCE=1 -DHAVE_HIDDEN -- adler32.c compress.c \
    crc32.c deflate.c gzclose.c gzlib.c gzread.c gzwrite.c infback.c inffast.c inflate.c \
    inftrees.c trees.c uncompr.c zutil.c
  cp "$src/zlib/zlib.h" "$src/zlib/zconf.h" "$prefix/include/"
  log "building bzip2"
  archive bz2 "$src/bzip2" "${c[@]}" -D_FILE_OFFSET_BITS=64 -- blocksort.c huffman.c crctable.c \
    randtable.c compress.c decompress.c bzlib.c
  cp "$src/bzip2/bzlib.h" "$prefix/include/"
  log "building liblzma"
  cmake_install "$src/xz-utils" xz "${hidden[@]}"
  log "building zstd"
  cmake_install "$src/libzstd/build/cmake" zstd "${hidden[@]}" -DZSTD_LEGACY_SUPPORT=ON \
    -DZSTD_BUILD_SHARED=OFF -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_TESTS=OFF
  log "building RE2"
  # Debian's source leaves out RE2's generated Unicode tables: make them as
  # its build does, from the unicode-data package.
  local python=$PWD/.venv/bin/python
  (cd "$src/re2" && perl re2/make_perl_groups.pl > re2/perl_groups.cc &&
     "$python" re2/make_unicode_casefold.py > re2/unicode_casefold.cc &&
     "$python" re2/make_unicode_groups.py > re2/unicode_groups.cc)
  cmake_install "$src/re2" re2 "${hidden[@]}" -DRE2_BUILD_TESTING=OFF
  log "building Boost.Regex and the Boost.Iostreams filters"
  local boost=$src/boost1.74
  # The headers as Boost's own build gathers them, from each library's folder.
  local include
  for include in "$boost"/libs/*/include "$boost"/libs/numeric/*/include; do
    cp -a "$include/." "$prefix/include/"
  done
  # libc++ leaves out std::unary_function in C++17, which this Boost's hash
  # derives from unless told; cmake/bundled-deps.cmake tells the module too.
  local cxx=("$cache/bin/c++" -std=c++17 -O2 -fPIC -fvisibility=hidden -fvisibility-inlines-hidden
             -DBOOST_ALL_NO_LIB -DBOOST_NO_CXX98_FUNCTION_BASE -I"$prefix/include")
  archive boost_regex "$boost/libs/regex/src" "${cxx[@]}" -- $(cd "$boost/libs/regex/src" && ls ./*.cpp)
  archive boost_iostreams "$boost/libs/iostreams/src" "${cxx[@]}" -- zlib.cpp gzip.cpp bzip2.cpp \
    lzma.cpp
}

# The notices the wheel must carry for what it links in: Debian's copyright
# file of each source (every upstream notice and licence text), and those of
# the LLVM runtime zig links, libc++, libc++abi and libunwind.
collect_licenses() {
  local licenses=$prefix/share/licenses dsc name runtime
  for dsc in "$work/src"/*.dsc; do
    name=$(basename "$dsc")
    name=${name%%_*}
    mkdir -p "$licenses/$name"
    cp "$work/src/$name/debian/copyright" "$licenses/$name/copyright"
  done
  for runtime in libcxx libcxxabi libunwind; do
    mkdir -p "$licenses/$runtime"
    cp "$(dirname "$zig")/lib/$runtime/LICENSE.TXT" "$licenses/$runtime/LICENSE.TXT"
  done
}

zig=${QUORVEL_ZIG:?name the zig to build with, as scripts/build_wheel.sh does}
zig_version=$("$zig" version)
# The key covers what the build does, not how this file's comments read.
key=$( (echo "$ZIG_TARGET $zig_version ${SOURCES[*]}"; cat cmake/zig-toolchain.cmake
        declare -f write_wrappers fetch_sources archive cmake_install build_libraries \
          collect_licenses) |
      sha256sum | cut -c1-16)
root=${QUORVEL_WHEEL_CACHE:-$HOME/.cache/quorvel-wheel}
cache=$root/$key
# One build at a time per key: a second run waits, then finds it done.
mkdir -p "$root"
exec 9> "$cache.lock"
flock 9
if [ -f "$cache/done" ]; then
  echo "$cache"
  exit 0
fi

jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))
work=$cache/work
prefix=$cache/prefix
# zig compiles libc++ and the glibc 2.17 stubs once into a cache of its own,
# which the wrappers name.
ZIG_GLOBAL_CACHE_DIR=$root/zig-$zig_version
rm -rf "$cache"
mkdir -p "$cache/bin" "$prefix/include" "$prefix/lib"
write_wrappers
fetch_sources
build_libraries
collect_licenses
rm -rf "$work"
touch "$cache/done"
log "built in $cache"
echo "$cache"
