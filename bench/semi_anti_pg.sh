#!/usr/bin/env bash
# Semi and anti joins against their workarounds on PostgreSQL, as dfq-run
# writes them (postgresql dialect):
#   semi            join semi             (where exists)
#   semi_distinct   inner join with the second input's distinct keys
#   anti            join anti             (where not exists)
#   anti_left_key   left join keeping rows whose right key is null
#   anti_left_other left join keeping rows whose other right column is null
# Two tables of ROWS rows (default 1,000,000) in schema dfq_bench_sa, 1% of
# the keys null on each side; the first table's keys are drawn from twice as
# many values, the second's from SPREAD times as many (default 2; 0.1 gives
# each key of the second table about ten rows). Each
# statement is created as a table REPEAT times (default 5), the statements
# taking turns; the median time of each is printed with its row count and
# the join node of its plan.
#
#   dir=$(mktemp -d); export DFQ_PG_CONNINFO=$(scripts/pg-server.sh start "$dir")
#   bench/semi_anti_pg.sh build/tools/dfq-run
#   scripts/pg-server.sh stop "$dir"
set -euo pipefail
dfq_run=${1:?usage: semi_anti_pg.sh path/to/dfq-run [ROWS [REPEAT [SPREAD]]]}
rows=${2:-1000000}
repeat=${3:-5}
spread=${4:-2}
: "${DFQ_PG_CONNINFO:?set DFQ_PG_CONNINFO to a libpq connection string}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pg() { psql "$DFQ_PG_CONNINFO" -X -q -v ON_ERROR_STOP=1 "$@"; }

echo "making two tables of $rows rows (spread $spread)..." >&2
pg <<SQL
set client_min_messages = warning;
drop schema if exists dfq_bench_sa cascade;
create schema dfq_bench_sa;
select setseed(0.22) \g /dev/null
create table dfq_bench_sa.a as
  select g as id, case when g % 100 = 0 then null else (random() * 2 * $rows)::int end as k,
         g % 1000 as v
  from generate_series(1, $rows) g;
create table dfq_bench_sa.b as
  select g as id, case when g % 100 = 7 then null else (random() * $spread * $rows)::int end as k,
         g as w
  from generate_series(1, $rows) g;
analyze dfq_bench_sa.a;
analyze dfq_bench_sa.b;
SQL

cat > "$work/p.dfq" <<'EOF'
a = table dfq_bench_sa.a
b = table dfq_bench_sa.b
semi = join semi a as l, b as r: l.k = r.k
  columns: l.*
keys = select b: distinct k
semi_distinct = join inner a as l, keys as r: l.k = r.k
  columns: l.*
anti = join anti a as l, b as r: l.k = r.k
  columns: l.*
left_key = join left a as l, b as r: l.k = r.k
  columns: l.*, r.k as r_k
anti_left_key = filter left_key: r_k is null
left_other = join left a as l, b as r: l.k = r.k
  columns: l.*, r.w as r_w
anti_left_other = filter left_other: r_w is null
sql semi, semi_distinct, anti, anti_left_key, anti_left_other
EOF
# Each node's one statement: the line after its "-- [1]" header.
"$dfq_run" --dialect postgresql --dry-run "$work/p.dfq" |
  awk '/^== sql /{name=$3; sub(":", "", name)} /^-- \[1\]/{getline; print name "\t" $0}' \
  > "$work/statements"

names=$(cut -f1 "$work/statements")
for name in $names; do
  sql=$(awk -F'\t' -v n="$name" '$1 == n {print $2}' "$work/statements")
  echo "-- $name: $sql" >&2
  plan=$(pg -At -c "explain $sql" | grep -o -m1 -E '(Hash|Merge|Nested Loop)( Right| Left)?( Semi| Anti)? Join' || true)
  echo "$plan" > "$work/$name.plan"
done
for ((run = 1; run <= repeat; run++)); do
  for name in $names; do
    sql=$(awk -F'\t' -v n="$name" '$1 == n {print $2}' "$work/statements")
    ms=$(pg -c '\timing on' -c "create table dfq_bench_sa.out_$name as $sql" |
      sed -n 's/^Time: \([0-9.]*\) ms.*/\1/p')
    echo "$ms" >> "$work/$name.times"
    [ "$run" -eq "$repeat" ] &&
      pg -At -c "select count(*) from dfq_bench_sa.out_$name" > "$work/$name.rows"
    pg -c "drop table dfq_bench_sa.out_$name"
  done
done

printf '%-16s %10s %10s  %s\n' statement "median ms" rows "join in the plan"
for name in $names; do
  median=$(sort -n "$work/$name.times" | awk '{t[NR] = $1} END {print t[int((NR + 1) / 2)]}')
  printf '%-16s %10s %10s  %s\n' "$name" "$median" "$(cat "$work/$name.rows")" "$(cat "$work/$name.plan")"
done
pg -c "drop schema dfq_bench_sa cascade"
