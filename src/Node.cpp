#define DFQ_LOG_UNIT "../src/Node"
#include "Node.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <forward_list>
#include <initializer_list>
#include <iostream>
#include <string_view>

#include "DagException.h"
#include "Dialect.h"
#include "Utils.h"

namespace {

// Where a node of `argType` finds what it is named after: a grouping node
// takes its input's output names, the others their own.
bool isGrouping(std::string_view argType) {
  return argType == "groupby" || argType == "groupbytime";
}

}  // namespace

Node *Node::make(dfq::Arena &arena, std::string_view argType, std::string_view argName,
                 std::string_view argValue, std::string_view outputTable,
                 std::string_view outputSchema, std::string_view functionName, int nodeType,
                 int numNodesIn, Node *const *inputs, std::string_view groupby) {
  const Node *input = numNodesIn > 0 ? inputs[0] : nullptr;
  if (isGrouping(argType)) {
    if (argType == "groupby" && groupby.empty()) groupby = argValue;
    // A grouping node has no output of its own: it takes its input's name.
    outputTable = outputSchema = std::string_view();
    if (input && input->argTypeRef() != "table") {
      outputTable = input->getOutputTable();
      outputSchema = input->getOutputSchema();
    } else if (input) {
      outputTable = input->getArgValue();
    }
  }
  // The defaults of the argType and the function name are not kept.
  const std::uint8_t branch = branchOf(argType);
  const bool ownFunctionName = functionName != kSelect;
  const std::string_view texts[kTextFields] = {
      outputTable, outputSchema, argValue, argName,
      branch == kUnknownBranch ? argType : std::string_view(),
      ownFunctionName ? functionName : std::string_view(), groupby};
  size_t size = sizeof(Node) + textsBytes(texts);
  if (numNodesIn > 1) size += sizeof(Node *) * numNodesIn;
  return new (arena.allocate(size))
      Node(argType, branch, ownFunctionName, texts, nodeType, numNodesIn, inputs);
}

size_t Node::textsBytes(const std::string_view (&texts)[kTextFields]) {
  size_t bytes = 0;
  for (std::string_view text : texts) {
    for (size_t length = text.size(); length >= 0x80; length >>= 7) ++bytes;
    bytes += 1 + text.size();
  }
  return (bytes + alignof(Node *) - 1) & ~(alignof(Node *) - 1);
}

Node::Node(std::string_view argType, std::uint8_t branch_, bool ownFunctionName_,
           const std::string_view (&texts)[kTextFields], int nodeType_, int numNodesIn_,
           Node *const *inputs)
    : branch(branch_), ownFunctionName(ownFunctionName_) {
  DFQ_TRACE("Entering Node constructor");
  DFQ_INNER_FRAME([&] {
    // The record is followed by its texts, each after its length, and its
    // inputs.
    unsigned char *to = reinterpret_cast<unsigned char *>(this + 1);
    for (std::string_view text : texts) {
      size_t rest = text.size();
      for (; rest >= 0x80; rest >>= 7) *to++ = static_cast<unsigned char>(rest | 0x80);
      *to++ = static_cast<unsigned char>(rest);
      if (!text.empty()) std::memcpy(to, text.data(), text.size());
      to += text.size();
    }
    DFQ_TRACE("Setting inputEdgeNodesRefVec, numNodesIn:%d", numNodesIn_);
    if (numNodesIn_ > 0) {
      numNodesIn = numNodesIn_;
      input0 = inputs[0];
      if (numNodesIn > 1)
        std::copy(inputs, inputs + numNodesIn,
                  reinterpret_cast<Node **>(reinterpret_cast<char *>(this + 1) + textsBytes(texts)));
    }
    DFQ_TRACE("Setting argType: %s", std::string(argType).c_str());
    mlQueryNode = argType == "ml_query";
    if (argType == "table" || argType == "query") nodeState = 1;
    if (argType == "groupby") {
      DFQ_TRACE("Adding Groupby node output table");
    } else if (argType == "groupbytime") {
      DFQ_TRACE("Adding Groupbytime node output table");
      ensureExtras().groupbytime = texts[kArgValue];
      extras->groupbytimeColumns = texts[kArgName];
    }
    if (isGrouping(argType) && input0 && input0->argTypeRef() != "table") {
      const std::string_view table = input0->getOutputTable(), schema = input0->getOutputSchema();
      DFQ_TRACE("Groupby is input table %.*s", static_cast<int>(table.size()), table.data());
      DFQ_TRACE("Groupby is input table %.*s", static_cast<int>(schema.size()), schema.data());
    } else if (isGrouping(argType) && input0) {
      const std::string_view table = input0->getArgValue();
      DFQ_TRACE("Input for groupby is base table %.*s", static_cast<int>(table.size()),
                table.data());
    }
    nodeType = nodeType_;
    drawNewId();
  });
  DFQ_TRACE("Exiting Node constructor");
}

Node *Node::inputAt(int i) const {
  if (i == 0) return input0;
  const std::string_view last = text(static_cast<TextField>(kTextFields - 1));
  const size_t bytes = static_cast<size_t>(last.data() + last.size() -
                                           reinterpret_cast<const char *>(this + 1));
  const size_t aligned = (bytes + alignof(Node *) - 1) & ~(alignof(Node *) - 1);
  return reinterpret_cast<Node *const *>(reinterpret_cast<const char *>(this + 1) + aligned)[i];
}

void Node::drawNewId() {
  nodeid = Utils::generateID();
  if (nodeid < 1)
    throw DagException(
        "Invalid Nodeid generated as " + std::to_string(nodeid) + " for " + std::string(argTypeRef()),
        1101);
}

std::vector<nodeid_t> Node::getInputEdgeNodes() const {
  std::vector<nodeid_t> ids;
  ids.reserve(numNodesIn);
  for (int i = 0; i < numNodesIn; ++i)
    if (Node *input = inputAt(i)) ids.push_back(input->nodeid);
  return ids;
}

std::vector<Node *> Node::getInputEdgeNodesRefVec() const {
  std::vector<Node *> inputs;
  inputs.reserve(numNodesIn);
  for (int i = 0; i < numNodesIn; ++i) inputs.push_back(inputAt(i));
  return inputs;
}

std::string Node::getNodeArgType() const {
  std::string type(argTypeRef());
  DFQ_TRACE("Node argType value:%s", type.c_str());
  return type;
}

void Node::getTablename(std::string &table, std::string &schema) const {
  table = getOutputTable();
  schema = getOutputSchema();
}

void Node::getSourceTablename(std::string &table) const {
  if (argTypeRef() == "table" && getArgName() == "source" && getOutputTable().empty() &&
      getOutputSchema().empty())
    table = getArgValue();
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
  std::cout << "functionName:" << getFunctionName() << std::endl;
  std::cout << "argType:" << argTypeRef() << std::endl;
  std::cout << "argName:" << getArgName() << std::endl;
  std::cout << "argValue:" << getArgValue() << std::endl;
  std::cout << "outputTable:" << getOutputTable() << std::endl;
  std::cout << "outputSchema:" << getOutputSchema() << std::endl;
  for (int i = 0; i < numNodesIn; ++i) {
    const Node *input = inputAt(i);
    std::cout << "input node[" << i << "]:" << (input ? input->nodeid : 0) << std::endl;
    std::cout << "isInputEdgeAsreference:" << (input && input->isInputEdgeAsreference ? 1 : 0)
              << std::endl;
  }
}

void Node::formSplicedText() const {
  for (size_t i = 0; i < kept->spliced.size(); ++i)
    kept->execQueries[i].query = kept->spliced[i].str();
  kept->spliced.clear();
}

void Node::writeExecQuery(size_t i, char *buffer) const {
  if (buffer == nullptr) return;
  const Kept &k = keptOrEmpty();
  if (i >= k.spliced.size()) {
    Utils::copyToBuffer(k.execQueries[i].query, buffer);
    return;
  }
  *k.spliced[i].write(buffer) = '\0';
}

// ---- SQL composition ---------------------------------------------------

// A composition writes its text as pieces: views of the node's texts, of
// its inputs' texts and of constant words, and of the few texts it works
// out (held by the frame).
struct Node::QueryFrame {
  std::string_view selectList;            // selectColumns, or "*"
  const std::string_view *inputs;         // how each input is referred to
  bool mlAsTable = false;
  dfq::Dialect dialect = dfq::Dialect::Default;  // of the graph, fixed while it has nodes
  std::vector<std::string_view> &pieces;
  std::forward_list<std::string> held;    // texts the pieces view, worked out here

  bool portable() const { return dialect != dfq::Dialect::Default; }
  void put(std::initializer_list<std::string_view> more) {
    for (std::string_view piece : more) pieces.push_back(piece);
  }
  std::string_view hold(std::string text) {
    held.push_front(std::move(text));
    return held.front();
  }
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
    {"sample", &Node::sampleQuery},      {"topn", &Node::topnQuery},
};

std::uint8_t Node::branchOf(std::string_view argType) {
  for (std::uint8_t i = 0; i < std::size(branches); ++i)
    if (argType == branches[i].argType) return i;
  return kUnknownBranch;
}

std::string Node::inputName(int i) const {
  const Node *input = i < numNodesIn ? inputAt(i) : nullptr;
  if (input == nullptr) return std::string();
  if (input->argTypeRef() == "table") return std::string(input->getArgValue());
  return input->qualifiedOutputName();
}

std::string Node::inputText(int i) const {
  const Node *input = i < numNodesIn ? inputAt(i) : nullptr;
  if (input == nullptr)
    throw DagException("Query generation failed while retrieving input nodes for nodeid " +
                           std::to_string(nodeid) + " and operation type " +
                           std::string(argTypeRef()),
                       1102);
  if (input->argTypeRef() == "table")
    DFQ_DEBUG("Working with nodeid %lld, got base table input with nodeid:%lld",
              static_cast<long long>(nodeid), static_cast<long long>(input->nodeid));
  else
    DFQ_DEBUG("Working with nodeid %lld, got input table with nodeid:%lld",
              static_cast<long long>(nodeid), static_cast<long long>(input->nodeid));
  return inputName(i);
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

void Node::composePieces(QueryFrame &frame) {
  frame.dialect = dfq::composingDialect();
  const std::string &columns = extrasOrEmpty().selectColumns;
  frame.selectList = columns.empty() ? std::string_view("*") : std::string_view(columns);
  (this->*branches[branch].branch)(frame);
}

// The working lists of compositions, kept from one to the next for their
// memory: compositions run under the library's lock (EntryLock.h), and
// these lists are filled only after the composition's records are written
// (a host's log callback may call the library again).
struct CompositionLists {
  std::vector<std::string_view> inputs, pieces;
};

std::string Node::getExecQuery(std::string &tablename, bool mlAsTable) {
  reseedFromClock();
  return DFQ_INNER_FRAME([&] {
    std::vector<std::string> inputTexts;
    inputTexts.reserve(numNodesIn);
    for (int i = 0; i < numNodesIn; ++i) inputTexts.push_back(inputText(i));
    if (branch == kUnknownBranch)
      throw DagException("Query generation failed for nodeid " + std::to_string(nodeid) +
                             " with invalid operation " + std::string(argTypeRef()),
                         1104);
    static CompositionLists lists;
    lists.inputs.assign(inputTexts.begin(), inputTexts.end());
    std::vector<std::string_view> &pieces = lists.pieces;
    pieces.clear();
    QueryFrame frame{{}, lists.inputs.data(), mlAsTable, {}, pieces, {}};
    composePieces(frame);
    size_t length = 0;
    for (std::string_view piece : pieces) length += piece.size();
    std::string query;
    query.reserve(length);
    for (std::string_view piece : pieces) query.append(piece);
    tablename = qualifiedOutputName();
    return query;
  });
}

namespace {

// Stands for the input's text in the pieces of piecesAroundInput: told
// apart from every other piece by where it points.
constexpr char kInputMark[1] = {'\0'};

}  // namespace

bool Node::piecesAroundInput(std::vector<std::string_view> &pieces, size_t &input) {
  pieces.clear();
  if (numNodesIn != 1 || branch == kUnknownBranch) return false;
  const std::string_view mark(kInputMark, 0);
  QueryFrame frame{{}, &mark, false, {}, pieces, {}};
  composePieces(frame);
  if (!frame.held.empty()) return false;
  input = pieces.size();
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (pieces[i].data() != kInputMark) continue;
    if (input != pieces.size()) return false;  // written twice
    input = i;
  }
  return input != pieces.size();
}

void Node::tableQuery(QueryFrame &f) { f.put({"select * from ", getArgValue()}); }

void Node::freeQuery(QueryFrame &f) { f.put({getArgValue()}); }

void Node::mlQuery(QueryFrame &f) {
  if (f.mlAsTable)
    f.put({"select * from ", getOutputTable()});
  else
    f.put({getArgValue()});
}

void Node::selectQuery(QueryFrame &f) {
  const Extras &e = extrasOrEmpty();
  const std::string_view prefix = e.hasQueryPrefix ? e.queryPrefix : std::string_view();
  const std::string_view gap = e.hasQueryPrefix ? " " : "";
  const std::string_view argName = getArgName(), argValue = getArgValue();
  if (argName == "top" || argName == "TOP") {
    if (f.portable())
      f.put({prefix, gap, "select * from ", f.inputs[0], " limit ", argValue});
    else
      f.put({prefix, gap, "select top ", argValue, " * from ", f.inputs[0]});
    return;
  }
  f.put({prefix, gap, "select ", argValue, " from ", f.inputs[0]});
}

void Node::filterQuery(QueryFrame &f) {
  f.put({"select ", f.selectList, " from ", f.inputs[0], " where ", getArgValue()});
}

void Node::assignQuery(QueryFrame &f) {
  const std::string_view input = f.inputs[0], argValue = getArgValue();
  if (extrasOrEmpty().dropExistingColumns)
    f.put({"select ", argValue, " from ", input});
  // "schema"."table".* is not accepted everywhere, a bare star beside
  // other columns is, whether the input is read by name or inlined.
  else if (f.portable())
    f.put({"select *, ", argValue, " from ", input});
  else
    f.put({"select ", input, ".*, ", argValue, " from ", input});
}

void Node::groupingQuery(QueryFrame &f) { f.put({"select ", f.selectList, " from ", f.inputs[0]}); }

void Node::aggregateQuery(QueryFrame &f) {
  const std::string_view input = f.inputs[0], argValue = getArgValue();
  const std::string_view groupby = groupbyRef();
  if (!groupby.empty()) {
    // "F|word columns": F wraps the columns in the group by when non-empty.
    const size_t bar = groupby.find('|');
    const std::string_view function = bar == std::string_view::npos ? groupby : groupby.substr(0, bar);
    const std::string_view rest = bar == std::string_view::npos ? groupby : groupby.substr(bar + 1);
    const size_t blank = rest.find(' ');
    const std::string_view columns = blank == std::string_view::npos ? rest : rest.substr(blank + 1);
    f.put({"select ", columns, ", ", argValue, " from ", input, " group by "});
    if (function.empty())
      f.put({columns});
    else
      f.put({function, "(", columns, ")"});
    return;
  }
  const Extras &e = extrasOrEmpty();
  if (!e.groupbytime.empty()) {
    f.put({"select $QZ_TIMECODE_RANGE, $QZ_GROUP_BY_TIME, "});
    if (!e.groupbytimeColumns.empty()) f.put({e.groupbytimeColumns, ", "});
    f.put({argValue, " from ", input, e.groupbytime});
    return;
  }
  f.put({"select ", argValue, " from ", input});
}

void Node::orderbyQuery(QueryFrame &f) {
  f.put({"select ", f.selectList, " from ", f.inputs[0], " order by ", getArgValue()});
}

// The first n rows under the ordering (the node keeps n as its argName):
// the ordering picks the rows, and the rows are a set that later nodes
// read like any other.
void Node::topnQuery(QueryFrame &f) {
  const std::string_view count = getArgName(), ordering = getArgValue();
  if (f.portable())
    f.put({"select * from ", f.inputs[0], " order by ", ordering, " limit ", count});
  else
    f.put({"select top ", count, " * from ", f.inputs[0], " order by ", ordering});
}

void Node::joinQuery(QueryFrame &f) {
  // The node keeps the lower-cased join type.
  const std::string argName = Utils::toLower(std::string(getArgName()));
  std::copy(argName.begin(), argName.end(), textChars(kArgName));
  const std::string_view key = getArgName();
  const auto type = joinTypeMap.find(argName);
  const std::string_view words = type == joinTypeMap.end() ? key : std::string_view(type->second);
  const std::vector<std::string> &aliases = extrasOrEmpty().inputAliases;
  const std::string_view leftAlias = aliases.size() > 0 ? aliases[0] : std::string_view();
  const std::string_view rightAlias = aliases.size() > 1 ? aliases[1] : std::string_view();
  // Semi and anti joins test for a matching row inside the first input's
  // where clause, so that each row of it comes out at most once; nulls in
  // the condition match nothing, as in a join. Each input is still written
  // right before " as " and its alias.
  if (isFilteringJoin(argName)) {
    f.put({"select ", f.selectList, " from ", f.inputs[0], " as ", leftAlias, " where ", words,
           " (select 1 from ", f.inputs[1], " as ", rightAlias, " where ", getArgValue(), ")"});
    return;
  }
  const bool cross = key == "cross";
  f.put({"select ", f.selectList, " from ", f.inputs[0], " as ", leftAlias, " ", words, " join ",
         f.inputs[1], " as ", rightAlias});
  if (!cross) f.put({" on ", getArgValue()});
}

void Node::setopQuery(QueryFrame &f) {
  const std::string key = Utils::toLower(std::string(getArgName()));
  const auto op = setopTypeMap.find(key);
  std::string_view words = op == setopTypeMap.end() ? f.hold(key) : std::string_view(op->second);
  // The standard's word for minus.
  if (f.portable() && (key == "minus" || key == "minusall"))
    words = key == "minus" ? "except" : "except all";
  auto columnsOf = [&](int i) {
    const std::vector<std::string> &columns = extrasOrEmpty().inputColumns;
    return i < static_cast<int>(columns.size()) ? std::string_view(columns[i]) : "*";
  };
  f.put({"select ", columnsOf(0), " from ", f.inputs[0]});
  for (int j = 1; j < numNodesIn; ++j)
    f.put({" ", words, " select ", columnsOf(j), " from ", f.inputs[j]});
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
void Node::portableSampleQuery(QueryFrame &f) {
  const Extras &e = extrasOrEmpty();
  dfq::requireSampleInDialect(f.dialect, e.withReplacement, e.caseCount, e.sampleFractions);
  const dfq::SampleSize size = dfq::sampleSizeOf(e.sampleFractions);
  const std::string_view argValue = getArgValue();
  if (size.kind == dfq::SampleSize::Count)
    f.put({"select ", argValue, " from ", f.inputs[0], " order by random() limit ",
           f.hold(size.text)});
  else
    f.put({"select ", argValue, " from ", f.inputs[0], " where ", uniformRandom(f.dialect), " < ",
           f.hold(size.text)});
}

void Node::sampleQuery(QueryFrame &f) {
  if (f.portable()) return portableSampleQuery(f);
  f.put({"select ", getArgValue(), " from ", f.inputs[0], " SAMPLE "});
  const Extras &e = extrasOrEmpty();
  if (e.withReplacement) f.put({"WITH REPLACEMENT "});
  if (e.randomizedAllocation) f.put({"RANDOMIZED ALLOCATION "});
  if (e.caseCount == 0) return f.put({e.sampleFractions});
  for (int k = 0; k < e.caseCount; ++k)
    f.put({"WHEN ", e.whenConditions[k], " THEN ", e.thenValues[k], " "});
  if (!e.elseValue.empty()) f.put({"ELSE ", e.elseValue, " "});
  f.put({"END"});
}
