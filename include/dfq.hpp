/*
 * libdfq for C++: a header-only wrapper over the C API of dfq.h (C++17 or
 * later).
 *
 *  - `dfq::Dag` owns the process's DAG instance: its constructor calls
 *    init_dag, its destructor close_dag. There is one DAG instance per
 *    process, so a second `dfq::Dag` while one is alive throws
 *    `dfq::DagError` and leaves the first one's graph as it was.
 *  - Nodes are `dfq::Node` handles holding the library's decimal id. A
 *    grouping (groupBy, groupByTime) is a `dfq::Grouping`, which only
 *    aggregate() and groupByTime() take: building anything else on it does
 *    not compile.
 *  - Texts go in and come out as std::string; output buffers are sized from
 *    the library's count and length calls, and for outputs without such a
 *    call from the longest text this wrapper has handed to the library.
 *  - A failure throws `dfq::Error` with the library's code and message.
 *  - Quiet by default: a `dfq::Dag` keeps the library's log records off
 *    standard error (the exception carries what the record would say).
 *    `dfq::Dag dag(dfq::LogRecords::Shown)`, or `dfq::Dag::setLogQuiet(false)`
 *    at any time, lets the records of the configured level through again.
 *  - A `dfq::Dag` may be shared by threads: each library call is atomic, and
 *    the results made of several calls (statements, show queries, parents,
 *    options, a failure's message) hold the wrapper's lock across their
 *    calls.
 *
 * The wrapper adds no behaviour: every method is one documented C call (or
 * the count/length/fetch sequence that one result needs).
 */
#ifndef DFQ_HPP
#define DFQ_HPP

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <initializer_list>
#include <mutex>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "dfq.h"

namespace dfq {

// A failure reported by the library: its code and its message.
class Error : public std::runtime_error {
 public:
  Error(int code, const std::string &message)
      : std::runtime_error("DFQ-" + std::to_string(code) + ": " + message),
        code_(code),
        message_(message) {}
  int code() const noexcept { return code_; }
  const std::string &message() const noexcept { return message_; }

 private:
  int code_;
  std::string message_;
};

// A second `Dag` while one is alive: the process has one DAG instance.
class DagError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

class Grouping;

namespace detail {
// False for every type, so that a static_assert fires only where it is used.
template <class T>
inline constexpr bool kNotANode = false;
}  // namespace detail

// A node of the graph, known by its decimal id.
class Node {
 public:
  Node() = default;
  explicit Node(std::string id) : id_(std::move(id)) {}
  // A grouping is no node to build on: only aggregate() and groupByTime()
  // read it. Passing one where a node is expected stops the compilation.
  template <class G, std::enable_if_t<std::is_same_v<G, Grouping>, int> = 0>
  Node(const G &) {
    static_assert(detail::kNotANode<G>,
                  "dfq: a Grouping feeds only aggregate() and groupByTime(); aggregate it first, "
                  "then build on the aggregate");
  }
  const std::string &id() const noexcept { return id_; }
  bool valid() const noexcept { return !id_.empty(); }
  friend bool operator==(const Node &a, const Node &b) { return a.id_ == b.id_; }
  friend bool operator!=(const Node &a, const Node &b) { return !(a == b); }

 private:
  std::string id_;
};

// What groupBy and groupByTime return: a grouping feeds aggregate() (and
// groupByTime()); any other operation on it is refused when the program is
// compiled. `node()` gives the grouping node itself, for inspection.
class Grouping {
 public:
  const std::string &id() const noexcept { return node_.id(); }
  const Node &node() const noexcept { return node_; }

 private:
  friend class Dag;
  explicit Grouping(Node node) : node_(std::move(node)) {}
  Node node_;
};

// Where a node's output goes: "schema"."table", or the bare table when the
// schema is empty.
struct OutputName {
  std::string table;
  std::string schema;
};

// One executable statement: its SQL, the table or view it stands for, its
// query type and the node it materialises.
struct Statement {
  std::string sql;
  std::string name;
  std::string queryType;
  std::string nodeid;
};

// One node of a full path with its own query (show query, option 2).
struct NodeQuery {
  std::string sql;
  std::string nodeid;
};

// Whether the library's log records of the configured level reach standard
// error while a `Dag` is alive (a process-wide setting of the library).
enum class LogRecords { Quiet, Shown };

// The SQL dialect of the statements (the `dialect` option of dfq.h).
enum class Dialect { Default, PostgreSQL, SQLite };

// The option value of a dialect: "default", "postgresql" or "sqlite".
inline const char *dialectName(Dialect dialect) {
  switch (dialect) {
    case Dialect::PostgreSQL: return "postgresql";
    case Dialect::SQLite: return "sqlite";
    default: return "default";
  }
}

// The three display forms of a node's SQL.
enum class ShowOption { Statements = 1, FullPath = 2, TopNode = 3 };

// A join of two nodes. `type` is inner, left, right, full, cross, semi or
// anti (any case); `columns` is the select list. A semi (anti) join keeps
// the rows of `left` that have (have no) row of `right` meeting the
// condition, and its columns name only `left`'s (through its alias, or *).
struct JoinSpec {
  std::string type;
  Node left;
  Node right;
  std::string condition;
  std::string leftAlias;
  std::string rightAlias;
  std::string columns = "*";
};

// Time-series grouping: interval, extra grouping columns, timecode column,
// timecode option and fill (all but the interval may be empty).
struct GroupByTimeSpec {
  std::string interval;
  std::string columns;
  std::string timecode;
  std::string timecodeOption;
  std::string fill;
};

// A sample: either `fractions` (a list of fractions or counts) or `cases`
// (WHEN condition, THEN size) with an optional `elseValue`.
struct SampleSpec {
  std::string columns = "*";
  bool withReplacement = false;
  bool randomizedAllocation = false;
  std::string fractions;
  std::vector<std::pair<std::string, std::string>> cases;
  std::string elseValue;
};

// An ML function call over `inputs` with one output per entry of `outputs`
// (at least one); `dependsOn` lists nodes whose statements must run with it.
struct MlQuerySpec {
  std::string function;
  std::string sql;
  std::vector<Node> inputs;
  std::vector<OutputName> outputs;
  std::vector<Node> dependsOn;
};

namespace detail {

// An owned array of writable C strings in the shape the C API expects:
// `data()` is never null and is followed by a null sentinel.
class Strings {
 public:
  Strings() { link(); }
  Strings(std::initializer_list<std::string> values) : Strings(std::vector<std::string>(values)) {}
  explicit Strings(const std::vector<std::string> &values) {
    for (const auto &value : values) append(value, value.size() + 1);
    link();
  }
  // `count` buffers of `size` bytes each, starting with `prefill` (for
  // outputs that the library requires to arrive non-empty).
  static Strings buffers(std::size_t count, std::size_t size, const std::string &prefill = "") {
    Strings s;
    for (std::size_t i = 0; i < count; ++i) s.append(prefill, size);
    s.link();
    return s;
  }
  // Buffers sized one by one (sizes include the terminating zero).
  static Strings buffers(const std::vector<int> &sizes) {
    Strings s;
    for (int size : sizes) s.append("", static_cast<std::size_t>(std::max(size, 1)));
    s.link();
    return s;
  }
  Strings(const Strings &) = delete;
  Strings &operator=(const Strings &) = delete;
  Strings(Strings &&other) noexcept : storage_(std::move(other.storage_)) { link(); }
  Strings &operator=(Strings &&other) noexcept {
    storage_ = std::move(other.storage_);
    link();
    other.link();
    return *this;
  }

  char **data() noexcept { return pointers_.data(); }
  std::size_t size() const noexcept { return storage_.size(); }
  std::string operator[](std::size_t i) const { return std::string(storage_[i].data()); }

 private:
  void append(const std::string &value, std::size_t size) {
    std::vector<char> buffer(std::max(size, value.size() + 1), '\0');
    std::copy(value.begin(), value.end(), buffer.begin());
    storage_.push_back(std::move(buffer));
  }
  void link() {
    pointers_.clear();
    for (auto &buffer : storage_) pointers_.push_back(buffer.data());
    pointers_.push_back(nullptr);
  }

  std::vector<std::vector<char>> storage_;
  std::vector<char *> pointers_;
};

// Room for a decimal node id and its terminating zero.
constexpr std::size_t kNodeidSize = 21;
// Room for a query type or another short fixed text of the library.
constexpr std::size_t kShortTextSize = 64;
// Floor for buffers whose size the library does not report.
constexpr std::size_t kMinBufferSize = 4096;

}  // namespace detail

// The process's DAG instance and every call that works on it.
class Dag {
 public:
  // init_dag with the three stored strings and the log level (0 TRACE ..
  // 5 FATAL), log records kept off standard error. Throws `Error` when the
  // library refuses.
  explicit Dag(int logLevel = 4, const std::string &user = "", const std::string &arg2 = "",
               const std::string &arg3 = "")
      : Dag(LogRecords::Quiet, logLevel, user, arg2, arg3) {}

  // As above, with the log records `records` (Shown: the library's records
  // of level `logLevel` go to standard error, as without the wrapper).
  // Throws `DagError` while another `Dag` is alive, before any library call.
  explicit Dag(LogRecords records, int logLevel = 4, const std::string &user = "",
               const std::string &arg2 = "", const std::string &arg3 = "") {
    if (alive().exchange(true))
      throw DagError("a dfq::Dag is already open: the process has one DAG instance, so close "
                     "(destroy) it before opening another");
    try {
      setLogQuiet(records == LogRecords::Quiet);
      detail::Strings u{user}, a2{arg2}, a3{arg3};
      int level = logLevel;
      call([&](int *rc) { init_dag(u.data(), a2.data(), &level, a3.data(), rc); });
    } catch (...) {
      alive() = false;
      throw;
    }
  }
  // init_dag, then the dialect (set before any node exists). Should the
  // library refuse, the delegated-to constructor has run and the destructor
  // closes the instance.
  explicit Dag(Dialect dialect, int logLevel = 4) : Dag(logLevel) { setDialect(dialect); }
  ~Dag() {
    close_dag();
    alive() = false;
  }
  Dag(const Dag &) = delete;
  Dag &operator=(const Dag &) = delete;

  // ---- sources -----------------------------------------------------------

  // A base table reading `source` (a table reference).
  Node table(const std::string &source, const OutputName &out = {},
             const std::string &argName = "source") {
    return addNode([&](char **id, int *rc) {
      detail::Strings name{argName}, value{text(source)}, t{text(out.table)}, s{text(out.schema)};
      dfq_table(name.data(), value.data(), t.data(), s.data(), id, rc);
    });
  }

  // A free query whose SQL is `sql`; both output names are required.
  Node query(const std::string &sql, const OutputName &out, const std::string &argName = "query") {
    return addNode([&](char **id, int *rc) {
      detail::Strings name{argName}, value{text(sql)}, t{text(out.table)}, s{text(out.schema)};
      dfq_query(name.data(), value.data(), t.data(), s.data(), id, rc);
    });
  }

  // ---- single-input operations ------------------------------------------

  // "select <columns> from <input>", with `prefix` written in front when it
  // is not empty.
  Node select(const Node &in, const std::string &columns, const OutputName &out,
              const std::string &prefix = "") {
    return selectNode(in, "select", columns, out, prefix);
  }

  // The first `rows` rows of the input ("select top").
  Node top(const Node &in, const std::string &rows, const OutputName &out) {
    return selectNode(in, "top", rows, out, "");
  }

  // The first `rows` (0 or more) rows of the input under `ordering`, as one
  // node that later nodes read (dfq_topn).
  Node topN(const Node &in, const std::string &ordering, int rows, const OutputName &out) {
    return addNode([&](char **id, int *rc) {
      detail::Strings nodeid{in.id()}, name{"topn"}, value{text(ordering)};
      detail::Strings t{text(out.table)}, s{text(out.schema)};
      int count = rows;
      dfq_topn(nodeid.data(), name.data(), value.data(), &count, t.data(), s.data(), id, rc);
    });
  }

  Node filter(const Node &in, const std::string &condition, const OutputName &out) {
    return singleInput(dfq_filter, in, "filter", {condition}, out);
  }

  // New columns `expressions`, beside the input's columns or, with
  // `dropExisting`, instead of them.
  Node assign(const Node &in, const std::string &expressions, bool dropExisting,
              const OutputName &out) {
    return singleInput(dfq_assign, in, "assign", {expressions, dropExisting ? "Y" : "N"}, out);
  }

  Node orderBy(const Node &in, const std::string &ordering, const OutputName &out) {
    return singleInput(dfq_orderby, in, "orderby", {ordering}, out);
  }

  // Grouping by `expression` ("F|word columns"); the node takes its input's
  // output name. Only aggregate() and groupByTime() read the result.
  Grouping groupBy(const Node &in, const std::string &expression) {
    return Grouping(grouping(dfq_groupby, in, "groupby", {expression}));
  }

  Grouping groupByTime(const Node &in, const GroupByTimeSpec &request) {
    return Grouping(grouping(dfq_groupby_time, in, "groupbytime",
                             {request.interval, request.columns, request.timecode,
                              request.timecodeOption, request.fill}));
  }
  Grouping groupByTime(const Grouping &in, const GroupByTimeSpec &request) {
    return groupByTime(in.node(), request);
  }

  // Aggregate expressions over the grouping `in`.
  Node aggregate(const Grouping &in, const std::string &expressions, const OutputName &out) {
    return aggregate(in.node(), expressions, out);
  }
  // Aggregate expressions over `in`, grouped by a grouping that reaches it
  // through other nodes, if any.
  Node aggregate(const Node &in, const std::string &expressions, const OutputName &out) {
    return singleInput(dfq_aggregate, in, "aggregate", {expressions}, out);
  }

  // ---- multi-input operations -------------------------------------------

  Node join(const JoinSpec &request, const OutputName &out) {
    return addNode([&](char **id, int *rc) {
      detail::Strings in{request.left.id(), request.right.id()};
      detail::Strings name{text(request.type), "left_alias", "right_alias", "columns"};
      detail::Strings value{text(request.condition), text(request.leftAlias), text(request.rightAlias),
                            text(request.columns)};
      detail::Strings t{text(out.table)}, s{text(out.schema)};
      dfq_join(in.data(), name.data(), value.data(), t.data(), s.data(), id, rc);
    });
  }

  // Set operation `op` (union, unionall, minus, minusall, intersect,
  // intersectall; any case) projecting input i to `columns[i]`.
  Node setOp(const std::string &op, const std::vector<Node> &inputs,
             const std::vector<std::string> &columns, const OutputName &out) {
    return addNode([&](char **id, int *rc) {
      detail::Strings in(ids(inputs)), name{text(op)}, value(texts(columns));
      detail::Strings t{text(out.table)}, s{text(out.schema)};
      int count = static_cast<int>(inputs.size());
      dfq_setop(in.data(), name.data(), value.data(), t.data(), s.data(), &count, id, rc);
    });
  }

  Node sample(const Node &in, const SampleSpec &request, const OutputName &out) {
    return addNode([&](char **id, int *rc) {
      detail::Strings nodeid{in.id()};
      detail::Strings name{"sample", "with_replacement", "randomized_allocation", "fractions",
                           "else"};
      detail::Strings value{text(request.columns), request.withReplacement ? "Y" : "N",
                            request.randomizedAllocation ? "Y" : "N", text(request.fractions),
                            text(request.elseValue)};
      std::vector<std::string> whens, thens;
      for (const auto &[when, then] : request.cases) {
        whens.push_back(text(when));
        thens.push_back(text(then));
      }
      // Without cases the lists still hold one (unread) string each.
      if (request.cases.empty()) whens = thens = {""};
      detail::Strings whenList(whens), thenList(thens), t{text(out.table)}, s{text(out.schema)};
      int count = static_cast<int>(request.cases.size());
      dfq_sample(nodeid.data(), name.data(), value.data(), t.data(), s.data(), id,
                 whenList.data(), thenList.data(), &count, rc);
    });
  }

  // The ML node (first) and one node per further output.
  std::vector<Node> mlQuery(const MlQuerySpec &request) {
    std::vector<std::string> tables, schemas;
    for (const auto &out : request.outputs) {
      tables.push_back(text(out.table));
      schemas.push_back(text(out.schema));
    }
    detail::Strings in(ids(request.inputs)), name{"ml_query"}, value{text(request.sql)};
    detail::Strings t(tables), s(schemas), function{text(request.function)};
    detail::Strings deps(ids(request.dependsOn));
    int inputCount = static_cast<int>(request.inputs.size());
    int outputCount = static_cast<int>(request.outputs.size());
    int depCount = static_cast<int>(request.dependsOn.size());
    auto out = detail::Strings::buffers(std::max<std::size_t>(request.outputs.size(), 1),
                                        detail::kNodeidSize);
    // Without dependencies the optional list is left out altogether.
    char **depIds = request.dependsOn.empty() ? nullptr : deps.data();
    int *depCountPtr = request.dependsOn.empty() ? nullptr : &depCount;
    call([&](int *rc) {
      dfq_ml_query(in.data(), name.data(), value.data(), t.data(), s.data(), function.data(),
                   &inputCount, &outputCount, out.data(), rc, depIds, depCountPtr);
    });
    std::vector<Node> nodes;
    for (std::size_t k = 0; k < request.outputs.size(); ++k) nodes.emplace_back(out[k]);
    return nodes;
  }

  // ---- statements and display -------------------------------------------

  // Generates (or reuses) the node's executable statements; their number.
  int generateStatements(const Node &node) { return intResult(dfq_gen_exec_queries, node); }

  // The node's executable statements, in the library's order (run them
  // from the last to the first).
  std::vector<Statement> statements(const Node &node) {
    const std::lock_guard held(sequence_);
    int count = generateStatements(node);
    if (count <= 0) return {};
    detail::Strings in{node.id()};
    std::vector<int> lengths(static_cast<std::size_t>(count), 0);
    call([&](int *rc) { dfq_get_exec_querysize(in.data(), &count, lengths.data(), rc); });
    auto sql = detail::Strings::buffers(lengths);
    const std::size_t nameSize = std::max(detail::kMinBufferSize, 2 * longestText_ + 8);
    auto names = detail::Strings::buffers(lengths.size(), nameSize);
    auto types = detail::Strings::buffers(lengths.size(), detail::kShortTextSize);
    auto nodeids = detail::Strings::buffers(lengths.size(), detail::kNodeidSize);
    call([&](int *rc) {
      dfq_get_exec_query(in.data(), &count, sql.data(), names.data(), types.data(),
                         nodeids.data(), rc);
    });
    std::vector<Statement> result;
    for (std::size_t i = 0; i < lengths.size(); ++i)
      result.push_back({sql[i], names[i], types[i], nodeids[i]});
    return result;
  }

  // Generates the node's full path; its number of nodes.
  int generateFullPath(const Node &node) { return intResult(dfq_gen_full_dagpath, node); }

  // Generates (once) the statements written against the top of the graph;
  // their number.
  int generateTopNodeQueries(const Node &node) {
    return intResult(dfq_gen_queries_with_reference_to_topnode, node);
  }

  // Show query, option 1: the node's statements as the length call
  // generates them.
  std::vector<std::string> showStatements(const Node &node) {
    const std::lock_guard held(sequence_);
    // The library reports no count for this form; the buffer leaves room
    // for far more statements than the node's path has nodes.
    const int pathNodes = generateFullPath(node);
    auto shown = show(node, ShowOption::Statements, 1024 + 16 * static_cast<std::size_t>(pathNodes));
    std::vector<std::string> result;
    for (auto &q : shown) result.push_back(std::move(q.sql));
    return result;
  }

  // Show query, option 2: every node of the full path with its own query.
  std::vector<NodeQuery> showFullPath(const Node &node) {
    const std::lock_guard held(sequence_);
    return show(node, ShowOption::FullPath, static_cast<std::size_t>(generateFullPath(node)));
  }

  // Show query, option 3: the statements written against the top node.
  std::vector<std::string> showTopNodeQueries(const Node &node) {
    const std::lock_guard held(sequence_);
    auto shown = show(node, ShowOption::TopNode,
                      static_cast<std::size_t>(generateTopNodeQueries(node)));
    std::vector<std::string> result;
    for (auto &q : shown) result.push_back(std::move(q.sql));
    return result;
  }

  // ---- node state ----------------------------------------------------------

  // Marks the node with its whole generated path executed (`executed`) or
  // not; the number of nodes updated.
  int updatePathState(const Node &node, bool executed) {
    detail::Strings in{node.id()};
    int state = executed ? 1 : 0, count = 0;
    call([&](int *rc) { dfq_update_node_state(in.data(), &state, &count, rc); });
    return count;
  }

  // Sets the node alone to executed or not.
  void updateNodeState(const Node &node, bool executed) {
    detail::Strings in{node.id()};
    int state = executed ? 1 : 0;
    call([&](int *rc) { dfq_update_node_state_single(in.data(), &state, rc); });
  }

  bool isExecuted(const Node &node) { return intResult(dfq_is_node_executed, node) == 1; }

  // ---- inspection --------------------------------------------------------

  OutputName tableName(const Node &node) { return names(dfq_get_tablename, node); }
  // As tableName, but a base table without output names yields its source.
  OutputName sourceTableName(const Node &node) { return names(dfq_get_source_tablename, node); }

  std::string queryType(const Node &node) {
    return oneText(dfq_get_node_query_type, node, detail::kShortTextSize);
  }

  // What a grouping is asked about: its names (its input's), query type,
  // expression and inputs.
  OutputName tableName(const Grouping &grouping) { return tableName(grouping.node()); }
  std::string queryType(const Grouping &grouping) { return queryType(grouping.node()); }
  std::string groupByExpression(const Grouping &grouping) {
    return groupByExpression(grouping.node());
  }
  std::vector<Node> parents(const Grouping &grouping) { return parents(grouping.node()); }

  std::string groupByExpression(const Node &node) {
    // A time grouping clause is built from five host texts and fixed words.
    return oneText(dfq_get_node_groupby_expr, node,
                   std::max(detail::kMinBufferSize, 5 * longestText_ + 256));
  }

  std::vector<Node> parents(const Node &node) {
    const std::lock_guard held(sequence_);
    const int count = intResult(dfq_get_parent_nodes_count, node);
    if (count <= 0) return {};
    detail::Strings in{node.id()};
    auto out = detail::Strings::buffers(static_cast<std::size_t>(count), detail::kNodeidSize);
    call([&](int *rc) { dfq_get_parent_nodeids(in.data(), out.data(), rc); });
    std::vector<Node> result;
    for (std::size_t i = 0; i < out.size(); ++i) result.emplace_back(out[i]);
    return result;
  }

  // ---- options ------------------------------------------------------------

  // dfq_set_option: `dialect` takes default, postgresql or sqlite, and can
  // only change while the graph has no nodes; `form` takes nested or cte.
  void setOption(const std::string &name, const std::string &value) {
    detail::Strings n{text(name)}, v{text(value)};
    call([&](int *rc) { dfq_set_option(n.data(), v.data(), rc); });
  }

  // dfq_get_option, with a buffer grown to the size the library asks for.
  std::string option(const std::string &name) {
    const std::lock_guard held(sequence_);
    detail::Strings n{text(name)};
    int size = static_cast<int>(detail::kShortTextSize);
    for (int attempt = 0;; ++attempt) {
      auto out = detail::Strings::buffers(1, static_cast<std::size_t>(size));
      int rc = 0;
      dfq_get_option(n.data(), out.data(), &size, &rc);
      if (rc == 0) return out[0];
      if (rc != 1604 || attempt > 0) throw Error(rc, errorMessage(rc));
    }
  }

  void setDialect(Dialect dialect) { setOption("dialect", dialectName(dialect)); }

  // The statement form (the `form` option): "nested" or "cte"; it may
  // change at any time.
  void setForm(const std::string &form) { setOption("form", form); }

  // ---- log level and messages --------------------------------------------

  static int logLevel() {
    int level = 0, rc = 0;
    get_log_level(&level, &rc);
    if (rc != 0) throw Error(rc, "get_log_level failed");
    return level;
  }

  void setLogLevel(int level) {
    call([&](int *rc) { set_log_level(&level, rc); });
  }

  // Quiet keeps the library's log records off standard error (the default
  // of a `Dag`); false lets the records of the configured level through.
  static void setLogQuiet(bool quiet) { log_set_quiet(quiet ? 1 : 0); }

  // The message the library last recorded for `code` (empty when none).
  std::string errorMessage(int code) const {
    auto out = detail::Strings::buffers(1, std::max(detail::kMinBufferSize, 2 * longestText_ + 1024));
    if (code > 0) dfq_get_error_message(&code, out.data());
    return out[0];
  }

 private:
  // Runs one C call and turns a non-zero return code into an `Error` (with
  // the message read before another thread's failure can replace it).
  template <class Call>
  void call(Call &&c) {
    const std::lock_guard held(sequence_);
    int rc = 0;
    c(&rc);
    if (rc != 0) throw Error(rc, errorMessage(rc));
  }

  // Runs one node-creating C call with a node-id buffer (prefilled, since
  // some entries require it to arrive non-empty) and returns the new node.
  template <class Call>
  Node addNode(Call &&c) {
    auto id = detail::Strings::buffers(1, detail::kNodeidSize, "0");
    call([&](int *rc) { c(id.data(), rc); });
    return Node(id[0]);
  }

  // Remembers the longest text handed over, to size outputs that have no
  // length call.
  const std::string &text(const std::string &value) {
    std::size_t longest = longestText_.load();
    while (value.size() > longest && !longestText_.compare_exchange_weak(longest, value.size())) {
    }
    return value;
  }

  std::vector<std::string> texts(const std::vector<std::string> &values) {
    for (const auto &v : values) text(v);
    return values;
  }

  static std::vector<std::string> ids(const std::vector<Node> &nodes) {
    std::vector<std::string> result;
    for (const auto &n : nodes) result.push_back(n.id());
    return result;
  }

  using SingleInputEntry = void (*)(char **, char **, char **, char **, char **, char **, int *);

  Node singleInput(SingleInputEntry entry, const Node &in, const char *argName,
                   const std::vector<std::string> &values, const OutputName &out) {
    return addNode([&](char **id, int *rc) {
      detail::Strings nodeid{in.id()}, name{argName}, value(texts(values));
      detail::Strings t{text(out.table)}, s{text(out.schema)};
      entry(nodeid.data(), name.data(), value.data(), t.data(), s.data(), id, rc);
    });
  }

  Node selectNode(const Node &in, const std::string &argName, const std::string &value,
                  const OutputName &out, const std::string &prefix) {
    return addNode([&](char **id, int *rc) {
      detail::Strings nodeid{in.id()}, name{argName}, values{text(value), text(prefix)};
      detail::Strings t{text(out.table)}, s{text(out.schema)};
      int length = prefix.empty() ? 1 : 2;
      dfq_select(nodeid.data(), name.data(), values.data(), t.data(), s.data(), id, &length, rc);
    });
  }

  // A grouping node: the library overwrites the output names with the
  // input's, so both buffers must arrive non-empty and hold any name.
  Node grouping(SingleInputEntry entry, const Node &in, const char *argName,
                const std::vector<std::string> &values) {
    const std::size_t size = std::max(detail::kMinBufferSize, longestText_ + 1);
    return addNode([&](char **id, int *rc) {
      detail::Strings nodeid{in.id()}, name{argName}, value(texts(values));
      auto t = detail::Strings::buffers(1, size, "-"), s = detail::Strings::buffers(1, size, "-");
      entry(nodeid.data(), name.data(), value.data(), t.data(), s.data(), id, rc);
    });
  }

  using NamesEntry = void (*)(char **, char **, char **, int *);

  OutputName names(NamesEntry entry, const Node &node) {
    detail::Strings in{node.id()};
    const std::size_t size = std::max(detail::kMinBufferSize, longestText_ + 1);
    // The library requires both buffers to arrive non-empty.
    auto t = detail::Strings::buffers(1, size, "-"), s = detail::Strings::buffers(1, size, "-");
    call([&](int *rc) { entry(in.data(), t.data(), s.data(), rc); });
    return {t[0], s[0]};
  }

  using IntEntry = void (*)(char **, int *, int *);

  // One C call that writes one integer about a node.
  int intResult(IntEntry entry, const Node &node) {
    detail::Strings in{node.id()};
    int value = 0;
    call([&](int *rc) { entry(in.data(), &value, rc); });
    return value;
  }

  using TextEntry = void (*)(char **, char **, int *);

  std::string oneText(TextEntry entry, const Node &node, std::size_t size) {
    detail::Strings in{node.id()};
    // The library requires the buffer to arrive non-empty.
    auto out = detail::Strings::buffers(1, size, "-");
    call([&](int *rc) { entry(in.data(), out.data(), rc); });
    return out[0];
  }

  // Length call, then fetch, for one show-query form. `capacity` bounds the
  // number of queries; unused length slots stay 0.
  std::vector<NodeQuery> show(const Node &node, ShowOption option, std::size_t capacity) {
    detail::Strings in{node.id()};
    int opt = static_cast<int>(option);
    std::vector<int> lengths(std::max<std::size_t>(capacity, 1) + 1, 0);
    call([&](int *rc) { dfq_show_query_length(in.data(), &opt, lengths.data(), rc); });
    const auto used = std::find(lengths.begin(), lengths.end(), 0);
    lengths.erase(used, lengths.end());
    auto sql = detail::Strings::buffers(lengths);
    auto nodeids = detail::Strings::buffers(std::max<std::size_t>(lengths.size(), 1),
                                            detail::kNodeidSize);
    call([&](int *rc) { dfq_show_query(in.data(), &opt, sql.data(), nodeids.data(), rc); });
    std::vector<NodeQuery> result;
    for (std::size_t i = 0; i < lengths.size(); ++i) result.push_back({sql[i], nodeids[i]});
    return result;
  }

  // Whether a `Dag` of this process is alive.
  static std::atomic<bool> &alive() {
    static std::atomic<bool> open{false};
    return open;
  }

  std::atomic<std::size_t> longestText_{0};
  // Held across the library calls that make up one result.
  std::recursive_mutex sequence_;
};

}  // namespace dfq

#endif  // DFQ_HPP
