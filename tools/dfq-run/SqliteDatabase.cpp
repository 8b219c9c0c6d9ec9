#include <sqlite3.h>

#include <filesystem>
#include <memory>

#include "Database.h"

namespace dfqrun {

namespace {

using Statement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

bool inMemory(const std::string &path) { return path.empty() || path == ":memory:"; }

}  // namespace

SqliteDatabase::SqliteDatabase(const std::string &path) : path_(path) {
  if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw DatabaseError("cannot open the SQLite database " + path + ": " + message);
  }
}

SqliteDatabase::~SqliteDatabase() { sqlite3_close(db_); }

void SqliteDatabase::fail() const { throw DatabaseError(sqlite3_errmsg(db_)); }

// SQLite's prepare reads one statement and points past it: whatever
// follows must prepare to nothing (blanks, comments and ';' only).
std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> SqliteDatabase::prepareOne(
    const std::string &sql) {
  const char *tail = nullptr;
  sqlite3_stmt *raw = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()) + 1, &raw, &tail) !=
      SQLITE_OK)
    fail();
  Statement stmt(raw, &sqlite3_finalize);
  while (tail != nullptr && *tail != '\0') {
    sqlite3_stmt *next = nullptr;
    const char *after = nullptr;
    const int status = sqlite3_prepare_v2(db_, tail, -1, &next, &after);
    sqlite3_finalize(next);
    if (status != SQLITE_OK || next != nullptr)
      throw DatabaseError("more than one statement: a second one starts at character " +
                          std::to_string(tail - sql.c_str() + 1) + " (nothing of it was run)");
    if (after == tail) break;
    tail = after;
  }
  return stmt;
}

void SqliteDatabase::exec(const std::string &sql) {
  const Statement stmt = prepareOne(sql);
  if (!stmt) return;
  int status;
  while ((status = sqlite3_step(stmt.get())) == SQLITE_ROW) {
  }
  if (status != SQLITE_DONE) fail();
}

void SqliteDatabase::execScript(const std::string &sql) {
  char *error = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    throw DatabaseError(message);
  }
}

std::string SqliteDatabase::schemaFile(const std::string &path, const std::string &schema) {
  std::filesystem::path file(path);
  file.replace_filename(file.stem().string() + "." + schema + ".db");
  return file.string();
}

bool SqliteDatabase::hasSchema(const std::string &schema) {
  const ResultSet attached = query("pragma database_list");
  for (const auto &row : attached.rows)
    if (row.size() > 1 && row[1].text && *row[1].text == schema) return true;
  return schema == "temp";
}

void SqliteDatabase::ensureSchema(const std::string &schema) {
  if (hasSchema(schema)) return;
  const std::string file = inMemory(path_) ? ":memory:" : schemaFile(path_, schema);
  exec("attach " + quoteLiteral(file) + " as " + quoteIdentifier(schema));
}

std::string SqliteDatabase::relationKind(const QualifiedName &name) {
  if (!hasSchema(name.schema)) return "";
  const ResultSet found = query("select type from " + quoteIdentifier(name.schema) +
                                ".sqlite_master where type in ('table', 'view') and name = " +
                                quoteLiteral(name.table) + " collate nocase");
  return found.rows.empty() || !found.rows[0][0].text ? "" : *found.rows[0][0].text;
}

const char *SqliteDatabase::typeName(ColumnType type) const { return sqlTypeName(type); }

void SqliteDatabase::insertRows(const CsvTable &csv, const QualifiedName &name) {
  std::string insert = "insert into " + name.sql() + " values (";
  for (size_t c = 0; c < csv.columns.size(); ++c) insert += c ? ", ?" : "?";
  sqlite3_stmt *raw = nullptr;
  if (sqlite3_prepare_v2(db_, (insert + ")").c_str(), -1, &raw, nullptr) != SQLITE_OK) fail();
  Statement stmt(raw, &sqlite3_finalize);
  exec("begin");
  for (const auto &row : csv.rows) {
    for (size_t c = 0; c < row.size(); ++c) {
      const int index = static_cast<int>(c) + 1;
      if (row[c])
        sqlite3_bind_text(stmt.get(), index, row[c]->c_str(), static_cast<int>(row[c]->size()),
                          SQLITE_TRANSIENT);
      else
        sqlite3_bind_null(stmt.get(), index);
    }
    if (sqlite3_step(stmt.get()) != SQLITE_DONE) {
      const std::string message = sqlite3_errmsg(db_);
      exec("rollback");
      throw DatabaseError(message);
    }
    sqlite3_reset(stmt.get());
  }
  exec("commit");
}

ResultSet SqliteDatabase::query(const std::string &sql) {
  const Statement stmt = prepareOne(sql);
  ResultSet result;
  if (!stmt) return result;
  const int columns = sqlite3_column_count(stmt.get());
  for (int c = 0; c < columns; ++c) result.columns.emplace_back(sqlite3_column_name(stmt.get(), c));
  int status;
  while ((status = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    std::vector<Cell> row;
    for (int c = 0; c < columns; ++c) {
      const int type = sqlite3_column_type(stmt.get(), c);
      if (type == SQLITE_NULL) {
        row.push_back({std::nullopt, false});
        continue;
      }
      const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt.get(), c));
      row.push_back({std::string(text ? text : ""), type == SQLITE_INTEGER || type == SQLITE_FLOAT});
    }
    result.rows.push_back(std::move(row));
  }
  if (status != SQLITE_DONE) fail();
  return result;
}

}  // namespace dfqrun
