// The graph: owns every node, adds nodes by the input rules, walks a node's
// ancestors into cached execution paths and keeps execution state.
#ifndef DFQ_DAG_H
#define DFQ_DAG_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Dialect.h"
#include "FlatMap.h"
#include "Node.h"
#include "dfqCommon.h"

class DAG {
 public:
  using Path = std::vector<nodeid_t>;
  using PathMap = std::unordered_map<nodeid_t, Path>;

  DAG();
  DAG(std::string user, std::string initArg2, int logLevel, std::string initArg3);
  virtual ~DAG();
  DAG(const DAG &) = delete;
  DAG &operator=(const DAG &) = delete;

  nodeid_t addNode(std::string_view argType, std::string_view argName, std::string_view argValue,
                   std::string_view outputTable, std::string_view outputSchema,
                   std::string_view functionName, int nodeType, int numInputs,
                   nodeid_t *inputIds);
  Node *getNode(nodeid_t id) const { return nodeMap.find(id); }
  bool existsNodeid(nodeid_t id) const { return getNode(id) != nullptr; }
  size_t nodeCount() const { return nodeMap.size(); }
  void printDAG() const;

  // Forwarding operations: look the node up (absent: their own code).
  void updateInputEdgeAsReference(nodeid_t id);
  void getTablename(nodeid_t id, std::string &table, std::string &schema);
  void getSourceTablename(nodeid_t id, std::string &table, std::string &schema);
  void updateInputEdgeDetails(nodeid_t id, const std::string *aliases, std::string columns);
  void updateInputEdgeDetails(nodeid_t id, const std::string *columns);
  void updateInputEdgeDetails(nodeid_t id, bool drop);
  void updateInputEdgeDetails(nodeid_t id, bool hasPrefix, std::string prefix);
  void updateInputEdgeDetails(nodeid_t id, std::string fractions, bool withReplacement,
                              bool randomizedAllocation, const std::string *when,
                              const std::string *then, std::string elseValue, int count);
  void updateInputNodeidsIncaseofMultipleQueries(nodeid_t id, std::vector<nodeid_t> ids);
  void updateNumOutputs(nodeid_t id, int n);
  std::string getGroupbyExpr(nodeid_t id);
  std::vector<nodeid_t> getParentNodeIds(nodeid_t id);
  int getNumberOfInputEdges(nodeid_t id);

  // Paths (consumers first; base nodes never listed).
  int genDAGPath(nodeid_t id, bool mlAsTable);
  int genFullDAGPath(nodeid_t id, bool mlAsTable);
  Path getDAGPath(nodeid_t id, bool mlAsTable);
  Path getFullDAGPath(nodeid_t id, bool mlAsTable);
  // The same path and failures without a copy; valid until the next
  // generation.
  const Path &dagPathRef(nodeid_t id, bool mlAsTable);
  bool existsDAGNodePath(nodeid_t id, bool mlAsTable) const;
  void removeDagPathMap(nodeid_t id) { dagPathMap.erase(id); }
  void visit(Node *node, bool mlAsTable, bool full);
  void clearDAGPath(nodeid_t id);
  void resetVisit(Node *node);
  bool isInDagPath(nodeid_t id) const;
  // True when the last walk of genDAGPath listed `node`.
  bool isListed(const Node &node) const { return node.getListedEpoch() == dagPathEpoch; }
  bool isNodeExecuted(Node *node) const {
    if (node->getNodeState() == 1) return true;
    if (isListed(*node)) return true;  // in the working path
    if (node->hasReferenceNode()) {
      const Node *input = node->firstInput();
      return input != nullptr && input->getNodeState() == 1;
    }
    return false;
  }
  void printDAGPath(nodeid_t id);

  // State and query type.
  void updateNodeState(nodeid_t id, int state);
  int getNodeState(nodeid_t id);
  std::string getQueryType(nodeid_t id);
  // The same, read in place: valid while the node is.
  static std::string_view queryTypeOf(const Node &node);
  std::string getExecQuery(nodeid_t id, std::string &tablename, bool mlAsTable);
  int getLogLevel() const { return logLevel; }
  const std::string &getUser() const { return user; }
  const std::string &getInitArg2() const { return initArg2; }
  const std::string &getInitArg3() const { return initArg3; }

  // The dialect the nodes' SQL is written in (the `dialect` option).
  dfq::Dialect dialect() const { return dialect_; }
  void setDialect(dfq::Dialect d) { dialect_ = d; }
  // The form statements are written in (the `form` option).
  dfq::Form form() const { return form_; }
  void setForm(dfq::Form f) { form_ = f; }
  template <class Visit>
  void forEachNode(Visit visit) const {
    nodeMap.forEach(visit);
  }

 private:
  Node *requireNode(nodeid_t id, int code) const;
  bool stopsWalk(Node *node, bool mlAsTable, bool full) const {
    if (markOf(node) == VISITED) return true;
    if (mlAsTable && node->argTypeRef() == "ml_query") return true;
    return !full && isNodeExecuted(node);
  }
  // The mark of `node` in the current walk: marks written before the last
  // clearDAGPath count as NOT_VISITED.
  Visit markOf(const Node *node) const {
    return node->getVisitEpoch() == walkEpoch ? node->getVisit() : NOT_VISITED;
  }
  void setMark(Node *node, Visit v) const { node->setVisit(v, walkEpoch); }
  void tracePath(nodeid_t id, const Path &path) const;
  void traceQuery(const std::string &query, const std::string &tablename) const;

  // Node ids to nodes: open addressing with linear probing over the nodes
  // themselves (a node's id is its key), laid out as a FlatMap of the same
  // ids would be, in a third of its memory.
  class NodeIndex {
   public:
    Node *find(nodeid_t id) const {
      if (slots.empty()) return nullptr;
      for (size_t i = hash(id) & mask();; i = (i + 1) & mask())
        if (slots[i] == nullptr || slots[i]->getNodeid() == id) return slots[i];
    }
    // The node's id must not be indexed yet.
    void insert(Node *node) {
      if ((count + 1) * 4 > slots.size() * 3) grow();
      place(node);
      ++count;
    }
    size_t size() const { return count; }
    template <class Visit>
    void forEach(Visit visit) const {
      for (Node *node : slots)
        if (node != nullptr) visit(node);
    }

   private:
    static size_t hash(nodeid_t id) { return dfq::MixHash()(static_cast<std::uint64_t>(id)); }
    size_t mask() const { return slots.size() - 1; }
    void place(Node *node) {
      size_t i = hash(node->getNodeid()) & mask();
      while (slots[i] != nullptr) i = (i + 1) & mask();
      slots[i] = node;
    }
    void grow() {
      std::vector<Node *> old(slots.empty() ? 16 : slots.size() * 2, nullptr);
      old.swap(slots);
      for (Node *node : old)
        if (node != nullptr) place(node);
    }
    std::vector<Node *> slots;
    size_t count = 0;
  };

  // Every node, with its texts and input lists, lives in the arena; the
  // index owns the nodes (destroyed with the graph).
  dfq::Arena arena;
  NodeIndex nodeMap;
  Path dagPath;
  unsigned dagPathEpoch = 1;  // nodes listed in dagPath carry it
  PathMap dagPathMap;
  Path fullDagPath;
  PathMap fullDagPathMap;
  PathMap dagPathMapMlAsTable;
  PathMap fullDagPathMapMlAsTable;
  std::string user = "user";
  std::string initArg2;
  int logLevel = 4;
  std::string initArg3;
  dfq::Dialect dialect_ = dfq::Dialect::Default;
  dfq::Form form_ = dfq::Form::Nested;
  unsigned walkEpoch = 1;
  // A walk's working lists, kept between walks for their memory.
  struct WalkFrame {
    Node *node;
    int nextInput;
  };
  std::vector<WalkFrame> walkStack;
  std::vector<Node *> walkFinished;  // in finishing order
};

#endif
