#!/usr/bin/env bash
# Brings a machine to the point where the project builds and its tests run:
# Debian packages, a Python 3.8 virtual environment in .venv with the pinned
# Python tools, one in .venv-build/3.N for each other Python the wheels serve
# with what building the wheel for it takes, and the CSV files of Debian
# packages that the tests profile.
# Safe to run again: each step is skipped when already done.
set -euo pipefail
cd "$(dirname "$0")/.."

DEBIAN_PACKAGES=(g++ cmake make libboost-regex-dev libboost-iostreams-dev libzstd-dev zstd
                 libgtest-dev libgmock-dev libbenchmark-dev libre2-dev clang clang-format
                 libclang-rt-14-dev)
# unicode-data: the tables Debian's RE2 is built from, which scripts/wheel_deps.sh
# builds again for the wheel.
DEBIAN_PACKAGES+=(unicode-data)
# patchelf: auditwheel rewrites the wheel's library paths with it.
DEBIAN_PACKAGES+=(patchelf)
# patch: cmake/pybind11.cmake patches pybind11's headers for Python 3.11 and later.
DEBIAN_PACKAGES+=(patch)
# chromium: the notebook report's test draws the page in it, headless, and measures the bars.
DEBIAN_PACKAGES+=(chromium)
BUILD_PACKAGES=(pybind11==2.7.1 scikit-build-core==0.10.7)
PYTHON_PACKAGES=("${BUILD_PACKAGES[@]}")
mapfile -t TEST_PACKAGES < <(grep -v '^#' tests/python/requirements.txt)
PYTHON_PACKAGES+=("${TEST_PACKAGES[@]}")
# auditwheel builds the self-contained wheel; 6.1.0 is the last for Python 3.8.
PYTHON_PACKAGES+=(auditwheel==6.1.0)
# zig compiles the wheel's module and the libraries it carries for glibc 2.17.
PYTHON_PACKAGES+=(ziglang==0.13.0)
# The Pythons other than 3.8 that the wheels serve (scripts/build_wheel.sh).
WHEEL_PYTHONS=(3.9 3.10 3.11 3.12 3.13)

install_debian_packages() {
  local missing=()
  for pkg in "${DEBIAN_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return
  echo "setup: installing ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# is_python VERSION COMMAND: whether COMMAND runs a Python of that version.
is_python() {
  "$2" -c 'import sys; sys.exit("%d.%d" % sys.version_info[:2] != sys.argv[1])' "$1" 2>/dev/null
}

# The pyenv shim for python3.N may refuse when 3.N is not the selected
# version, so look in pyenv's versions folder before trusting PATH.
find_python() {
  local version=$1 root candidate
  root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
  for candidate in "$root"/versions/"$version".*/bin/python"$version"; do
    [ -x "$candidate" ] && { echo "$candidate"; return; }
  done
  for candidate in python"$version" /usr/bin/python"$version" /usr/local/bin/python"$version"; do
    if is_python "$version" "$candidate"; then
      command -v "$candidate"
      return
    fi
  done
  echo "setup: no Python $version found (looked in pyenv's versions folder and on PATH)" >&2
  exit 1
}

# make_venv FOLDER VERSION PACKAGE...: a venv of that Python holding those
# packages, made again when its Python differs and refilled when the list does.
make_venv() {
  local dir=$1 version=$2
  shift 2
  if [ ! -x "$dir"/bin/python ] || ! is_python "$version" "$dir"/bin/python; then
    rm -rf "$dir"
    "$(find_python "$version")" -m venv "$dir"
  fi
  local stamp=$dir/.packages
  if [ "$(cat "$stamp" 2>/dev/null)" != "$*" ]; then
    "$dir"/bin/python -m pip install -q --upgrade pip
    "$dir"/bin/python -m pip install -q "$@"
    echo "$*" > "$stamp"
  fi
}

make_wheel_build_venvs() {
  local version
  for version in "${WHEEL_PYTHONS[@]}"; do
    make_venv .venv-build/"$version" "$version" "${BUILD_PACKAGES[@]}"
  done
}

# CSV files that Debian packages ship, for the verdict and loading tests:
# downloaded with apt-get (never installed) and unpacked into build/real-world.
READR=usr/lib/R/site-library/readr/extdata
STATSMODELS=usr/lib/python3/dist-packages/statsmodels/datasets
REAL_WORLD=(r-cran-readr:$READR/challenge.csv
            r-cran-readr:$READR/chickens.csv
            r-cran-readr:$READR/mtcars.csv
            r-cran-readr:$READR/mini-gapminder-africa.csv
            python3-statsmodels:$STATSMODELS/macrodata/macrodata.csv
            python3-statsmodels:$STATSMODELS/anes96/anes96.csv
            python3-statsmodels:$STATSMODELS/co2/co2.csv
            python3-statsmodels:$STATSMODELS/elnino/elnino.csv
            python3-statsmodels:$STATSMODELS/heart/heart.csv
            python3-statsmodels:$STATSMODELS/modechoice/modechoice.csv
            python3-statsmodels:$STATSMODELS/scotland/scotvote.csv
            python3-statsmodels:$STATSMODELS/star98/star98.csv
            python3-statsmodels:$STATSMODELS/statecrime/statecrime.csv
            python3-statsmodels:$STATSMODELS/randhie/randhie.csv)
# Tables that do not start on the first line, or start without a header: a comment line
# before the header (Stocks.csv), a row of counts before headerless data (breast_cancer.csv),
# a headerless table (gee_poisson_1.csv), and a header one cell shorter than the rows, over
# R's row names (dietox.csv).
REAL_WORLD+=(python-matplotlib-data:usr/share/matplotlib/mpl-data/sample_data/Stocks.csv
             python3-sklearn:usr/lib/python3/dist-packages/sklearn/datasets/data/breast_cancer.csv
             python3-statsmodels:$STATSMODELS/../genmod/tests/results/gee_poisson_1.csv
             python3-statsmodels:$STATSMODELS/../regression/tests/results/dietox.csv)

fetch_real_world_files() {
  local dir=build/real-world entry package file
  declare -A unpacked=()
  for entry in "${REAL_WORLD[@]}"; do
    package=${entry%%:*}
    file=${entry#*:}
    [ -f "$dir/$(basename "$file")" ] && continue
    if [ -z "${unpacked[$package]:-}" ]; then
      echo "setup: fetching $package"
      unpacked[$package]=$(mktemp -d)
      (cd "${unpacked[$package]}" && apt-get download -q "$package" >/dev/null 2>&1) ||
        { echo "setup: apt-get download $package failed" >&2; exit 1; }
      dpkg-deb -x "${unpacked[$package]}"/"$package"_*.deb "${unpacked[$package]}/tree"
    fi
    mkdir -p "$dir"
    cp "${unpacked[$package]}/tree/$file" "$dir/"
  done
  for package in "${!unpacked[@]}"; do rm -rf "${unpacked[$package]}"; done
}

install_debian_packages
make_venv .venv 3.8 "${PYTHON_PACKAGES[@]}"
make_wheel_build_venvs
fetch_real_world_files
