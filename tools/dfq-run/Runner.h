// Runs a parsed pipeline as a dataframe package would: adds the nodes
// through the C API (via dfq.hpp), prints the statements of the requested
// nodes, runs them on SQLite from the last to the first, reports the nodes
// executed and prints the result rows.
#ifndef DFQ_RUN_RUNNER_H
#define DFQ_RUN_RUNNER_H

#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "Database.h"
#include "Pipeline.h"
#include "dfq.hpp"

namespace dfqrun {

// Exit codes of dfq-run.
enum ExitCode {
  kExitOk = 0,
  kExitUsage = 1,      // bad command line, options that do not fit the pipeline
  kExitInput = 2,      // mistake in the pipeline or a data file, unreadable file
  kExitRefused = 3,    // the library refused an operation
  kExitDatabase = 4,   // the database rejected a statement (or a SQLite file cannot be opened)
  kExitConnection = 5, // no connection to the PostgreSQL server
};

struct RunOptions {
  std::string database = ":memory:";   // SQLite file or PostgreSQL connection string
  std::string dialect;                 // library dialect; empty: the database's own
  std::vector<std::string> dataFiles;  // .csv or .sql, loaded before the pipeline
  bool showQueries = false;            // the three show forms of every node run
  bool csv = false;                    // rows as CSV instead of a table
  bool views = false;                  // create views instead of tables
  bool replace = false;                // drop tables and views of the same name first
  bool execute = true;                 // false: print statements only
  bool printSql = true;
  bool progress = false;               // progress lines on the error stream
  int logLevel = -1;                   // library log level on stderr; -1 quiet
};

// Why SQLite or PostgreSQL cannot run a statement (empty when it can): ML
// calls and the features of the library's default dialect the engine lacks.
std::string unsupportedOnSqlite(const dfq::Statement &statement);
std::string unsupportedOnPostgresql(const dfq::Statement &statement);

// The library dialects a run may choose.
bool isDialect(const std::string &name);

class Runner {
 public:
  Runner(const RunOptions &options, std::ostream &out, std::ostream &err);

  // Runs every step; returns an ExitCode. Stops at the first failure.
  int run(const Pipeline &pipeline);

 private:
  struct NodeInfo {
    dfq::Node node;
    std::string op;
    std::string source;  // table nodes: the table reference
  };

  void open(const Pipeline &pipeline);
  void checkViews(const Pipeline &pipeline) const;
  void runStep(const Step &step);
  void load(const std::string &path, const std::string &table, const std::string &where);
  void addNode(const Step &step);
  std::vector<dfq::Node> createNodes(const NodeStep &step);
  dfq::Node input(const std::string &label) const;
  dfq::Node keep(const std::string &label, const dfq::Grouping &grouping);
  std::vector<dfq::Node> inputs(const std::vector<std::string> &labels) const;

  void runNode(const std::string &label);
  void printStatements(const std::string &label);
  void showNode(const std::string &label);
  void materialiseQuery(const Step &step);
  bool execute(const std::vector<dfq::Statement> &statements);
  void requireOneStatement(const dfq::Statement &statement) const;
  void create(const dfq::Statement &statement);
  void printRows(const std::string &label);
  std::string rowsSource(const std::string &label);
  void printStatementList(const std::vector<dfq::Statement> &statements);
  std::string unsupported(const dfq::Statement &statement) const;
  void progress(const std::string &text);
  std::ostream &out();

  RunOptions options_;
  std::ostream &out_;
  std::ostream &err_;
  bool progressShown_ = false;
  dfq::Dag dag_;
  std::unique_ptr<Database> db_;
  std::string dialect_;  // the library's dialect for this run
  std::map<std::string, NodeInfo> nodes_;
  std::map<std::string, dfq::Grouping> groupings_;  // groupby and groupbytime labels
  std::string baseDir_;
};

}  // namespace dfqrun

#endif
