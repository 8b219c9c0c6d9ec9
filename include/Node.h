// One operation of the graph: its arguments, its inputs, its execution
// state, the lists that query assembly keeps on it, and the composition of
// its own SQL text (getExecQuery), also as pieces around its input's text.
#ifndef DFQ_NODE_H
#define DFQ_NODE_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Arena.h"
#include "QueryLists.h"
#include "Utils.h"
#include "dfqCommon.h"
#include "log.h"

// Seeds the generator that node ids draw from with the current time in
// seconds, as every composition of a node's SQL does.
void reseedFromClock();

enum Visit : unsigned char { NOT_VISITED = 0, IN_PROGRESS = 1, VISITED = 2 };

class Node {
 public:
  // A new node in `arena`, which outlives it, followed there by its texts
  // and its input list; `groupby` is the grouping carried from the inputs,
  // if any. Destroyed by its destructor alone.
  static Node *make(dfq::Arena &arena, std::string_view argType, std::string_view argName,
                    std::string_view argValue, std::string_view outputTable,
                    std::string_view outputSchema, std::string_view functionName, int nodeType,
                    int numNodesIn, Node *const *inputs, std::string_view groupby);
  Node(const Node &) = delete;
  Node &operator=(const Node &) = delete;

  nodeid_t getNodeid() const { return nodeid; }
  int getNumEdges() const { return numNodesIn; }
  std::vector<nodeid_t> getInputEdgeNodes() const;
  std::vector<Node *> getInputEdgeNodesRefVec() const;
  // First input, or null for a node without inputs.
  Node *firstInput() const { return numNodesIn > 0 ? input0 : nullptr; }
  std::string getNodeArgType() const;
  // The argType without the TRACE record, for the hot paths.
  std::string_view argTypeRef() const {
    return branch == kUnknownBranch ? text(kArgType) : branches[branch].argType;
  }
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
  Node *inputAt(int i) const;
  // The walk that listed the node in the graph's working path.
  unsigned getListedEpoch() const { return listedEpoch; }
  void setListedEpoch(unsigned epoch) { listedEpoch = epoch; }
  void getTablename(std::string &table, std::string &schema) const;
  void getSourceTablename(std::string &table) const;
  std::string_view getArgName() const { return text(kArgName); }
  std::string_view getArgValue() const { return text(kArgValue); }
  std::string_view getOutputTable() const { return text(kOutputTable); }
  std::string_view getOutputSchema() const { return text(kOutputSchema); }
  std::string_view getFunctionName() const {
    return ownFunctionName ? text(kFunctionName) : kSelect;
  }
  int getNodeType() const { return nodeType; }

  std::string getGroupby() const { return std::string(groupbyRef()); }
  std::string_view groupbyRef() const {
    return groupbyReplaced ? std::string_view(extras->groupby) : text(kGroupby);
  }
  // Replaces the grouping the node was made with.
  void updateGroupby(std::string s) {
    ensureExtras().groupby = std::move(s);
    groupbyReplaced = true;
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

  QueryViewList getListofQueriesandViews() const { return queriesAndViewsRef(); }
  void setListofQueriesandViews(QueryViewList l) {
    if (kept || !l.empty()) ensureKept().queriesAndViews = std::move(l);
  }
  ExecQueryList getListOfExecQueries() const { return execQueriesRef(); }
  // The statements of the last generation; those of `spliced`, when given,
  // are the texts of the first ones, which are left empty until read.
  void setListofExecQueries(ExecQueryList l, std::vector<SplicedStatement> spliced = {}) {
    if (!kept && l.empty()) return;
    Kept &k = ensureKept();
    k.execQueries = std::move(l);
    k.spliced = std::move(spliced);
  }
  // Count, sizes and texts of the statements, without forming a spliced
  // text: written straight into the host's buffer.
  size_t execQueryCount() const { return keptOrEmpty().execQueries.size(); }
  size_t execQuerySize(size_t i) const {
    const Kept &k = keptOrEmpty();
    return i < k.spliced.size() ? k.spliced[i].size() : k.execQueries[i].query.size();
  }
  void writeExecQuery(size_t i, char *buffer) const;
  // The statements as kept: the texts of spliced ones are empty.
  const ExecQueryList &statementsAsKept() const { return keptOrEmpty().execQueries; }
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
  const QueryViewList &queriesAndViewsRef() const { return keptOrEmpty().queriesAndViews; }
  const ExecQueryList &execQueriesRef() const {
    if (kept && !kept->spliced.empty()) formSplicedText();
    return keptOrEmpty().execQueries;
  }
  const ExecQueryList &showQueriesRef() const { return extrasOrEmpty().listOfShowQueries; }
  const std::vector<std::string> &queriesWithRefToTopNodeRef() const {
    return extrasOrEmpty().querywithreftoTopNode;
  }

  // Read-only views of the operation extras (tests and tools).
  bool getHasQueryPrefix() const { return extrasOrEmpty().hasQueryPrefix; }
  const std::vector<std::string> &getInputAliases() const { return extrasOrEmpty().inputAliases; }
  const std::string &getSampleFractions() const { return extrasOrEmpty().sampleFractions; }
  int getCaseCount() const { return extrasOrEmpty().caseCount; }

  void printNode() const;

  // Draws a new id (used when the drawn one is already in the graph).
  void drawNewId();

  // The node's SQL text; on success `tablename` receives its qualified name.
  std::string getExecQuery(std::string &tablename, bool mlAsTable);
  // The same text as pieces (views of the node's texts, of its inputs' and
  // of constant words), with the input's text left out at `input`: false
  // when the node has no such form (not one input, an input written twice,
  // or a piece worked out for the composition). Writes no records.
  bool piecesAroundInput(std::vector<std::string_view> &pieces, size_t &input);
  // How the node's SQL refers to its input `i`: a base table by its
  // argValue, any other node by its qualified name; empty when missing.
  std::string inputName(int i) const;

  // `"schema"."table"`, or the bare table when the schema is empty.
  std::string qualifiedOutputName() const {
    return Utils::qualifiedName(getOutputTable(), getOutputSchema());
  }

 private:
  struct QueryFrame;  // select list, input texts and pieces of one composition
  using Branch = void (Node::*)(QueryFrame &);
  struct BranchEntry {
    std::string_view argType;
    Branch branch;
  };
  static const BranchEntry branches[];
  static constexpr std::uint8_t kUnknownBranch = 0xff;
  static std::uint8_t branchOf(std::string_view argType);
  static constexpr std::string_view kSelect = "SELECT";

  std::string inputText(int i) const;
  void composePieces(QueryFrame &frame);
  void tableQuery(QueryFrame &);
  void freeQuery(QueryFrame &);
  void mlQuery(QueryFrame &);
  void selectQuery(QueryFrame &);
  void filterQuery(QueryFrame &);
  void assignQuery(QueryFrame &);
  void groupingQuery(QueryFrame &);
  void aggregateQuery(QueryFrame &);
  void orderbyQuery(QueryFrame &);
  void topnQuery(QueryFrame &);
  void joinQuery(QueryFrame &);
  void setopQuery(QueryFrame &);
  void sampleQuery(QueryFrame &);
  void portableSampleQuery(QueryFrame &);

  // The node's texts, in the arena right after the record, each as its
  // length (see readLength) followed by its characters (not zero-
  // terminated), the names first, as requests read them most; the defaults
  // of the argType and the function name are left empty. The input list
  // follows when there are several inputs.
  enum TextField {
    kOutputTable,
    kOutputSchema,
    kArgValue,
    kArgName,
    kArgType,
    kFunctionName,
    kGroupby,
    kTextFields
  };
  std::string_view text(TextField field) const {
    const unsigned char *at = reinterpret_cast<const unsigned char *>(this + 1);
    for (int f = 0; f < field; ++f) {
      const size_t skipped = readLength(at);
      at += skipped;
    }
    const size_t length = readLength(at);
    return std::string_view(reinterpret_cast<const char *>(at), length);
  }
  // Lengths are written in base 128, seven bits a byte, the last byte
  // without its high bit: most take one byte.
  static size_t readLength(const unsigned char *&at) {
    size_t length = 0;
    for (unsigned shift = 0;; shift += 7) {
      const unsigned char byte = *at++;
      length |= static_cast<size_t>(byte & 0x7f) << shift;
      if (byte < 0x80) return length;
    }
  }
  static size_t textsBytes(const std::string_view (&texts)[kTextFields]);
  Node(std::string_view argType, std::uint8_t branch, bool ownFunctionName,
       const std::string_view (&texts)[kTextFields], int nodeType, int numNodesIn,
       Node *const *inputs);
  // The block's characters of `field`, for an edit that keeps its length.
  char *textChars(TextField field) { return const_cast<char *>(text(field).data()); }

  // What every walk and every request reads comes first.
  nodeid_t nodeid = 0;
  Node *input0 = nullptr;         // read here by walks
  unsigned visitEpoch = 0;
  unsigned listedEpoch = 0;
  int nodeState = 0;
  int numNodesIn = 0;
  int numOutputs = 1;
  int nodeType = 1;
  Visit visit = NOT_VISITED;
  std::uint8_t branch = kUnknownBranch;  // index in branches of the argType
  bool isInputEdgeAsreference = false;
  bool mlQueryNode = false;  // argType is "ml_query"
  bool groupbyReplaced = false;  // the grouping is extras->groupby
  bool ownFunctionName = false;  // not "SELECT"

  // The lists of the node's last generation, made on first use.
  struct Kept {
    QueryViewList queriesAndViews;
    ExecQueryList execQueries;
    std::vector<SplicedStatement> spliced;  // see setListofExecQueries
  };
  mutable std::unique_ptr<Kept> kept;
  Kept &ensureKept() const {
    if (!kept) kept = std::make_unique<Kept>();
    return *kept;
  }
  const Kept &keptOrEmpty() const {
    static const Kept none;
    return kept ? *kept : none;
  }
  void formSplicedText() const;

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
    std::string groupby;  // see updateGroupby
    std::vector<std::string> querywithreftoTopNode;
    std::vector<nodeid_t> nodeidsIncaseofMultipleQueries;
    ExecQueryList listOfShowQueries;
    bool hasQueryPrefix = false;
    std::string queryPrefix;
  };
  std::unique_ptr<Extras> extras;
  // Every change of an extra goes through here.
  Extras &ensureExtras() {
    if (!extras) extras = std::make_unique<Extras>();
    return *extras;
  }
  const Extras &extrasOrEmpty() const {
    static const Extras none;
    return extras ? *extras : none;
  }
};

#endif
