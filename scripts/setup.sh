#!/usr/bin/env bash
# Installs what the build and the tests need, when it is missing (Debian).
set -euo pipefail
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
command -v clang++ >/dev/null || need+=(clang)
command -v python3 >/dev/null || need+=(python3)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
[ -f /usr/include/sqlite3.h ] || need+=(libsqlite3-dev)
command -v sqlite3 >/dev/null || need+=(sqlite3)
command -v pkg-config >/dev/null || need+=(pkg-config)
[ -f /usr/include/postgresql/libpq-fe.h ] || need+=(libpq-dev)
# The PostgreSQL server that scripts/test.sh starts for the run.
ls /usr/lib/postgresql/*/bin/pg_ctl >/dev/null 2>&1 || need+=(postgresql)
# The PostgreSQL driver of Debian's Python (/usr/bin/python3), for the
# binding's PostgreSQL tests: CTest runs the Python tests with that
# interpreter when it imports psycopg2 (another python3 first on the path
# need not; the README says so).
/usr/bin/python3 -c 'import psycopg2' >/dev/null 2>&1 || need+=(python3-psycopg2)
command -v valgrind >/dev/null || need+=(valgrind)
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}" >&2
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  # apt-get writes its progress to standard output: it goes to standard
  # error, so that the output of the scripts that call this one is theirs.
  $SUDO apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >&2
fi
