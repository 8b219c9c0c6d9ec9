"""The Python binding against Python's sqlite3: each operation's SQL runs and
gives the expected rows; failures carry the library's code and message."""

import os
import sqlite3
import sys
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
        self.dag = dfq.Dag(schema="work")
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
        g = self.dag.table("sales").filter("amount > 1").select("id")
        self.assertEqual(g.show(1), [s.sql for s in g.sql()])
        self.assertEqual(len(g.show(2)), 2)  # one query per node of the full path
        self.assertEqual(g.show(3), [s.sql for s in g.sql()])

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

    def test_query_node(self):
        q = self.dag.query("select region, count(*) as n from sales group by region")
        rows = q.filter("n > 1").run(self.conn)
        self.assertEqual(sorted(rows), [("north", 2), ("south", 2)])


class LibraryLoadingTest(unittest.TestCase):
    def test_missing_library_is_reported(self):
        with self.assertRaises(OSError):
            dfq.load_library("/nonexistent/libdfq.so")


if __name__ == "__main__":
    unittest.main()
