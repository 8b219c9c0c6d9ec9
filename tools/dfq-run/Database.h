// The embedded SQLite database that dfq-run runs the statements on: one
// main database (in memory unless a file is given) and one in-memory
// database attached per schema that a statement or a seed table names.
#ifndef DFQ_RUN_DATABASE_H
#define DFQ_RUN_DATABASE_H

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Csv.h"

struct sqlite3;

namespace dfqrun {

// A failure reported by SQLite, with its message.
class DatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A table or view name split into its schema ("main" when none) and table.
struct QualifiedName {
  std::string schema;
  std::string table;
  // "schema"."table" with embedded quotes doubled.
  std::string sql() const;
};

// Reads `"schema"."table"` (the library's statement names), `schema.table`
// or a bare `table`.
QualifiedName parseQualifiedName(const std::string &name);

// A value read back: text, or nothing for NULL; `numeric` marks integers
// and reals (for right alignment).
struct Cell {
  std::optional<std::string> text;
  bool numeric = false;
};

struct ResultSet {
  std::vector<std::string> columns;
  std::vector<std::vector<Cell>> rows;
};

class Database {
 public:
  // Opens `path` (":memory:" for a private in-memory database).
  explicit Database(const std::string &path = ":memory:");
  ~Database();
  Database(const Database &) = delete;
  Database &operator=(const Database &) = delete;

  // Runs one or more statements without results.
  void exec(const std::string &sql);

  // Attaches an in-memory database as `schema` unless it exists already
  // (main and temp always exist).
  void ensureSchema(const std::string &schema);

  // Creates `name` from the CSV data (column types guessed) and fills it.
  void importCsv(const CsvTable &csv, const QualifiedName &name);

  // Runs a query and collects every row.
  ResultSet query(const std::string &sql);

 private:
  [[noreturn]] void fail(const std::string &what) const;
  bool hasSchema(const std::string &schema);

  sqlite3 *db_ = nullptr;
};

}  // namespace dfqrun

#endif
