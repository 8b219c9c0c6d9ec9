#!/usr/bin/env bash
# The main job: sets up a fresh machine, builds everything, and runs the
# sales example (examples/sales.dfq): libdfq turns a chain of dataframe
# operations into SQL, dfq-run prints it, runs it on SQLite and prints the
# result table.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "== building (build/example)" >&2
cmake -S . -B build/example -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/example --parallel "$(nproc)" >/dev/null

echo "== the pipeline (examples/sales.dfq)"
grep -v -E '^(#|$)' examples/sales.dfq
echo
echo "== dfq-run examples/sales.dfq"
build/example/tools/dfq-run examples/sales.dfq
