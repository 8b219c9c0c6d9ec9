"""The Python binding against Python's sqlite3: each operation's SQL runs and
gives the expected rows; failures carry the library's code and message."""

import gc
import os
import sqlite3
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import dfq  # noqa: E402


def sales_db():
    conn = sqlite3.connect(":memory:")
    conn.executescript("""
        create table sales(id integer, region text, amount real);
        insert into sales values (1, 'north', 50), (2, 'north', 150), (3, 'south', 300),
                                 (4, 'south', 120), (5, 'east', 80);
        create table regions(region text, manager text);
        insert into regions values ('north', 'Ann'), ('south', 'Bo');
    """)
    return conn


class BindingTest(unittest.TestCase):
    def setUp(self):
        # The statements these tests spell out are the nested form's.
        self.dag = dfq.Dag(schema="work", form="nested")
        self.conn = sales_db()

    def tearDown(self):
        self.dag.close()
        self.conn.close()

    def test_filter_assign_order_by(self):
        big = self.dag.table("sales").filter("amount >= 100")
        rows = big.assign("amount * 2 as twice").order_by("id").run(self.conn)
        self.assertEqual(rows, [(2, "north", 150.0, 300.0), (3, "south", 300.0, 600.0),
                                (4, "south", 120.0, 240.0)])

    def test_assign_can_drop_the_existing_columns(self):
        rows = self.dag.table("sales").assign("id * 10 as x", drop=True).run(self.conn)
        self.assertEqual(sorted(rows), [(10,), (20,), (30,), (40,), (50,)])

    def test_select_and_prefix(self):
        s = self.dag.table("sales").select("id, region", prefix="with unused as (select 1)")
        self.assertTrue(s.sql()[0].sql.startswith("with unused as (select 1) select id, region"))
        self.assertEqual(len(s.run(self.conn)), 5)

    def test_join_group_by_aggregate(self):
        sales, regions = self.dag.table("sales"), self.dag.table("regions")
        joined = sales.join(regions, on="s.region = r.region", how="left",
                            columns="s.region, s.amount, r.manager", aliases=("s", "r"))
        totals = joined.group_by("region, manager").aggregate("sum(amount) as total")
        rows = sorted(totals.run(self.conn))
        self.assertEqual(rows, [("east", None, 80.0), ("north", "Ann", 200.0),
                                ("south", "Bo", 420.0)])

    def test_set_operations(self):
        sales = self.dag.table("sales")
        north = sales.filter("region = 'north'")
        big = sales.filter("amount > 100")
        union = north.union(big, columns="id").run(self.conn)
        self.assertEqual(sorted(union), [(1,), (2,), (3,), (4,)])
        both = north.intersect(big, columns="id").run(self.conn)
        self.assertEqual(both, [(2,)])
        # Per-input column lists.
        tagged = north.union(big, columns=["'n' as tag, id", "'b' as tag, id"], all=True)
        self.assertEqual(len(tagged.run(self.conn)), 5)

    def test_statements_of_a_chain_inline_unexecuted_nodes(self):
        f = self.dag.table("sales").filter("amount > 1", name="work.f")
        g = f.select("id", name="work.g")
        statements = g.sql()
        self.assertEqual(len(statements), 1)
        s = statements[0]
        self.assertEqual(s.name, '"work"."g"')
        self.assertEqual(s.query_type, "select")
        self.assertEqual(s.nodeid, g.nodeid)
        self.assertEqual(s.sql, "select id from (select * from sales where amount > 1) as temp_table")

    def test_executed_nodes_are_read_by_name(self):
        f = self.dag.table("sales").filter("amount > 100")
        f.run(self.conn)
        self.assertTrue(f.is_executed())
        g = f.select("count(*) as n")
        self.assertIn(f.output_name, g.sql()[0].sql)
        self.assertEqual(g.run(self.conn), [(3,)])

    def test_only_nodes_with_a_table_become_executed(self):
        f = self.dag.table("sales").filter("amount > 100")
        g = f.select("id")
        g.run(self.conn)
        # f was inlined into g's statement: it has no table, so it stays to run.
        self.assertTrue(g.is_executed())
        self.assertFalse(f.is_executed())
        self.assertEqual(len(f.run(self.conn)), 3)

    def test_show_forms(self):
        f = self.dag.table("sales").filter("amount > 1")
        g = f.select("id")
        statement = "select id from (select * from sales where amount > 1) as temp_table"
        self.assertEqual(g.show(1), statement)
        self.assertEqual(g.show_queries(1), [statement])
        # One query per node of the full path, each under its node.
        self.assertEqual(g.show(2), '-- node %s\nselect id from "work"."filter_1"\n'
                         '-- node %s\nselect * from sales where amount > 1' % (g.nodeid, f.nodeid))
        self.assertEqual(g.show(3), statement)
        self.assertEqual(g.show(), "\n".join([
            "-- option 1: statements", g.show(1),
            "-- option 2: full path, one query per node", g.show(2),
            "-- option 3: statements against the top node", g.show(3)]))
        with self.assertRaises(ValueError):
            g.show(4)

    def test_repr_shows_kind_and_output_name(self):
        sales = self.dag.table("sales")
        f = sales.filter("amount > 1", name="work.big")
        self.assertEqual(repr(f), '<Frame filter "work"."big" (node %s)>' % f.nodeid)
        self.assertEqual(repr(sales), "<Frame table sales (node %s)>" % sales.nodeid)
        self.assertTrue(repr(f.group_by("region")).startswith('<Frame groupby "work"."big"'))

    def test_arguments_of_the_wrong_type_or_name_are_refused(self):
        sales = self.dag.table("sales")
        for call in (lambda: sales.filter(None), lambda: sales.assign(3),
                     lambda: sales.select("id", name=7), lambda: self.dag.table(None),
                     lambda: sales.top(None), lambda: sales.group_by(["a"]),
                     lambda: sales.join("regions"), lambda: sales.union(sales, columns=[None, "a"])):
            with self.assertRaises(TypeError):
                call()
        for name in ('a"b', 'work.a"b', 'w"k.t', "work.", ".t", ""):
            with self.assertRaises(ValueError, msg=name):
                sales.filter("amount > 1", name=name)
        with self.assertRaises(ValueError):
            sales.union(sales, columns=["id"])
        # Nothing refused reached the library: the next default name is _1.
        self.assertEqual(sales.filter("amount > 1").table, "filter_1")
        # A subclass of str is a text like any other, and a node id is digits.
        Text = type("Text", (str,), {})
        self.assertIn("amount > 7", sales.filter(Text("amount > 7"), name=Text("w.t")).sql()[0].sql)
        with self.assertRaisesRegex(ValueError, "invalid node id"):
            dfq.Frame(self.dag, "1" * 21, "table", "t", "")
        # The library reads a text up to a zero character: refused, not cut.
        for call in (lambda: sales.filter("amount > 1\0 and id < 3"),
                     lambda: sales.join(sales, on="l.id = r.id\0"),
                     lambda: sales.filter("amount > 1", name="work.a\0b")):
            with self.assertRaisesRegex(ValueError, "zero character"):
                call()

    def test_sample_sql_is_built_but_not_sqlite(self):
        s = self.dag.table("sales").sample(cases=[("region = 'north'", "1")], else_value="2",
                                           with_replacement=True)
        self.assertIn("SAMPLE WITH REPLACEMENT WHEN region = 'north' THEN 1 ELSE 2 END",
                      s.sql()[0].sql)

    def test_fraction_sample(self):
        s = self.dag.table("sales").sample("0.25, 0.25", randomized=True)
        self.assertEqual(s.sql()[0].sql,
                         "select * from sales SAMPLE RANDOMIZED ALLOCATION 0.25, 0.25")

    def test_refused_operations_raise_with_code_and_message(self):
        sales = self.dag.table("sales")
        with self.assertRaises(dfq.DfqError) as caught:
            sales.join(sales, on="a", how="outer")
        self.assertEqual(caught.exception.code, 1405)
        self.assertEqual(caught.exception.message, "Invalid join argument outer")
        with self.assertRaises(dfq.DfqError) as caught:
            sales.order_by("id").filter("id > 1")
        self.assertEqual(caught.exception.code, 1203)

    def test_database_errors_surface_from_sqlite(self):
        bad = self.dag.table("sales").filter("no_such_column > 1")
        with self.assertRaises(sqlite3.OperationalError):
            bad.run(self.conn)
        self.assertFalse(bad.is_executed())

    def test_schemas_of_a_database_file_are_files_beside_it(self):
        with tempfile.TemporaryDirectory() as folder:
            shop = os.path.join(folder, "shop.db")
            conn = sqlite3.connect(shop)
            conn.executescript("create table sales(id, amount); insert into sales values (1, 150);")
            self.dag.table("sales").filter("amount > 100", name="work.big").run(conn)
            conn.close()
            conn = sqlite3.connect(os.path.join(folder, "shop.work.db"))
            self.assertEqual(conn.execute("select * from big").fetchall(), [(1, 150)])
            conn.close()

    def test_a_grouped_frame_only_aggregates(self):
        sales, regions = self.dag.table("sales"), self.dag.table("regions")
        for grouped in (sales.group_by("region"), sales.filter("amount > 1").group_by("region")):
            self.assertIsInstance(grouped, dfq.GroupedFrame)
            refused = [lambda: grouped.filter("amount > 1"), lambda: grouped.select("region"),
                       lambda: grouped.assign("1 as x"), lambda: grouped.order_by("region"),
                       lambda: grouped.top(1), lambda: grouped.top(1, order_by="region"),
                       lambda: grouped.group_by("id"), lambda: grouped.sample("0.5"),
                       lambda: grouped.join(regions, on="l.region = r.region"),
                       lambda: regions.join(grouped, on="l.region = r.region"),
                       lambda: grouped.union(sales), lambda: sales.union(grouped),
                       lambda: sales.minus(regions, grouped), lambda: grouped.run(self.conn)]
            for call in refused:
                with self.assertRaisesRegex(TypeError, "grouped frame.*aggregate it first"):
                    call()
            # Nothing reached the library or the database; the grouping
            # still feeds its aggregate, and its time-series form is a
            # grouping too.
            self.assertIsInstance(grouped.group_by_time("1 hour"), dfq.GroupedFrame)
            self.assertEqual(sorted(grouped.aggregate("count(*) as n").run(self.conn)),
                             [("east", 1), ("north", 2), ("south", 2)])
        self.assertEqual(self.conn.execute("select count(*) from sales").fetchone(), (5,))

    def test_query_node(self):
        q = self.dag.query("select region, count(*) as n from sales group by region")
        rows = q.filter("n > 1").run(self.conn)
        self.assertEqual(sorted(rows), [("north", 2), ("south", 2)])


def known(dag, nodeid):
    """Whether the DAG instance has node `nodeid`."""
    try:
        dag.table("t")  # keeps the instance from being empty
        dfq.Frame(dag, nodeid, "table", "t", "").is_executed()
        return True
    except dfq.DfqError:
        return False


class InstanceTest(unittest.TestCase):
    """One DAG instance per process: one open Dag at a time, and nothing
    reaches the library through a closed one."""

    def test_one_open_dag_at_a_time(self):
        with dfq.Dag() as dag:
            f = dag.table("sales").filter("amount > 1")
            with self.assertRaisesRegex(dfq.DagError, "already open"):
                dfq.Dag()
            self.assertEqual(len(f.sql()), 1)  # the refusal did not disturb it
        with dfq.Dag() as again:
            self.assertFalse(known(again, f.nodeid))  # a new instance
            # Frames of the closed Dag cannot reach the new instance.
            for call in (lambda: dag.table("t"), f.sql, f.is_executed, lambda: f.filter("x"),
                         lambda: f.run(sales_db())):
                with self.assertRaisesRegex(dfq.DagError, "closed"):
                    call()
            with self.assertRaisesRegex(dfq.DagError, "different Dags"):
                again.table("t").join(f)

    def test_a_dag_dropped_without_close_gives_way(self):
        dag = dfq.Dag()
        nodeid = dag.table("t").nodeid
        del dag
        gc.collect()
        with dfq.Dag() as fresh:
            self.assertFalse(known(fresh, nodeid))  # a new instance

    def test_a_refused_open_leaves_no_instance(self):
        with self.assertRaises(dfq.DfqError):
            dfq.Dag(log_level=9)
        with dfq.Dag() as dag:
            self.assertTrue(known(dag, dag.table("t").nodeid))


class LibraryLoadingTest(unittest.TestCase):
    def test_missing_library_is_reported(self):
        with self.assertRaises(OSError):
            dfq.load_library("/nonexistent/libdfq.so")


if __name__ == "__main__":
    unittest.main()
