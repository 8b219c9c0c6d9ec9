// Execution paths, their caches, reference and ML nodes, path printing and
// deep or diamond-heavy graphs, through the graph itself.
#include <chrono>

#include "DAG.h"
#include "DagBuilder.h"
#include "DagException.h"
#include "testSupport.h"

using namespace dfqtest;

namespace {

class PathTest : public DagTest {
 protected:
  void SetUp() override {
    DagTest::SetUp();
    base = std::stoll(table("db.t"));
    dag = dagInstance();
  }
  nodeid_t add(const std::string &type, std::vector<nodeid_t> inputs,
               const std::string &out = "o") {
    return dag->addNode(type, "n", "v", out, "s", "SELECT", 1, static_cast<int>(inputs.size()),
                        inputs.data());
  }
  nodeid_t ml(std::vector<nodeid_t> inputs, int outputs = 1) {
    const nodeid_t id = dag->addNode("ml_query", "n", "call f()", "m", "s", "F", 2,
                                     static_cast<int>(inputs.size()), inputs.data());
    if (outputs > 1) dag->updateNumOutputs(id, outputs);
    return id;
  }
  nodeid_t mlOutput(nodeid_t mlId) {
    const nodeid_t id = dag->addNode("ml_query", "source", "call f()", "m2", "s", "F", 2, 1, &mlId);
    dag->updateInputEdgeAsReference(id);
    return id;
  }
  int code(const std::function<void()> &f) {
    try {
      f();
    } catch (const DagException &e) {
      return e.errorCode;
    }
    return 0;
  }
  nodeid_t base = 0;
  DAG *dag = nullptr;
};

using Path = DAG::Path;

}  // namespace

TEST_F(PathTest, ChainListsConsumersFirstAndStopsAtExecutedNodes) {
  const nodeid_t a = add("filter", {base});
  const nodeid_t b = add("filter", {a});
  EXPECT_EQ(dag->genDAGPath(b, false), 2);
  EXPECT_EQ(dag->getDAGPath(b, false), (Path{b, a}));
  EXPECT_EQ(dag->genFullDAGPath(b, false), 2);
  dag->updateNodeState(a, 1);
  EXPECT_EQ(dag->genDAGPath(b, false), 1);
  EXPECT_EQ(dag->getDAGPath(b, false), (Path{b}));
  EXPECT_EQ(dag->genFullDAGPath(b, false), 2);  // served from the cache
  const nodeid_t c = add("filter", {b});
  EXPECT_EQ(dag->genFullDAGPath(c, false), 3);  // full paths ignore execution
  EXPECT_EQ(dag->getFullDAGPath(c, false), (Path{c, b, a}));
}

TEST_F(PathTest, BaseNodeHasNoPathAndFailedLookupLeavesAnEntry) {
  EXPECT_EQ(dag->genDAGPath(base, false), 0);
  EXPECT_FALSE(dag->existsDAGNodePath(base, false));
  EXPECT_EQ(code([&] { dag->getDAGPath(base, false); }), 1206);
  EXPECT_TRUE(dag->existsDAGNodePath(base, false));
  try {
    dag->getFullDAGPath(base, true);
  } catch (const DagException &e) {
    EXPECT_EQ(e.what(), "DagPath does not exist or NOT generated for nodeid" + std::to_string(base));
  }
  EXPECT_EQ(code([&] { dag->genDAGPath(42, false); }), 1205);
  EXPECT_EQ(code([&] { dag->genFullDAGPath(42, false); }), 1205);
}

TEST_F(PathTest, EmptyRegenerationKeepsTheEarlierPath) {
  const nodeid_t a = add("filter", {base});
  dag->genDAGPath(a, false);
  dag->updateNodeState(a, 1);
  EXPECT_EQ(dag->genDAGPath(a, false), 0);
  EXPECT_EQ(dag->getDAGPath(a, false), (Path{a}));
}

TEST_F(PathTest, JoinListsLaterInputsAncestorsFirst) {
  const nodeid_t t2 = std::stoll(table("db.t2"));
  const nodeid_t a1 = add("filter", {base});
  const nodeid_t a2 = add("filter", {t2});
  const nodeid_t j = add("join", {a1, a2});
  EXPECT_EQ(dag->genDAGPath(j, false), 3);
  EXPECT_EQ(dag->getDAGPath(j, false), (Path{j, a2, a1}));
}

TEST_F(PathTest, DiamondListsSharedAncestorOnce) {
  const nodeid_t a = add("filter", {base});
  const nodeid_t b = add("filter", {a});
  const nodeid_t c = add("filter", {a});
  const nodeid_t d = add("join", {b, c});
  EXPECT_EQ(dag->genDAGPath(d, false), 4);
  EXPECT_EQ(dag->getDAGPath(d, false), (Path{d, c, b, a}));
}

TEST_F(PathTest, MlNodesAndTheirReferenceOutputs) {
  const nodeid_t a = add("filter", {base});
  const nodeid_t m = ml({a}, 2);
  const nodeid_t r = mlOutput(m);
  EXPECT_EQ(dag->genDAGPath(r, false), 3);
  EXPECT_EQ(dag->getDAGPath(r, false), (Path{r, m, a}));
  EXPECT_EQ(dag->genDAGPath(r, true), 0);
  EXPECT_FALSE(dag->existsDAGNodePath(r, true));
  const nodeid_t f = add("filter", {r});
  EXPECT_EQ(dag->genDAGPath(f, true), 1);
  EXPECT_EQ(dag->getDAGPath(f, true), (Path{f}));
  EXPECT_EQ(dag->genFullDAGPath(f, true), 1);
  EXPECT_EQ(dag->genFullDAGPath(f, false), 4);

  EXPECT_EQ(dag->getQueryType(m), "ml_query_multi_output");
  EXPECT_EQ(dag->getQueryType(r), "reference");
  EXPECT_EQ(dag->getQueryType(f), "filter");
  EXPECT_EQ(dag->getQueryType(ml({a})), "ml_query_single_output");
  EXPECT_EQ(code([&] { dag->getQueryType(7); }), 1214);

  // Marking an output node marks the ML node; reading state brings a
  // reference node up to date.
  dag->updateNodeState(r, 1);
  EXPECT_EQ(dag->getNode(m)->getNodeState(), 1);
  const nodeid_t r2 = mlOutput(m);
  EXPECT_EQ(dag->getNode(r2)->getNodeState(), 0);
  EXPECT_EQ(dag->getNodeState(r2), 1);
}

TEST_F(PathTest, GroupingNodeCountsAsExecutedWithItsInput) {
  const nodeid_t a = add("filter", {base});
  const nodeid_t g = add("groupby", {a});
  dag->updateInputEdgeAsReference(g);
  const nodeid_t agg = add("aggregate", {g});
  EXPECT_EQ(dag->genDAGPath(agg, false), 3);
  dag->updateNodeState(a, 1);
  EXPECT_EQ(dag->genDAGPath(agg, false), 1);
  EXPECT_EQ(dag->getDAGPath(agg, false), (Path{agg}));
}

TEST_F(PathTest, PrintDagPathListsNodesStillToCompute) {
  const nodeid_t a = add("filter", {base});
  const nodeid_t b = add("filter", {a});
  testing::internal::CaptureStdout();
  dag->printDAGPath(b);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "DAGPath:<-" + std::to_string(b) + " <-" + std::to_string(a) + " <-DAGPathBegin\n");
  EXPECT_EQ(code([&] { dag->printDAGPath(5); }), 1204);
  // Through the C entry, with a grouping node whose input is executed: the
  // grouping node is marked executed by the printing.
  const nodeid_t g = add("groupby", {a});
  dag->updateInputEdgeAsReference(g);
  dag->updateNodeState(a, 1);
  CStrings id{std::to_string(g)};
  testing::internal::CaptureStdout();
  print_dag_path(id);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "DAGPath:<-DAGPathBegin\n");
  EXPECT_EQ(dag->getNode(g)->getNodeState(), 1);
}

TEST_F(PathTest, GraphTraceDumpsOnlyAtLevelZero) {
  close_dag();
  CStrings user{"u"}, empty{""};
  int level = 0, rc = -1;
  init_dag(user, empty, &level, empty, &rc);
  ASSERT_EQ(rc, 0);
  dag = dagInstance();
  base = std::stoll(table("t"));
  const nodeid_t a = add("filter", {base});
  testing::internal::CaptureStderr();
  dag->genDAGPath(a, false);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("*********************************\n"), std::string::npos);
  EXPECT_NE(err.find("dagPath for nodeid: " + std::to_string(a)), std::string::npos);
  EXPECT_NE(err.find("->" + std::to_string(a) + "\n"), std::string::npos);
}

TEST_F(PathTest, VeryLongChainNeedsNoDeepStack) {
  nodeid_t last = base;
  for (int i = 0; i < 100000; ++i) last = add("filter", {last}, "f" + std::to_string(i));
  EXPECT_EQ(dag->genDAGPath(last, false), 100000);
  EXPECT_EQ(dag->genFullDAGPath(last, true), 100000);
  dag->resetVisit(dag->getNode(last));
  dag->genDAGPath(base, false);  // empties the working path, which printing treats as done
  testing::internal::CaptureStdout();
  dag->printDAGPath(last);
  EXPECT_GT(testing::internal::GetCapturedStdout().size(), 100000u);
}

TEST_F(PathTest, LadderOfDiamondsIsWalkedOncePerNode) {
  // Thirty stacked diamonds have about a billion routes from top to bottom;
  // every walk and reset must visit each node once.
  nodeid_t top = add("filter", {base});
  for (int i = 0; i < 30; ++i) {
    const nodeid_t l = add("filter", {top});
    const nodeid_t r = add("filter", {top});
    top = add("join", {l, r});
  }
  EXPECT_EQ(dag->genDAGPath(top, false), 91);
  EXPECT_EQ(dag->genFullDAGPath(top, false), 91);
  dag->resetVisit(dag->getNode(top));
  EXPECT_EQ(dag->getNode(top)->getVisit(), NOT_VISITED);
}
