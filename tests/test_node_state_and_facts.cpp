// Reporting nodes executed and reading facts about a node, through the C API.
#include "DAG.h"
#include "DagBuilder.h"
#include "testSupport.h"

using namespace dfqtest;

namespace {

class StateTest : public DagTest {
 protected:
  void SetUp() override {
    DagTest::SetUp();
    base = table("db.t");
    dag = dagInstance();
    a = add("filter", {base}, "a");
    b = add("filter", {a}, "b");
  }
  std::string add(const std::string &type, std::vector<std::string> inputs,
                  const std::string &out) {
    std::vector<nodeid_t> ids;
    for (const auto &s : inputs) ids.push_back(std::stoll(s));
    return std::to_string(dag->addNode(type, "n", "v", out, "s", "SELECT", 1,
                                       static_cast<int>(ids.size()), ids.data()));
  }
  int update(const std::string &id, int state, int &count) {
    CStrings in{id};
    int rc = -1;
    dfq_update_node_state(in, &state, &count, &rc);
    return rc;
  }
  int executed(const std::string &id, int *rcOut = nullptr) {
    CStrings in{id};
    int state = -1, rc = -1;
    dfq_is_node_executed(in, &state, &rc);
    if (rcOut) *rcOut = rc;
    return state;
  }
  std::string base, a, b;
  DAG *dag = nullptr;
};

}  // namespace

TEST_F(StateTest, NodeAloneOrWholePath) {
  dag->genDAGPath(std::stoll(b), false);
  int count = 1;
  EXPECT_EQ(update(b, 1, count), 0);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(executed(b), 1);
  EXPECT_EQ(executed(a), 0);
  count = 2;
  EXPECT_EQ(update(b, 0, count), 0);  // with 0 the path is kept
  EXPECT_EQ(count, 2);
  EXPECT_EQ(executed(b), 0);
  count = 0;
  EXPECT_EQ(update(b, 1, count), 0);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(executed(a), 1);
  EXPECT_EQ(executed(b), 1);
  // The path was dropped with state 1: the path form now fails, the single
  // form still works.
  count = 0;
  EXPECT_EQ(update(b, 1, count), 1310);
  EXPECT_EQ(errorMessage(1310), "DAGPath is NOT generated or does not exist for nodeid " + b);
  CStrings in{b};
  int state = 0, rc = -1;
  dfq_update_node_state_single(in, &state, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(executed(b), 0);
}

TEST_F(StateTest, InvalidStatesAndIdsAreRefused) {
  dag->genDAGPath(std::stoll(b), false);
  int count = 0;
  EXPECT_EQ(update(b, 2, count), 1401);
  EXPECT_EQ(errorMessage(1401), "Invalid Node state argument value 2");
  EXPECT_EQ(update(b, -1, count), 1401);
  EXPECT_EQ(errorMessage(1401), "Invalid Node state argument value -1");
  EXPECT_EQ(executed(a), 0);
  int rc = -1;
  executed("0", &rc);
  EXPECT_EQ(rc, 1315);
  executed("abc", &rc);
  EXPECT_EQ(rc, 1315);
  executed("99", &rc);
  EXPECT_EQ(rc, 1209);
  count = 1;
  EXPECT_EQ(update("99", 1, count), 1208);
  EXPECT_EQ(errorMessage(1208), "DAG entry does not exist for nodeid 99");
  CStrings in{b};
  int state = 1;
  dfq_update_node_state(in, nullptr, &count, &rc);
  EXPECT_EQ(rc, 1503);
  dfq_update_node_state(in, &state, nullptr, &rc);
  EXPECT_EQ(rc, 1503);
  dfq_update_node_state_single(nullptr, &state, &rc);
  EXPECT_EQ(rc, 1501);
  dfq_update_node_state_single(in, &state, nullptr);
}

TEST_F(StateTest, WithoutInstanceStateCallsFailWith1302) {
  close_dag();
  int count = 0;
  EXPECT_EQ(update("12", 1, count), 1302);
  int rc = -1;
  executed("12", &rc);
  EXPECT_EQ(rc, 1302);
}

TEST_F(StateTest, TableNamesQueryTypeAndGroupingOfANode) {
  CStrings t{"x"}, s{"x"};
  CStrings in{a};
  int rc = -1;
  dfq_get_tablename(in, t, s, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(t[0], "a");
  EXPECT_EQ(s[0], "s");
  CStrings t2{"x"}, s2{"x"};
  dfq_get_source_tablename(in, t2, s2, &rc);
  EXPECT_EQ(t2[0], "a");
  EXPECT_EQ(s2[0], "s");

  CStrings type{"x"};
  dfq_get_node_query_type(in, type, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(type[0], "filter");
  CStrings expr{"x"};
  dfq_get_node_groupby_expr(in, expr, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(expr[0], "");
}

TEST_F(StateTest, SourceTableOfABaseTableWithoutOutputNames) {
  CStrings in{base};
  CStrings t{"x"}, s{"x"};
  int rc = -1;
  dfq_get_source_tablename(in, t, s, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(t[0], "db.t");
  EXPECT_EQ(s[0], "");
  CStrings t2{"x"}, s2{"x"};
  dfq_get_tablename(in, t2, s2, &rc);
  EXPECT_EQ(t2[0], "");
  EXPECT_EQ(s2[0], "");
  // Named output: both entries give the same pair.
  const std::string named = table("db.u", "u_out", "s1", "source");
  CStrings in2{named}, t3{"x"}, s3{"x"};
  dfq_get_source_tablename(in2, t3, s3, &rc);
  EXPECT_EQ(t3[0], "u_out");
  EXPECT_EQ(s3[0], "s1");
}

TEST_F(StateTest, ParentsOfAJoinInTheirOrder) {
  const std::string j = add("join", {b, a}, "j");
  CStrings in{j};
  int count = -1, rc = -1;
  dfq_get_parent_nodes_count(in, &count, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(count, 2);
  CStrings parents = CStrings::buffers(2, 21);
  dfq_get_parent_nodeids(in, parents, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(parents[0], b);
  EXPECT_EQ(parents[1], a);
  CStrings baseIn{base}, none = CStrings::buffers(1, 21);
  dfq_get_parent_nodes_count(baseIn, &count, &rc);
  EXPECT_EQ(count, 0);
  dfq_get_parent_nodeids(baseIn, none, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(none[0], "");
}

TEST_F(StateTest, InspectionRefusesBadIdsAndBuffersWithItsOwnCodes) {
  struct Case {
    std::function<void(char **, int *)> call;
    int invalidIdCode;
    int missingCode;
  };
  const std::vector<Case> cases = {
      {[](char **id, int *rc) {
         CStrings t{"x"}, s{"x"};
         dfq_get_tablename(id, t, s, rc);
       },
       1316, 1211},
      {[](char **id, int *rc) {
         CStrings t{"x"}, s{"x"};
         dfq_get_source_tablename(id, t, s, rc);
       },
       1316, 1211},
      {[](char **id, int *rc) {
         CStrings q{"x"};
         dfq_get_node_query_type(id, q, rc);
       },
       1321, 1214},
      {[](char **id, int *rc) {
         CStrings q{"x"};
         dfq_get_node_groupby_expr(id, q, rc);
       },
       1323, 1216},
      {[](char **id, int *rc) {
         int n = 0;
         dfq_get_parent_nodes_count(id, &n, rc);
       },
       1331, 1219},
      {[](char **id, int *rc) {
         CStrings p = CStrings::buffers(2, 21);
         dfq_get_parent_nodeids(id, p, rc);
       },
       1330, 1218},
  };
  for (const Case &c : cases) {
    int rc = -1;
    for (const char *bad : {"0", "-5", "abc"}) {
      CStrings id{bad};
      c.call(id, &rc);
      EXPECT_EQ(rc, c.invalidIdCode) << bad;
    }
    CStrings missing{"424242"};
    c.call(missing, &rc);
    EXPECT_EQ(rc, c.missingCode);
    EXPECT_EQ(errorMessage(c.missingCode), "DAG entry does not exist for nodeid 424242");
    CStrings empty{""};
    c.call(empty, &rc);
    EXPECT_EQ(rc, 1502);
    c.call(nullptr, &rc);
    EXPECT_EQ(rc, 1501);
  }
  EXPECT_EQ(errorMessage(1316), "Invalid input nodeid for dfqGetSourceTablename operation");
  EXPECT_EQ(errorMessage(1331), "Invalid input nodeid for dfqGetNumberofInputNodes operation");
  // Output buffers starting with a terminating zero are refused, except the
  // parent-id list.
  CStrings in{a}, empty{""}, x{"x"};
  int rc = -1;
  dfq_get_tablename(in, empty, x, &rc);
  EXPECT_EQ(rc, 1502);
  EXPECT_EQ(errorMessage(1502), "Argument output_table is required, should NOT be an empty string");
  dfq_get_node_groupby_expr(in, empty, &rc);
  EXPECT_EQ(errorMessage(1502), "Argument query_type is required, should NOT be an empty string");
  CStrings parents = CStrings::buffers(1, 21);
  dfq_get_parent_nodeids(in, parents, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(parents[0], base);
}

TEST_F(StateTest, FreeQueryNodes) {
  CStrings name{"q"}, sql{"select 1 as x"}, t{"qt"}, s{"qs"}, out = CStrings::buffers(1);
  int rc = -1;
  dfq_query(name, sql, t, s, out, &rc);
  ASSERT_EQ(rc, 0);
  Node *node = dag->getNode(std::stoll(out[0]));
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->getNodeState(), 1);
  std::string own;
  EXPECT_EQ(dag->getExecQuery(node->getNodeid(), own, false), "select 1 as x");
  EXPECT_EQ(own, "\"qs\".\"qt\"");
  CStrings empty{""};
  dfq_query(name, sql, t, empty, out, &rc);
  EXPECT_EQ(rc, 1502);
  EXPECT_EQ(errorMessage(1502), "Argument output_schema is required, should NOT be an empty string");
  dfq_query(name, empty, t, s, out, &rc);
  EXPECT_EQ(errorMessage(1502), "Argument arg_value is required, should NOT be an empty string");
  close_dag();
  dfq_query(name, sql, t, s, out, &rc);  // creates the instance like a table
  EXPECT_EQ(rc, 0);
}
