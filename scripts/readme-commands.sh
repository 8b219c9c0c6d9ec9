#!/usr/bin/env bash
# Runs the shell blocks of README.md as written, from the project's folder,
# after the Quick start's scripts/example.sh, each in a fresh bash that stops
# at the first failing command. Not run: the Quick start's scripts/test.sh
# (the run that calls this script) and "Building by hand" (a second full
# build and test run of what build/release already is). pip installs into a
# virtual environment of this run, first on the path. Afterwards, the
# commands must have left nothing in the tree that git would list.
set -euo pipefail
cd "$(dirname "$0")/.."
readme=README.md

work=$(mktemp -d "${TMPDIR:-/tmp}/dfq-readme.XXXXXX")
trap 'rm -rf "$work"' EXIT
python3 -m venv "$work/venv"
export PATH="$work/venv/bin:$PATH"

untracked() { git status --porcelain --untracked-files=all 2>/dev/null | sort; }
before=$(untracked)

echo "readme: scripts/example.sh"
scripts/example.sh >"$work/example.log" 2>&1 || { cat "$work/example.log"; exit 1; }

# The blocks, one file each, named by their number and heading.
awk -v dir="$work" '
  /^## / { heading = substr($0, 4) }
  /^```sh$/ { n++; file = sprintf("%s/block-%02d", dir, n); print heading > (file ".heading");
              inside = 1; next }
  /^```$/ && inside { inside = 0; close(file); next }
  inside { print > file }
' "$readme"

ran=0
for block in "$work"/block-??; do
  heading=$(cat "$block.heading")
  if [ "$heading" = "Building by hand" ] || grep -q '^scripts/test\.sh' "$block"; then
    echo "readme: not run as a block ($heading): $(head -n 1 "$block")"
    continue
  fi
  echo "readme: $heading: $(head -n 1 "$block")"
  if ! (bash -eo pipefail "$block" >"$block.log" 2>&1); then
    echo "readme: this block failed:"; cat "$block"; echo "-- its output:"; cat "$block.log"
    exit 1
  fi
  ran=$((ran + 1))
done
[ "$ran" -ge 6 ] || { echo "readme: only $ran shell blocks ran"; exit 1; }

after=$(untracked)
if [ "$after" != "$before" ]; then
  echo "readme: the commands left files that git lists:"
  diff <(echo "$before") <(echo "$after") || true
  exit 1
fi
echo "readme: $ran shell blocks ran as written"
