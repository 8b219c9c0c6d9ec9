// The rule by which dfq-run runs one statement per statement: the cases
// whose count depends on an engine's quoting, and the SQLite reading
// against SQLite's own tokenizer over random texts.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <random>
#include <string>

#include "SqlText.h"
#include "sqlTextCases.h"

using dfqrun::SqlFlavor;

namespace {

constexpr auto npos = std::string::npos;

TEST(SqlText, EachEngineCountsStatementsByItsOwnQuotes) {
  ASSERT_GT(sqltext::cases().size(), 20u);
  for (const auto &c : sqltext::cases()) {
    EXPECT_EQ(dfqrun::secondStatement(c.sql, SqlFlavor::SQLite) != npos, c.secondOnSqlite) << c.sql;
    EXPECT_EQ(dfqrun::secondStatement(c.sql, SqlFlavor::PostgreSQL) != npos, c.secondOnPostgres)
        << c.sql;
  }
  EXPECT_EQ(dfqrun::secondStatementReason("select 1 where a > 1; drop table t", SqlFlavor::SQLite),
            "a second statement follows the ';' at character 21: drop table t");
  EXPECT_EQ(dfqrun::secondStatementReason("select 1; ", SqlFlavor::PostgreSQL), "");
}

// Random texts of quotes, comments, ';' and words. SQLite's
// sqlite3_complete() says whether a text ends a statement: the lexer's
// first ';' must be the first at which it does. What follows that ';' is
// blank for the lexer exactly when SQLite prepares nothing from it.
TEST(SqlText, TheSqliteReadingAgreesWithSqlite) {
  static const char *pieces[] = {"a", " ", "\n", ";", "'", "\"", "`", "[", "]", "-", "--",
                                 "/*", "*/", "*", "/", "''", "x", "\t", "$$", "E'"};
  std::mt19937 random(23);
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  int ends = 0, seconds = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const int count = 1 + static_cast<int>(random() % 12);
    for (int k = 0; k < count; ++k) text += pieces[random() % std::size(pieces)];
    const std::size_t end = dfqrun::statementEnd(text, SqlFlavor::SQLite);
    for (std::size_t i = 0; i < text.size() && i <= end; ++i) {
      if (text[i] != ';') continue;
      const bool complete = sqlite3_complete(text.substr(0, i + 1).c_str()) != 0;
      ASSERT_EQ(complete, i == end) << "text [" << text << "], ';' at " << i;
    }
    if (end == npos) continue;
    ++ends;
    // What SQLite prepares from the rest: nothing, or a statement or an error.
    const std::string rest = text.substr(end + 1);
    bool statement = false;
    for (const char *tail = rest.c_str(); *tail != '\0';) {
      sqlite3_stmt *stmt = nullptr;
      const char *after = nullptr;
      const int status = sqlite3_prepare_v2(db, tail, -1, &stmt, &after);
      sqlite3_finalize(stmt);
      if (status != SQLITE_OK || stmt != nullptr || after == tail) {
        statement = true;
        break;
      }
      tail = after;
    }
    seconds += statement;
    ASSERT_EQ(dfqrun::secondStatement(text, SqlFlavor::SQLite) != npos, statement)
        << "text [" << text << "]";
  }
  sqlite3_close(db);
  EXPECT_GT(ends, 2000);
  EXPECT_GT(seconds, 1000);
  EXPECT_GT(ends - seconds, 200);
}

}  // namespace
