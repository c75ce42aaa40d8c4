#!/usr/bin/env bash
# Fails when the module's translation unit includes a regex engine's header,
# directly or through the project's headers: Boost.Regex and RE2 belong to the
# matcher alone (src/match/*.cpp). Lists every header the preprocessor opens
# for src/module/module.cpp, system headers included, and looks for theirs.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-.venv/bin/python}
py_include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
pybind_include=$("$python" -c 'import pybind11; print(pybind11.get_include())')
headers=$(${CXX:-c++} -std=c++17 -M -Isrc -Icsv-parser -isystem third_party/nanoarrow -isystem "$py_include" \
  -isystem "$pybind_include" src/module/module.cpp)
if leaks=$(grep -oE '[^ ]*(boost/regex|re2/)[^ ]*' <<<"$headers"); then
  echo "src/module/module.cpp includes a regex engine's headers:" >&2
  sort -u <<<"$leaks" >&2
  exit 1
fi
echo "src/module/module.cpp includes no regex engine header ($(wc -w <<<"$headers") dependencies)"
