// Per-node SQL: source nodes, input naming, ML nodes and frame failures.
#include "DAG.h"
#include "DagBuilder.h"
#include "DagException.h"
#include "Node.h"
#include "log.h"
#include "testSupport.h"

using namespace dfqtest;

namespace {

class FrameTest : public DagTest {
 protected:
  void SetUp() override {
    DagTest::SetUp();
    base = std::stoll(table("db1.sales", "ignored", "x"));
    dag = dagInstance();
  }
  std::string sql(nodeid_t id, bool mlAsTable = false) {
    std::string name = "unchanged";
    std::string q = dag->getExecQuery(id, name, mlAsTable);
    lastName = name;
    return q;
  }
  nodeid_t filter(nodeid_t input, const std::string &table, const std::string &schema) {
    return dag->addNode("filter", "f", "a > 1", table, schema, "SELECT", 1, 1, &input);
  }
  nodeid_t base = 0;
  DAG *dag = nullptr;
  std::string lastName;
};

}  // namespace

TEST_F(FrameTest, TableNodeReadsItsSourceAndIsReadBySource) {
  EXPECT_EQ(sql(base), "select * from db1.sales");
  EXPECT_EQ(lastName, "\"x\".\"ignored\"");
  const nodeid_t f = filter(base, "t", "s");
  EXPECT_EQ(sql(f), "select * from db1.sales where a > 1");
  EXPECT_EQ(lastName, "\"s\".\"t\"");
}

TEST_F(FrameTest, OtherInputsAreReadByQualifiedOutputName) {
  const nodeid_t quoted = filter(filter(base, "t", "s"), "u", "");
  EXPECT_EQ(sql(quoted), "select * from \"s\".\"t\" where a > 1");
  EXPECT_EQ(lastName, "u");
  const nodeid_t bare = filter(quoted, "v", "s");
  EXPECT_EQ(sql(bare), "select * from u where a > 1");
}

TEST_F(FrameTest, MlNodeYieldsItsCallOrReadsItsOutputTable) {
  const nodeid_t m =
      dag->addNode("ml_query", "n", "call fit(on t)", "model", "s", "FIT", 2, 1, &base);
  EXPECT_EQ(sql(m, false), "call fit(on t)");
  EXPECT_EQ(sql(m, true), "select * from model");
  EXPECT_EQ(lastName, "\"s\".\"model\"");
}

TEST_F(FrameTest, UnknownOperationFailsAndLeavesTheNameAlone) {
  const nodeid_t odd = dag->addNode("Filter", "f", "x", "t", "s", "SELECT", 1, 1, &base);
  std::string name = "unchanged";
  try {
    dag->getExecQuery(odd, name, false);
    FAIL() << "expected 1104";
  } catch (const DagException &e) {
    EXPECT_EQ(e.errorCode, 1104);
    EXPECT_EQ(std::string(e.what()), "Query generation failed for nodeid " + std::to_string(odd) +
                                         " with invalid operation Filter");
  }
  EXPECT_EQ(name, "unchanged");
  try {
    dag->getExecQuery(77, name, false);
    FAIL() << "expected 1207";
  } catch (const DagException &e) {
    EXPECT_EQ(e.errorCode, 1207);
  }
}

// Copies share one text; the last copy to go releases it, once (the
// sanitizer builds report a double release or a leak).
TEST(SharedTextTest, CopiesShareOneTextUntilTheLastGoes) {
  dfq::SharedText original("select 1");
  {
    const dfq::SharedText copy = original;
    dfq::SharedText assigned;
    assigned = copy;
    dfq::SharedText &same = assigned;
    assigned = same;
    EXPECT_EQ(&assigned.str(), &original.str());
  }
  dfq::SharedText moved = std::move(original);
  EXPECT_TRUE(original.empty());  // NOLINT(bugprone-use-after-move): moved-from is empty
  EXPECT_EQ(moved, "select 1");
  std::vector<dfq::SharedText> many(50, moved);
  moved = dfq::SharedText("select 2");
  EXPECT_EQ(many.back(), "select 1");
  many.clear();
  dfq::SharedText &alias = moved;
  moved = std::move(alias);
  EXPECT_EQ(moved, "select 2");
}

// The shared text is composed once per node and flag, follows changes of the
// node's arguments, and is composed afresh (with its records) while DEBUG
// records are written.
TEST_F(FrameTest, SharedQueryIsKeptUntilAnArgumentChanges) {
  const nodeid_t g =
      dag->addNode("aggregate", "g", "sum(x) as s", "agg", "s", "SELECT", 1, 1, &base);
  const dfq::SharedText *name = nullptr;
  const dfq::SharedText first = dag->sharedQuery(g, false, &name);
  EXPECT_EQ(first, sql(g));
  EXPECT_EQ(*name, lastName);
  EXPECT_EQ(&dag->sharedQuery(g, false).str(), &first.str()) << "composed again";

  dag->getNode(g)->updateGroupby("|w region");
  EXPECT_NE(dag->sharedQuery(g, false), first);
  EXPECT_EQ(dag->sharedQuery(g, false), sql(g));
  const nodeid_t s = dag->addNode("select", "s", "a, b", "sel", "s", "SELECT", 1, 1, &base);
  dag->sharedQuery(s, false);
  dag->getNode(s)->updateInputEdgeDetails(true, "with x as (select 1)");
  EXPECT_EQ(dag->sharedQuery(s, false), sql(s));
  EXPECT_EQ(sql(s).rfind("with x", 0), 0u);

  const nodeid_t m =
      dag->addNode("ml_query", "n", "call fit(on t)", "model", "s", "FIT", 2, 1, &base);
  EXPECT_EQ(dag->sharedQuery(m, false), "call fit(on t)");
  EXPECT_EQ(dag->sharedQuery(m, true), "select * from model");
  EXPECT_EQ(dag->sharedQuery(m, false), "call fit(on t)");

  const nodeid_t f = filter(filter(base, "t", "s"), "u", "s");
  dag->sharedQuery(f, false);
  log_set_level(LOG_DEBUG);
  testing::internal::CaptureStderr();
  dag->sharedQuery(f, false);
  dag->sharedQuery(f, false);
  const std::string records = testing::internal::GetCapturedStderr();
  log_set_level(4);
  size_t count = 0;
  for (size_t at = records.find("got input table"); at != std::string::npos;
       at = records.find("got input table", at + 1))
    ++count;
  EXPECT_EQ(count, 2u) << records;
}
