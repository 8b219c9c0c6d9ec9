#!/usr/bin/env bash
# twice.sh DFQ-RUN PIPELINE: runs PIPELINE twice on one SQLite file, the
# second time with --replace; both must succeed, and the schema work must
# live in its file beside the database.
set -euo pipefail
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$1" -q --db "$dir/shop.db" "$2" >/dev/null
"$1" -q --replace --db "$dir/shop.db" "$2"
[ -f "$dir/shop.work.db" ] && echo "schema work kept in shop.work.db"
