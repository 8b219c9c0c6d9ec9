// One operation of the graph: its arguments, its inputs, its execution
// state, the lists that query assembly caches on it, and the composition of
// its own SQL text (getExecQuery).
#ifndef DFQ_NODE_H
#define DFQ_NODE_H

#include <memory>
#include <string>
#include <vector>

#include "QueryLists.h"
#include "dfqCommon.h"
#include "log.h"

enum Visit { NOT_VISITED = 0, IN_PROGRESS = 1, VISITED = 2 };

class Node {
 public:
  Node(std::string argType, std::string argName, std::string argValue, std::string outputTable,
       std::string outputSchema, std::string functionName, int nodeType, int numNodesIn,
       nodeid_t *inputIds, std::vector<Node *> inputs);
  virtual ~Node() = default;

  nodeid_t getNodeid() const { return nodeid; }
  int getNumEdges() const { return numNodesIn; }
  std::vector<nodeid_t> getInputEdgeNodes() const;
  std::vector<Node *> getInputEdgeNodesRefVec() const;
  // First input, or null for a node without inputs.
  Node *firstInput() const { return numNodesIn > 0 ? input0 : nullptr; }
  std::string getNodeArgType() const;
  // The argType without the TRACE record, for the hot paths.
  const std::string &argTypeRef() const { return argType; }
  bool isMlQuery() const { return mlQueryNode; }
  int getNodeState() const { return nodeState; }
  void updateNodeState(int state) { nodeState = state; }
  bool hasReferenceNode() const { return isInputEdgeAsreference; }
  void updateInputEdgeAsReference() { isInputEdgeAsreference = true; }
  int getNodeNumOutputs() const { return numOutputs; }
  void updateNumOutputs(int n) { numOutputs = n; }
  Visit getVisit() const { return visit; }
  void setVisit(Visit v) { visit = v; }
  // The walk of the graph that wrote the mark (see DAG::clearDAGPath).
  unsigned getVisitEpoch() const { return visitEpoch; }
  void setVisit(Visit v, unsigned epoch) {
    visit = v;
    visitEpoch = epoch;
  }
  Node *inputAt(int i) const { return i == 0 ? input0 : inputEdgeNodesRefVec[i]; }
  // The walk that listed the node in the graph's working path.
  unsigned getListedEpoch() const { return listedEpoch; }
  void setListedEpoch(unsigned epoch) { listedEpoch = epoch; }
  void getTablename(std::string &table, std::string &schema) const;
  void getSourceTablename(std::string &table) const;
  const std::string &getArgName() const { return argName; }
  const std::string &getArgValue() const { return argValue; }
  const std::string &getOutputTable() const { return outputTable; }
  const std::string &getOutputSchema() const { return outputSchema; }
  const std::string &getFunctionName() const { return functionName; }
  int getNodeType() const { return nodeType; }

  std::string getGroupby() const { return groupby; }
  void updateGroupby(std::string s) {
    forgetComposedQueries();
    groupby = std::move(s);
  }
  std::string getGroupbytime() const { return extras ? extras->groupbytime : std::string(); }
  void updateGroupbytime(std::string s) { ensureExtras().groupbytime = std::move(s); }
  std::string getGroupbytimeColumns() const {
    return extras ? extras->groupbytimeColumns : std::string();
  }
  void updateGroupbytimeColumns(std::string s) { ensureExtras().groupbytimeColumns = std::move(s); }

  // Operation extras, set right after the node is added.
  void updateInputEdgeDetails(const std::string *aliases, std::string columns);  // join
  void updateInputEdgeDetails(const std::string *columns);                       // set operation
  void updateInputEdgeDetails(bool drop);                                        // assign
  void updateInputEdgeDetails(bool hasPrefix, std::string prefix);               // select
  void updateInputEdgeDetails(std::string fractions, bool withReplacement,
                              bool randomizedAllocation, const std::string *when,
                              const std::string *then, std::string elseValue,
                              int count);  // sample

  QueryViewList getListofQueriesandViews() const { return listofQueriesandViews; }
  void setListofQueriesandViews(QueryViewList l) { listofQueriesandViews = std::move(l); }
  ExecQueryList getListOfExecQueries() const { return listOfExecQueries; }
  void setListofExecQueries(ExecQueryList l) { listOfExecQueries = std::move(l); }
  std::vector<std::string> getQuerywithreftoTopNode() const { return queriesWithRefToTopNodeRef(); }
  void setQuerywithreftoTopNode(std::vector<std::string> l) {
    ensureExtras().querywithreftoTopNode = std::move(l);
  }
  std::vector<nodeid_t> getNodeidsIncaseofMultipleQueries() const {
    return extras ? extras->nodeidsIncaseofMultipleQueries : std::vector<nodeid_t>();
  }
  void updateNodeidsIncaseofMultipleQueries(std::vector<nodeid_t> l) {
    ensureExtras().nodeidsIncaseofMultipleQueries = std::move(l);
  }
  ExecQueryList getListOfShowQueries() const { return showQueriesRef(); }
  void setListOfShowQueries(ExecQueryList l) { ensureExtras().listOfShowQueries = std::move(l); }
  // Read-only views of the cached lists, without a copy.
  const QueryViewList &queriesAndViewsRef() const { return listofQueriesandViews; }
  const ExecQueryList &execQueriesRef() const { return listOfExecQueries; }
  const ExecQueryList &showQueriesRef() const { return extrasOrEmpty().listOfShowQueries; }
  const std::vector<std::string> &queriesWithRefToTopNodeRef() const {
    return extrasOrEmpty().querywithreftoTopNode;
  }

  // Read-only views of the operation extras (tests and tools).
  bool getDropExistingColumns() const { return extrasOrEmpty().dropExistingColumns; }
  bool getHasQueryPrefix() const { return extrasOrEmpty().hasQueryPrefix; }
  const std::string &getQueryPrefix() const { return extrasOrEmpty().queryPrefix; }
  const std::vector<std::string> &getInputAliases() const { return extrasOrEmpty().inputAliases; }
  const std::vector<std::string> &getInputColumns() const { return extrasOrEmpty().inputColumns; }
  const std::string &getSelectColumns() const { return extrasOrEmpty().selectColumns; }
  bool getWithReplacement() const { return extrasOrEmpty().withReplacement; }
  bool getRandomizedAllocation() const { return extrasOrEmpty().randomizedAllocation; }
  const std::string &getSampleFractions() const { return extrasOrEmpty().sampleFractions; }
  const std::vector<std::string> &getWhenConditions() const {
    return extrasOrEmpty().whenConditions;
  }
  const std::vector<std::string> &getThenValues() const { return extrasOrEmpty().thenValues; }
  const std::string &getElseValue() const { return extrasOrEmpty().elseValue; }
  int getCaseCount() const { return extrasOrEmpty().caseCount; }

  void printNode() const;

  // Draws a new id (used when the drawn one is already in the graph).
  void drawNewId();

  // The node's SQL text; on success `tablename` receives its qualified name.
  std::string getExecQuery(std::string &tablename, bool mlAsTable);
  // The same text, shared with the lists that name the node: composed once
  // and kept while the node's arguments stay as they are, except that it is
  // composed afresh whenever the records of a composition would be written.
  // Read in place until then.
  const dfq::SharedText &sharedQuery(bool mlAsTable) {
    const Composition::Query &kept = keptQuery(mlAsTable);
    if (!kept.held || log_would_write(LOG_DEBUG)) keepQuery(mlAsTable);
    return kept.text;
  }
  // The kept text and name when sharedQuery and sharedOutputName would
  // only read them; null when either would compose.
  const dfq::SharedText *keptTexts(bool mlAsTable, const dfq::SharedText **name) {
    const Composition::Query &kept = keptQuery(mlAsTable);
    if (!kept.held || !composition.outputNameKept || log_would_write(LOG_DEBUG)) return nullptr;
    *name = &composition.outputName;
    return &kept.text;
  }
  // Asks for the records of the texts kept from composing to be brought
  // into the cache ahead of a request that reads them; composes nothing.
  void prefetchKeptTexts(bool mlAsTable) const {
    composition.queries[mlAsTable].text.prefetch();
    composition.outputName.prefetch();
  }
  // Drops the kept compositions: the next request composes afresh.
  void forgetComposedQueries() {
    composition.queries[0].held = composition.queries[1].held = false;
  }

  // `"schema"."table"`, or the bare table when the schema is empty; worked
  // out once, since the output names never change.
  const std::string &qualifiedOutputName() const { return sharedOutputName().str(); }
  const dfq::SharedText &sharedOutputName() const {
    if (!composition.outputNameKept) keepOutputName();
    return composition.outputName;
  }

 private:
  struct QueryFrame;  // select list and input texts of one composition
  using Branch = std::string (Node::*)(const QueryFrame &);
  struct BranchEntry {
    const char *argType;
    Branch branch;
  };
  static const BranchEntry branches[];

  std::string inputText(int i) const;
  std::string tableQuery(const QueryFrame &);
  std::string freeQuery(const QueryFrame &);
  std::string mlQuery(const QueryFrame &);
  std::string selectQuery(const QueryFrame &);
  std::string filterQuery(const QueryFrame &);
  std::string assignQuery(const QueryFrame &);
  std::string groupingQuery(const QueryFrame &);
  std::string aggregateQuery(const QueryFrame &);
  std::string orderbyQuery(const QueryFrame &);
  std::string joinQuery(const QueryFrame &);
  std::string setopQuery(const QueryFrame &);
  std::string sampleQuery(const QueryFrame &);
  std::string portableSampleQuery(const QueryFrame &);

  // What every walk and every request reads comes first, in as few cache
  // lines as the fields allow.
  nodeid_t nodeid = 0;
  int nodeState = 0;
  int numNodesIn = 0;
  Visit visit = NOT_VISITED;
  unsigned visitEpoch = 0;
  unsigned listedEpoch = 0;
  bool isInputEdgeAsreference = false;
  bool mlQueryNode = false;  // argType is "ml_query"
  Node *input0 = nullptr;    // inputEdgeNodesRefVec[0], read here by walks
  std::string argType;

  // What composing the node's SQL works out once: the kept texts that
  // requests read, next to the fields above.
  struct Composition {
    struct Query {
      dfq::SharedText text;
      bool held = false;  // forgotten when an argument changes
    };
    Query queries[2];  // per value of mlAsTable, which only ML query nodes read
    dfq::SharedText outputName;  // qualifiedOutputName
    bool outputNameKept = false;
    const BranchEntry *branch = nullptr;  // of argType
  };
  mutable Composition composition;

  int nodeType = 1;
  std::string functionName = "SELECT";
  std::string argName;
  std::string argValue;
  std::string outputTable;
  std::string outputSchema;
  int numOutputs = 1;
  std::vector<Node *> inputEdgeNodesRefVec;  // non-owning, never empty
  std::string groupby;
  QueryViewList listofQueriesandViews;
  ExecQueryList listOfExecQueries;

  Composition::Query &keptQuery(bool mlAsTable) {
    return composition.queries[mlQueryNode && mlAsTable ? 1 : 0];
  }
  // Compose and keep what the accessors above read; apart from them so
  // that reading a kept text stays a few instructions.
  void keepQuery(bool mlAsTable);
  void keepOutputName() const;
  const BranchEntry *branchOfArgType() const;

  // What only some operations set, or only some requests fill, kept apart
  // so that the common node stays small.
  struct Extras {
    std::vector<std::string> inputAliases;
    std::vector<std::string> inputColumns;
    bool dropExistingColumns = false;
    bool withReplacement = false;
    bool randomizedAllocation = false;
    std::string sampleFractions;
    std::string selectColumns;
    std::vector<std::string> whenConditions;
    std::vector<std::string> thenValues;
    std::string elseValue;
    int caseCount = 0;
    std::string groupbytime;
    std::string groupbytimeColumns;
    std::vector<std::string> querywithreftoTopNode;
    std::vector<nodeid_t> nodeidsIncaseofMultipleQueries;
    ExecQueryList listOfShowQueries;
    bool hasQueryPrefix = false;
    std::string queryPrefix;
  };
  std::unique_ptr<Extras> extras;
  // Every change of an extra goes through here.
  Extras &ensureExtras() {
    forgetComposedQueries();
    if (!extras) extras = std::make_unique<Extras>();
    return *extras;
  }
  const Extras &extrasOrEmpty() const {
    static const Extras none;
    return extras ? *extras : none;
  }
};

#endif
