#!/usr/bin/env bash
# Fails when the shared library exports anything but the C API, or depends
# on more than the C and C++ runtimes.
set -euo pipefail
lib=${1:?usage: check-exports.sh path/to/libdfq.so}
bad=$(nm -D --defined-only "$lib" | awk '{print $3}' |
  grep -v -E '^(dfq_[a-z_]+|init_dag|close_dag|print_dag|print_dag_path|get_log_level|set_log_level|log_(log|set_udata|set_lock|set_fp|get_level|set_level|set_quiet)|getFilename)$' || true)
if [ -n "$bad" ]; then echo "unexpected exported symbols:"; echo "$bad"; exit 1; fi
deps=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
  grep -v -E '^(libc\.so\.6|libstdc\+\+\.so\.6|libgcc_s\.so\.1|libm\.so\.6|ld-linux.*)$' || true)
if [ -n "$deps" ]; then echo "unexpected dependencies:"; echo "$deps"; exit 1; fi
readelf -d "$lib" | grep -q 'SONAME.*libdfq\.so\.1' || { echo "missing SONAME"; exit 1; }
echo "exports and dependencies: ok"
