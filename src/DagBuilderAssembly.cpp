// Query assembly in the facade: the list of queries and views of a node's
// path, the executable statements with the hand-over of ML queries and the
// merge of their dependencies, the show query and the statements written
// against the top of the graph.
#define DFQ_LOG_UNIT "../src/DagBuilder"
#include <algorithm>
#include <optional>
#include <type_traits>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "DagBuilder.h"
#include "DagException.h"
#include "Resolver.h"
#include "Utils.h"
#include "log.h"

namespace {

Node *requireNode(DAG &dag, nodeid_t id) {
  Node *node = dag.getNode(id);
  if (node == nullptr)
    throw DagException("DAG entry does not exist for nodeid " + std::to_string(id), 1207);
  return node;
}

[[noreturn]] void failQueryOf(nodeid_t requested) {
  throw DagException("Could not generate query for nodeid " + std::to_string(requested), 1307);
}

// Table, query and ML query nodes show their own query, whatever the option.
bool showsOwnQuery(const Node &node) {
  const std::string_view type = node.argTypeRef();
  return type == "table" || type == "query" || type == "ml_query";
}

// Name, query and id of every node of `path`, in path order. A node without
// query fails, naming the node that was asked for.
QueryViewList collectQueries(DAG &dag, const DAG::Path &path, bool mlAsTable, nodeid_t requested) {
  QueryViewList list;
  list.reserve(path.size());
  for (nodeid_t id : path) {
    std::string name;
    std::string query = dag.getExecQuery(id, name, mlAsTable);
    if (query.empty()) failQueryOf(requested);
    list.push_back(QueryViewEntry{std::move(name), std::move(query), id});
  }
  return list;
}

// The list-to-map step: the first `count` entries of `list` (never more
// than it holds) as parallel arrays handed to the multimap builder, which
// only reads them.
ViewQueryMap viewMapOf(const QueryViewList &list, size_t count) {
  const size_t n = std::min(count, list.size());
  std::vector<char *> names(n), queries(n);
  std::vector<long> ids(n);
  for (size_t i = 0; i < n; ++i) {
    names[i] = const_cast<char *>(list[i].name.c_str());
    queries[i] = const_cast<char *>(list[i].query.c_str());
    ids[i] = static_cast<long>(list[i].nodeid);
  }
  return Utils::make_view_queryMultiMap(names.data(), queries.data(), ids.data(),
                                        static_cast<int>(n));
}


// The list of queries and views of the node's path for `mlAsTable`: the
// node's stored list when it holds at least `pathSize` entries, else one
// collected (a stored list shorter than the path: nodes of the path were
// set back to not executed) and stored for `mlAsTable` false. Returns the
// node's stored list, or fills `fresh`.
const QueryViewList &queriesAndViews(DAG &dag, nodeid_t nodeid, bool mlAsTable,
                                     QueryViewList &fresh, size_t pathSize = 0) {
  if (!dag.existsDAGNodePath(nodeid, mlAsTable))
    throw DagException(
        "DAGPath is not generated or does not exist for nodeid " + std::to_string(nodeid), 1305);
  Node *node = requireNode(dag, nodeid);
  const QueryViewList &stored = node->queriesAndViewsRef();
  if (!stored.empty() && stored.size() >= pathSize) return stored;
  fresh = collectQueries(dag, dag.dagPathRef(nodeid, mlAsTable), mlAsTable, nodeid);
  if (mlAsTable) return fresh;
  node->setListofQueriesandViews(std::move(fresh));
  return node->queriesAndViewsRef();
}

// The resolution of a path's list: the fast resolver reads the list in
// place; otherwise (or for an empty list, which the list-to-map step
// refuses) the list is laid out as a map first.
dfq::ResolvedQueries resolveList(DAG &dag, nodeid_t nodeid, const QueryViewList &list,
                                 size_t count) {
  if (count > 0 && !dfq::useLiteralResolver)
    if (std::optional<dfq::ResolvedQueries> resolved =
            dfq::fastResolve(dag, nodeid, list, count))
      return std::move(*resolved);
  return dfq::resolve(dag, nodeid, viewMapOf(list, count));
}

void copyInto(char **buffers, size_t i, const std::string &text) {
  if (buffers != nullptr) Utils::copyToBuffer(text, buffers[i]);
}

// The text of a list entry: a show query, or the query of a statement or
// of a path's node.
const std::string &textOf(const std::string &text) { return text; }
template <class Entry>
const std::string &textOf(const Entry &entry) {
  return entry.query;
}

template <class List>
void writeLengths(int *lengths, const List &list) {
  if (lengths == nullptr) return;
  for (size_t i = 0; i < list.size(); ++i) lengths[i] = static_cast<int>(textOf(list[i]).size() + 1);
}

// The queries of a list; a list passed as an rvalue gives its texts up.
template <class List>
std::vector<std::string> queriesOf(List &&list) {
  std::vector<std::string> texts;
  texts.reserve(list.size());
  for (auto &entry : list) {
    if constexpr (std::is_rvalue_reference_v<List &&>)
      texts.push_back(std::move(entry.query));
    else
      texts.push_back(entry.query);
  }
  return texts;
}

// ---- ML hand-overs ------------------------------------------------------

// A statement list that statements are merged into: a statement whose
// query already occurs is moved to the end instead of being repeated. The
// queries' hashes, counted at the first merge, tell in constant time
// whether one may occur.
class MergedList {
 public:
  explicit MergedList(ExecQueryList statements) : list(std::move(statements)) {}

  void add(const ExecQueryEntry &statement) {
    if (!hashed) {
      for (const ExecQueryEntry &s : list) ++hashes[hashOf(s)];
      hashed = true;
    }
    const size_t hash = hashOf(statement);
    if (hashes.count(hash) != 0) dropEarlierOccurrence(statement);
    list.push_back(statement);
    ++hashes[hash];
  }

  void add(const ExecQueryList &statements) {
    for (const ExecQueryEntry &statement : statements) add(statement);
  }

  ExecQueryList take() { return std::move(list); }

 private:
  static size_t hashOf(const ExecQueryEntry &s) { return std::hash<std::string>()(s.query); }

  // The first statement with the same query goes, with every copy of it.
  void dropEarlierOccurrence(const ExecQueryEntry &statement) {
    const auto same = std::find_if(list.begin(), list.end(), [&](const ExecQueryEntry &e) {
      return e.query == statement.query;
    });
    if (same == list.end()) return;
    const ExecQueryEntry duplicate = *same;
    const size_t before = list.size();
    list.erase(std::remove(list.begin(), list.end(), duplicate), list.end());
    const auto counted = hashes.find(hashOf(duplicate));
    counted->second -= before - list.size();
    if (counted->second == 0) hashes.erase(counted);
  }

  ExecQueryList list;
  bool hashed = false;
  std::unordered_map<size_t, size_t> hashes;  // query hash -> statements
};

// Merges the statements stored on `id`, which are then generated afresh
// next time unless the host has run them meanwhile.
void mergeStored(DagBuilder &builder, DAG &dag, nodeid_t id, MergedList &result) {
  Node *node = requireNode(dag, id);
  result.add(node->execQueriesRef());
  if (!builder.dfqIsNodeExecuted(id)) {
    node->setListofExecQueries({});
    node->setListofQueriesandViews({});
  }
}

// One step of placing the ML hand-overs after the resolved statements: an
// ML query to merge, or a node whose statements are merged (generated
// first unless it is executed).
struct MergeStep {
  bool mlQuery = false;
  ExecQueryEntry statement;  // of an ML query
  nodeid_t node = 0;         // otherwise
};

// Each ML query, then its ML node's inputs that are not executed, in input
// order, then the nodes it depends on; a node that is both such an input
// and a dependency is merged once, as an input.
std::vector<MergeStep> mergeStepsOf(DagBuilder &builder, DAG &dag,
                                    const std::vector<dfq::MlHandOver> &handOvers) {
  std::vector<MergeStep> steps;
  for (const dfq::MlHandOver &handOver : handOvers) {
    steps.push_back(MergeStep{true, handOver.statement, 0});
    std::unordered_set<nodeid_t> inputs;
    for (nodeid_t input : requireNode(dag, handOver.mlNode)->getInputEdgeNodes())
      if (!builder.dfqIsNodeExecuted(input) && inputs.insert(input).second)
        steps.push_back(MergeStep{false, {}, input});
    for (nodeid_t dependency :
         requireNode(dag, handOver.rootId)->getNodeidsIncaseofMultipleQueries())
      if (inputs.count(dependency) == 0)
        steps.push_back(MergeStep{false, {}, dependency});
  }
  return steps;
}

// The resolved statements followed by the ML hand-overs, so that a host
// creating them from the last to the first creates every ML query's inputs
// and dependencies before the ML query, and the ML query before the
// statements that read its outputs.
ExecQueryList withMlHandOver(DagBuilder &builder, DAG &dag, dfq::ResolvedQueries resolved) {
  if (resolved.handOvers.empty()) return std::move(resolved.statements);
  MergedList result(std::move(resolved.statements));
  for (const MergeStep &step : mergeStepsOf(builder, dag, resolved.handOvers)) {
    if (step.mlQuery) {
      result.add(step.statement);
    } else {
      if (!builder.dfqIsNodeExecuted(step.node)) builder.dfqGenerateExecQueries(step.node);
      mergeStored(builder, dag, step.node, result);
    }
  }
  return result.take();
}

// The generation of one node's statements: its resolved statements and the
// merge steps still to take.
struct Generation {
  nodeid_t node = 0;
  MergedList result{{}};
  std::vector<MergeStep> steps;
  size_t next = 0;            // the step to take next
  bool stepStarted = false;   // its node is being generated
  std::vector<SplicedStatement> spliced;  // the statements written from their nodes
};

// A path written as a nested chain of its nodes (dfq::nodeChainOf) needs no
// list of queries and views: taken when no list is stored on the node and
// composing the list would write no records.
bool writesAsNodeChain(const Node &node) {
  return !dfq::useLiteralResolver && node.queriesAndViewsRef().empty() &&
         !log_would_write(LOG_DEBUG) && !log_would_write(LOG_TRACE);
}

// Resolves `nodeid`, whose path is generated, into `generation`; false when
// the node holds statements already.
bool startGeneration(DagBuilder &builder, DAG &dag, nodeid_t nodeid, Generation &generation) {
  Node *node = requireNode(dag, nodeid);
  const size_t pathSize = static_cast<size_t>(builder.dfqGetDagPathVecSize(nodeid));
  generation.node = nodeid;
  if (writesAsNodeChain(*node)) {
    if (node->execQueryCount() != 0) return false;
    std::vector<SplicedStatement> chain = dag.form() == dfq::Form::Cte
                                              ? dfq::cteChainOf(dag, nodeid, pathSize)
                                              : dfq::nodeChainOf(dag, nodeid, pathSize);
    if (!chain.empty()) {
      reseedFromClock();  // as composing the path's queries would
      ExecQueryList statements;
      for (const SplicedStatement &statement : chain) {
        const Node &root = *statement.root();
        const nodeid_t id = root.getNodeid();
        statements.push_back(ExecQueryEntry{
            "", Utils::quotedName(root.getOutputTable(), root.getOutputSchema()),
            dag.getQueryType(id), std::to_string(id)});
      }
      generation.result = MergedList(std::move(statements));
      generation.spliced = std::move(chain);
      return true;
    }
  }
  QueryViewList unused;
  const QueryViewList &list = DFQ_INNER_FRAME([&]() -> const QueryViewList & {
    return queriesAndViews(dag, nodeid, false, unused, pathSize);
  });
  if (node->execQueryCount() != 0) return false;
  dfq::ResolvedQueries resolved = resolveList(dag, nodeid, list, pathSize);
  generation.result = MergedList(std::move(resolved.statements));
  generation.steps = mergeStepsOf(builder, dag, resolved.handOvers);
  return true;
}

}  // namespace

// ---- lists of queries and views -------------------------------------------


QueryViewList DagBuilder::dfqGetListofQueriesandViews(nodeid_t nodeid, bool mlAsTable) {
  return DFQ_INNER_FRAME([&] {
    QueryViewList fresh;
    const QueryViewList &list = queriesAndViews(*checkDagInstance(), nodeid, mlAsTable, fresh);
    return &list == &fresh ? std::move(fresh) : list;
  });
}

// ---- executable statements ---------------------------------------------

ExecQueryList DagBuilder::getResolvedandSplitQueries(nodeid_t nodeid, ViewQueryMap map) {
  DAG *dag = checkDagInstance();
  return withMlHandOver(*this, *dag, dfq::resolve(*dag, nodeid, std::move(map)));
}

// The nodes whose statements an ML hand-over merges are generated on an
// explicit stack, in the order in which generating each of them in turn
// from within the merge would reach them: a node waits while the node of
// its current merge step is generated, and then merges its statements.
int DagBuilder::dfqGenerateExecQueries(nodeid_t nodeid) {
  DAG *dag = checkDagInstance();
  dag->genDAGPath(nodeid, false);
  return DFQ_INNER_FRAME([&] {
    std::vector<Generation> pending;
    std::unordered_set<nodeid_t> waiting;  // the nodes of `pending` with merge steps
    const auto generate = [&](nodeid_t id) {
      Generation generation;
      if (!startGeneration(*this, *dag, id, generation)) return;
      if (!generation.steps.empty()) waiting.insert(id);
      pending.push_back(std::move(generation));
    };
    generate(nodeid);
    while (!pending.empty()) {
      Generation &current = pending.back();
      if (current.next == current.steps.size()) {
        requireNode(*dag, current.node)
            ->setListofExecQueries(current.result.take(), std::move(current.spliced));
        waiting.erase(current.node);
        pending.pop_back();
        continue;
      }
      MergeStep &step = current.steps[current.next];
      if (step.mlQuery) {
        current.result.add(step.statement);
        ++current.next;
        continue;
      }
      if (!current.stepStarted && !dfqIsNodeExecuted(step.node)) {
        current.stepStarted = true;
        // A node needed again while its statements are being generated
        // depends on itself.
        if (waiting.count(step.node) != 0) throw DagException("DAG has a cycle", 1217);
        const nodeid_t id = step.node;
        dag->genDAGPath(id, false);
        generate(id);
        continue;  // `current` may have moved
      }
      mergeStored(*this, *dag, step.node, current.result);
      current.stepStarted = false;
      ++current.next;
    }
    return static_cast<int>(requireNode(*dag, nodeid)->execQueryCount());
  });
}

int DagBuilder::dfqGetDagPathVecSize(nodeid_t nodeid) {
  return static_cast<int>(checkDagInstance()->dagPathRef(nodeid, false).size());
}

void DagBuilder::dfqGetExecQuerySize(nodeid_t nodeid, int * /*unused*/, int *queryLengths) {
  DFQ_INNER_FRAME([&] {
    const Node *node = requireNode(*checkDagInstance(), nodeid);
    if (node->execQueryCount() == 0)
      throw DagException("Queries are not generated for nodeid " + std::to_string(nodeid), 1309);
    if (queryLengths == nullptr) return;
    for (size_t i = 0; i < node->execQueryCount(); ++i)
      queryLengths[i] = static_cast<int>(node->execQuerySize(i) + 1);
  });
}

void DagBuilder::dfqGetExecQuery(nodeid_t nodeid, int count, char **queries, char **names,
                                 char **queryTypes, char **nodeids) {
  DFQ_INNER_FRAME([&] {
    const Node *node = requireNode(*checkDagInstance(), nodeid);
    if (node->execQueryCount() == 0)
      throw DagException("Queries are not generated for nodeid " + std::to_string(nodeid), 1308);
    // The statement entries without their texts, which are written in place.
    const ExecQueryList &statements = node->statementsAsKept();
    // Never more than the host has buffers for.
    const size_t copies = std::min(statements.size(), static_cast<size_t>(std::max(count, 0)));
    for (size_t i = 0; i < copies; ++i) {
      if (queries != nullptr) node->writeExecQuery(i, queries[i]);
      copyInto(names, i, statements[i].name);
      copyInto(queryTypes, i, statements[i].queryType);
      copyInto(nodeids, i, statements[i].nodeid);
    }
  });
}

// ---- show query -----------------------------------------------------------

ExecQueryList DagBuilder::dfqGenerateShowQuery(nodeid_t nodeid) {
  DAG *dag = checkDagInstance();
  dag->genDAGPath(nodeid, true);
  return DFQ_INNER_FRAME([&] {
    Node *node = requireNode(*dag, nodeid);
    const size_t pathSize = dag->getDAGPath(nodeid, true).size();
    QueryViewList fresh;
    const QueryViewList &list = queriesAndViews(*dag, nodeid, true, fresh, pathSize);
    ExecQueryList statements =
        withMlHandOver(*this, *dag, resolveList(*dag, nodeid, list, pathSize));
    node->setListOfShowQueries(statements);
    return statements;
  });
}

nodeid_t DagBuilder::hasMLQueryNode(nodeid_t nodeid) {
  return DFQ_INNER_FRAME([&] {
    DAG *dag = checkDagInstance();
    dag->genDAGPath(nodeid, false);
    for (nodeid_t id : dag->getDAGPath(nodeid, false)) {
      const Node *node = dag->getNode(id);
      if (node != nullptr && node->argTypeRef() == "ml_query") return id;
    }
    return nodeid_t{0};
  });
}

namespace {

std::string ownShowQuery(DAG &dag, nodeid_t nodeid) {
  std::string name;
  return dag.getExecQuery(nodeid, name, true);
}

// Option 2: the own query of every node of the full path.
QueryViewList fullPathQueries(DAG &dag, nodeid_t nodeid) {
  return collectQueries(dag, dag.getFullDAGPath(nodeid, false), false, nodeid);
}

void requireShowRequest(nodeid_t nodeid, int option, const char *operation, int idCode,
                        int optionCode) {
  if (nodeid < 1)
    throw DagException(std::string("Invalid input nodeid for ") + operation + " operation", idCode);
  DFQ_TRACE("processing %s", operation);
  if (option < 1 || option > 3)
    throw DagException(std::string("Invalid option for ") + operation + " operation", optionCode);
}

}  // namespace

void DagBuilder::dfqShowQueryLength(nodeid_t nodeid, int option, int *lengths) {
  DFQ_INNER_FRAME([&] {
    DAG *dag = checkDagInstance();
    requireShowRequest(nodeid, option, "dfqShowQueryLength", 1325, 1329);
    Node *node = requireNode(*dag, nodeid);
    if (showsOwnQuery(*node)) {
      writeLengths(lengths, std::vector<std::string>{ownShowQuery(*dag, nodeid)});
      return;
    }
    if (option == 1) {
      if (hasMLQueryNode(nodeid) != 0) {
        writeLengths(lengths, dfqGenerateShowQuery(nodeid));
        return;
      }
      if (!dfqIsNodeExecuted(nodeid)) dfqGenerateExecQueries(nodeid);
      writeLengths(lengths, node->execQueriesRef());
    } else if (option == 2) {
      writeLengths(lengths, queriesOf(fullPathQueries(*dag, nodeid)));
    } else {
      writeLengths(lengths, node->queriesWithRefToTopNodeRef());
    }
  });
}

void DagBuilder::dfqShowQuery(nodeid_t nodeid, int option, char **queries, char **nodeids) {
  DFQ_INNER_FRAME([&] {
    DAG *dag = checkDagInstance();
    requireShowRequest(nodeid, option, "dfqShowQuery", 1324, 1328);
    Node *node = requireNode(*dag, nodeid);
    if (showsOwnQuery(*node)) {
      copyInto(queries, 0, ownShowQuery(*dag, nodeid));
      return;
    }
    std::vector<std::string> texts;
    if (option == 1) {
      // Copies what the length request generated; generates nothing.
      if (hasMLQueryNode(nodeid) != 0) {
        texts = queriesOf(node->showQueriesRef());
      } else {
        texts = queriesOf(node->execQueriesRef());
        // The next length request of a node not executed generates afresh.
        if (!dfqIsNodeExecuted(nodeid)) {
          node->setListofExecQueries({});
          node->setListofQueriesandViews({});
        }
      }
    } else if (option == 2) {
      const QueryViewList list = fullPathQueries(*dag, nodeid);
      for (size_t k = 0; k < list.size(); ++k) copyInto(nodeids, k, std::to_string(list[k].nodeid));
      texts = queriesOf(list);
    } else {
      texts = node->queriesWithRefToTopNodeRef();
    }
    for (size_t i = 0; i < texts.size(); ++i) copyInto(queries, i, texts[i]);
  });
}

// ---- statements against the top node --------------------------------------

int DagBuilder::dfqGenerateQuerieswithRefToTopnode(nodeid_t nodeid) {
  DAG *dag = checkDagInstance();
  Node *node = requireNode(*dag, nodeid);
  if (!node->queriesWithRefToTopNodeRef().empty())
    return static_cast<int>(node->queriesWithRefToTopNodeRef().size());
  if (showsOwnQuery(*node)) return 1;
  dfqGenFullDAGPath(nodeid, true);
  const QueryViewList list = collectQueries(*dag, dag->getFullDAGPath(nodeid, true), true, nodeid);
  ExecQueryList statements =
      withMlHandOver(*this, *dag, resolveList(*dag, nodeid, list, list.size()));
  const int count = static_cast<int>(statements.size());
  node->setQuerywithreftoTopNode(queriesOf(std::move(statements)));
  return count;
}

int DagBuilder::dfqGenFullDAGPath(nodeid_t nodeid, bool mlAsTable) {
  return checkDagInstance()->genFullDAGPath(nodeid, mlAsTable);
}
