// A host driven by the fuzzer's bytes: a sequence of exported calls in any
// order (DAG instance opened and closed, nodes of every kind, statements
// generated and fetched, show queries, state updates, inspection), with
// texts, counts and node ids drawn from the input and from the nodes
// created so far. Buffers are sized exactly as the host learns their sizes,
// so AddressSanitizer sees any write past what the library reported.
// Beyond "no crash, no leak", the run stops when the library breaks one of
// its promises: a success that hands back no id, a fetched text whose
// length is not the one reported, a state other than 0 or 1.
#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "dfq.h"
#include "fuzzSupport.h"

namespace {

using fuzz::FuzzInput;
using fuzz::HostArray;
using fuzz::require;

constexpr std::size_t kMaxNodes = 160;
// Upper bound of the estimated size of a fully inlined statement: keeps
// chains of self-joins from growing without end.
constexpr std::size_t kMaxInlinedSize = 4'000'000;
constexpr std::size_t kIdBuffer = 21;
constexpr std::size_t kNameBuffer = 512;
constexpr std::size_t kTypeBuffer = 64;
constexpr std::size_t kMessageBuffer = 4096;
constexpr std::size_t kMaxShowQueries = 1024;

const char *const kTables[] = {"t1", "t2", "t3"};
const char *const kSchemas[] = {"w", "s", ""};
const char *const kBadIds[] = {"0", "-1", "abc", "", "123456789012345678", " 7"};
const char *const kJoinTypes[] = {"inner", "Left",  "right", "FULL", "cross",
                                  "crossover", "outer", "SEMI",  "anti"};
const char *const kSetops[] = {"union", "UnionAll", "minus", "minusall", "intersect",
                               "intersectall", "union all"};
const char *const kSwitches[] = {"1", "Y", "y", "0", ""};
const char *const kOptions[] = {"dialect", "DIALECT", "form", "Form", "colour", ""};
const char *const kOptionValues[] = {"default", "postgresql", "sqlite", "SQLite", "mysql", "",
                                     "nested",  "cte",        "CTE"};

bool isNodeId(const std::string &text) {
  if (text.empty() || text.size() > 19) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return std::atoll(text.c_str()) > 0;
}

class Host {
 public:
  explicit Host(FuzzInput &in) : in_(in) {}

  void run() {
    for (int step = 0; step < 256 && !in_.empty(); ++step) (this->*kOps[in_.byte() % kOpCount])();
    close_dag();
  }

 private:
  using Op = void (Host::*)();

  // ---- choices ------------------------------------------------------------

  template <std::size_t N>
  const char *pick(const char *const (&list)[N]) {
    return list[in_.byte() % N];
  }

  // Mostly one of the nodes handed out so far (recent ones first), else a
  // malformed or unknown id.
  std::string nodeId() {
    const std::uint8_t b = in_.byte();
    if (!nodes_.empty() && b < 224) return nodes_[nodes_.size() - 1 - b % nodes_.size()];
    return kBadIds[b % std::size(kBadIds)];
  }

  // (Every decision is its own statement: the order in which operands are
  // evaluated differs between compilers, the order of decisions must not.)
  std::string quotedName() {
    const std::string schema = pick(kSchemas);
    return "\"" + schema + "\".\"" + pick(kTables) + "\"";
  }

  std::string concat(std::initializer_list<std::string> parts) {
    std::string s;
    for (const auto &p : parts) s += p;
    return s;
  }

  // Tags, names and other short texts (hosts size their buffers for them).
  std::string shortText() { return in_.oneIn(3) ? std::string(pick(kTables)) : in_.text(16); }

  // SQL fragments: random text, references to the names the nodes use,
  // near-misses of the quoted form, sometimes a very long text.
  std::string sqlText() {
    switch (in_.byte() % 10) {
      case 0: case 1: case 2: return in_.text(24);
      case 3: case 4: return concat({in_.text(8), " ", quotedName(), " ", in_.text(8)});
      case 5: return concat({quotedName(), " as a, ", quotedName()});
      case 6: return concat({"\"", in_.text(6), "\".\"", in_.text(6)});
      case 7: return std::string(static_cast<std::size_t>(in_.byte()) * 4096 + 1, 'x');
      case 8: return "x in (select * from " + quotedName() + ")";
      default: return "";
    }
  }

  std::size_t sizeOf(const std::string &id) const {
    const auto it = size_.find(id);
    return it == size_.end() ? 0 : it->second;
  }

  // Whether a node over `inputs` with `own` characters of text stays within
  // the bounds of a run; its estimate goes to `estimate`.
  bool affordable(const std::vector<std::string> &inputs, std::size_t own, std::size_t &estimate) {
    estimate = own + 64;
    for (const auto &id : inputs) estimate += sizeOf(id);
    return nodes_.size() < kMaxNodes && estimate <= kMaxInlinedSize;
  }

  // A host sometimes passes a null array or a null string inside one.
  HostArray &sloppy(HostArray &a) {
    if (in_.oneIn(48)) a.passNull();
    if (in_.oneIn(48)) a.setNull(in_.byte() % (a.size() + 1));
    return a;
  }

  void added(int rc, const HostArray &out, std::size_t estimate, std::size_t count = 1) {
    lastCode_ = rc;
    if (rc != 0) return;
    for (std::size_t k = 0; k < count; ++k) {
      const std::string id = out.at(k);
      require(isNodeId(id), "a successful call hands back a positive decimal id", id);
      nodes_.push_back(id);
      size_[id] = estimate;
    }
  }

  // ---- DAG instance, log level, messages ------------------------------------

  void openDag() {
    HostArray user({shortText()}), a2({shortText()}), a3({shortText()});
    int level = in_.number(-1, 6), rc = -1;
    sloppy(user);
    int *levelArg = in_.oneIn(32) ? nullptr : &level;
    init_dag(user.get(), a2.get(), levelArg, a3.get(), &rc);
    lastCode_ = rc;
  }

  void closeDag() { close_dag(); }

  void logLevel() {
    int level = in_.number(-1, 6), rc = -1, read = -1;
    set_log_level(&level, &rc);
    get_log_level(&read, &rc);
    require(rc == 0, "the log level can always be read");
  }

  void errorMessage() {
    int code = in_.oneIn(2) ? lastCode_ : in_.number(-2, 1700);
    HostArray out = HostArray::buffers(1, kMessageBuffer);
    dfq_get_error_message(&code, out.get());
  }

  // The dialect changes what later nodes write, or is refused once there
  // are nodes; the statement form may change at any time. What is read
  // back is always one of the option's values.
  void option() {
    HostArray name({pick(kOptions)}), value({pick(kOptionValues)});
    sloppy(name);
    sloppy(value);
    int rc = -1;
    dfq_set_option(name.get(), value.get(), &rc);
    lastCode_ = rc;
    int size = in_.number(-1, 16);
    const char *const asked = pick(kOptions);
    HostArray read({asked}), out = HostArray::buffers(1, 16);
    dfq_get_option(read.get(), out.get(), &size, &rc);
    if (rc == 0) {
      const std::string got = out.at(0);
      if (asked[0] == 'f' || asked[0] == 'F')
        require(got == "nested" || got == "cte", "a known form", got);
      else
        require(got == "default" || got == "postgresql" || got == "sqlite", "a known dialect", got);
      require(size == static_cast<int>(got.size()) + 1, "the size of the value read");
    }
  }

  void print() {
    if (in_.oneIn(2)) {
      print_dag();
      return;
    }
    HostArray id({nodeId()});
    print_dag_path(sloppy(id).get());
  }

  // ---- sources --------------------------------------------------------------

  void source() {
    const bool query = in_.oneIn(2);
    HostArray name({query ? shortText() : "source"}), value({query ? sqlText() : shortText()});
    // A base table without output names reads its source by name.
    const bool unnamed = !query && in_.oneIn(3);
    HostArray table({unnamed ? "" : pick(kTables)}), schema({unnamed ? "" : pick(kSchemas)});
    HostArray out = HostArray::buffers(1, kIdBuffer);
    std::size_t estimate = 0;
    if (!affordable({}, value.at(0).size(), estimate)) return;
    int rc = -1;
    sloppy(name);
    sloppy(schema);
    (query ? dfq_query : dfq_table)(name.get(), value.get(), table.get(), schema.get(), out.get(),
                                    &rc);
    added(rc, out, estimate);
  }

  // ---- single-input operations ---------------------------------------------

  void select() {
    const std::string input = nodeId();
    HostArray in({input}), name({in_.oneIn(3) ? "top" : shortText()});
    HostArray value({sqlText(), shortText()}), table({pick(kTables)}), schema({pick(kSchemas)});
    HostArray out = HostArray::buffers(1, kIdBuffer);
    std::size_t estimate = 0;
    if (!affordable({input}, value.at(0).size(), estimate)) return;
    int length = in_.number(0, 3), rc = -1;
    sloppy(in);
    sloppy(value);
    dfq_select(in.get(), name.get(), value.get(), table.get(), schema.get(), out.get(), &length,
               &rc);
    added(rc, out, estimate);
  }

  using SevenArgEntry = void (*)(char **, char **, char **, char **, char **, char **, int *);

  void singleInput(SevenArgEntry entry, std::vector<std::string> values) {
    const std::string input = nodeId();
    HostArray in({input}), name({shortText()}), value(values);
    HostArray table({pick(kTables)}), schema({pick(kSchemas)});
    HostArray out = HostArray::buffers(1, kIdBuffer);
    std::size_t estimate = 0;
    if (!affordable({input}, values[0].size(), estimate)) return;
    int rc = -1;
    sloppy(in);
    sloppy(value);
    entry(in.get(), name.get(), value.get(), table.get(), schema.get(), out.get(), &rc);
    added(rc, out, estimate);
  }

  void filter() { singleInput(dfq_filter, {sqlText()}); }
  void assign() { singleInput(dfq_assign, {sqlText(), pick(kSwitches)}); }
  void orderby() { singleInput(dfq_orderby, {sqlText()}); }
  void aggregate() { singleInput(dfq_aggregate, {sqlText()}); }

  // A count of any sign: a negative one adds no node.
  void topn() {
    const std::string input = nodeId();
    HostArray in({input}), name({shortText()}), value({sqlText()});
    HostArray table({pick(kTables)}), schema({pick(kSchemas)});
    HostArray out = HostArray::buffers(1, kIdBuffer);
    std::size_t estimate = 0;
    if (!affordable({input}, value.at(0).size(), estimate)) return;
    int count = in_.number(-2, 12), rc = -1;
    sloppy(in);
    sloppy(name);
    sloppy(value);
    dfq_topn(in.get(), name.get(), value.get(), &count, table.get(), schema.get(), out.get(), &rc);
    require(count >= 0 || rc != 0, "a negative row count is refused");
    added(rc, out, estimate);
  }

  // Grouping overwrites the host's output names with the input's: the
  // buffers are sized for any name a node of this run can have.
  void grouping() {
    const bool byTime = in_.oneIn(2);
    const std::string input = nodeId();
    HostArray in({input}), name({shortText()});
    HostArray value;
    if (byTime) {
      value = HostArray({shortText(), shortText(), shortText(), shortText(), shortText()});
    } else {
      const std::string function = in_.oneIn(2) ? "|w " : "f|w ";
      value = HostArray({function + shortText()});
    }
    if (byTime && in_.oneIn(2)) value.setNull(1 + in_.byte() % 4);
    HostArray table = HostArray::buffers(1, kNameBuffer, pick(kTables));
    HostArray schema = HostArray::buffers(1, kNameBuffer, in_.oneIn(4) ? "" : "w");
    HostArray out = HostArray::buffers(1, kIdBuffer);
    std::size_t estimate = 0;
    if (!affordable({input}, 0, estimate)) return;
    int rc = -1;
    sloppy(in);
    (byTime ? dfq_groupby_time : dfq_groupby)(in.get(), name.get(), value.get(), table.get(),
                                               schema.get(), out.get(), &rc);
    added(rc, out, estimate);
  }

  // ---- multi-input operations ------------------------------------------------

  void join() {
    const std::vector<std::string> inputs = {nodeId(), nodeId()};
    HostArray in(inputs), name({pick(kJoinTypes), "a", "b", in_.oneIn(8) ? "" : "c"});
    HostArray value({sqlText(), "l", "r", in_.oneIn(2) ? "*" : shortText()});
    HostArray table({pick(kTables)}), schema({pick(kSchemas)});
    HostArray out = HostArray::buffers(1, kIdBuffer, "x");
    std::size_t estimate = 0;
    if (!affordable(inputs, value.at(0).size(), estimate)) return;
    int rc = -1;
    sloppy(in);
    sloppy(name);
    sloppy(value);
    dfq_join(in.get(), name.get(), value.get(), table.get(), schema.get(), out.get(), &rc);
    added(rc, out, estimate);
  }

  void setop() {
    const int count = in_.number(0, 4);
    std::vector<std::string> inputs, columns;
    for (int i = 0; i < count; ++i) {
      inputs.push_back(nodeId());
      columns.push_back(in_.oneIn(8) ? "" : "a");
    }
    if (count == 0) inputs = columns = {"1"};
    HostArray in(inputs), name({pick(kSetops)}), value(columns);
    HostArray table({pick(kTables)}), schema({pick(kSchemas)});
    HostArray out = HostArray::buffers(1, kIdBuffer, "x");
    std::size_t estimate = 0;
    if (!affordable(inputs, 0, estimate)) return;
    int n = count, rc = -1;
    sloppy(in);
    sloppy(value);
    dfq_setop(in.get(), name.get(), value.get(), table.get(), schema.get(), &n, out.get(), &rc);
    added(rc, out, estimate);
  }

  void sample() {
    const std::string input = nodeId();
    const int cases = in_.number(-1, 3);
    std::vector<std::string> when, then;
    for (int i = 0; i < cases; ++i) {
      when.push_back(shortText());
      then.push_back(shortText());
    }
    if (cases <= 0) when = then = {""};
    HostArray in({input}), name({"t", "a", "b", "c", "d"});
    HostArray value({"*", pick(kSwitches), pick(kSwitches), cases > 0 ? "" : "0.5",
                     in_.oneIn(4) ? "5" : ""});
    HostArray w(when), t(then), table({pick(kTables)}), schema({pick(kSchemas)});
    HostArray out = HostArray::buffers(1, kIdBuffer);
    std::size_t estimate = 0;
    if (!affordable({input}, 0, estimate)) return;
    int length = cases, rc = -1;
    sloppy(in);
    sloppy(name);
    sloppy(value);
    sloppy(w);
    dfq_sample(in.get(), name.get(), value.get(), table.get(), schema.get(), out.get(), w.get(),
               t.get(), &length, &rc);
    added(rc, out, estimate);
  }

  void mlQuery() {
    const int inputCount = in_.number(0, 3), outputs = in_.oneIn(16) ? 0 : in_.number(1, 3);
    const int depCount = in_.number(0, 2);
    std::vector<std::string> inputs, tables, schemas, deps;
    for (int i = 0; i < inputCount; ++i) inputs.push_back(nodeId());
    for (int k = 0; k < outputs; ++k) {
      tables.push_back(pick(kTables));
      schemas.push_back(pick(kSchemas));
    }
    for (int i = 0; i < depCount; ++i) deps.push_back(nodeId());
    HostArray in(inputs.empty() ? std::vector<std::string>{"1"} : inputs), name({shortText()});
    HostArray value({sqlText()}), fn({"fn"});
    HostArray table(tables.empty() ? std::vector<std::string>{"t1"} : tables);
    HostArray schema(schemas.empty() ? std::vector<std::string>{""} : schemas);
    HostArray out = HostArray::buffers(outputs > 0 ? outputs : 1, kIdBuffer);
    HostArray depIds(deps.empty() ? std::vector<std::string>{"0"} : deps);
    std::size_t estimate = 0;
    if (!affordable(inputs, value.at(0).size(), estimate)) return;
    int nIn = inputCount, nOut = outputs, nDeps = depCount, rc = -1;
    const bool withDeps = depCount > 0 && !in_.oneIn(4);
    sloppy(in);
    sloppy(table);
    dfq_ml_query(in.get(), name.get(), value.get(), table.get(), schema.get(),
                 fn.get(), &nIn, &nOut, out.get(), &rc, withDeps ? depIds.get() : nullptr,
                 withDeps ? &nDeps : nullptr);
    added(rc, out, estimate, static_cast<std::size_t>(outputs));
  }

  // ---- statements -------------------------------------------------------------

  // Fetches `count` statements as a host does: sizes first, then buffers of
  // exactly those sizes; the texts must have the lengths reported.
  void fetchStatements(HostArray &in, int count) {
    if (count <= 0) return;
    std::vector<int> lengths(static_cast<std::size_t>(count), 0);
    int unused = 0, rc = -1;
    dfq_get_exec_querysize(in.get(), &unused, lengths.data(), &rc);
    lastCode_ = rc;
    if (rc != 0) return;
    for (int n : lengths) require(n >= 1, "a statement's buffer size includes its terminator");
    // Sometimes only the first few: no more are copied than asked for.
    int asked = in_.oneIn(4) ? in_.number(1, count) : count;
    lengths.resize(static_cast<std::size_t>(asked));
    HostArray queries = HostArray::sized(lengths);
    HostArray names = HostArray::buffers(lengths.size(), kNameBuffer);
    HostArray types = HostArray::buffers(lengths.size(), kTypeBuffer);
    HostArray ids = HostArray::buffers(lengths.size(), kIdBuffer);
    dfq_get_exec_query(in.get(), &asked, queries.get(), names.get(), types.get(), ids.get(), &rc);
    require(rc == 0, "statements whose sizes were reported can be fetched");
    for (std::size_t i = 0; i < lengths.size(); ++i) {
      require(queries.at(i).size() + 1 == static_cast<std::size_t>(lengths[i]),
              "a fetched statement has the reported length");
      require(isNodeId(ids.at(i)), "a statement names its node", ids.at(i));
      require(!types.at(i).empty(), "a statement has a query type");
    }
  }

  void generateAndFetch() {
    HostArray in({nodeId()});
    int count = -1, rc = -1;
    dfq_gen_exec_queries(sloppy(in).get(), &count, &rc);
    lastCode_ = rc;
    if (rc != 0) return;
    require(count >= 0, "a statement count is not negative");
    fetchStatements(in, count);
  }

  // Sizes and statements asked for without generating first: whatever the
  // node holds (possibly nothing) is reported consistently.
  void fetchWithoutGenerating() {
    HostArray in({nodeId()});
    std::vector<int> lengths(kMaxNodes * 4, 0);
    int unused = 0, rc = -1;
    dfq_get_exec_querysize(in.get(), &unused, lengths.data(), &rc);
    lastCode_ = rc;
    if (rc != 0) return;
    int count = 0;
    while (count < static_cast<int>(lengths.size()) && lengths[static_cast<std::size_t>(count)] > 0)
      ++count;
    fetchStatements(in, count);
  }

  // Show queries: lengths first, then buffers of exactly those lengths.
  void show(int option) {
    HostArray in({nodeId()});
    std::vector<int> lengths(kMaxShowQueries, 0);
    int rc = -1;
    sloppy(in);
    int *optionArg = in_.oneIn(32) ? nullptr : &option;
    dfq_show_query_length(in.get(), optionArg, lengths.data(), &rc);
    lastCode_ = rc;
    if (rc != 0) return;
    std::vector<int> sizes;
    for (int n : lengths) {
      if (n <= 0) break;
      sizes.push_back(n);
    }
    HostArray queries = HostArray::sized(sizes.empty() ? std::vector<int>{1} : sizes);
    HostArray ids = HostArray::buffers(sizes.empty() ? 1 : sizes.size(), kIdBuffer);
    dfq_show_query(in.get(), &option, queries.get(), ids.get(), &rc);
    lastCode_ = rc;
    require(rc == 0, "a show query whose lengths were reported can be fetched");
    for (std::size_t i = 0; i < sizes.size(); ++i)
      require(queries.at(i).size() + 1 == static_cast<std::size_t>(sizes[i]),
              "a fetched show query has the reported length");
  }

  void showQuery() { show(in_.number(-1, 4)); }

  void fullPath() {
    HostArray in({nodeId()});
    int count = -1, rc = -1;
    dfq_gen_full_dagpath(sloppy(in).get(), &count, &rc);
    lastCode_ = rc;
    if (rc == 0) require(count >= 0, "a path length is not negative");
    if (in_.oneIn(2)) show(2);
  }

  void topNodeQueries() {
    HostArray in({nodeId()});
    int count = -1, rc = -1;
    dfq_gen_queries_with_reference_to_topnode(sloppy(in).get(), &count, &rc);
    lastCode_ = rc;
    if (rc == 0) require(count >= 0, "a statement count is not negative");
    if (in_.oneIn(2)) show(3);
  }

  // ---- state and inspection ---------------------------------------------------

  void updateState() {
    HostArray in({nodeId()});
    int state = in_.oneIn(8) ? in_.number(-3, 3) : in_.number(0, 1);
    int count = in_.number(0, 2), rc = -1;
    if (in_.oneIn(2)) {
      dfq_update_node_state(sloppy(in).get(), &state, &count, &rc);
      if (rc == 0) require(count >= 1, "an update counts the nodes it changed");
    } else {
      dfq_update_node_state_single(sloppy(in).get(), &state, &rc);
    }
    lastCode_ = rc;
  }

  void isExecuted() {
    HostArray in({nodeId()});
    int state = -1, rc = -1;
    dfq_is_node_executed(sloppy(in).get(), &state, &rc);
    lastCode_ = rc;
    if (rc == 0) require(state == 0 || state == 1, "a node state is 0 or 1");
  }

  void inspect() {
    HostArray in({nodeId()});
    HostArray table = HostArray::buffers(1, kNameBuffer, "x");
    HostArray schema = HostArray::buffers(1, kNameBuffer, "x");
    HostArray text = HostArray::buffers(1, kNameBuffer, "x");
    int rc = -1, count = -1;
    switch (in_.byte() % 5) {
      case 0: dfq_get_tablename(sloppy(in).get(), table.get(), schema.get(), &rc); break;
      case 1: dfq_get_source_tablename(sloppy(in).get(), table.get(), schema.get(), &rc); break;
      case 2: dfq_get_node_query_type(sloppy(in).get(), text.get(), &rc); break;
      case 3: dfq_get_node_groupby_expr(sloppy(in).get(), text.get(), &rc); break;
      default:
        dfq_get_parent_nodes_count(in.get(), &count, &rc);
        if (rc != 0) break;
        require(count >= 0, "a node has no negative number of inputs");
        HostArray parents = HostArray::buffers(count > 0 ? static_cast<std::size_t>(count) : 1,
                                               kIdBuffer);
        dfq_get_parent_nodeids(in.get(), parents.get(), &rc);
        require(rc == 0, "the inputs of a counted node can be listed");
        for (int i = 0; i < count; ++i)
          require(isNodeId(parents.at(static_cast<std::size_t>(i))), "an input id is decimal");
    }
    lastCode_ = rc;
  }

  static constexpr Op kOps[] = {
      &Host::openDag,   &Host::closeDag,      &Host::logLevel,     &Host::errorMessage,
      &Host::print,     &Host::source,        &Host::source,       &Host::select,
      &Host::filter,    &Host::assign,        &Host::orderby,      &Host::aggregate,
      &Host::grouping,  &Host::join,          &Host::setop,        &Host::sample,
      &Host::mlQuery,   &Host::generateAndFetch, &Host::generateAndFetch,
      &Host::fetchWithoutGenerating, &Host::showQuery, &Host::fullPath,
      &Host::topNodeQueries, &Host::updateState, &Host::isExecuted, &Host::inspect,
      &Host::option,    &Host::topn,
  };
  static constexpr std::size_t kOpCount = std::size(kOps);

  FuzzInput &in_;
  std::vector<std::string> nodes_;  // ids handed out, also by closed DAG instances
  std::map<std::string, std::size_t> size_;
  int lastCode_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const bool silentPrints = std::freopen("/dev/null", "w", stdout) != nullptr;
  (void)silentPrints;  // the print entries write to standard output
  fuzz::formatEveryRecord();
  FuzzInput in(data, size);
  Host(in).run();
  return 0;
}
