// An in-memory SQLite database for the tests that run generated statements:
// statements run with SQLite's message on failure, rows read back as text.
#ifndef DFQ_SQLITE_SUPPORT_H
#define DFQ_SQLITE_SUPPORT_H

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <vector>

namespace sqlitetest {

using Rows = std::vector<std::vector<std::string>>;

class SqliteDatabase {
 public:
  SqliteDatabase() { sqlite3_open(":memory:", &db); }
  ~SqliteDatabase() { sqlite3_close(db); }
  SqliteDatabase(const SqliteDatabase &) = delete;
  SqliteDatabase &operator=(const SqliteDatabase &) = delete;

  // Empty on success, else SQLite's message.
  std::string run(const std::string &sql) {
    char *error = nullptr;
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    std::string message = error ? error : "";
    sqlite3_free(error);
    return message;
  }

  // The rows as text ("NULL" for null), sorted unless `sorted` is false.
  Rows rows(const std::string &sql, bool sorted = true) {
    Rows out;
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sqlite3_errmsg(db) << " in " << sql.substr(0, 300);
      return out;
    }
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
        const unsigned char *text = sqlite3_column_text(stmt, c);
        row.push_back(text ? reinterpret_cast<const char *>(text) : "NULL");
      }
      out.push_back(row);
    }
    sqlite3_finalize(stmt);
    if (sorted) std::sort(out.begin(), out.end());
    return out;
  }

 private:
  sqlite3 *db = nullptr;
};

}  // namespace sqlitetest

#endif
