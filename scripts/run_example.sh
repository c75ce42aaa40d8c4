#!/usr/bin/env bash
# The main job: sets up what it needs, builds and installs the module and the
# quorvel package into .venv, then runs the quorvel command on a CSV file
# (default: the bundled example), printing one verdict per column. Arguments
# go to the command (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
.venv/bin/python -m pip install -q --no-build-isolation .
if [ $# -eq 0 ]; then
  set -- examples/messy.csv
fi
exec .venv/bin/quorvel "$@"
