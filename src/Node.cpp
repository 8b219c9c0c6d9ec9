#define DFQ_LOG_UNIT "../src/Node"
#include "Node.h"

#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <iostream>
#include <string_view>

#include "DagException.h"
#include "Dialect.h"
#include "Utils.h"

Node::Node(std::string argType_, std::string argName_, std::string argValue_,
           std::string outputTable_, std::string outputSchema_, std::string functionName_,
           int nodeType_, int numNodesIn_, nodeid_t * /*inputIds*/, std::vector<Node *> inputs) {
  DFQ_TRACE("Entering Node constructor");
  DFQ_INNER_FRAME([&] {
    DFQ_TRACE("Setting inputEdgeNodesRefVec, numNodesIn:%d", numNodesIn_);
    if (numNodesIn_ < 1) {
      inputEdgeNodesRefVec.assign(1, nullptr);
    } else {
      inputs.resize(numNodesIn_);
      inputEdgeNodesRefVec = std::move(inputs);
      numNodesIn = numNodesIn_;
    }
    input0 = inputEdgeNodesRefVec[0];
    DFQ_TRACE("Setting argType: %s", argType_.c_str());
    argType = std::move(argType_);
    mlQueryNode = argType == "ml_query";
    if (argType == "table" || argType == "query") nodeState = 1;

    if (argType == "groupby" || argType == "groupbytime") {
      if (argType == "groupby") {
        DFQ_TRACE("Adding Groupby node output table");
        groupby = argValue_;
      } else {
        DFQ_TRACE("Adding Groupbytime node output table");
        ensureExtras().groupbytime = argValue_;
        extras->groupbytimeColumns = argName_;
      }
      // A grouping node has no output of its own: it takes its input's name.
      const Node *input = firstInput();
      if (input && input->argType != "table") {
        DFQ_TRACE("Groupby is input table %s", input->outputTable.c_str());
        DFQ_TRACE("Groupby is input table %s", input->outputSchema.c_str());
        outputTable = input->outputTable;
        outputSchema = input->outputSchema;
      } else if (input) {
        DFQ_TRACE("Input for groupby is base table %s", input->argValue.c_str());
        outputTable = input->argValue;
        outputSchema.clear();
      }
    } else {
      outputTable = std::move(outputTable_);
      outputSchema = std::move(outputSchema_);
    }
    argName = std::move(argName_);
    argValue = std::move(argValue_);
    functionName = std::move(functionName_);
    nodeType = nodeType_;
    drawNewId();
  });
  DFQ_TRACE("Exiting Node constructor");
}

void Node::drawNewId() {
  nodeid = Utils::generateID();
  if (nodeid < 1)
    throw DagException(
        "Invalid Nodeid generated as " + std::to_string(nodeid) + " for " + argType, 1101);
}

std::vector<nodeid_t> Node::getInputEdgeNodes() const {
  std::vector<nodeid_t> ids;
  ids.reserve(numNodesIn);
  for (int i = 0; i < numNodesIn; ++i)
    if (inputEdgeNodesRefVec[i]) ids.push_back(inputEdgeNodesRefVec[i]->nodeid);
  return ids;
}

std::vector<Node *> Node::getInputEdgeNodesRefVec() const {
  return std::vector<Node *>(inputEdgeNodesRefVec.begin(),
                             inputEdgeNodesRefVec.begin() + numNodesIn);
}

std::string Node::getNodeArgType() const {
  DFQ_TRACE("Node argType value:%s", argType.c_str());
  return argType;
}

void Node::getTablename(std::string &table, std::string &schema) const {
  table = outputTable;
  schema = outputSchema;
}

void Node::getSourceTablename(std::string &table) const {
  if (argType == "table" && argName == "source" && outputTable.empty() && outputSchema.empty())
    table = argValue;
}

void Node::updateInputEdgeDetails(const std::string *aliases, std::string columns) {
  Extras &e = ensureExtras();
  e.inputAliases.assign(aliases, aliases + numNodesIn);
  e.selectColumns = std::move(columns);
}

void Node::updateInputEdgeDetails(const std::string *columns) {
  ensureExtras().inputColumns.assign(columns, columns + numNodesIn);
}

void Node::updateInputEdgeDetails(bool drop) {
  if (drop || extras) ensureExtras().dropExistingColumns = drop;
}

void Node::updateInputEdgeDetails(bool hasPrefix, std::string prefix) {
  if (!hasPrefix && prefix.empty() && !extras) return;  // what a new node holds already
  Extras &e = ensureExtras();
  e.hasQueryPrefix = hasPrefix;
  e.queryPrefix = std::move(prefix);
}

void Node::updateInputEdgeDetails(std::string fractions, bool withReplacement_,
                                  bool randomizedAllocation_, const std::string *when,
                                  const std::string *then, std::string elseValue_, int count) {
  Extras &e = ensureExtras();
  e.withReplacement = withReplacement_;
  e.randomizedAllocation = randomizedAllocation_;
  e.sampleFractions = std::move(fractions);
  e.elseValue = std::move(elseValue_);
  const int n = count > 0 ? count : 0;
  e.whenConditions.assign(when, when + n);
  e.thenValues.assign(then, then + n);
  e.caseCount = count;
}

void Node::printNode() const {
  std::cout << "\nnodeid:" << nodeid << std::endl;
  std::cout << "nodeState:" << nodeState << std::endl;
  std::cout << "nodeType:" << nodeType << std::endl;
  std::cout << "functionName:" << functionName << std::endl;
  std::cout << "argType:" << argType << std::endl;
  std::cout << "argName:" << argName << std::endl;
  std::cout << "argValue:" << argValue << std::endl;
  std::cout << "outputTable:" << outputTable << std::endl;
  std::cout << "outputSchema:" << outputSchema << std::endl;
  for (int i = 0; i < numNodesIn; ++i) {
    const Node *input = inputEdgeNodesRefVec[i];
    std::cout << "input node[" << i << "]:" << (input ? input->nodeid : 0) << std::endl;
    std::cout << "isInputEdgeAsreference:" << (input && input->isInputEdgeAsreference ? 1 : 0)
              << std::endl;
  }
}

void Node::keepOutputName() const {
  Composition &c = composition;
  c.outputName = Utils::qualifiedName(outputTable, outputSchema);
  c.outputNameKept = true;
}

// ---- SQL composition ---------------------------------------------------

struct Node::QueryFrame {
  std::string selectList;               // selectColumns, or "*"
  std::vector<std::string> inputTexts;  // how each input is referred to
  bool mlAsTable = false;
  dfq::Dialect dialect = dfq::Dialect::Default;  // of the graph, fixed while it has nodes
  bool portable() const { return dialect != dfq::Dialect::Default; }
};

// Dispatch: the first entry whose argType matches builds the query. The two
// ml_query rows are told apart inside mlQuery by the mlAsTable flag.
const Node::BranchEntry Node::branches[] = {
    {"table", &Node::tableQuery},        {"query", &Node::freeQuery},
    {"ml_query", &Node::mlQuery},        {"select", &Node::selectQuery},
    {"filter", &Node::filterQuery},      {"assign", &Node::assignQuery},
    {"groupby", &Node::groupingQuery},   {"groupbytime", &Node::groupingQuery},
    {"aggregate", &Node::aggregateQuery}, {"orderby", &Node::orderbyQuery},
    {"join", &Node::joinQuery},          {"setop", &Node::setopQuery},
    {"sample", &Node::sampleQuery},
};

std::string Node::inputText(int i) const {
  const Node *input = inputEdgeNodesRefVec.empty() ? nullptr : inputEdgeNodesRefVec[i];
  if (input == nullptr)
    throw DagException("Query generation failed while retrieving input nodes for nodeid " +
                           std::to_string(nodeid) + " and operation type " + argType,
                       1102);
  if (input->argType == "table") {
    DFQ_DEBUG("Working with nodeid %lld, got base table input with nodeid:%lld",
              static_cast<long long>(nodeid), static_cast<long long>(input->nodeid));
    return input->argValue;
  }
  DFQ_DEBUG("Working with nodeid %lld, got input table with nodeid:%lld",
            static_cast<long long>(nodeid), static_cast<long long>(input->nodeid));
  return input->qualifiedOutputName();
}

// Every composition seeds the generator that node ids draw from with the
// current time in seconds. Seeding costs far more than composing a query,
// so it is done once per second: the seed would be the same within it.
void reseedFromClock() {
  static time_t lastSeed = static_cast<time_t>(-1);
  const time_t now = time(nullptr);
  if (now == lastSeed) return;
  srand(static_cast<unsigned>(now));
  lastSeed = now;
}

std::string Node::getExecQuery(std::string &tablename, bool mlAsTable) {
  reseedFromClock();
  return DFQ_INNER_FRAME([&] {
    QueryFrame frame;
    frame.mlAsTable = mlAsTable;
    frame.dialect = dfq::composingDialect();
    const std::string &columns = extrasOrEmpty().selectColumns;
    frame.selectList = columns.empty() ? "*" : columns;
    frame.inputTexts.reserve(numNodesIn);
    for (int i = 0; i < numNodesIn; ++i) frame.inputTexts.push_back(inputText(i));
    if (const BranchEntry *entry = branchOfArgType()) {
      std::string query = (this->*entry->branch)(frame);
      tablename = qualifiedOutputName();
      return query;
    }
    throw DagException("Query generation failed for nodeid " + std::to_string(nodeid) +
                           " with invalid operation " + argType,
                       1104);
  });
}

const Node::BranchEntry *Node::branchOfArgType() const {
  Composition &c = composition;
  if (c.branch == nullptr)
    for (const BranchEntry &entry : branches)
      if (argType == entry.argType) {
        c.branch = &entry;
        break;
      }
  return c.branch;
}

void Node::keepQuery(bool mlAsTable) {
  std::string name;
  keptQuery(mlAsTable) = Composition::Query{getExecQuery(name, mlAsTable), true};
}

namespace {

// The pieces joined in one allocation.
std::string concat(std::initializer_list<std::string_view> pieces) {
  size_t length = 0;
  for (std::string_view piece : pieces) length += piece.size();
  std::string text;
  text.reserve(length);
  for (std::string_view piece : pieces) text.append(piece);
  return text;
}

}  // namespace

std::string Node::tableQuery(const QueryFrame &) { return concat({"select * from ", argValue}); }

std::string Node::freeQuery(const QueryFrame &) { return argValue; }

std::string Node::mlQuery(const QueryFrame &f) {
  return f.mlAsTable ? concat({"select * from ", outputTable}) : argValue;
}

std::string Node::selectQuery(const QueryFrame &f) {
  const Extras &e = extrasOrEmpty();
  const std::string_view prefix = e.hasQueryPrefix ? e.queryPrefix : std::string_view();
  const std::string_view gap = e.hasQueryPrefix ? " " : "";
  if (argName == "top" || argName == "TOP") {
    if (f.portable())
      return concat({prefix, gap, "select * from ", f.inputTexts[0], " limit ", argValue});
    return concat({prefix, gap, "select top ", argValue, " * from ", f.inputTexts[0]});
  }
  return concat({prefix, gap, "select ", argValue, " from ", f.inputTexts[0]});
}

std::string Node::filterQuery(const QueryFrame &f) {
  return concat({"select ", f.selectList, " from ", f.inputTexts[0], " where ", argValue});
}

std::string Node::assignQuery(const QueryFrame &f) {
  const std::string &input = f.inputTexts[0];
  if (extrasOrEmpty().dropExistingColumns) return concat({"select ", argValue, " from ", input});
  // "schema"."table".* is not accepted everywhere, a bare star beside
  // other columns is, whether the input is read by name or inlined.
  if (f.portable()) return concat({"select *, ", argValue, " from ", input});
  return concat({"select ", input, ".*, ", argValue, " from ", input});
}

std::string Node::groupingQuery(const QueryFrame &f) {
  return concat({"select ", f.selectList, " from ", f.inputTexts[0]});
}

std::string Node::aggregateQuery(const QueryFrame &f) {
  const std::string &input = f.inputTexts[0];
  if (!groupby.empty()) {
    // "F|word columns": F wraps the columns in the group by when non-empty.
    const size_t bar = groupby.find('|');
    const std::string function = bar == std::string::npos ? groupby : groupby.substr(0, bar);
    const std::string rest = bar == std::string::npos ? groupby : groupby.substr(bar + 1);
    const size_t blank = rest.find(' ');
    const std::string columns = blank == std::string::npos ? rest : rest.substr(blank + 1);
    const std::string grouping = function.empty() ? columns : function + "(" + columns + ")";
    return "select " + columns + ", " + argValue + " from " + input + " group by " + grouping;
  }
  const Extras &e = extrasOrEmpty();
  if (!e.groupbytime.empty()) {
    std::string head = "select $QZ_TIMECODE_RANGE, $QZ_GROUP_BY_TIME, ";
    if (!e.groupbytimeColumns.empty()) head += e.groupbytimeColumns + ", ";
    return head + argValue + " from " + input + e.groupbytime;
  }
  return concat({"select ", argValue, " from ", input});
}

std::string Node::orderbyQuery(const QueryFrame &f) {
  return concat({"select ", f.selectList, " from ", f.inputTexts[0], " order by ", argValue});
}

std::string Node::joinQuery(const QueryFrame &f) {
  argName = Utils::toLower(argName);  // the node keeps the lower-cased join type
  const auto type = joinTypeMap.find(argName);
  const std::string words = type == joinTypeMap.end() ? argName : type->second;
  const std::vector<std::string> &aliases = extrasOrEmpty().inputAliases;
  const std::string leftAlias = aliases.size() > 0 ? aliases[0] : "";
  const std::string rightAlias = aliases.size() > 1 ? aliases[1] : "";
  const bool cross = argName == "cross";
  return concat({"select ", f.selectList, " from ", f.inputTexts[0], " as ", leftAlias, " ", words,
                 " join ", f.inputTexts[1], " as ", rightAlias, cross ? "" : " on ",
                 cross ? std::string_view() : argValue});
}

std::string Node::setopQuery(const QueryFrame &f) {
  const std::string key = Utils::toLower(argName);
  const auto op = setopTypeMap.find(key);
  std::string words = op == setopTypeMap.end() ? key : op->second;
  // The standard's word for minus.
  if (f.portable() && (key == "minus" || key == "minusall"))
    words = key == "minus" ? "except" : "except all";
  auto columnsOf = [&](int i) {
    const std::vector<std::string> &columns = extrasOrEmpty().inputColumns;
    return i < static_cast<int>(columns.size()) ? columns[i] : std::string("*");
  };
  std::string query = "select " + columnsOf(0) + " from " + f.inputTexts[0];
  for (int j = 1; j < numNodesIn; ++j)
    query += " " + words + " select " + columnsOf(j) + " from " + f.inputTexts[j];
  return query;
}

namespace {

// A number drawn for each row, uniform from 0 to 1: PostgreSQL's random()
// is one; SQLite's is a 64-bit integer, scaled without integer overflow.
std::string_view uniformRandom(dfq::Dialect dialect) {
  return dialect == dfq::Dialect::SQLite ? "(random() / 18446744073709551616.0 + 0.5)"
                                         : "random()";
}

}  // namespace

// One count: that many rows in random order; one fraction: each row kept
// with that probability (a Bernoulli sample, which unlike a table sample
// reads any input, also a subquery or a view). Other forms are refused when
// the node is added.
std::string Node::portableSampleQuery(const QueryFrame &f) {
  const Extras &e = extrasOrEmpty();
  dfq::requireSampleInDialect(f.dialect, e.withReplacement, e.caseCount, e.sampleFractions);
  const dfq::SampleSize size = dfq::sampleSizeOf(e.sampleFractions);
  if (size.kind == dfq::SampleSize::Count)
    return concat({"select ", argValue, " from ", f.inputTexts[0], " order by random() limit ",
                   size.text});
  return concat({"select ", argValue, " from ", f.inputTexts[0], " where ",
                 uniformRandom(f.dialect), " < ", size.text});
}

std::string Node::sampleQuery(const QueryFrame &f) {
  if (f.portable()) return portableSampleQuery(f);
  std::string query = "select " + argValue + " from " + f.inputTexts[0] + " SAMPLE ";
  const Extras &e = extrasOrEmpty();
  if (e.withReplacement) query += "WITH REPLACEMENT ";
  if (e.randomizedAllocation) query += "RANDOMIZED ALLOCATION ";
  if (e.caseCount == 0) return query + e.sampleFractions;
  for (int k = 0; k < e.caseCount; ++k)
    query += "WHEN " + e.whenConditions[k] + " THEN " + e.thenValues[k] + " ";
  if (!e.elseValue.empty()) query += "ELSE " + e.elseValue + " ";
  return query + "END";
}
