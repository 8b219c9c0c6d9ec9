"""One Dag used from 8 threads at once: every thread adds nodes and asks for
their statements and show forms, and gets exactly its own SQL back."""

import os
import sys
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import dfq  # noqa: E402

THREADS = 8
ROUNDS = 150


class ThreadsTest(unittest.TestCase):
    def test_eight_threads_share_one_dag(self):
        failures = []
        start = threading.Barrier(THREADS)
        with dfq.Dag(schema="work") as dag:
            sales = dag.table("sales")

            def worker(t):
                try:
                    start.wait()
                    previous = sales
                    for i in range(ROUNDS):
                        # Long texts of different lengths make interleaved
                        # buffers show as wrong text, not just wrong order.
                        condition = "amount > %d and note <> '%s'" % (i, str(t) * (t * 40 + i))
                        f = sales.filter(condition, name="work.f%d_%d" % (t, i))
                        expected = "select * from sales where " + condition
                        name = '"work"."f%d_%d"' % (t, i)
                        self.assertEqual(f.sql(),
                                         [dfq.Statement(expected, name, "filter", f.nodeid)])
                        g = previous.select("id, amount") if i % 3 else f.assign("%d as t" % t)
                        self.assertEqual(len(g.sql()), 1)
                        self.assertIn(condition if g.kind == "assign" else "select id, amount",
                                      g.show(1))
                        self.assertFalse(f.is_executed())
                        previous = f
                except BaseException as e:  # noqa: B902 - reported below
                    failures.append((t, e))

            threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
        self.assertEqual(failures, [])


if __name__ == "__main__":
    unittest.main()
