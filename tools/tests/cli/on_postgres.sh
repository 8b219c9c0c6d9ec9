#!/usr/bin/env bash
# on_postgres.sh CODE PATTERN DFQ-RUN ARGS...: expect.sh with
# --db "$DFQ_PG_CONNINFO" --replace; skipped (exit 77) when no server is set.
if [ -z "${DFQ_PG_CONNINFO:-}" ]; then
  echo "skipped: DFQ_PG_CONNINFO is not set (scripts/test.sh starts a server and sets it)"
  exit 77
fi
code=$1 pattern=$2 run=$3
shift 3
exec bash "$(dirname "$0")/expect.sh" "$code" "$pattern" "$run" --db "$DFQ_PG_CONNINFO" --replace "$@"
