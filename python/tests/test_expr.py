"""The expression helpers run on SQLite and, when DFQ_PG_CONNINFO names a
server, on PostgreSQL: over random dates (month ends and February 29
among them), strings and numbers, each helper gives on each engine the
value Python's own calendar and string functions give.

    python3 test_expr.py PostgresExprTest   # exits 77 when every test skipped
"""

import calendar
import datetime
import decimal
import os
import random
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import dfq  # noqa: E402
from test_run import Postgres, Sqlite, main  # noqa: E402

DAYS = (-400, -1, 1, 59, 366)
MONTHS = (-13, -1, 1, 11, 25)
YEARS = (-4, -1, 1, 3)
SUBSTRINGS = ((1, 3), (2, None), (4, 10), (9, 2), (2, 0))
CENT = decimal.Decimal("0.01")


def add_months(d, months):
    """`d` plus whole months, a day past the month's end made its last day."""
    index = d.year * 12 + d.month - 1 + months
    year, month = divmod(index, 12)
    return datetime.date(year, month + 1, min(d.day, calendar.monthrange(year, month + 1)[1]))


def random_rows(rng):
    """Rows (id, dt, s, n, x): a null row, then random ones whose dates
    favour month ends and February 29."""
    rows = [(0, None, None, None, None)]
    for i in range(1, 40):
        year, month = rng.randint(1901, 2099), rng.randint(1, 12)
        last = calendar.monthrange(year, month)[1]
        day = rng.choice([1, last, last - 1, rng.randint(1, last)])
        if rng.random() < 0.15:
            year, month, day = rng.choice([1904, 2000, 2024]), 2, 29
        text = "".join(rng.choice("abcxyz-' ") for _ in range(rng.randint(0, 8)))
        rows.append((i, datetime.date(year, month, day), text, rng.randint(-999, 999),
                     rng.randint(-99999, 99999) / 1000))
    return rows


def literal(value):
    if value is None:
        return "null"
    if isinstance(value, str):
        return "'%s'" % value.replace("'", "''")
    if isinstance(value, datetime.date):
        return "'%s'" % value.isoformat()
    return repr(value)


def normal(value):
    """A value as both engines can be compared: dates as ISO text, exact and
    inexact numbers rounded alike."""
    if isinstance(value, datetime.date):
        return value.isoformat()
    if isinstance(value, (float, decimal.Decimal)):
        return round(float(value), 6)
    return value


def cases(e, fixed):
    """(expression, reference on a row) pairs of every helper; `fixed` is a
    date for the helpers over literals."""
    def nulls(f):
        return lambda row: None if None in row else f(*row[1:])
    out = [(e.add_days("dt", n), nulls(lambda d, s, i, x, n=n: d + datetime.timedelta(n)))
           for n in DAYS]
    out += [(e.add_months("dt", n), nulls(lambda d, s, i, x, n=n: add_months(d, n)))
            for n in MONTHS]
    out += [(e.add_years("dt", n), nulls(lambda d, s, i, x, n=n: add_months(d, 12 * n)))
            for n in YEARS]
    out += [(e.year("dt"), nulls(lambda d, s, i, x: d.year)),
            (e.month("dt"), nulls(lambda d, s, i, x: d.month)),
            (e.day("dt"), nulls(lambda d, s, i, x: d.day)),
            (e.date(fixed), lambda row: fixed),
            (e.add_months(e.date(fixed), -1), lambda row: add_months(fixed, -1)),
            (e.year(e.add_days(fixed, 1)), lambda row: (fixed + datetime.timedelta(1)).year)]
    out += [(e.substring("s", start, length),
             nulls(lambda d, s, i, x, a=start, n=length: s[a - 1:None if n is None else a - 1 + n]))
            for start, length in SUBSTRINGS]
    out += [(e.concat("s", "'|'", "i"), nulls(lambda d, s, i, x: "%s|%d" % (s, i))),
            (e.concat(e.year("dt"), "'/'", e.substring("s", 1, 2)),
             nulls(lambda d, s, i, x: "%d/%s" % (d.year, s[:2]))),
            (e.cast("i", "text"), nulls(lambda d, s, i, x: str(i))),
            (e.cast(e.cast("i", "text"), "integer"), nulls(lambda d, s, i, x: i)),
            (e.cast("i", "bigint"), nulls(lambda d, s, i, x: i)),
            (e.cast("i", "real"), nulls(lambda d, s, i, x: float(i))),
            (e.cast("x", "decimal(10, 2)"), nulls(lambda d, s, i, x: decimal.Decimal(repr(x))
                                                  .quantize(CENT, decimal.ROUND_HALF_UP))),
            (e.cast(e.cast("dt", "text"), "date"), nulls(lambda d, s, i, x: d))]
    return out


FIXED = datetime.date(2024, 1, 31)


class ExpressionContract:
    engine = None  # set by the concrete classes

    def setUp(self):
        db = self.engine()
        self.db, self.conn = db, db.connect()
        self.addCleanup(db.release, self.conn)
        self.rows = random_rows(random.Random(22))
        cursor = self.conn.cursor()
        cursor.execute("create table d(id integer, dt date, s text, i integer, "
                       "x double precision)")
        cursor.execute("insert into d values " + ", ".join(
            "(%s)" % ", ".join(map(literal, row)) for row in self.rows))

    def check(self, checks, result):
        by_id = {row[0]: row for row in self.rows}
        self.assertEqual(sorted(got[0] for got in result), sorted(by_id))
        for got in result:
            row = by_id[got[0]]
            for k, (sql, reference) in enumerate(checks):
                self.assertEqual(normal(got[k + 1]), normal(reference(row)),
                                 "%s on row %r" % (sql, row))

    def test_every_helper_gives_the_reference_value(self):
        # The same pipeline on every engine: only the connection differs.
        with dfq.Dag(schema=self.db.schema, dialect=dfq.dialect_for(self.conn)) as dag:
            self.assertEqual(dag.expr.dialect, self.db.dialect)
            checks = cases(dag.expr, FIXED)
            columns = ", ".join("%s as c%d" % (sql, k) for k, (sql, _) in enumerate(checks))
            self.check(checks, dag.table("d").select("id, " + columns).run(self.conn))


class SqliteExprTest(ExpressionContract, unittest.TestCase):
    engine = Sqlite


class PostgresExprTest(ExpressionContract, unittest.TestCase):
    engine = Postgres

    def test_the_default_forms_are_standard_sql_with_the_same_values(self):
        # PostgreSQL reads the standard forms too: a date plus an interval
        # is a timestamp there, and extract gives a numeric.
        checks = cases(dfq.Expressions("default"), FIXED)
        cursor = self.conn.cursor()
        cursor.execute("select id, %s from d" % ", ".join(sql for sql, _ in checks))
        midnight = datetime.time()
        self.check(checks, [[v.date() if isinstance(v, datetime.datetime) and
                             v.time() == midnight else v for v in row]
                            for row in cursor.fetchall()])


class ArgumentsTest(unittest.TestCase):
    def test_bad_arguments_are_refused(self):
        e = dfq.Expressions("postgresql")
        for call, error in ((lambda: e.date("2023-02-29"), ValueError),
                            (lambda: e.date("1/2/2023"), ValueError),
                            (lambda: e.date(datetime.datetime(2023, 1, 1)), TypeError),
                            (lambda: e.add_months("d", 1.5), TypeError),
                            (lambda: e.add_days("", 1), TypeError),
                            (lambda: e.substring("s", 0), ValueError),
                            (lambda: e.substring("s", 1, -1), ValueError),
                            (lambda: e.cast("x", "varchar"), ValueError),
                            (lambda: e.cast("x", "decimal(2, 3)"), ValueError),
                            (lambda: e.concat(), TypeError),
                            (lambda: dfq.Expressions("oracle"), ValueError)):
            with self.assertRaises(error):
                call()
        # Operands are enclosed where the databases rank operators apart.
        self.assertEqual(e.add_days("a + b", 1), "cast((a + b) + interval '1 days' as date)")
        self.assertEqual(dfq.Expressions("sqlite").concat("a", "b + 1"), "(a || (b + 1))")


if __name__ == "__main__":
    main()
