#!/usr/bin/env bash
# Builds the Python module with AddressSanitizer and UndefinedBehaviorSanitizer
# (g++, in build/asan-module) and runs the Python tests against it, so that
# memory errors in the bindings and in the engine show up under the calls the
# tests make. The interpreter is not instrumented: the ASan runtime has to be
# preloaded, Python's own allocator is bypassed so that ASan sees its objects
# too, and leak detection is off because the interpreter leaks at exit by
# design. The package comes from the source tree, so the tests that need the
# installed wheel are left out. Extra arguments go to pytest.
#
#   scripts/asan_pytest.sh -k pass
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

python=$PWD/.venv/bin/python
build=$PWD/build/asan-module

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVEL_BUILD_MODULE=ON -DQUORVEL_BUILD_TESTS=OFF -DQUORVEL_BUILD_BENCH=OFF \
  -DQUORVEL_BUILD_FUZZERS=OFF -DQUORVEL_SANITIZE=address,undefined -DQUORVEL_WERROR=ON \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j "$(nproc)" --target quorvel_ext
# The tests read the stub beside the module, where an install puts it.
cmake -E copy_if_different src/module/quorvel_ext.pyi "$build/quorvel_ext.pyi"

runtime() {
  local path
  path=$(g++ -print-file-name="$1")
  if [[ $path != /* ]]; then
    echo "asan_pytest: g++ does not know where $1 is" >&2
    exit 1
  fi
  echo "$path"
}

# The quorvel package from the source tree, over the instrumented module.
export PYTHONPATH="$build:$PWD/python${PYTHONPATH:+:$PYTHONPATH}"
export LD_PRELOAD="$(runtime libasan.so) $(runtime libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONMALLOC=malloc

# An installed copy of the module must not stand in for the instrumented one.
"$python" - "$build" <<'PY'
import os, sys
import quorvel_ext
where = os.path.realpath(quorvel_ext.__file__)
print("asan_pytest: testing", where)
if os.path.dirname(where) != os.path.realpath(sys.argv[1]):
    sys.exit("asan_pytest: imported the module from the wrong place")
PY

# A pass in both modes, so that something runs under the sanitizers even
# where the Python tests are missing.
"$python" - <<'PY'
import os, tempfile
import quorvel_ext
with tempfile.TemporaryDirectory() as tmp:
    csv = os.path.join(tmp, "in.csv")
    with open(csv, "w") as f:
        f.write("id,name,\n1,x,NA\n2,y,\n3,Z,4\n")
    for threads in (False, True):
        inf = quorvel_ext.Inf(csv, ",", {"int": ["[0-9]+"], "word": ["[a-z]+"]}, {"", "NA"},
                              threads, True, os.path.join(tmp, "types.csv"), 2)
        inf.infer_types()
        assert inf.col_names == ["id", "name", "Unitled_1"], inf.col_names
        assert inf.num_rows == 3, inf.num_rows
        counts = inf.get_col_type_candidates()
        assert counts["id"] == {"int": 3, "word": 0, "other": 0, "NA": 0}, counts
        assert counts["name"] == {"int": 0, "word": 2, "other": 1, "NA": 0}, counts
        assert counts["Unitled_1"] == {"int": 1, "word": 0, "other": 0, "NA": 2}, counts
print("asan_pytest: smoke pass ok")
PY

# A worker per core, each taking whole files, so that a file's module-wide fixtures (the
# cluster, the servers) start once.
status=0
"$python" -m pytest tests/python -m "not wheel" -n "$(nproc)" --dist loadfile "$@" || status=$?
if [ "$status" -eq 5 ]; then
  echo "asan_pytest: no Python tests were collected; only the smoke pass ran" >&2
  status=0
fi
exit "$status"
