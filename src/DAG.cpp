#define DFQ_LOG_UNIT "../src/DAG"
#include "DAG.h"

#include <algorithm>
#include <cstdio>
#include <unordered_set>

#include "DagException.h"
#include "Utils.h"
#include "log.h"

namespace {

std::string missingNode(nodeid_t id) { return "DAG entry does not exist for nodeid " + std::to_string(id); }

}  // namespace

DAG::DAG() = default;

DAG::DAG(std::string user_, std::string initArg2_, int logLevel_, std::string initArg3_) {
  DFQ_INNER_FRAME([&] {
    user = std::move(user_);
    initArg2 = std::move(initArg2_);
    if (logLevel_ < 0 || logLevel_ > 5) {
      DFQ_DEBUG("log Level set to %d", logLevel_);
      throw DagException("Invalid log level:" + std::to_string(logLevel_), 1201);
    }
    logLevel = logLevel_;
    log_set_level(logLevel_);
    DFQ_DEBUG("log Level set to %d", logLevel_);
    if (!initArg3_.empty()) initArg3 = std::move(initArg3_);
  });
}

DAG::~DAG() {
  nodeMap.forEach([](Node *node) { node->~Node(); });
}

Node *DAG::requireNode(nodeid_t id, int code) const {
  Node *node = getNode(id);
  if (node == nullptr) throw DagException(missingNode(id), code);
  return node;
}

nodeid_t DAG::addNode(std::string_view argType, std::string_view argName,
                      std::string_view argValue, std::string_view outputTable,
                      std::string_view outputSchema, std::string_view functionName, int nodeType,
                      int numInputs, nodeid_t *inputIds) {
  DFQ_TRACE("Entering addNode.......");
  std::string_view carriedGroupby;
  std::string carriedGroupbytime, carriedGroupbytimeColumns;
  DFQ_TRACE("Allocating inputEdgeNodesRefVec.......");
  Node *single = nullptr;
  std::vector<Node *> several(numInputs > 1 ? numInputs : 0, nullptr);
  Node **inputs = numInputs > 1 ? several.data() : &single;
  return DFQ_INNER_FRAME([&] {
    for (int i = 0; i < numInputs; ++i) {
      DFQ_DEBUG("%s", ("Checking input edge node " + std::to_string(inputIds[i])).c_str());
      Node *input = getNode(inputIds[i]);
      if (input == nullptr)
        throw DagException("Input edge nodeid " + std::to_string(inputIds[i]) + " does not exist",
                           1202);
      if (input->argTypeRef() == "orderby")
        throw DagException("Cannot perform transformations on \"orderby\" input", 1203);
      inputs[i] = input;
      // An aggregate ends the grouping: nothing is carried from it.
      if (input->argTypeRef() != "aggregate") {
        carriedGroupby = input->groupbyRef();
        carriedGroupbytime = input->getGroupbytime();
        carriedGroupbytimeColumns = input->getGroupbytimeColumns();
      }
    }
    DFQ_DEBUG("Collection of input edge nodes complete");
    DFQ_TRACE("Creating Node.......");
    Node *node = Node::make(arena, argType, argName, argValue, outputTable, outputSchema,
                            functionName, nodeType, numInputs, inputs, carriedGroupby);
    // Ids come from the clock and rand() and may repeat: draw again rather
    // than replace a node of the graph.
    try {
      if (!carriedGroupbytime.empty()) node->updateGroupbytime(carriedGroupbytime);
      if (!carriedGroupbytimeColumns.empty())
        node->updateGroupbytimeColumns(carriedGroupbytimeColumns);
      while (existsNodeid(node->getNodeid())) node->drawNewId();
      const nodeid_t id = node->getNodeid();
      nodeMap.insert(node);
      DFQ_TRACE("Exiting addNode.......");
      return id;
    } catch (...) {
      node->~Node();  // its arena memory goes with the graph
      throw;
    }
  });
}

void DAG::printDAG() const {
  nodeMap.forEach([](const Node *node) { node->printNode(); });
}

// ---- forwarding operations ---------------------------------------------

void DAG::updateInputEdgeAsReference(nodeid_t id) {
  DFQ_INNER_FRAME([&] { requireNode(id, 1210)->updateInputEdgeAsReference(); });
}

void DAG::getTablename(nodeid_t id, std::string &table, std::string &schema) {
  DFQ_INNER_FRAME([&] { requireNode(id, 1211)->getTablename(table, schema); });
}

void DAG::getSourceTablename(nodeid_t id, std::string &table, std::string &schema) {
  DFQ_INNER_FRAME([&] {
    Node *node = requireNode(id, 1211);
    node->getTablename(table, schema);
    if (table.empty()) node->getSourceTablename(table);
  });
}

void DAG::updateInputEdgeDetails(nodeid_t id, const std::string *aliases, std::string columns) {
  DFQ_INNER_FRAME(
      [&] { requireNode(id, 1212)->updateInputEdgeDetails(aliases, std::move(columns)); });
}

void DAG::updateInputEdgeDetails(nodeid_t id, const std::string *columns) {
  DFQ_INNER_FRAME([&] { requireNode(id, 1212)->updateInputEdgeDetails(columns); });
}

void DAG::updateInputEdgeDetails(nodeid_t id, bool drop) {
  DFQ_INNER_FRAME([&] { requireNode(id, 1212)->updateInputEdgeDetails(drop); });
}

void DAG::updateInputEdgeDetails(nodeid_t id, bool hasPrefix, std::string prefix) {
  DFQ_INNER_FRAME(
      [&] { requireNode(id, 1212)->updateInputEdgeDetails(hasPrefix, std::move(prefix)); });
}

void DAG::updateInputEdgeDetails(nodeid_t id, std::string fractions, bool withReplacement,
                                 bool randomizedAllocation, const std::string *when,
                                 const std::string *then, std::string elseValue, int count) {
  DFQ_INNER_FRAME([&] {
    requireNode(id, 1212)->updateInputEdgeDetails(std::move(fractions), withReplacement,
                                                  randomizedAllocation, when, then,
                                                  std::move(elseValue), count);
  });
}

void DAG::updateInputNodeidsIncaseofMultipleQueries(nodeid_t id, std::vector<nodeid_t> ids) {
  DFQ_INNER_FRAME(
      [&] { requireNode(id, 1212)->updateNodeidsIncaseofMultipleQueries(std::move(ids)); });
}

void DAG::updateNumOutputs(nodeid_t id, int n) {
  DFQ_INNER_FRAME([&] { requireNode(id, 1215)->updateNumOutputs(n); });
}

std::string DAG::getGroupbyExpr(nodeid_t id) {
  return DFQ_INNER_FRAME([&] { return requireNode(id, 1216)->getGroupby(); });
}

std::vector<nodeid_t> DAG::getParentNodeIds(nodeid_t id) {
  return DFQ_INNER_FRAME([&] { return requireNode(id, 1218)->getInputEdgeNodes(); });
}

int DAG::getNumberOfInputEdges(nodeid_t id) {
  return DFQ_INNER_FRAME([&] { return requireNode(id, 1219)->getNumEdges(); });
}

// ---- traversal -----------------------------------------------------------

bool DAG::isInDagPath(nodeid_t id) const {
  const Node *node = getNode(id);
  return node != nullptr && isListed(*node);
}

// Depth-first walk from `start` through the inputs, on an explicit stack so
// that long chains cannot exhaust the call stack. A node is listed once all
// its inputs are done, in front of what was listed before it: consumers come
// first, and ancestors reached through a later input precede those reached
// through an earlier one.
void DAG::visit(Node *start, bool mlAsTable, bool full) {
  std::vector<WalkFrame> &stack = walkStack;
  std::vector<Node *> &finished = walkFinished;
  stack.clear();
  finished.clear();

  auto publish = [&] {
    Path &path = full ? fullDagPath : dagPath;
    const size_t listed = finished.size();
    path.insert(path.begin(), listed, 0);
    for (size_t k = 0; k < listed; ++k) path[k] = finished[listed - 1 - k]->getNodeid();
    finished.clear();
  };
  auto enter = [&](Node *node) {
    if (node == nullptr || stopsWalk(node, mlAsTable, full)) return;
    if (markOf(node) == IN_PROGRESS) throw DagException("DAG has a cycle", 1217);
    setMark(node, IN_PROGRESS);
    stack.push_back({node, 0});
  };

  try {
    enter(start);
    while (!stack.empty()) {
      WalkFrame &top = stack.back();
      if (top.nextInput < top.node->getNumEdges()) {
        Node *input = top.node->inputAt(top.nextInput++);
        enter(input);
        continue;
      }
      Node *node = top.node;
      stack.pop_back();
      setMark(node, VISITED);
      if (node->getNumEdges() <= 0) continue;
      finished.push_back(node);
      if (!full) node->setListedEpoch(dagPathEpoch);
    }
  } catch (...) {
    publish();
    throw;
  }
  publish();
}

void DAG::resetVisit(Node *node) {
  // Each reachable node once, however many routes lead to it.
  std::vector<Node *> stack{node};
  std::unordered_set<Node *> seen{node};
  while (!stack.empty()) {
    Node *current = stack.back();
    stack.pop_back();
    for (Node *input : current->getInputEdgeNodesRefVec())
      if (input && seen.insert(input).second) stack.push_back(input);
    setMark(current, NOT_VISITED);
  }
}

// Resetting every mark reachable from the node is the same, for any walk
// from it, as starting a new epoch in which no earlier mark counts; the
// epoch costs nothing however much of the graph lies behind the node.
void DAG::clearDAGPath(nodeid_t id) {
  if (getNode(id) != nullptr) ++walkEpoch;
}

void DAG::tracePath(nodeid_t id, const Path &path) const {
  if (logLevel != 0) return;
  DFQ_TRACE("*********************************\n");
  DFQ_TRACE("dagPath for nodeid: %lld\n", static_cast<long long>(id));
  for (nodeid_t entry : path) DFQ_TRACE("->%lld", static_cast<long long>(entry));
  DFQ_TRACE("*********************************\n");
}

int DAG::genDAGPath(nodeid_t id, bool mlAsTable) {
  return DFQ_INNER_FRAME([&] {
    Node *node = getNode(id);
    if (node == nullptr) throw DagException("DAG entry does not exist for nodeid", 1205);
    dagPath.clear();
    ++dagPathEpoch;
    clearDAGPath(id);
    visit(node, mlAsTable, false);
    if (!dagPath.empty()) {
      (mlAsTable ? dagPathMapMlAsTable : dagPathMap)[id] = dagPath;
      tracePath(id, dagPath);
    }
    return static_cast<int>(dagPath.size());
  });
}

int DAG::genFullDAGPath(nodeid_t id, bool mlAsTable) {
  return DFQ_INNER_FRAME([&] {
    Node *node = getNode(id);
    if (node == nullptr) throw DagException("DAG entry does not exist for nodeid", 1205);
    const Path &cached = fullDagPathMap[id];
    if (!cached.empty() && !mlAsTable) return static_cast<int>(cached.size());
    fullDagPath.clear();
    clearDAGPath(id);
    visit(node, mlAsTable, true);
    if (!fullDagPath.empty()) (mlAsTable ? fullDagPathMapMlAsTable : fullDagPathMap)[id] = fullDagPath;
    return static_cast<int>(fullDagPath.size());
  });
}

namespace {

const DAG::Path &cachedPath(DAG::PathMap &cache, nodeid_t id) {
  const DAG::Path &path = cache[id];
  if (path.empty())
    throw DagException("DagPath does not exist or NOT generated for nodeid" + std::to_string(id),
                       1206);
  return path;
}

}  // namespace

DAG::Path DAG::getDAGPath(nodeid_t id, bool mlAsTable) { return dagPathRef(id, mlAsTable); }

DAG::Path DAG::getFullDAGPath(nodeid_t id, bool mlAsTable) {
  return DFQ_INNER_FRAME([&]() -> const Path & {
    return cachedPath(mlAsTable ? fullDagPathMapMlAsTable : fullDagPathMap, id);
  });
}

const DAG::Path &DAG::dagPathRef(nodeid_t id, bool mlAsTable) {
  return DFQ_INNER_FRAME([&]() -> const Path & {
    return cachedPath(mlAsTable ? dagPathMapMlAsTable : dagPathMap, id);
  });
}

bool DAG::existsDAGNodePath(nodeid_t id, bool mlAsTable) const {
  return (mlAsTable ? dagPathMapMlAsTable : dagPathMap).count(id) != 0;
}

void DAG::printDAGPath(nodeid_t id) {
  DFQ_INNER_FRAME([&] {
    if (getNode(id) == nullptr) throw DagException("DAG entry does not exist for nodeid", 1204);
    printf("DAGPath:");
    std::vector<Node *> stack{getNode(id)};
    while (!stack.empty()) {
      Node *top = stack.back();
      stack.pop_back();
      if (top == nullptr) {
        printf("<-DAGPathBegin\n");
        continue;
      }
      Node *node = getNode(top->getNodeid());
      if (node == nullptr) throw DagException("DAG entry does not exist for nodeid", 1204);
      if (node->getNodeState() == 1 || node->getListedEpoch() == dagPathEpoch) {
        stack.push_back(nullptr);
        continue;
      }
      const Node *input = node->firstInput();
      if (node->hasReferenceNode() && input && input->getNodeState() == 1) {
        node->updateNodeState(1);
        stack.push_back(nullptr);
        continue;
      }
      printf("<-%lld ", static_cast<long long>(node->getNodeid()));
      const std::vector<Node *> inputs = node->getInputEdgeNodesRefVec();
      if (inputs.empty()) stack.push_back(nullptr);
      for (auto it = inputs.rbegin(); it != inputs.rend(); ++it) stack.push_back(*it);
    }
    fflush(stdout);
  });
}

// ---- state and query type ------------------------------------------------

void DAG::updateNodeState(nodeid_t id, int state) {
  DFQ_INNER_FRAME([&] {
    Node *node = requireNode(id, 1208);
    node->updateNodeState(state);
    // Marking an output node of an ML query marks the ML query node too.
    if (queryTypeOf(*node) == "reference") {
      Node *input = node->firstInput();
      if (input) {
        const std::string_view inputType = queryTypeOf(*input);
        if (inputType == "ml_query_multi_output" || inputType == "ml_query_single_output")
          input->updateNodeState(state);
      }
    }
  });
}

int DAG::getNodeState(nodeid_t id) {
  return DFQ_INNER_FRAME([&] {
    Node *node = requireNode(id, 1209);
    const Node *input = node->firstInput();
    if (node->hasReferenceNode() && node->getNodeState() == 0 && input &&
        input->getNodeState() == 1)
      node->updateNodeState(1);
    return node->getNodeState();
  });
}

namespace {
const std::string kReferenceType = "reference";
const std::string kSingleOutputType = "ml_query_single_output";
const std::string kMultiOutputType = "ml_query_multi_output";
}  // namespace

std::string_view DAG::queryTypeOf(const Node &node) {
  if (!node.isMlQuery()) return node.argTypeRef();
  if (node.hasReferenceNode()) return kReferenceType;
  return node.getNodeNumOutputs() < 2 ? kSingleOutputType : kMultiOutputType;
}

std::string DAG::getQueryType(nodeid_t id) {
  return DFQ_INNER_FRAME([&] { return std::string(queryTypeOf(*requireNode(id, 1214))); });
}

std::string DAG::getExecQuery(nodeid_t id, std::string &tablename, bool mlAsTable) {
  return DFQ_INNER_FRAME([&] {
    Node *node = requireNode(id, 1207);
    std::string query = node->getExecQuery(tablename, mlAsTable);
    traceQuery(query, tablename);
    return query;
  });
}

void DAG::traceQuery(const std::string &query, const std::string &tablename) const {
  if (logLevel != 0) return;
  DFQ_TRACE("qry:%s", query.c_str());
  DFQ_TRACE("tablename:%s", tablename.c_str());
}
