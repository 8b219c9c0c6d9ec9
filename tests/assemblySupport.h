// Helpers for the query-assembly tests: a fixture that builds graphs through
// the graph itself (exact per-node SQL, any shape), the view map of a node's
// path, and a check that a host can create a statement list from the last
// statement to the first.
#ifndef DFQ_ASSEMBLY_SUPPORT_H
#define DFQ_ASSEMBLY_SUPPORT_H

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "DAG.h"
#include "DagBuilder.h"
#include "QueryLists.h"
#include "Utils.h"
#include "dfqRequest.h"
#include "testSupport.h"

namespace asmtest {

class GraphTest : public dfqtest::DagTest {
 protected:
  void SetUp() override {
    DagTest::SetUp();
    dfqtest::CStrings user{"u"}, arg{""};
    int level = 4, rc = -1;
    init_dag(user, arg, &level, arg, &rc);
    dag = dagInstance();
    builder = dfq::dagBuilder();
  }

  nodeid_t base(const std::string &source) {
    nodeid_t none = 0;
    return dag->addNode("table", "source", source, "", "", "SELECT", 1, 0, &none);
  }
  nodeid_t node(const std::string &type, const std::string &value, std::vector<nodeid_t> inputs,
                const std::string &table, const std::string &schema = "s") {
    return dag->addNode(type, "n", value, table, schema, "SELECT", 1,
                        static_cast<int>(inputs.size()), inputs.data());
  }
  nodeid_t filter(nodeid_t input, const std::string &condition, const std::string &table,
                  const std::string &schema = "s") {
    return node("filter", condition, {input}, table, schema);
  }
  nodeid_t join(nodeid_t left, nodeid_t right, const std::string &condition,
                const std::string &table, const std::string &type = "inner") {
    nodeid_t inputs[2] = {left, right};
    const nodeid_t id = dag->addNode("join", type, condition, table, "s", "SELECT", 1, 2, inputs);
    const std::string aliases[2] = {"l", "r"};
    dag->updateInputEdgeDetails(id, aliases, "");
    return id;
  }
  nodeid_t groupby(nodeid_t input, const std::string &expression) {
    const nodeid_t id = dag->addNode("groupby", "n", expression, "", "", "SELECT", 1, 1, &input);
    dag->updateInputEdgeAsReference(id);
    return id;
  }
  nodeid_t assign(nodeid_t input, const std::string &columns, const std::string &table) {
    const nodeid_t id = node("assign", columns, {input}, table);
    dag->updateInputEdgeDetails(id, false);
    return id;
  }
  // An ML query node with `outputs` outputs and, when there are several,
  // its first reference output (returned through `reference`).
  // Its output tables are `prefix`1 and `prefix`2.
  nodeid_t mlQuery(nodeid_t input, const std::string &text, int outputs,
                   nodeid_t *reference = nullptr, const std::string &prefix = "m") {
    const nodeid_t id = dag->addNode("ml_query", "fn", text, prefix + "1", "s", "fn", 2, 1, &input);
    if (outputs > 1) dag->updateNumOutputs(id, outputs);
    if (reference != nullptr) {
      nodeid_t mlId = id;
      *reference = dag->addNode("ml_query", "source", text, prefix + "2", "s", "fn", 2, 1, &mlId);
      dag->updateInputEdgeAsReference(*reference);
    }
    return id;
  }
  void dependsOn(nodeid_t mlNode, std::vector<nodeid_t> ids) {
    dag->updateInputNodeidsIncaseofMultipleQueries(mlNode, std::move(ids));
  }
  void executed(nodeid_t id) { dag->updateNodeState(id, 1); }

  std::string sql(nodeid_t id) {
    std::string name;
    return dag->getExecQuery(id, name, false);
  }
  std::string nameOf(nodeid_t id) {
    std::string table, schema;
    dag->getTablename(id, table, schema);
    return Utils::qualifiedName(table, schema);
  }

  // Name -> (query, id) of every node of the node's DAG path, in path order.
  ViewQueryMap pathMap(nodeid_t id, bool mlAsTable = false) {
    dag->genDAGPath(id, mlAsTable);
    ViewQueryMap map;
    for (nodeid_t member : dag->getDAGPath(id, mlAsTable)) {
      std::string name;
      const std::string query = dag->getExecQuery(member, name, mlAsTable);
      map.emplace(name, std::make_pair(query, member));
    }
    return map;
  }

  DAG *dag = nullptr;
  DagBuilder *builder = nullptr;
};

inline ExecQueryEntry statement(const std::string &query, const std::string &name,
                                const std::string &type, nodeid_t id) {
  return ExecQueryEntry{query, name, type, std::to_string(id)};
}

// Quoted names in `text`, in order.
inline std::vector<std::string> quotedNames(const std::string &text) {
  std::vector<std::string> names;
  size_t from = 0, start = 0, end = 0;
  while (Utils::validatePattern(text, from, &start, &end)) {
    names.push_back(text.substr(start, end - start + 1));
    from = end + 1;
  }
  return names;
}

// A host creates the statements from the last to the first: every name of
// `defined` (views the list must create) that a statement reads must be
// created by a later statement, and no view is created twice.
inline ::testing::AssertionResult hostCanCreate(const ExecQueryList &statements,
                                                const std::set<std::string> &defined) {
  std::set<std::string> created;
  for (auto s = statements.rbegin(); s != statements.rend(); ++s) {
    for (const std::string &name : quotedNames(s->query))
      if (defined.count(name) && !created.count(name) && name != s->name)
        return ::testing::AssertionFailure() << s->name << " reads " << name << " before it exists";
    if (!created.insert(s->name).second)
      return ::testing::AssertionFailure() << s->name << " is created twice";
  }
  return ::testing::AssertionSuccess();
}

// The statements of node `id` as a host gets them: the count, the sizes,
// then one fetch with buffers of those sizes.
struct HostStatements {
  int rc = -1;
  ExecQueryList list;
};

inline HostStatements hostStatements(const std::string &id) {
  dfqtest::CStrings in{id};
  HostStatements out;
  int count = 0;
  dfq_gen_exec_queries(in, &count, &out.rc);
  if (out.rc != 0 || count <= 0) return out;
  std::vector<int> lengths(static_cast<size_t>(count), 0);
  int unused = 0;
  dfq_get_exec_querysize(in, &unused, lengths.data(), &out.rc);
  if (out.rc != 0) return out;
  size_t room = 1;
  for (int length : lengths) room = std::max(room, static_cast<size_t>(length));
  auto queries = dfqtest::CStrings::buffers(lengths.size(), room);
  auto names = dfqtest::CStrings::buffers(lengths.size()),
       types = dfqtest::CStrings::buffers(lengths.size()),
       ids = dfqtest::CStrings::buffers(lengths.size());
  dfq_get_exec_query(in, &count, queries, names, types, ids, &out.rc);
  for (size_t i = 0; out.rc == 0 && i < lengths.size(); ++i) {
    // The size request and the text agree, or the host's buffer overflows.
    if (queries[i].size() + 1 != static_cast<size_t>(lengths[i])) out.rc = -1;
    out.list.push_back(ExecQueryEntry{queries[i], names[i], types[i], ids[i]});
  }
  return out;
}

}  // namespace asmtest

#endif
