#!/usr/bin/env bash
# Sets up a fresh machine, builds, and runs every test: the normal build
# with warnings as errors, the exported-symbol check, and the whole suite
# again under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)

echo "== build (warnings as errors)"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDFQ_WERROR=ON >/dev/null
cmake --build build/release -j "$jobs"
scripts/check-exports.sh build/release/libdfq.so
echo "== tests"
ctest --test-dir build/release -j "$jobs" --output-on-failure

echo "== build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDFQ_WERROR=ON -DDFQ_SANITIZE=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/asan -j "$jobs"
echo "== tests under sanitizers (leak check on)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan -j "$jobs" --output-on-failure
