// The databases dfq-run runs the statements on, behind one interface:
// SQLite (a file or memory, one attached database per schema) and a
// PostgreSQL server reached through libpq.
#ifndef DFQ_RUN_DATABASE_H
#define DFQ_RUN_DATABASE_H

#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "Csv.h"
#include "SqlText.h"

struct sqlite3;
struct sqlite3_stmt;
struct pg_conn;

namespace dfqrun {

// A failure reported by the database, with its message.
class DatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The database cannot be reached at all (a server that refuses the
// connection, a bad connection string).
class ConnectionError : public DatabaseError {
 public:
  using DatabaseError::DatabaseError;
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

// `name` in double quotes, embedded quotes doubled.
std::string quoteIdentifier(const std::string &name);

// `text` in single quotes, embedded quotes doubled.
std::string quoteLiteral(const std::string &text);

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
  virtual ~Database() = default;

  // "SQLite" or "PostgreSQL", for messages.
  virtual const char *engine() const = 0;
  // The library dialect that suits this database.
  virtual const char *dialect() const = 0;
  // How this database reads quotes and comments.
  virtual SqlFlavor flavor() const = 0;
  // Whether a view may read tables of another schema (SQLite: no).
  virtual bool viewsAcrossSchemas() const = 0;

  // Runs exactly one statement without results. A text that holds a
  // second statement (after a ';') is refused before any of it runs
  // (SQLite: the text after the prepared statement must hold only blanks
  // and comments; PostgreSQL: the extended protocol, which takes one
  // command).
  virtual void exec(const std::string &sql) = 0;

  // Runs a script of any number of statements (a .sql data file).
  virtual void execScript(const std::string &sql) = 0;

  // Runs exactly one query, as exec does, and collects every row.
  virtual ResultSet query(const std::string &sql) = 0;

  // Makes `schema` exist (SQLite: attaches a database for it; PostgreSQL:
  // create schema if not exists).
  virtual void ensureSchema(const std::string &schema) = 0;

  // Makes the tables of an existing `schema` readable (SQLite attaches its
  // database; a PostgreSQL server needs nothing).
  virtual void useSchema(const std::string &schema) { (void)schema; }

  // "table", "view" (the word that drops it) or "" when `name` does not exist.
  virtual std::string relationKind(const QualifiedName &name) = 0;

  // Drops the table or view `name` when there is one (PostgreSQL: with the
  // views that depend on it).
  void drop(const QualifiedName &name);

  // Creates `name` from the CSV data (column types guessed) and fills it.
  void importCsv(const CsvTable &csv, const QualifiedName &name);

 protected:
  virtual const char *typeName(ColumnType type) const = 0;
  virtual const char *dropSuffix() const { return ""; }
  // Inserts the rows of `csv` into the table `name`, all or none.
  virtual void insertRows(const CsvTable &csv, const QualifiedName &name) = 0;
};

// SQLite: `path` is a file or ":memory:". The schemas other than main
// and temp live in their own database files beside a file database
// (`shop.db` keeps schema `work` in `shop.work.db`), in memory otherwise.
class SqliteDatabase : public Database {
 public:
  explicit SqliteDatabase(const std::string &path = ":memory:");
  ~SqliteDatabase() override;
  SqliteDatabase(const SqliteDatabase &) = delete;
  SqliteDatabase &operator=(const SqliteDatabase &) = delete;

  const char *engine() const override { return "SQLite"; }
  const char *dialect() const override { return "sqlite"; }
  SqlFlavor flavor() const override { return SqlFlavor::SQLite; }
  bool viewsAcrossSchemas() const override { return false; }
  void exec(const std::string &sql) override;
  void execScript(const std::string &sql) override;
  ResultSet query(const std::string &sql) override;
  void ensureSchema(const std::string &schema) override;
  void useSchema(const std::string &schema) override { ensureSchema(schema); }
  std::string relationKind(const QualifiedName &name) override;

  // Where the schema `schema` of the database file `path` is kept.
  static std::string schemaFile(const std::string &path, const std::string &schema);

 protected:
  const char *typeName(ColumnType type) const override;
  void insertRows(const CsvTable &csv, const QualifiedName &name) override;

 private:
  [[noreturn]] void fail() const;
  // The one statement of `sql`, prepared; null for blanks and comments only.
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> prepareOne(const std::string &sql);
  bool hasSchema(const std::string &schema);

  sqlite3 *db_ = nullptr;
  std::string path_;
};

// PostgreSQL through libpq. The schema main is created and searched
// first, so that unqualified names mean the same as on SQLite.
class PostgresDatabase : public Database {
 public:
  explicit PostgresDatabase(const std::string &conninfo);
  ~PostgresDatabase() override;
  PostgresDatabase(const PostgresDatabase &) = delete;
  PostgresDatabase &operator=(const PostgresDatabase &) = delete;

  const char *engine() const override { return "PostgreSQL"; }
  const char *dialect() const override { return "postgresql"; }
  SqlFlavor flavor() const override { return SqlFlavor::PostgreSQL; }
  bool viewsAcrossSchemas() const override { return true; }
  void exec(const std::string &sql) override;
  void execScript(const std::string &sql) override;
  ResultSet query(const std::string &sql) override;
  void ensureSchema(const std::string &schema) override;
  std::string relationKind(const QualifiedName &name) override;

 protected:
  const char *typeName(ColumnType type) const override;
  const char *dropSuffix() const override { return " cascade"; }
  void insertRows(const CsvTable &csv, const QualifiedName &name) override;

 private:
  pg_conn *conn_ = nullptr;
  std::set<std::string> schemas_;
};

// True when `target` is a PostgreSQL connection string: a
// postgresql:// or postgres:// URI, or keyword=value pairs.
bool isPostgresTarget(const std::string &target);

// Opens the SQLite file (or ":memory:") or connects to the PostgreSQL
// server that `target` names. Throws ConnectionError or DatabaseError.
std::unique_ptr<Database> openDatabase(const std::string &target);

}  // namespace dfqrun

#endif
