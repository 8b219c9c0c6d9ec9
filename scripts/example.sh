#!/usr/bin/env bash
# The main job: sets up a fresh machine, builds the library and dfq-run (no
# tests) in build/example, and runs the sales example (examples/sales.dfq):
# libdfq turns a chain of dataframe operations into SQL, dfq-run prints it,
# runs it on SQLite and prints the result table. The build's progress goes
# to standard error; a later run reuses build/example and rebuilds only what
# changed, so it takes seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build=build/example

echo "== building the library and dfq-run ($build)" >&2
# -O2 without debug information: the quickest build of an optimised runner
# (a fifth less compile time than -O3, a third less than RelWithDebInfo).
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DDFQ_BUILD_TESTS=OFF -DDFQ_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" --target dfq-run --parallel "$(nproc)" >&2

echo "== the pipeline (examples/sales.dfq)"
grep -v -E '^(#|$)' examples/sales.dfq
echo
echo "== dfq-run examples/sales.dfq"
"$build/tools/dfq-run" examples/sales.dfq
