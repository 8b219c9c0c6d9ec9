"""The rule by which run() executes one statement per statement: the texts
whose count depends on an engine's quoting (shared with dfq-run's tests),
and the SQLite reading against SQLite's own sqlite3_complete()."""

import os
import random
import sqlite3
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from dfq import Statement, _run, _statements  # noqa: E402

CASES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "tests",
                     "statement_cases.txt")


def cases():
    with open(CASES, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if len(line) >= 7 and not line.startswith("#"):
                yield line[6:].replace("{NL}", "\n"), line[0] == "1", line[2] == "1"


class StatementRuleTest(unittest.TestCase):
    def test_each_engine_counts_statements_by_its_own_quotes(self):
        checked = 0
        for sql, on_sqlite, on_postgres in cases():
            with self.subTest(sql=sql):
                self.assertEqual(_statements.second_statement(sql, "sqlite") is not None, on_sqlite)
                self.assertEqual(_statements.second_statement(sql, "postgresql") is not None,
                                 on_postgres)
                # A driver of unknown quoting: one statement under both readings.
                self.assertEqual(_statements.second_statement_reason(sql) is not None,
                                 on_sqlite or on_postgres)
                checked += 1
        self.assertGreater(checked, 20)
        self.assertEqual(_statements.second_statement_reason("select 1 where a > 1; drop table t"),
                         "a second statement follows the ';' at character 21: drop table t")

    def test_the_sqlite_reading_ends_a_statement_where_sqlite_does(self):
        pieces = ["a", " ", "\n", ";", "'", '"', "`", "[", "]", "-", "--", "/*", "*/", "*", "/",
                  "''", "x", "\t", "$$", "E'"]
        rng = random.Random(23)
        ends = 0
        for _ in range(20000):
            text = "".join(rng.choice(pieces) for _ in range(rng.randint(1, 12)))
            end = _statements.statement_end(text, "sqlite")
            for i, c in enumerate(text):
                if end is not None and i > end:
                    break
                if c == ";":
                    self.assertEqual(sqlite3.complete_statement(text[:i + 1]), i == end, text)
            ends += end is not None
        self.assertGreater(ends, 2000)


class EngineRuleTest(unittest.TestCase):
    def test_each_driver_is_read_by_its_engines_rule(self):
        dollar = Statement("select $$a;b$$", '"w"."x"', "select", "7")
        _run.PostgreSQL(None).check_statements([dollar])
        bracket = Statement("select 1 as [a;b]", '"w"."x"', "select", "7")
        _run.SQLite(None).check_statements([bracket])
        # A driver of unknown quoting refuses what either engine would split.
        for engine, statement in ((_run.SQLite(None), dollar), (_run.PostgreSQL(None), bracket),
                                  (_run.Engine(None), dollar), (_run.Engine(None), bracket)):
            with self.assertRaises(_run.MultipleStatementsError) as caught:
                engine.check_statements([statement])
            self.assertEqual(caught.exception.nodeid, "7")
            self.assertTrue(str(caught.exception).startswith(
                'statement "w"."x" (node 7) is not one SQL statement: a second statement '
                "follows the ';' at character "), str(caught.exception))


if __name__ == "__main__":
    unittest.main()
