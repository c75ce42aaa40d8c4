#!/usr/bin/env bash
# Builds a wheel that installs without a compiler or the Debian development
# packages: pip builds the module against the system's libraries, then
# auditwheel copies into the wheel every shared library the module loads that
# the manylinux policy does not promise (Boost.Regex, RE2 and what they load),
# and tags it with the most widely compatible manylinux tag that its symbol
# versions allow. The wheel goes to the folder given (default dist/); its path
# is the last line printed.
#
#   scripts/build_wheel.sh            # dist/quorvel_ext-0.1.0-cp38-cp38-manylinux_2_35_x86_64.whl
#   .venv/bin/pip install dist/quorvel_ext-*.whl
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

out=$(realpath -m "${1:-dist}")
raw=build/wheel-raw
rm -rf "$raw"
.venv/bin/python -m pip wheel -q --no-deps --no-build-isolation -w "$raw" .
built=("$raw"/*.whl)

# repair refuses a tag older than the symbols allow and does not look for
# the best one itself, so ask its analysis for the oldest tag it accepts.
plat=$(.venv/bin/python - "${built[0]}" <<'PY'
import sys
from auditwheel.policy import WheelPolicies
from auditwheel.wheel_abi import analyze_wheel_abi

policies = WheelPolicies()
abi = analyze_wheel_abi(policies, sys.argv[1], frozenset())
limits = (abi.sym_tag, abi.ucs_tag, abi.pyfpe_tag, abi.blacklist_tag)
print(min(limits, key=policies.get_priority_by_name))
PY
)

mkdir -p "$out"
rm -f "$out"/quorvel_ext-*-"$plat".whl
.venv/bin/auditwheel repair --plat "$plat" -w "$out" "${built[0]}"
repaired=("$out"/quorvel_ext-*-"$plat".whl)
echo "${repaired[0]}"
