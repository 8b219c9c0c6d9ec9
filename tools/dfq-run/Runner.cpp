#include "Runner.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "Csv.h"
#include "Output.h"

namespace dfqrun {

namespace {

// A failure that ends the run with `code`.
struct Failure {
  int code;
  std::string message;
};

// "<file>:<line>: " for messages about a step.
std::string where(const Step &step) { return step.file + ":" + std::to_string(step.line) + ": "; }

std::string refusal(const dfq::Error &e) {
  return "DFQ-" + std::to_string(e.code()) + ": " + e.message();
}

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Failure{kExitInput, path + ": cannot read the file"};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool endsWith(const std::string &s, const std::string &suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// How one input of a node is projected in a set operation.
std::string setopColumns(const NodeStep &step, const std::string &label) {
  const auto it = step.inputColumns.find(label);
  return it != step.inputColumns.end() ? it->second : step.text;
}

std::string option(const NodeStep &step, const std::string &key, const std::string &fallback = "") {
  const auto it = step.options.find(key);
  return it != step.options.end() ? it->second : fallback;
}

// The row count of a top-n, checked by the parser (isRowCount).
int rowCount(const std::string &text) { return std::stoi(text); }

// A pointer to --replace when the database met a table of the same name.
std::string existsHint(const DatabaseError &e) {
  const std::string message = e.what();
  return message.find("already exists") != std::string::npos
             ? " (--replace drops tables and views of the same name first)"
             : "";
}

dfq::OutputName outputName(const std::string &label, const std::string &schema) {
  const auto [table, outSchema] = outputOf(label, schema);
  return {table, outSchema};
}

}  // namespace

namespace {

// The first feature of the default dialect in `statement` that an engine
// lacks; `sqlite` picks SQLite's gaps, else PostgreSQL's.
std::string unsupportedFeature(const dfq::Statement &statement, bool sqlite) {
  const std::string &type = statement.queryType;
  if (type == "reference" || type.rfind("ml_query", 0) == 0) return "an ML function call";
  // The library writes these fragments itself, in exactly this form.
  struct Feature {
    const char *fragment;
    const char *name;
    bool postgresqlLacks;
  };
  static const Feature features[] = {
      {"select top ", "select top", true},         {" SAMPLE ", "SAMPLE", true},
      {" group by time (", "group by time", true}, {"$QZ_", "time-series pseudo-columns", true},
      {" minus ", "minus", true},                  {" intersect all ", "intersect all", false},
  };
  for (const auto &f : features)
    if ((sqlite || f.postgresqlLacks) && statement.sql.find(f.fragment) != std::string::npos)
      return f.name;
  return "";
}

}  // namespace

std::string unsupportedOnSqlite(const dfq::Statement &statement) {
  return unsupportedFeature(statement, true);
}

std::string unsupportedOnPostgresql(const dfq::Statement &statement) {
  return unsupportedFeature(statement, false);
}

bool isDialect(const std::string &name) {
  return name == "default" || name == "sqlite" || name == "postgresql";
}

Runner::Runner(const RunOptions &options, std::ostream &out, std::ostream &err)
    : options_(options),
      out_(out),
      err_(err),
      dag_(options.logLevel < 0 ? 4 : options.logLevel) {
  dfq::Dag::setLogQuiet(options.logLevel < 0);
  // The library's records go straight to the error stream: no progress line
  // in between.
  if (options.logLevel >= 0) options_.progress = false;
}

// Opens the database and sets the library's dialect to the database's
// (or the one asked for).
void Runner::open(const Pipeline &pipeline) {
  try {
    db_ = openDatabase(options_.database);
  } catch (const ConnectionError &e) {
    throw Failure{kExitConnection, e.what()};
  } catch (const DatabaseError &e) {
    throw Failure{kExitDatabase, e.what()};
  }
  checkViews(pipeline);
  dialect_ = options_.dialect.empty() ? db_->dialect() : options_.dialect;
  try {
    dag_.setOption("dialect", dialect_);
  } catch (const dfq::Error &e) {
    throw Failure{kExitRefused, "dialect '" + dialect_ + "' refused by the library: " + refusal(e)};
  }
}

// A SQLite view cannot read another schema's tables: --views is refused
// before anything runs when the pipeline uses a schema other than main.
void Runner::checkViews(const Pipeline &pipeline) const {
  if (!options_.views || db_->viewsAcrossSchemas()) return;
  for (const auto &step : pipeline.steps) {
    if (step.kind != Step::Kind::Node) continue;
    const std::string schema = step.node.op == "table"
                                   ? parseQualifiedName(step.node.source).schema
                                   : outputOf(step.node.label, step.node.schema).second;
    if (schema != kDefaultSchema)
      throw Failure{kExitUsage, where(step) + "--views on " + std::string(db_->engine()) +
                                    " needs every table in schema main, but this line uses schema '" +
                                    schema + "' (a view cannot read another schema's tables there)"};
  }
}

int Runner::run(const Pipeline &pipeline) {
  baseDir_ = std::filesystem::path(pipeline.file).parent_path().string();
  try {
    open(pipeline);
    for (const auto &file : options_.dataFiles) load(file, "", "command line: ");
    for (const auto &step : pipeline.steps) runStep(step);
    if (!pipeline.hasRequests() && !pipeline.lastNode().empty()) {
      const auto label = pipeline.lastNode();
      try {
        runNode(label);
      } catch (const dfq::Error &e) {
        throw Failure{kExitRefused, "run '" + label + "' refused by the library: " + refusal(e)};
      }
    }
  } catch (const Failure &f) {
    progress("");
    out_ << std::flush;
    err_ << "dfq-run: " << f.message << '\n';
    return f.code;
  }
  progress("");
  return kExitOk;
}

void Runner::runStep(const Step &step) {
  if (step.kind == Step::Kind::Load) {
    const auto path = std::filesystem::path(baseDir_) / step.path;
    return load(path.string(), step.table, where(step));
  }
  if (step.kind == Step::Kind::Node) return addNode(step);
  for (const auto &label : step.labels) {
    try {
      if (step.kind == Step::Kind::Run) runNode(label);
      if (step.kind == Step::Kind::Show) showNode(label);
      if (step.kind == Step::Kind::Sql) printStatements(label);
    } catch (const dfq::Error &e) {
      throw Failure{kExitRefused, where(step) + "'" + label + "' refused by the library: " + refusal(e)};
    } catch (const Failure &f) {
      throw Failure{f.code, where(step) + f.message};
    }
  }
}

// A .sql file runs as it stands; a .csv file becomes a table named `table`
// or after the file.
void Runner::load(const std::string &path, const std::string &table, const std::string &where) {
  progress("loading " + path);
  if (!endsWith(path, ".sql") && !endsWith(path, ".csv"))
    throw Failure{kExitInput, where + path + ": expected a .csv or .sql file"};
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error))
    throw Failure{kExitInput, where + path + ": cannot read the file (" +
                                  (std::filesystem::exists(path, error) ? "not a regular file)"
                                                                        : "no such file)")};
  try {
    if (endsWith(path, ".sql")) {
      db_->execScript(readFile(path));
    } else {
      const std::string name = table.empty() ? std::filesystem::path(path).stem().string() : table;
      const QualifiedName target = parseQualifiedName(name);
      const CsvTable csv = readCsv(path);
      if (options_.replace) db_->drop(target);
      db_->importCsv(csv, target);
    }
  } catch (const CsvError &e) {
    throw Failure{kExitInput, e.what()};
  } catch (const DatabaseError &e) {
    throw Failure{kExitDatabase,
                  where + "database error while loading " + path + ": " + e.what() + existsHint(e)};
  }
}

void Runner::addNode(const Step &step) {
  const NodeStep &node = step.node;
  std::vector<dfq::Node> created;
  try {
    created = createNodes(node);
  } catch (const dfq::Error &e) {
    throw Failure{kExitRefused,
                  where(step) + node.op + " '" + node.label + "' refused by the library: " + refusal(e)};
  }
  nodes_[node.label] = {created.at(0), node.op, node.source};
  try {
    if (node.op == "query") materialiseQuery(step);
    if (node.op == "table" && options_.execute) db_->useSchema(parseQualifiedName(node.source).schema);
  } catch (const Failure &f) {
    throw Failure{f.code, where(step) + f.message};
  } catch (const DatabaseError &e) {
    throw Failure{kExitDatabase, where(step) + "database error: " + e.what()};
  }
  for (size_t k = 0; k < node.extraOutputs.size() && k + 1 < created.size(); ++k)
    nodes_[node.extraOutputs[k]] = {created[k + 1], node.op, ""};
}

// One call of the wrapper per operation; the ML call yields one node per
// output.
std::vector<dfq::Node> Runner::createNodes(const NodeStep &s) {
  const dfq::OutputName out = outputName(s.label, s.schema);
  if (s.op == "table") return {dag_.table(s.source)};
  if (s.op == "query") return {dag_.query(s.text, out)};
  if (s.op == "select") return {dag_.select(input(s.inputs[0]), s.text, out, option(s, "prefix"))};
  if (s.op == "top" && s.options.count("by"))
    return {dag_.topN(input(s.inputs[0]), option(s, "by"), rowCount(s.text), out)};
  if (s.op == "top") return {dag_.top(input(s.inputs[0]), s.text, out)};
  if (s.op == "filter") return {dag_.filter(input(s.inputs[0]), s.text, out)};
  if (s.op == "assign")
    return {dag_.assign(input(s.inputs[0]), s.text, option(s, "drop") == "Y", out)};
  if (s.op == "orderby") return {dag_.orderBy(input(s.inputs[0]), s.text, out)};
  if (s.op == "groupby") {
    // A plain column list groups by those columns; "F|word columns" passes as written.
    const bool raw = s.text.find('|') != std::string::npos;
    return {keep(s.label, dag_.groupBy(input(s.inputs[0]), raw ? s.text : "|by " + s.text))};
  }
  if (s.op == "groupbytime") {
    const dfq::GroupByTimeSpec request{s.text, option(s, "columns"), option(s, "timecode"),
                                       option(s, "option"), option(s, "fill")};
    const auto grouped = groupings_.find(s.inputs[0]);
    return {keep(s.label, grouped != groupings_.end() ? dag_.groupByTime(grouped->second, request)
                                                      : dag_.groupByTime(input(s.inputs[0]), request))};
  }
  if (s.op == "aggregate") {
    const auto grouped = groupings_.find(s.inputs[0]);
    if (grouped != groupings_.end()) return {dag_.aggregate(grouped->second, s.text, out)};
    return {dag_.aggregate(input(s.inputs[0]), s.text, out)};
  }
  if (s.op == "join")
    return {dag_.join({s.keyword, input(s.inputs[0]), input(s.inputs[1]), s.text, s.aliases[0],
                       s.aliases[1], option(s, "columns", "*")},
                      out)};
  if (s.op == "setop") {
    std::vector<std::string> columns;
    for (const auto &label : s.inputs) columns.push_back(setopColumns(s, label));
    return {dag_.setOp(s.keyword, inputs(s.inputs), columns, out)};
  }
  if (s.op == "sample") {
    dfq::SampleSpec request{option(s, "columns", "*"), option(s, "replacement") == "Y",
                         option(s, "randomized") == "Y", s.text, s.cases, option(s, "else")};
    return {dag_.sample(input(s.inputs[0]), request, out)};
  }
  // ml: the ML node stands for the first output, the clause names the others.
  dfq::MlQuerySpec request{s.keyword, s.text, inputs(s.inputs), {out}, inputs(s.dependsOn)};
  for (const auto &label : s.extraOutputs) request.outputs.push_back(outputName(label, s.schema));
  return dag_.mlQuery(request);
}

// A free query is a source: the library reads it by its output name from
// creation on, so its table is created right away.
void Runner::materialiseQuery(const Step &step) {
  if (!options_.execute) return;
  const auto [table, schema] = outputOf(step.node.label, step.node.schema);
  const std::string name = "\"" + schema + "\".\"" + table + "\"";
  const dfq::Statement statement{step.node.text, name, "query", nodes_.at(step.node.label).node.id()};
  requireOneStatement(statement);
  create(statement);
}

dfq::Node Runner::input(const std::string &label) const { return nodes_.at(label).node; }

// A grouping is kept for the aggregate (or time grouping) that reads it;
// its node stands for it in statements and inspection.
dfq::Node Runner::keep(const std::string &label, const dfq::Grouping &grouping) {
  groupings_.insert_or_assign(label, grouping);
  return grouping.node();
}

std::vector<dfq::Node> Runner::inputs(const std::vector<std::string> &labels) const {
  std::vector<dfq::Node> result;
  for (const auto &label : labels) result.push_back(input(label));
  return result;
}

void Runner::runNode(const std::string &label) {
  const dfq::Node node = input(label);
  if (options_.showQueries) showNode(label);
  if (dag_.isExecuted(node)) {
    out() << "== run " << label << ": already executed\n";
    if (options_.execute) printRows(label);
    return;
  }
  const auto statements = dag_.statements(node);
  out() << "== run " << label << ": " << statements.size()
       << (statements.size() == 1 ? " statement\n" : " statements\n");
  if (options_.printSql) printStatementList(statements);
  if (!options_.execute) return;
  if (!execute(statements)) return;
  // Exactly the nodes whose tables now exist are executed: the nodes that
  // were inlined into a statement have no table of their own.
  std::set<std::string> executed;
  for (const auto &s : statements)
    if (executed.insert(s.nodeid).second) dag_.updateNodeState(dfq::Node(s.nodeid), true);
  out() << "-- " << executed.size() << (executed.size() == 1 ? " node" : " nodes")
       << " marked executed\n";
  printRows(label);
}

void Runner::printStatements(const std::string &label) {
  const auto statements = dag_.statements(input(label));
  out() << "== sql " << label << ": " << statements.size()
       << (statements.size() == 1 ? " statement\n" : " statements\n");
  printStatementList(statements);
}

void Runner::printStatementList(const std::vector<dfq::Statement> &statements) {
  for (size_t i = 0; i < statements.size(); ++i) {
    const auto &s = statements[i];
    out() << "-- [" << i + 1 << "] " << s.name << " (" << s.queryType << ", node " << s.nodeid
         << ")\n"
         << s.sql << "\n";
  }
}

// Only the default dialect writes forms an engine may lack; the portable
// dialects refuse them when the node is added.
std::string Runner::unsupported(const dfq::Statement &statement) const {
  if (dialect_ != "default") return "";
  return db_->viewsAcrossSchemas() ? unsupportedOnPostgresql(statement) : unsupportedOnSqlite(statement);
}

// Creates every statement as a table (or view) named by its statement name,
// from the last statement to the first; false when the database cannot run
// them.
bool Runner::execute(const std::vector<dfq::Statement> &statements) {
  for (const auto &s : statements) {
    const std::string missing = unsupported(s);
    if (!missing.empty()) {
      out() << "-- not runnable on " << db_->engine() << ": " << s.name << " uses " << missing
            << "; statements printed only\n";
      return false;
    }
  }
  for (const auto &s : statements) requireOneStatement(s);
  for (size_t k = statements.size(); k-- > 0;) {
    const auto &s = statements[k];
    progress("[" + std::to_string(statements.size() - k) + "/" + std::to_string(statements.size()) +
             "] creating " + s.name);
    create(s);
  }
  progress("");
  return true;
}

// Every statement runs as exactly one statement: a text of the host that
// holds a ';' and more after it is refused before anything of the run is
// created or dropped.
void Runner::requireOneStatement(const dfq::Statement &s) const {
  const std::string reason = secondStatementReason(s.sql, db_->flavor());
  if (!reason.empty())
    throw Failure{kExitDatabase, "statement " + s.name + " (node " + s.nodeid +
                                     ") is not one SQL statement: " + reason};
}

// Creates one statement as a table (or view) named by its statement name.
// A view is read once right away: SQLite checks a view's query only when
// it is used, and a view that cannot be read must not pass for created.
void Runner::create(const dfq::Statement &s) {
  const char *kind = options_.views ? "view" : "table";
  const QualifiedName name = parseQualifiedName(s.name);
  try {
    db_->ensureSchema(name.schema);
    if (options_.replace) db_->drop(name);
    db_->exec("create " + std::string(kind) + " " + name.sql() + " as " + s.sql);
    if (options_.views) db_->query("select * from " + name.sql() + " where 1 = 0");
  } catch (const DatabaseError &e) {
    throw Failure{kExitDatabase, "database error in statement " + s.name + " (node " + s.nodeid +
                                     "): " + e.what() + existsHint(e)};
  }
  out() << "-- created " << kind << " " << name.sql() << "\n";
}

// What to read a node's rows from: a base table's own reference, else the
// node's output name.
std::string Runner::rowsSource(const std::string &label) {
  const NodeInfo &info = nodes_.at(label);
  if (info.op == "table") return info.source;
  const dfq::OutputName name = dag_.tableName(info.node);
  return QualifiedName{name.schema.empty() ? "main" : name.schema, name.table}.sql();
}

void Runner::printRows(const std::string &label) {
  ResultSet rows;
  const std::string source = rowsSource(label);
  try {
    rows = db_->query("select * from " + source);
  } catch (const DatabaseError &e) {
    throw Failure{kExitDatabase, "database error reading " + source + ": " + e.what()};
  }
  if (options_.csv)
    printCsv(out(), rows);
  else
    printTable(out(), rows);
}

void Runner::showNode(const std::string &label) {
  const dfq::Node node = input(label);
  out() << "== show " << label << "\n-- option 1: statements\n";
  for (const auto &sql : dag_.showStatements(node)) out() << sql << "\n";
  out() << "-- option 2: full path, one query per node\n";
  for (const auto &q : dag_.showFullPath(node)) out() << "-- node " << q.nodeid << "\n" << q.sql << "\n";
  out() << "-- option 3: statements against the top node\n";
  for (const auto &sql : dag_.showTopNodeQueries(node)) out() << sql << "\n";
}

// One line on the error stream, rewritten in place; an empty text clears
// it. What the run wrote before goes out first, so that the line never
// lands in the middle of it.
void Runner::progress(const std::string &text) {
  if (!options_.progress || (text.empty() && !progressShown_)) return;
  out_ << std::flush;
  err_ << "\r\033[K" << text << std::flush;
  progressShown_ = !text.empty();
}

// The output stream, with the progress line cleared first.
std::ostream &Runner::out() {
  progress("");
  return out_;
}

}  // namespace dfqrun
