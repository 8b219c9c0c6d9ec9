// The fast resolver against the literal one: the same statements, byte for
// byte, or the same failure, over random graphs and split limits.
#include <cstdio>
#include <optional>
#include <random>

#include "DagException.h"
#include "Resolver.h"
#include "assemblySupport.h"
#include "randomGraph.h"

namespace {

// What a resolver produced: its statements, or the failure it reported.
struct Outcome {
  dfq::ResolvedQueries result;
  std::string failure;
};

template <class Resolve>
Outcome run(Resolve resolve) {
  Outcome outcome;
  try {
    outcome.result = resolve();
  } catch (const std::exception &e) {
    outcome.failure = e.what();
  }
  return outcome;
}

::testing::AssertionResult same(const Outcome &literal, const Outcome &fast) {
  if (literal.failure != fast.failure)
    return ::testing::AssertionFailure()
           << "failures differ: '" << literal.failure << "' vs '" << fast.failure << "'";
  const auto &a = literal.result, &b = fast.result;
  if (a.statements != b.statements) {
    auto failure = ::testing::AssertionFailure() << "statements differ\n";
    for (size_t i = 0; i < std::max(a.statements.size(), b.statements.size()); ++i) {
      failure << "#" << i << " literal: "
              << (i < a.statements.size() ? a.statements[i].query : "(none)") << "\n   fast:    "
              << (i < b.statements.size() ? b.statements[i].query : "(none)") << "\n";
    }
    return failure;
  }
  if (a.handOvers != b.handOvers)
    return ::testing::AssertionFailure() << "ML hand-over differs";
  return ::testing::AssertionSuccess();
}

// The statements a node chain writes, as entries of a statement list.
ExecQueryList statementsOf(DAG &dag, const std::vector<SplicedStatement> &chain) {
  ExecQueryList list;
  for (const SplicedStatement &statement : chain) {
    const Node &root = *statement.root();
    list.push_back(ExecQueryEntry{statement.str(), root.qualifiedOutputName(),
                                  dag.getQueryType(root.getNodeid()),
                                  std::to_string(root.getNodeid())});
  }
  return list;
}

class DifferentialTest : public asmtest::GraphTest {
 protected:
  // The fast resolver over a list, or nothing when it leaves the list to
  // the literal resolver.
  std::optional<Outcome> runList(const QueryViewList &list, nodeid_t id, size_t limit) {
    bool declined = false;
    Outcome outcome = run([&] {
      std::optional<dfq::ResolvedQueries> resolved =
          dfq::fastResolve(*dag, id, list, list.size(), limit);
      declined = !resolved;
      return resolved ? std::move(*resolved) : dfq::ResolvedQueries{};
    });
    if (declined) return std::nullopt;
    return outcome;
  }

  // The map's entries as a list in the map's order: names sorted, equal
  // names in insertion order, as the path map lays them out.
  static QueryViewList listOf(const ViewQueryMap &map) {
    QueryViewList list;
    for (const auto &[name, entry] : map) list.push_back(QueryViewEntry{name, entry.first, entry.second});
    return list;
  }

  void compareAll(dfqtest::RandomGraph &graph, std::mt19937 &rng, const std::string &context) {
    for (nodeid_t id : graph.derived()) {
      for (bool mlAsTable : {false, true}) {
        const ViewQueryMap map = graph.pathMap(id, mlAsTable);
        if (map.empty()) continue;
        for (size_t limit : {size_t{40} + rng() % 400, size_t{400} + rng() % 4000, dfq::kSplitLimit}) {
          const Outcome literal = run([&] { return dfq::literalResolve(*dag, id, map, limit); });
          const Outcome fast = run([&] { return dfq::fastResolve(*dag, id, map, limit); });
          ASSERT_TRUE(same(literal, fast)) << context << " node " << id << " limit " << limit
                                           << " mlAsTable " << mlAsTable;
          ++compared;
          // A path written from its nodes, split at `limit`.
          if (!mlAsTable && dag->genDAGPath(id, false) > 0) {
            const std::vector<SplicedStatement> chain =
                dfq::nodeChainOf(*dag, id, dag->dagPathRef(id, false).size(), limit);
            if (!chain.empty()) {
              ASSERT_TRUE(literal.failure.empty() && literal.result.handOvers.empty());
              ASSERT_EQ(statementsOf(*dag, chain), literal.result.statements)
                  << context << " (node chain) node " << id << " limit " << limit;
              ++comparedNested;
            }
          }
          // What the host fetches (a nested chain's statements are written
          // straight into its buffers), and what is read back afterwards.
          if (!mlAsTable && limit == dfq::kSplitLimit && literal.failure.empty() &&
              literal.result.handOvers.empty()) {
            const asmtest::HostStatements host = asmtest::hostStatements(std::to_string(id));
            ASSERT_EQ(host.rc, 0) << context << " node " << id;
            ASSERT_EQ(host.list, literal.result.statements) << context << " (host) node " << id;
            ++comparedHost;
            ASSERT_EQ(dag->getNode(id)->execQueriesRef(), literal.result.statements);
          }
          if (dfq::scansLinearly(*dag, id, map)) ++comparedFast;
          // The path's list read in place, as statement generation does.
          const QueryViewList list = listOf(map);
          const std::optional<Outcome> fromList = runList(list, id, limit);
          if (!fromList) {  // neither a nested chain nor linear
            ASSERT_FALSE(dfq::scansLinearly(*dag, id, list, list.size()));
            continue;
          }
          ASSERT_TRUE(same(literal, *fromList)) << context << " (list) node " << id;
        }
      }
    }
  }
  int compared = 0;
  int comparedFast = 0;    // resolved by the fast path itself
  int comparedHost = 0;    // fetched by the host
  int comparedNested = 0;  // written from a node chain
};

}  // namespace

TEST_F(DifferentialTest, RandomGraphsResolveAlike) {
  std::mt19937 rng(1207);
  for (int round = 0; round < 300; ++round) {
    close_dag();
    SetUp();
    const bool strayQuotes = round % 2 == 1;
    dfqtest::RandomGraph graph(
        *dag, [&] { return static_cast<std::uint32_t>(rng()); }, strayQuotes);
    graph.build(4 + static_cast<int>(rng() % 20));
    compareAll(graph, rng, "round " + std::to_string(round));
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(compared, 2000);
  EXPECT_GT(comparedFast, compared / 3);
  EXPECT_GT(comparedNested, compared / 20);
  std::printf("compared %d, on the fast path %d, fetched %d, from node chains %d\n", compared,
              comparedFast, comparedHost, comparedNested);
}

TEST_F(DifferentialTest, LongChainsAcrossTheRealLimitResolveAlike) {
  // Conditions of about 100 KB: a chain of twenty crosses the limit twice.
  nodeid_t last = base("\"s\".\"t\"");
  const std::string pad(100000, 'p');
  for (int i = 0; i < 20; ++i)
    last = filter(last, "\"col\" = '" + pad + "' and \"x\".\"y\" > " + std::to_string(i),
                  "f" + std::to_string(i));
  const ViewQueryMap map = pathMap(last);
  const Outcome literal = run([&] { return dfq::literalResolve(*dag, last, map); });
  const Outcome fast = run([&] { return dfq::fastResolve(*dag, last, map); });
  EXPECT_TRUE(same(literal, fast));
  EXPECT_EQ(literal.result.statements.size(), 3u);
}

// Chains of single-input nodes, some executed, some quoting identifiers,
// each nth one naming its grouping after its input: the statements written
// from the nodes, split at random limits, are the literal resolver's, and
// so are the statements a host fetches where the real limit splits them.
TEST_F(DifferentialTest, RandomChainsSplitAsTheLiteralResolverSplits) {
  std::mt19937 rng(915);
  const char *const kinds[] = {"filter", "select", "aggregate", "sample", "groupby", "orderby"};
  int chained = 0, split = 0;
  for (int round = 0; round < 240; ++round) {
    close_dag();
    SetUp();
    const bool huge = round % 40 == 0;  // past the real limit
    nodeid_t last = base(rng() % 2 ? "db.t" : "\"db\".\"t\"");
    const int length = huge ? 30 : 1 + static_cast<int>(rng() % 30);
    for (int i = 0; i < length; ++i) {
      std::string text(huge ? 40000 : rng() % 120, 'c');
      if (rng() % 4 == 0) text += " and \"q\" > 1";
      const bool top = i + 1 == length;  // an ordered node is read by none
      const char *kind = kinds[rng() % (rng() % 8 == 0 ? (top ? 6 : 5) : 4)];
      last = std::string(kind) == "groupby" ? groupby(last, "x")
                                              : node(kind, text, {last}, "t" + std::to_string(i));
      if (!top && rng() % 10 == 0) dag->updateNodeState(last, 1);
    }
    const size_t limit = huge ? dfq::kSplitLimit : 50 + rng() % 1200;
    if (dag->genDAGPath(last, false) == 0) continue;  // a grouping of an executed node
    const ViewQueryMap map = pathMap(last);
    const Outcome literal = run([&] { return dfq::literalResolve(*dag, last, map, limit); });
    ASSERT_TRUE(literal.failure.empty()) << literal.failure;
    dag->genDAGPath(last, false);
    const std::vector<SplicedStatement> chain =
        dfq::nodeChainOf(*dag, last, dag->dagPathRef(last, false).size(), limit);
    if (!chain.empty()) {
      ASSERT_EQ(statementsOf(*dag, chain), literal.result.statements) << "round " << round;
      ++chained;
      if (chain.size() > 1) ++split;
    }
    if (huge) {
      const asmtest::HostStatements host = asmtest::hostStatements(std::to_string(last));
      ASSERT_EQ(host.rc, 0);
      ASSERT_EQ(host.list, literal.result.statements) << "round " << round;
    }
  }
  EXPECT_GT(chained, 120);
  EXPECT_GT(split, 40);
}

TEST_F(DifferentialTest, NodeChainsAreWrittenOnlyWhereTheScanWouldAgree) {
  // What the host fetches for `top`: the literal resolver's statements, and
  // written from the node chain exactly when `chained`.
  auto check = [&](nodeid_t top, bool chained, const char *what, size_t limit = dfq::kSplitLimit) {
    const Outcome literal = run([&] { return dfq::literalResolve(*dag, top, pathMap(top), limit); });
    if (limit == dfq::kSplitLimit) {
      const asmtest::HostStatements host = asmtest::hostStatements(std::to_string(top));
      ASSERT_EQ(host.rc, 0) << what;
      EXPECT_EQ(host.list, literal.result.statements) << what;
    }
    dag->genDAGPath(top, false);
    const std::vector<SplicedStatement> chain =
        dfq::nodeChainOf(*dag, top, dag->dagPathRef(top, false).size(), limit);
    EXPECT_EQ(!chain.empty(), chained) << what;
    if (!chain.empty()) {
      EXPECT_EQ(statementsOf(*dag, chain), literal.result.statements) << what;
    }
  };
  const nodeid_t table = base("db.t");
  nodeid_t quoted = table;  // quoted identifiers and '.' around the names
  for (const char *condition : {"\"a\" > 1", "\"b\".x = 2", "y = '.*' and \"c\" = 3"})
    quoted = filter(quoted, condition, std::string("q") + condition[1]);
  check(quoted, true, "one-part quoted identifiers");
  check(filter(table, "\"o\".\"p\" = 1", "u2"), false, "a two-part name in a condition");
  check(filter(table, "x = 'a\"'", "u3"), false, "a stray quote");
  check(filter(table, "x = 1", "u4", ""), false, "a root without schema");
  check(filter(filter(table, "x = 1", "u5"), "y = 1", "u6", "\"s"), false, "a quote in a name");
  check(filter(base("\"src\".\"t\""), "x = 1", "b1"), true, "a quoted base table");
  check(filter(base("\"src\" t"), "x = 1", "b2"), false, "a base table with a stray quote");
  const nodeid_t executed = filter(table, "x = 1", "e1");
  dag->updateNodeState(executed, 1);
  check(filter(filter(executed, "x = 2", "e2"), "x = 3", "e3"), true, "an executed input");
  check(filter(filter(table, "x = 1", "d1"), "x = 2", "d1", "s"), false, "a name borne twice");
  check(groupby(filter(table, "x = 1", "g1"), "x"), false, "a grouping node shares its name");
  const nodeid_t joined = join(filter(table, "x = 1", "j1"), base("db.u"), "l.x = r.x", "j");
  check(filter(joined, "x = 2", "j2"), false, "a join in the path");
  check(assign(filter(table, "x = 1", "a1"), "1 as one", "a2"), false, "an input written twice");

  nodeid_t chain = table;
  for (int i = 0; i < 6; ++i) chain = filter(chain, "z > " + std::to_string(i), "z" + std::to_string(i));
  const size_t length = dfq::literalResolve(*dag, chain, pathMap(chain)).statements.at(0).query.size();
  const size_t working = length + std::string("() as temp_table").size();
  check(chain, true, "just below the limit", working + 1);
  check(chain, true, "at the limit: split", working);
  check(chain, true, "split at every level", 1);
}
