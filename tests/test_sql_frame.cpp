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
