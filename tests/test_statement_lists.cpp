// Statement lists as hosts run them, over random graphs built as hosts
// build them (splits, joins, grouping nodes, ML queries with several
// outputs, dependency lists, inputs not executed): created from the last
// statement to the first, every statement reads only tables outside the
// graph, tables of executed nodes, and tables created before it. An ML
// call creates every output of its ML node.
#include <random>

#include "assemblySupport.h"
#include "randomGraph.h"

using namespace asmtest;

namespace {

class StatementListTest : public GraphTest {
 protected:
  static bool isMlCall(const ExecQueryEntry &s) {
    return s.queryType == "reference" || s.queryType == "ml_query_multi_output";
  }

  // The ML node of an ML call and its outputs' names.
  std::vector<std::string> createdBy(const ExecQueryEntry &s, const std::vector<nodeid_t> &nodes) {
    if (!isMlCall(s)) return {s.name};
    const Node *node = dag->getNode(std::stoll(s.nodeid));
    const nodeid_t ml = s.queryType == "reference" ? node->firstInput()->getNodeid() : node->getNodeid();
    std::vector<std::string> names{nameOf(ml)};
    for (nodeid_t id : nodes) {
      const Node *output = dag->getNode(id);
      if (output->argTypeRef() == "ml_query" && output->hasReferenceNode() &&
          output->firstInput()->getNodeid() == ml)
        names.push_back(nameOf(id));
    }
    return names;
  }

  // Names whose tables exist only once a statement creates them.
  std::set<std::string> tablesToCreate(const std::vector<nodeid_t> &nodes) {
    std::set<std::string> missing, existing;
    for (nodeid_t id : nodes) (dag->getNodeState(id) == 1 ? existing : missing).insert(nameOf(id));
    for (const std::string &name : existing) missing.erase(name);
    return missing;
  }

  static std::string listing(const ExecQueryList &list) {
    std::string text;
    for (const ExecQueryEntry &s : list)
      text += s.name + " (" + s.queryType + "): " + s.query.substr(0, 200) + "\n";
    return text;
  }

  ::testing::AssertionResult runsFromLastToFirst(const ExecQueryList &list,
                                                 const std::vector<nodeid_t> &nodes) {
    const std::set<std::string> missing = tablesToCreate(nodes);
    std::set<std::string> created;
    for (auto s = list.rbegin(); s != list.rend(); ++s) {
      for (const std::string &name : quotedNames(s->query))
        if (missing.count(name) && !created.count(name))
          return ::testing::AssertionFailure()
                 << "statement " << (list.rend() - s - 1) << " (" << s->name << ", "
                 << s->queryType << ") reads " << name << " before it exists in\n"
                 << listing(list);
      for (const std::string &name : createdBy(*s, nodes)) created.insert(name);
    }
    return ::testing::AssertionSuccess();
  }
};

TEST_F(StatementListTest, RandomGraphsGiveListsThatRunFromTheLastStatementToTheFirst) {
  std::mt19937 rng(1414);
  int lists = 0, withMlCalls = 0, withSeveralMlCalls = 0, split = 0;
  for (int round = 0; round < 300; ++round) {
    close_dag();
    SetUp();
    dfqtest::RandomGraph graph(
        *dag, [&] { return static_cast<std::uint32_t>(rng()); }, false, true);
    graph.build(4 + static_cast<int>(rng() % 20));
    const std::vector<nodeid_t> nodes = graph.derived();
    for (nodeid_t id : nodes) {
      if (dag->getNodeState(id) == 1) continue;
      const HostStatements got = hostStatements(std::to_string(id));
      ASSERT_EQ(got.rc, 0) << "round " << round << " node " << id << ": "
                           << dfqtest::errorMessage(got.rc);
      ASSERT_TRUE(runsFromLastToFirst(got.list, nodes)) << "round " << round << " node " << id;
      ++lists;
      const auto calls = std::count_if(got.list.begin(), got.list.end(), isMlCall);
      withMlCalls += calls > 0;
      withSeveralMlCalls += calls > 1;
      split += calls == 0 && got.list.size() > 1;  // nothing but a split makes several
    }
  }
  std::printf("lists %d, with ML calls %d, with several %d, split without ML calls %d\n",
              lists, withMlCalls, withSeveralMlCalls, split);
  EXPECT_GT(lists, 2000);
  EXPECT_GT(withSeveralMlCalls, 50);
  EXPECT_GT(split, 50);
}

}  // namespace
