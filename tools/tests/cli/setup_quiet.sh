#!/usr/bin/env bash
# setup_quiet.sh SETUP: scripts/setup.sh installing a package writes nothing
# to standard output, so that the output of the scripts that call it is
# theirs. Run with a stand-in apt-get that talks on standard output, and a
# path on which valgrind is missing (every other tool setup looks for is
# there).
set -euo pipefail
setup=$1
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
for tool in bash env id ls cmake ninja g++ clang++ python3 sqlite3 pkg-config; do
  found=$(command -v "$tool") && ln -s "$found" "$bin/$tool"
done
cat >"$bin/apt-get" <<'STUB'
#!/bin/bash
echo "apt-get $* (progress on standard output)"
STUB
chmod +x "$bin/apt-get"
out=$(PATH=$bin bash "$setup" 2>"$bin/err")
[ -z "$out" ] || { echo "setup wrote to standard output: $out"; exit 1; }
grep -q "apt-get install .*valgrind" "$bin/err" || { echo "setup did not install: $(cat "$bin/err")"; exit 1; }
echo "setup output on standard error only"
