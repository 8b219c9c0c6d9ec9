// The C++ wrapper dfq.hpp: ownership of the DAG instance (one at a time), results sized from
// the library's own counts and lengths (also for very long texts), and
// failures as dfq::Error with the library's code and message.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "dfq.hpp"

namespace {

// The log as a host of the wrapper finds it: a Dag keeps records off
// standard error (each refusal is thrown).
class WrapperTest : public ::testing::Test {
 protected:
  dfq::Dag dag;
};

TEST(WrapperLifetime, TheDagOwnsTheInstanceAndCloseDiscardsIt) {
  std::string id;
  {
    dfq::Dag dag;
    id = dag.filter(dag.table("t"), "a > 1", {"f", "s"}).id();
    EXPECT_FALSE(dag.isExecuted(dfq::Node(id)));
  }
  // After the destructor there is no DAG instance: the C API says so.
  char *ids[] = {id.data()};
  int state = 0, rc = 0;
  dfq_is_node_executed(ids, &state, &rc);
  EXPECT_EQ(rc, 1302);
  dfq::Dag fresh;
  EXPECT_THROW(fresh.isExecuted(dfq::Node(id)), dfq::Error);
}

TEST(WrapperLifetime, RefusedCreationThrows) {
  try {
    dfq::Dag dag(9);
    FAIL() << "level 9 accepted";
  } catch (const dfq::Error &e) {
    EXPECT_NE(e.code(), 0);
    EXPECT_FALSE(e.message().empty());
  }
}

// The process has one DAG instance: a second Dag while one is alive is
// refused before it touches the library, so the first one's graph stays
// open, and a Dag can be made again once the first is gone (also after a
// refused creation).
TEST(WrapperLifetime, ASecondDagWhileOneIsAliveThrowsAndLeavesTheFirstOpen) {
  std::string id;
  {
    dfq::Dag first;
    const auto t = first.table("t");
    EXPECT_THROW(dfq::Dag second, dfq::DagError);
    EXPECT_THROW(dfq::Dag{dfq::Dialect::SQLite}, dfq::DagError);
    EXPECT_THROW(dfq::Dag(9), dfq::DagError);
    EXPECT_EQ(first.option("dialect"), "default") << "the second Dag set nothing";
    id = first.filter(t, "a > 1", {"f", "s"}).id();  // no 1302: still open
    EXPECT_EQ(first.statements(dfq::Node(id)).size(), 1u);
  }
  EXPECT_THROW(dfq::Dag(9), dfq::Error);
  dfq::Dag again;
  EXPECT_THROW(again.isExecuted(dfq::Node(id)), dfq::Error) << "a new graph";
  std::thread other([] { EXPECT_THROW(dfq::Dag(), dfq::DagError); });
  other.join();
}

// A refusal is thrown, not also written to standard error, unless the host
// asks for the library's records.
TEST(WrapperLogRecords, QuietByDefaultShownOnRequest) {
  const auto refusal = [](dfq::Dag &dag) {
    ::testing::internal::CaptureStderr();
    EXPECT_THROW(dag.filter(dfq::Node("0"), "a", {"f", "s"}), dfq::Error);
    return ::testing::internal::GetCapturedStderr();
  };
  {
    dfq::Dag dag;
    EXPECT_EQ(refusal(dag), "");
  }
  ::testing::internal::CaptureStderr();
  EXPECT_THROW(dfq::Dag(9), dfq::Error);  // a refused creation is quiet too
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  {
    dfq::Dag dag(dfq::LogRecords::Shown);
    const std::string records = refusal(dag);
    EXPECT_NE(records.find("ERROR"), std::string::npos) << records;
    EXPECT_NE(records.find("Invalid input nodeid for filter operation"), std::string::npos);
    dfq::Dag::setLogQuiet(true);
    EXPECT_EQ(refusal(dag), "");
    dfq::Dag::setLogQuiet(false);
    EXPECT_NE(refusal(dag), "");
  }
  dfq::Dag dag;  // each Dag starts quiet again
  EXPECT_EQ(refusal(dag), "");
}

TEST_F(WrapperTest, FailuresCarryTheLibrarysCodeAndMessage) {
  try {
    dag.filter(dfq::Node("0"), "a", {"f", "s"});
    FAIL();
  } catch (const dfq::Error &e) {
    EXPECT_EQ(e.code(), 1304);
    EXPECT_EQ(e.message(), "Invalid input nodeid for filter operation");
    EXPECT_STREQ(e.what(), "DFQ-1304: Invalid input nodeid for filter operation");
  }
  try {
    const auto t = dag.table("t");
    dag.join({"outer", t, t, "x", "a", "b"}, {"j", "s"});
    FAIL();
  } catch (const dfq::Error &e) {
    EXPECT_EQ(e.code(), 1405);
    EXPECT_EQ(e.message(), "Invalid join argument outer");
  }
  EXPECT_EQ(dag.errorMessage(1405), "Invalid join argument outer");
  EXPECT_EQ(dag.errorMessage(1999), "");
}

TEST_F(WrapperTest, StatementsComeBackWhole) {
  const auto t = dag.table("db.sales");
  const auto f = dag.filter(t, "amount > 100", {"big", "work"});
  const auto s = dag.select(f, "region, amount", {"proj", "work"}, "/* prefix */");
  const auto statements = dag.statements(s);
  ASSERT_EQ(statements.size(), 1u);
  EXPECT_EQ(statements[0].sql,
            "/* prefix */ select region, amount from (select * from db.sales where amount > 100) as "
            "temp_table");
  EXPECT_EQ(statements[0].name, "\"work\".\"proj\"");
  EXPECT_EQ(statements[0].queryType, "select");
  EXPECT_EQ(statements[0].nodeid, s.id());
  EXPECT_EQ(dag.generateStatements(s), 1);
}

TEST_F(WrapperTest, VeryLongTextsAndNamesFitTheirBuffers) {
  const std::string condition = "a = '" + std::string(200000, 'x') + "'";
  const std::string schema(10000, 's'), table(9000, 't');
  const auto f = dag.filter(dag.table("src"), condition, {table, schema});
  const auto statements = dag.statements(f);
  ASSERT_EQ(statements.size(), 1u);
  EXPECT_EQ(statements[0].sql, "select * from src where " + condition);
  EXPECT_EQ(statements[0].name, "\"" + schema + "\".\"" + table + "\"");
  const auto name = dag.tableName(f);
  EXPECT_EQ(name.table, table);
  EXPECT_EQ(name.schema, schema);
  const auto g = dag.groupBy(f, "|by " + std::string(5000, 'c'));
  EXPECT_EQ(dag.tableName(g).schema, schema);
  EXPECT_EQ(dag.groupByExpression(g), "|by " + std::string(5000, 'c'));
}

TEST_F(WrapperTest, GroupingNodesTakeTheirInputsOutputName) {
  const auto f = dag.filter(dag.table("src"), "a", {"f", "w"});
  const auto g = dag.groupByTime(f, {"1 hour", "g", "ts", "", "prior"});
  EXPECT_EQ(dag.tableName(g).table, "f");
  EXPECT_EQ(dag.tableName(g).schema, "w");
  const auto a = dag.aggregate(g, "count(*) as n", {"a", "w"});
  EXPECT_EQ(dag.queryType(a), "aggregate");
  const std::string sql = dag.statements(a).at(0).sql;
  EXPECT_EQ(sql.rfind("select $QZ_TIMECODE_RANGE, $QZ_GROUP_BY_TIME, g, count(*) as n from ", 0), 0u);
  EXPECT_NE(sql.find(" group by time (1 hour AND g) using timecode (ts) fill (prior) "),
            std::string::npos);
}

TEST_F(WrapperTest, TopNSemiJoinsAndAGroupingThatOnlyAnAggregateReads) {
  dag.setDialect(dfq::Dialect::SQLite);
  const auto sales = dag.table("sales"), regions = dag.table("regions");
  const auto best = dag.topN(sales, "amount desc", 3, {"best", "w"});
  EXPECT_EQ(dag.queryType(best), "topn");
  const auto kept = dag.join({"Semi", best, regions, "l.region = r.region", "l", "r", "l.*"},
                             {"kept", "w"});
  EXPECT_EQ(dag.statements(kept).at(0).sql,
            "select l.* from (select * from sales order by amount desc limit 3) as l where exists "
            "(select 1 from regions as r where l.region = r.region)");
  const dfq::Grouping by = dag.groupBy(kept, "|by region");
  EXPECT_EQ(dag.queryType(by), "groupby");
  EXPECT_EQ(dag.tableName(by).table, "kept");
  const auto totals = dag.aggregate(by, "sum(amount) as total", {"totals", "w"});
  EXPECT_NE(dag.statements(totals).at(0).sql.find(" group by region"), std::string::npos);
  try {
    dag.topN(sales, "amount", -1, {"t", "w"});
    FAIL() << "a negative count accepted";
  } catch (const dfq::Error &e) {
    EXPECT_EQ(e.code(), 1616);
  }
}

TEST_F(WrapperTest, InspectionAndState) {
  const auto l = dag.table("l"), r = dag.table("r");
  const auto j = dag.join({"inner", l, r, "x.k = y.k", "x", "y"}, {"j", "w"});
  EXPECT_EQ(dag.parents(j), (std::vector<dfq::Node>{l, r}));
  EXPECT_TRUE(dag.parents(l).empty());
  EXPECT_EQ(dag.sourceTableName(l).table, "l");
  const auto f = dag.filter(j, "x.k > 1", {"f", "w"});
  EXPECT_TRUE(dag.isExecuted(l));
  EXPECT_FALSE(dag.isExecuted(f));
  EXPECT_EQ(dag.generateStatements(f), 1);
  EXPECT_EQ(dag.updatePathState(f, true), 2);
  EXPECT_TRUE(dag.isExecuted(j));
  dag.updateNodeState(j, false);
  EXPECT_FALSE(dag.isExecuted(j));
}

TEST_F(WrapperTest, SetOperationsSamplesAndMlQueries) {
  const auto a = dag.table("a"), b = dag.table("b");
  const auto u = dag.setOp("UnionAll", {a, b}, {"x", "y"}, {"u", "w"});
  EXPECT_EQ(dag.statements(u).at(0).sql, "select x from a union all select y from b");
  dfq::SampleSpec request;
  request.cases = {{"c1", "10"}, {"c2", "20"}};
  request.elseValue = "5";
  request.withReplacement = true;
  const auto s = dag.sample(a, request, {"s", "w"});
  EXPECT_EQ(dag.statements(s).at(0).sql,
            "select * from a SAMPLE WITH REPLACEMENT WHEN c1 THEN 10 WHEN c2 THEN 20 ELSE 5 END");
  const auto ml = dag.mlQuery({"kmeans", "call kmeans()", {u}, {{"o1", "w"}, {"o2", "w"}, {"o3", "w"}}, {}});
  ASSERT_EQ(ml.size(), 3u);
  EXPECT_EQ(dag.queryType(ml[0]), "ml_query_multi_output");
  EXPECT_EQ(dag.queryType(ml[2]), "reference");
  EXPECT_EQ(dag.parents(ml[1]), std::vector<dfq::Node>{ml[0]});
}

TEST_F(WrapperTest, ShowForms) {
  const auto t = dag.table("t");
  const auto f = dag.filter(t, "a > 1", {"f", "w"});
  const auto g = dag.select(f, "a", {"g", "w"});
  const std::string statement = "select a from (select * from t where a > 1) as temp_table";
  EXPECT_EQ(dag.showStatements(g), std::vector<std::string>{statement});
  const auto path = dag.showFullPath(g);
  ASSERT_EQ(path.size(), 2u);
  EXPECT_EQ(path[0].nodeid, g.id());
  EXPECT_EQ(path[0].sql, "select a from \"w\".\"f\"");
  EXPECT_EQ(path[1].nodeid, f.id());
  EXPECT_EQ(dag.showTopNodeQueries(g), std::vector<std::string>{statement});
  // A base table shows its own query whatever the form.
  EXPECT_EQ(dag.showFullPath(t).at(0).sql, "select * from t");
}

// Threads sharing one Dag and one node: each asks for the node's statements
// and show queries, whose fetches depend on the calls before them (showing
// the statements clears them), and adds nodes of its own.
TEST_F(WrapperTest, ThreadsSharingTheDagGetWholeResults) {
  const auto t = dag.table("t");
  const auto g = dag.select(dag.filter(t, "a > 1", {"f", "w"}), "a", {"g", "w"});
  const std::string statement = "select a from (select * from t where a > 1) as temp_table";
  std::vector<std::thread> threads;
  for (int k = 0; k < 8; ++k) {
    threads.emplace_back([&, k] {
      for (int i = 0; i < 400; ++i) {
        try {
          ASSERT_EQ(dag.statements(g).at(0).sql, statement);
          ASSERT_EQ(dag.showStatements(g), std::vector<std::string>{statement});
          const auto own = dag.filter(g, "a > " + std::to_string(i), {"o" + std::to_string(k), "w"});
          ASSERT_EQ(dag.parents(own), std::vector<dfq::Node>{g});
          ASSERT_EQ(dag.showFullPath(own).size(), 3u);
        } catch (const dfq::Error &e) {
          FAIL() << e.what();
        }
      }
    });
  }
  for (auto &thread : threads) thread.join();
}

TEST_F(WrapperTest, LogLevel) {
  dag.setLogLevel(3);
  EXPECT_EQ(dfq::Dag::logLevel(), 3);
  try {
    dag.setLogLevel(6);
    FAIL();
  } catch (const dfq::Error &e) {
    EXPECT_EQ(e.code(), 1000);
    EXPECT_EQ(e.message(), "log_level outside of range [0, 5]");
  }
  dag.setLogLevel(4);
}

TEST(WrapperDialect, ADagMadeForADialectWritesItAndKeepsIt) {
  dfq::Dag dag(dfq::Dialect::SQLite);
  EXPECT_EQ(dag.option("dialect"), "sqlite");
  const auto t = dag.filter(dag.table("db.sales"), "amount > 100", {"big", "work"});
  EXPECT_EQ(dag.statements(dag.top(t, "5", {"first", "work"}))[0].sql,
            "select * from (select * from db.sales where amount > 100) as temp_table limit 5");
  try {
    dag.setDialect(dfq::Dialect::PostgreSQL);
    FAIL() << "dialect changed under existing nodes";
  } catch (const dfq::Error &e) {
    EXPECT_EQ(e.code(), 1603);
  }
  dag.setOption("dialect", "sqlite");  // the same one: no change
  EXPECT_THROW(dag.option("colour"), dfq::Error);
}

}  // namespace
