"""The sales example in Python: large orders per region, run on sqlite3.

    DFQ_LIBRARY=build/example/libdfq.so python3 python/example.py
"""

import csv
import os
import sqlite3
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dfq  # noqa: E402

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")


def number_or_text(value):
    for kind in (int, float):
        try:
            return kind(value)
        except ValueError:
            pass
    return value


def load_csv(conn, name):
    with open(os.path.join(EXAMPLES, name + ".csv"), newline="") as f:
        header, *rows = list(csv.reader(f))
    conn.execute("create table %s (%s)" % (name, ", ".join(header)))
    conn.executemany("insert into %s values (%s)" % (name, ", ".join("?" * len(header))),
                     [[number_or_text(v) for v in row] for row in rows])


def main():
    conn = sqlite3.connect(":memory:")
    for name in ("online_sales", "shop_sales", "regions"):
        load_csv(conn, name)

    with dfq.Dag(schema="work") as dag:
        online, shop = dag.table("online_sales"), dag.table("shop_sales")
        regions = dag.table("regions")
        orders = online.union(shop, all=True, columns=[
            "'online' as channel, region_id, product, amount",
            "'shop' as channel, region_id, product, amount"])
        large = orders.filter("amount >= 100").assign("round(amount * 1.2, 2) as gross")
        named = large.join(regions, on="g.region_id = r.id", aliases=("g", "r"),
                           columns="r.region, g.channel, g.gross")
        totals = named.group_by("region, channel").aggregate(
            "count(*) as orders, sum(gross) as revenue")
        ranked = totals.order_by("revenue desc, region")

        for statement in ranked.sql():
            print("--", statement.name, "(%s)" % statement.query_type)
            print(statement.sql)
        print()
        result = ranked.run(conn)
        print("%-6s %-7s %6s %8s" % tuple(result.columns))
        for row in result:
            print("%-6s %-7s %6d %8.2f" % row)


if __name__ == "__main__":
    main()
