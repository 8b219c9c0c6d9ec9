// Compiled, not run: with MISUSE set to 1..5 each line builds on a grouping
// where only an aggregate may, and the compiler must stop with the
// wrapper's message; with MISUSE 0 what a grouping feeds compiles.
#include "dfq.hpp"

#ifndef MISUSE
#define MISUSE 0
#endif

void uses(dfq::Dag &dag) {
  const dfq::Node sales = dag.table("sales");
  const dfq::Grouping by = dag.groupBy(sales, "|by region");
  const dfq::Grouping hourly = dag.groupByTime(by, {"1 hour", "", "", "", ""});
  (void)dag.aggregate(hourly, "count(*) as n", {"n", "w"});
  (void)dag.aggregate(by, "sum(amount) as total", {"t", "w"});
  (void)dag.groupByExpression(by);
  (void)dag.queryType(by.node());
#if MISUSE == 1
  (void)dag.filter(by, "amount > 1", {"f", "w"});
#elif MISUSE == 2
  (void)dag.join({"semi", by, sales, "l.region = r.region", "l", "r"}, {"j", "w"});
#elif MISUSE == 3
  (void)dag.setOp("union", {sales, by}, {"region", "region"}, {"u", "w"});
#elif MISUSE == 4
  (void)dag.topN(by, "amount desc", 3, {"t3", "w"});
#elif MISUSE == 5
  const dfq::Node node = by;
  (void)node;
#endif
}
