#!/usr/bin/env bash
# Sets up a fresh machine, builds, and runs every test: the normal build
# with warnings as errors, the exported-symbol check, the README's shell
# commands (scripts/readme-commands.sh), the whole suite again
# under AddressSanitizer + UndefinedBehaviorSanitizer, and the threaded test
# with a few core suites under ThreadSanitizer. The PostgreSQL tests run on a
# private server started here (DFQ_PG_CONNINFO).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)

# A private PostgreSQL server for the run: a temporary folder, its socket in
# that folder, no TCP listener; stopped on exit, also when a test fails. A
# server that cannot start fails the run.
echo "== PostgreSQL server for the tests"
pg_dir=$(mktemp -d "${TMPDIR:-/tmp}/dfq-pg.XXXXXX")
stop_pg() { scripts/pg-server.sh stop "$pg_dir" || true; rm -rf "$pg_dir"; }
trap stop_pg EXIT
trap 'exit 130' INT TERM
DFQ_PG_CONNINFO=$(scripts/pg-server.sh start "$pg_dir")
export DFQ_PG_CONNINFO
echo "server: $DFQ_PG_CONNINFO"

echo "== build (warnings as errors)"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDFQ_WERROR=ON >/dev/null
cmake --build build/release -j "$jobs"
scripts/check-exports.sh build/release/libdfq.so
echo "== tests"
ctest --test-dir build/release -j "$jobs" --output-on-failure
echo "== the README's commands, as written"
scripts/readme-commands.sh

echo "== leak check (valgrind): misuse, resolver, operations, fuzz corpora"
# The suites' own output and log records (the misuse checks write records at
# every level) are dropped; valgrind reports on the original standard error.
for suite in test_misuse test_misuse_assembly test_resolver test_operations; do
  valgrind --leak-check=full --error-exitcode=1 -q --log-fd=3 "build/release/tests/$suite" \
    3>&2 >/dev/null 2>&1 ||
    { echo "valgrind: $suite failed"; exit 1; }
done
for target in api names; do
  valgrind --leak-check=full --error-exitcode=1 -q --log-fd=3 "build/release/tests/replay_$target" \
    "fuzz/corpus/$target" 3>&2 >/dev/null 2>&1 ||
    { echo "valgrind: replay_$target failed"; exit 1; }
done

echo "== build (ThreadSanitizer): the threaded test and a few core suites"
tsan_suites="test_threads test_log test_foundation test_operations test_assembly_api"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDFQ_WERROR=ON \
  -DDFQ_SANITIZE_THREAD=ON -DDFQ_BUILD_TOOLS=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
# shellcheck disable=SC2086
cmake --build build/tsan -j "$jobs" --target $tsan_suites
echo "== tests under ThreadSanitizer"
for suite in $tsan_suites; do
  repeat=1
  [ "$suite" = test_threads ] && repeat=5
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    "build/tsan/tests/$suite" --gtest_repeat="$repeat" --gtest_brief=1 2>"build/tsan/$suite.err" ||
    { cat "build/tsan/$suite.err"; echo "ThreadSanitizer: $suite failed"; exit 1; }
done

echo "== build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDFQ_WERROR=ON -DDFQ_SANITIZE=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/asan -j "$jobs"
echo "== tests under sanitizers (leak check on)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan -j "$jobs" --output-on-failure
