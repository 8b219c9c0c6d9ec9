#!/usr/bin/env python3
"""Figures of the two statement forms on SQLite and PostgreSQL.

    bench/cte_targets.py DFQ_RUN [PG_CONNINFO]

DFQ_RUN is a built tools/dfq-run; PG_CONNINFO a libpq connection string
(scripts/pg-server.sh start DIR prints one), without which PostgreSQL is
left out. It prints:

- ladder: a table, a filter and N self-joins of the previous node, as the
  cte form writes them (bytes per level), run over a 3-row table;
- reuse: a filter and an assign over 500,000 rows as the base, grouped by
  one key into one aggregate and by another into another, both joined back
  to the base, counted; the nested form, the cte form, and the cte form
  with its expressions forced to `materialized`; then the same with R
  aggregates joined back (the base copied R+1 times by the nested form).

Times are the engine's own (SQLite: the Python module's execute; PostgreSQL:
psql's \\timing), the fastest of RUNS runs made in turn; tables are created as a host does,
from the last statement to the first.
"""
import os
import re
import sqlite3
import subprocess
import sys
import tempfile
import time

RUNS = int(os.environ.get("RUNS", "3"))
ROWS = 500000
AGGREGATES = [int(a) for a in os.environ.get("AGGREGATES", "2,3,5").split(",")]


def statements(dfq_run, pipeline, dialect, form):
    """The statements dfq-run would run, as (name, sql), first to last."""
    with tempfile.NamedTemporaryFile("w", suffix=".dfq", delete=False) as f:
        f.write(pipeline)
    try:
        out = subprocess.run([dfq_run, "--dry-run", "--dialect", dialect, "--form", form, f.name],
                             check=True, capture_output=True, text=True).stdout
    finally:
        os.unlink(f.name)
    parts = re.split(r"^-- \[\d+\] (\S+) .*$", out, flags=re.M)
    return [(parts[i], parts[i + 1].strip()) for i in range(1, len(parts), 2)]


def ladder(levels):
    lines = ["t = table t", "l0 = filter t: a > 0"]
    for i in range(1, levels + 1):
        lines += ["l%d = join inner l%d as x, l%d as y: x.a = y.a" % (i, i - 1, i - 1),
                  "    columns: x.a, x.b"]
    lines += ["c = aggregate l%d: count(*) as n, sum(a) as s" % levels, "run c"]
    return "\n".join(lines) + "\n"


def reuse(aggregates):
    keys = ["k1", "k2", "k3", "k4", "k5", "k6"]
    lines = ["big = table big", "base0 = filter big: v > 10", "base = assign base0: v * 2 as v2"]
    for i in range(aggregates):
        lines += ["g%d = groupby base: %s" % (i, keys[i]),
                  "a%d = aggregate g%d: count(*) as n%d, sum(v2) as s%d" % (i, i, i, i)]
    previous = "base"
    for i in range(aggregates):
        lines += ["j%d = join inner %s as p, a%d as q: p.%s = q.%s" % (i, previous, i, keys[i], keys[i]),
                  "    columns: p.*"]
        previous = "j%d" % i
    lines += ["c = aggregate %s: count(*) as n, sum(v2) as s" % previous, "run c"]
    return "\n".join(lines) + "\n"


def forced_materialized(stmts):
    return [(n, q.replace(" as not materialized (", " as materialized (")) for n, q in stmts]


def forced_not_materialized(stmts):
    return [(n, q.replace(" as materialized (", " as not materialized (")) for n, q in stmts]


class Sqlite:
    name = "SQLite"
    dialect = "sqlite"

    def __init__(self, setup):
        self.path = tempfile.mktemp(suffix=".db")
        db = sqlite3.connect(self.path)
        db.executescript(setup)
        db.commit()
        db.close()

    def run(self, stmts):
        """Seconds to create the tables; the first statement's rows."""
        db = sqlite3.connect(self.path)
        start = time.perf_counter()
        for name, sql in reversed(stmts):
            db.execute("drop table if exists %s" % name)
            db.execute("create table %s as %s" % (name, sql))
        seconds = time.perf_counter() - start
        rows = db.execute("select * from %s" % stmts[0][0]).fetchall()
        db.rollback()
        db.close()
        return seconds, [tuple(str(v) for v in r) for r in rows]

    def close(self):
        os.unlink(self.path)


class Postgres:
    name = "PostgreSQL"
    dialect = "postgresql"

    def __init__(self, conninfo, setup):
        self.conninfo = conninfo
        self.psql(setup)

    def psql(self, script):
        return subprocess.run(["psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
                               self.conninfo], input=script, check=True, capture_output=True,
                              text=True).stdout

    def run(self, stmts):
        script = ["set search_path = main;"]
        for name, sql in reversed(stmts):
            script.append("drop table if exists %s cascade;" % name)
            script += ["\\timing on", "create table %s as %s;" % (name, sql), "\\timing off"]
        script.append("select * from %s;" % stmts[0][0])
        out = self.psql("\n".join(script) + "\n")
        seconds = sum(float(m) for m in re.findall(r"^Time: ([0-9.]+) ms", out, re.M)) / 1000
        rows = [tuple(line.split("|")) for line in out.splitlines()
                if line and not line.startswith("Time:")]
        return seconds, rows

    def close(self):
        pass


def fastest_runs(engine, variants):
    """The fastest of RUNS runs of each list of statements, run in turn so
    that a busy moment of the machine falls on all of them; the rows of
    each."""
    times = [[] for _ in variants]
    rows = [None] * len(variants)
    for _ in range(RUNS):
        for i, stmts in enumerate(variants):
            seconds, rows[i] = engine.run(stmts)
            times[i].append(seconds)
    return [min(t) for t in times], rows


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    dfq_run = sys.argv[1]
    conninfo = sys.argv[2] if len(sys.argv) > 2 else None

    tiny = "create table t(a integer, b text); insert into t values (1,'x'),(2,'y'),(3,'z');"
    big = ("create table big as select i as id, i %% 100 as k1, i %% 997 as k2, i %% 31 as k3, "
           "i %% 53 as k4, i %% 7 as k5, i %% 211 as k6, (i * 7) %% 1000 as v from %s;")
    sqlite_big = big % ("(with recursive s(i) as (select 1 union all select i + 1 from s "
                        "where i < %d) select i from s)" % ROWS)
    pg_big = big % ("generate_series(1, %d) as g(i)" % ROWS) + " analyze big;"
    engines = [lambda: Sqlite(tiny + sqlite_big)]
    if conninfo:
        pg_setup = ("create schema if not exists main; set search_path = main; "
                    "drop table if exists t cascade; drop table if exists big cascade; "
                    + tiny + pg_big + " analyze t;")
        engines.append(lambda: Postgres(conninfo, pg_setup))

    for make in engines:
        engine = make()
        print("== %s" % engine.name)
        sizes = {}
        for levels in (10, 20, 30):
            stmts = statements(dfq_run, ladder(levels), engine.dialect, "cte")
            sizes[levels] = sum(len(q) for _, q in stmts)
            (seconds,), (rows,) = fastest_runs(engine, [stmts])
            print("ladder %2d levels, cte: %d statements, %d bytes, %.3f s, rows %s"
                  % (levels, len(stmts), sizes[levels], seconds, rows))
        print("ladder bytes per level (10 to 30): %.1f" % ((sizes[30] - sizes[10]) / 20))
        for aggregates in AGGREGATES:
            pipeline = reuse(aggregates)
            nested = statements(dfq_run, pipeline, engine.dialect, "nested")
            cte = statements(dfq_run, pipeline, engine.dialect, "cte")
            (n_seconds, c_seconds, m_seconds, l_seconds), (n_rows, c_rows, m_rows, l_rows) = \
                fastest_runs(engine, [nested, cte, forced_materialized(cte),
                                      forced_not_materialized(cte)])
            same = "same rows" if n_rows == c_rows == m_rows == l_rows else "ROWS DIFFER"
            print("reuse, %d aggregates joined back (base copied %d times nested): nested %.3f s, "
                  "cte %.3f s (%.2fx), all materialized %.3f s (%.2fx), none materialized "
                  "%.3f s (%.2fx); %s %s"
                  % (aggregates, aggregates + 1, n_seconds, c_seconds, c_seconds / n_seconds,
                     m_seconds, m_seconds / n_seconds, l_seconds, l_seconds / n_seconds, same,
                     c_rows))
        engine.close()


if __name__ == "__main__":
    main()
