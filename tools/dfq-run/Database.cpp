#include "Database.h"

#include <sqlite3.h>

#include <memory>

namespace dfqrun {

namespace {

std::string quoteIdentifier(const std::string &name) {
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

using Statement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

}  // namespace

std::string QualifiedName::sql() const { return quoteIdentifier(schema) + "." + quoteIdentifier(table); }

QualifiedName parseQualifiedName(const std::string &name) {
  // The library writes "schema"."table" (four quotes) or a bare table name.
  const std::string separator = "\".\"";
  const auto sep = name.find(separator);
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"' && sep != std::string::npos)
    return {name.substr(1, sep - 1), name.substr(sep + separator.size(),
                                                 name.size() - sep - separator.size() - 1)};
  const auto dot = name.find('.');
  if (dot != std::string::npos) return {name.substr(0, dot), name.substr(dot + 1)};
  return {"main", name};
}

Database::Database(const std::string &path) {
  if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw DatabaseError("cannot open database " + path + ": " + message);
  }
}

Database::~Database() { sqlite3_close(db_); }

void Database::fail(const std::string &what) const {
  throw DatabaseError(what.empty() ? sqlite3_errmsg(db_) : what + ": " + sqlite3_errmsg(db_));
}

void Database::exec(const std::string &sql) {
  char *error = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    throw DatabaseError(message);
  }
}

bool Database::hasSchema(const std::string &schema) {
  const ResultSet attached = query("pragma database_list");
  for (const auto &row : attached.rows)
    if (row.size() > 1 && row[1].text && *row[1].text == schema) return true;
  return schema == "temp";
}

void Database::ensureSchema(const std::string &schema) {
  if (!hasSchema(schema)) exec("attach ':memory:' as " + quoteIdentifier(schema));
}

void Database::importCsv(const CsvTable &csv, const QualifiedName &name) {
  ensureSchema(name.schema);
  std::string create = "create table " + name.sql() + " (";
  std::string insert = "insert into " + name.sql() + " values (";
  for (size_t c = 0; c < csv.columns.size(); ++c) {
    create += (c ? ", " : "") + quoteIdentifier(csv.columns[c]) + " " + sqlTypeName(columnType(csv, c));
    insert += c ? ", ?" : "?";
  }
  exec(create + ")");
  sqlite3_stmt *raw = nullptr;
  if (sqlite3_prepare_v2(db_, (insert + ")").c_str(), -1, &raw, nullptr) != SQLITE_OK) fail("");
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

ResultSet Database::query(const std::string &sql) {
  sqlite3_stmt *raw = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) fail("");
  Statement stmt(raw, &sqlite3_finalize);
  ResultSet result;
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
  if (status != SQLITE_DONE) fail("");
  return result;
}

}  // namespace dfqrun
