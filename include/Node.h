// One operation of the graph: its arguments, its inputs, its execution
// state, the lists that query assembly caches on it, and the composition of
// its own SQL text (getExecQuery).
#ifndef DFQ_NODE_H
#define DFQ_NODE_H

#include <string>
#include <vector>

#include "QueryLists.h"
#include "dfqCommon.h"

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
  Node *firstInput() const { return numNodesIn > 0 ? inputEdgeNodesRefVec[0] : nullptr; }
  std::string getNodeArgType() const;
  // The argType without the TRACE record, for the hot paths.
  const std::string &argTypeRef() const { return argType; }
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
  Node *inputAt(int i) const { return inputEdgeNodesRefVec[i]; }
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
  void updateGroupby(std::string s) { groupby = std::move(s); }
  std::string getGroupbytime() const { return groupbytime; }
  void updateGroupbytime(std::string s) { groupbytime = std::move(s); }
  std::string getGroupbytimeColumns() const { return groupbytimeColumns; }
  void updateGroupbytimeColumns(std::string s) { groupbytimeColumns = std::move(s); }

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
  std::vector<std::string> getQuerywithreftoTopNode() const { return querywithreftoTopNode; }
  void setQuerywithreftoTopNode(std::vector<std::string> l) { querywithreftoTopNode = std::move(l); }
  std::vector<nodeid_t> getNodeidsIncaseofMultipleQueries() const {
    return nodeidsIncaseofMultipleQueries;
  }
  void updateNodeidsIncaseofMultipleQueries(std::vector<nodeid_t> l) {
    nodeidsIncaseofMultipleQueries = std::move(l);
  }
  ExecQueryList getListOfShowQueries() const { return listOfShowQueries; }
  void setListOfShowQueries(ExecQueryList l) { listOfShowQueries = std::move(l); }
  // Read-only views of the cached lists, without a copy.
  const QueryViewList &queriesAndViewsRef() const { return listofQueriesandViews; }
  const ExecQueryList &execQueriesRef() const { return listOfExecQueries; }
  const ExecQueryList &showQueriesRef() const { return listOfShowQueries; }
  const std::vector<std::string> &queriesWithRefToTopNodeRef() const {
    return querywithreftoTopNode;
  }

  // Read-only views of the operation extras (tests and tools).
  bool getDropExistingColumns() const { return dropExistingColumns; }
  bool getHasQueryPrefix() const { return hasQueryPrefix; }
  const std::string &getQueryPrefix() const { return queryPrefix; }
  const std::vector<std::string> &getInputAliases() const { return inputAliases; }
  const std::vector<std::string> &getInputColumns() const { return inputColumns; }
  const std::string &getSelectColumns() const { return selectColumns; }
  bool getWithReplacement() const { return withReplacement; }
  bool getRandomizedAllocation() const { return randomizedAllocation; }
  const std::string &getSampleFractions() const { return sampleFractions; }
  const std::vector<std::string> &getWhenConditions() const { return whenConditions; }
  const std::vector<std::string> &getThenValues() const { return thenValues; }
  const std::string &getElseValue() const { return elseValue; }
  int getCaseCount() const { return caseCount; }

  void printNode() const;

  // Draws a new id (used when the drawn one is already in the graph).
  void drawNewId();

  // The node's SQL text; on success `tablename` receives its qualified name.
  std::string getExecQuery(std::string &tablename, bool mlAsTable);

  // `"schema"."table"`, or the bare table when the schema is empty.
  std::string qualifiedOutputName() const;

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

  nodeid_t nodeid = 0;
  int nodeType = 1;
  std::string functionName = "SELECT";
  int nodeState = 0;
  std::string argType;
  std::string argName;
  std::string argValue;
  std::string outputTable;
  std::string outputSchema;
  int numNodesIn = 0;
  int numOutputs = 1;
  std::vector<Node *> inputEdgeNodesRefVec;  // non-owning
  bool isInputEdgeAsreference = false;
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
  std::string groupby;
  std::string groupbytime;
  std::string groupbytimeColumns;
  Visit visit = NOT_VISITED;
  unsigned visitEpoch = 0;
  unsigned listedEpoch = 0;
  QueryViewList listofQueriesandViews;
  ExecQueryList listOfExecQueries;
  std::vector<std::string> querywithreftoTopNode;
  std::vector<nodeid_t> nodeidsIncaseofMultipleQueries;
  ExecQueryList listOfShowQueries;
  bool hasQueryPrefix = false;
  std::string queryPrefix;
};

#endif
