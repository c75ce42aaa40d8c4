#!/usr/bin/env bash
# The main job: sets up what it needs, builds and installs the module into
# .venv, then infers the column types of a CSV file (default: the bundled
# example) and prints one verdict per column. Arguments go to the example.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
.venv/bin/python -m pip install -q --no-build-isolation .
exec .venv/bin/python examples/infer_types.py "$@"
