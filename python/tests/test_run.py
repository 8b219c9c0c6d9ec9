"""Frame.run on real databases through their DB-API 2 drivers: sqlite3 and,
when DFQ_PG_CONNINFO names a server, PostgreSQL through psycopg2. Both
engines run the same contract; random pipelines give the same rows on both.

    python3 test_run.py PostgresRunTest   # exits 77 when every test skipped
"""

import os
import random
import sqlite3
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import dfq  # noqa: E402
from dfq import Result  # noqa: E402

SALES = [(1, "north", 50), (2, "north", 150), (3, "south", 300), (4, "south", 120),
         (5, "east", 80), (6, "east", 80), (7, "west", 10)]
REGIONS = [("north", "Ann"), ("south", "Bo"), ("east", "Cy")]


def load(cursor):
    cursor.execute("create table sales(id integer, region text, amount integer)")
    cursor.execute("insert into sales values " + ", ".join("(%d, '%s', %d)" % r for r in SALES))
    cursor.execute("create table regions(region text, manager text)")
    cursor.execute("insert into regions values " + ", ".join("('%s', '%s')" % r for r in REGIONS))


def has_option_api():
    return hasattr(dfq.load_library(), "dfq_set_option")


class Sqlite:
    name, dialect, schema = "SQLite", "sqlite", "work"

    def connect(self):
        conn = sqlite3.connect(":memory:")
        load(conn.cursor())
        conn.commit()
        return conn

    def release(self, conn):
        conn.close()


class Postgres:
    """A private schema per connection on the server DFQ_PG_CONNINFO names;
    it holds the data and the outputs, and is dropped afterwards."""
    name, dialect = "PostgreSQL", "postgresql"
    _serial = 0

    def __init__(self):
        conninfo = os.environ.get("DFQ_PG_CONNINFO")
        if not conninfo:
            raise unittest.SkipTest("DFQ_PG_CONNINFO is not set: no PostgreSQL server for "
                                    "this run (scripts/test.sh starts one)")
        try:
            import psycopg2
        except ImportError:
            raise unittest.SkipTest("no PostgreSQL driver (psycopg2) for %s" % sys.executable)
        self.psycopg2, self.conninfo = psycopg2, conninfo
        Postgres._serial += 1
        self.schema = "dfq_py_%d_%d" % (os.getpid(), Postgres._serial)

    def connect(self):
        # Set but unreachable is a failure, never a skip.
        conn = self.psycopg2.connect(self.conninfo)
        cursor = conn.cursor()
        cursor.execute('drop schema if exists "%s" cascade' % self.schema)
        cursor.execute('create schema "%s"' % self.schema)
        cursor.execute('set search_path to "%s"' % self.schema)
        load(cursor)
        conn.commit()
        return conn

    def release(self, conn):
        conn.rollback()
        conn.cursor().execute('drop schema if exists "%s" cascade' % self.schema)
        conn.commit()
        conn.close()


class RunContract:
    engine = None  # set by the concrete classes

    def setUp(self):
        self.db = self.engine()
        self.conn = self.db.connect()
        self.addCleanup(self.db.release, self.conn)
        self.dag = dfq.Dag(schema=self.db.schema)
        self.addCleanup(lambda: self.dag.close())  # the Dag open at the end

    def exists(self, frame):
        return dfq._run.engine_for(self.conn).kind_of(frame.schema, frame.table) is not None

    def test_result_has_columns_and_rows(self):
        sales = self.dag.table("sales")
        result = sales.filter("amount >= 150").assign("amount * 2 as twice").order_by("id").run(
            self.conn)
        self.assertEqual(result.columns, ["id", "region", "amount", "twice"])
        self.assertEqual(result.rows, [(2, "north", 150, 300), (3, "south", 300, 600)])
        self.assertEqual(list(result), result.rows)
        self.assertEqual(len(result), 2)
        self.assertEqual(result[1][0], 3)
        try:
            import pandas  # noqa: F401
        except ImportError:
            with self.assertRaisesRegex(ImportError, "needs pandas"):
                result.to_pandas()
        else:
            self.assertEqual(list(result.to_pandas()["twice"]), [300, 600])

    def test_a_run_is_repeated_with_replace(self):
        def pipeline(dag):
            return dag.table("sales").filter("amount > 100").group_by("region").aggregate(
                "count(*) as n")
        first = pipeline(self.dag).run(self.conn)
        self.dag.close()
        # The same cell again: a new Dag names its outputs as before.
        self.dag = dfq.Dag(schema=self.db.schema)
        again = pipeline(self.dag)
        with self.assertRaises(Exception):
            again.run(self.conn)
        self.assertFalse(again.is_executed())
        self.assertEqual(sorted(again.run(self.conn, replace=True)), sorted(first))
        self.assertTrue(again.is_executed())
        # A view of the same name is dropped as a view.
        self.dag.close()
        self.dag = dfq.Dag(schema=self.db.schema)
        frame = pipeline(self.dag)
        cursor = self.conn.cursor()
        cursor.execute("drop table %s" % frame.output_name)
        cursor.execute("create view %s as select 1 as x" % frame.output_name)
        self.assertEqual(sorted(frame.run(self.conn, replace=True)), sorted(first))

    def test_a_rejected_statement_rolls_the_run_back(self):
        q = self.dag.query("select region, amount from sales", name="%s.q" % self.db.schema)
        bad = q.filter("no_such_column > 1")
        with self.assertRaises(Exception) as caught:
            bad.run(self.conn)
        self.assertNotIsInstance(caught.exception, dfq.NotRunnableError)
        self.assertFalse(bad.is_executed())
        self.assertFalse(self.exists(q))  # the free query's table went with it
        self.assertEqual(len(q.filter("amount > 100").run(self.conn)), 3)

    def test_unrunnable_statements_are_refused_before_anything_runs(self):
        sales = self.dag.table("sales")
        top = sales.filter("amount > 1").top(2)
        with self.assertRaises(dfq.NotRunnableError) as caught:
            top.run(self.conn)
        self.assertEqual(str(caught.exception), "not runnable on %s: %s uses select top"
                         % (self.db.name, top.output_name))
        self.assertFalse(self.exists(top))
        with self.assertRaisesRegex(dfq.NotRunnableError, "uses SAMPLE$"):
            sales.sample("0.5").run(self.conn)
        with self.assertRaisesRegex(dfq.NotRunnableError, "uses minus$"):
            sales.minus(sales.filter("id > 2")).run(self.conn)

    def test_each_statement_runs_as_exactly_one(self):
        schema = self.db.schema
        sales = self.dag.table("sales")
        sales.filter("amount > 100", name="%s.y" % schema).run(self.conn)
        self.dag.close()
        # The same output again, now with a second statement in a host text:
        # refused before anything runs, also the drop that replace asks for.
        self.dag = dfq.Dag(schema=schema)
        sales = self.dag.table("sales")
        bad = sales.filter("amount > 100; drop table sales", name="%s.y" % schema)
        with self.assertRaises(dfq.NotRunnableError) as caught:
            bad.run(self.conn, replace=True)
        self.assertIsInstance(caught.exception, dfq._run.MultipleStatementsError)
        self.assertEqual(str(caught.exception),
                         "statement %s (node %s) is not one SQL statement: a second statement "
                         "follows the ';' at character %d: drop table sales"
                         % (bad.output_name, bad.nodeid, bad.sql()[0].sql.index(";") + 1))
        self.assertFalse(bad.is_executed())
        self.assertTrue(self.exists(bad))  # not dropped
        self.assertTrue(self.exists(sales))
        # A free query is checked too, before the statements that read it.
        query = self.dag.query("select 1 as k; drop table sales", name="%s.q" % schema)
        with self.assertRaisesRegex(dfq.NotRunnableError, r'^statement "%s"\."q" \(node %s\) is '
                                    r"not one SQL statement: .*: drop table sales$"
                                    % (schema, query.nodeid)):
            query.filter("k > 0").run(self.conn)
        self.assertFalse(self.exists(query))
        self.assertEqual(len(sales.run(self.conn)), len(SALES))
        # A ';' inside a quoted text or a quoted name is part of one statement.
        quoted = sales.filter("region <> 'a;b' and amount > 100").select('id as "i;d"')
        self.assertEqual(quoted.order_by("1").run(self.conn), Result(["i;d"], [(2,), (3,), (4,)]))

    @unittest.skipUnless(has_option_api(), "this libdfq has no options")
    def test_portable_dialect_runs_what_the_default_cannot(self):
        self.dag.close()
        self.dag = dfq.Dag(schema=self.db.schema, dialect=self.db.dialect)
        self.assertEqual(self.dag.get_option("dialect"), self.db.dialect)
        sales = self.dag.table("sales")
        big = sales.filter("amount >= 100")
        self.assertEqual(len(big.top(2).run(self.conn)), 2)
        rest = sales.minus(big, columns="id")
        self.assertEqual(sorted(rest.run(self.conn)), [(1,), (5,), (6,), (7,)])
        big.run(self.conn)
        # An assign over an executed node, the usual incremental step.
        taxed = big.assign("amount / 10 as tax")
        self.assertEqual(sorted(r[-1] for r in taxed.run(self.conn)), [12, 15, 30])

    @unittest.skipUnless(has_option_api(), "this libdfq has no options")
    def test_random_pipelines_give_the_rows_sqlite_gives(self):
        self.dag.close()  # each pipeline opens its own
        for seed in range(20):
            with self.subTest(seed=seed):
                expected = run_random(seed, Sqlite(), Sqlite.dialect, Sqlite.schema)
                got = run_random(seed, self.db, self.db.dialect, self.db.schema, self.conn)
                self.assertEqual(got, expected)


def run_random(seed, db, dialect, schema, conn=None):
    """A random chain over sales (filters, assigns, projections, set
    operations, a grouping) run in its own Dag; its rows, sorted."""
    rng = random.Random(seed)
    own = conn is None
    conn = conn or db.connect()
    try:
        with dfq.Dag(schema=schema, dialect=dialect) as dag:
            # Integer columns with the range of their values, for conditions
            # that keep some rows.
            frame, ints, names = dag.table("sales"), {"id": (1, 7), "amount": (10, 300)}, \
                ["id", "region", "amount"]

            def condition(op):
                column = rng.choice(sorted(ints))
                low, high = ints[column]
                return "%s %s %d" % (column, op, rng.randint(low, high))

            for step in range(rng.randint(1, 5)):
                op = rng.choice(["filter", "assign", "select", "setop"])
                if op == "filter":
                    frame = frame.filter(condition(">="))
                elif op == "assign":
                    new, (source, (low, high)) = "x%d" % step, rng.choice(sorted(ints.items()))
                    frame = frame.assign("%s + %d as %s" % (source, step, new))
                    ints[new], names = (low + step, high + step), names + [new]
                elif op == "select":
                    keep = [n for n in names if rng.random() < 0.6] or [min(ints)]
                    if not any(n in ints for n in keep):
                        keep.append(min(ints))
                    frame = frame.select(", ".join(keep))
                    ints = {n: r for n, r in ints.items() if n in keep}
                    names = keep
                else:
                    other = frame.filter(condition("<="))
                    setop = rng.choice(["union", "unionall", "intersect", "minus"])
                    frame = frame.setop(setop, [other], ", ".join(names))
            if "region" in names and rng.random() < 0.5:
                frame = frame.group_by("region").aggregate(
                    "count(*) as n, sum(%s) as total" % rng.choice(sorted(ints)))
            rows = frame.run(conn, replace=True).rows
    finally:
        if own:
            db.release(conn)
    return sorted(rows, key=repr)


class SqliteRunTest(RunContract, unittest.TestCase):
    engine = Sqlite


class PostgresRunTest(RunContract, unittest.TestCase):
    engine = Postgres


if __name__ == "__main__":
    module = sys.modules["__main__"]
    loader = unittest.defaultTestLoader
    suite = (loader.loadTestsFromNames(sys.argv[1:], module) if sys.argv[1:]
             else loader.loadTestsFromModule(module))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        sys.exit(1)
    # Every test skipped: say so to CTest (SKIP_RETURN_CODE).
    sys.exit(77 if result.skipped and len(result.skipped) == result.testsRun else 0)
