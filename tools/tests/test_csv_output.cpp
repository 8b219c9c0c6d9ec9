// CSV seeding and result printing of dfq-run.
#include <gtest/gtest.h>

#include <sstream>

#include "Csv.h"
#include "Database.h"
#include "Output.h"

using namespace dfqrun;

namespace {

TEST(Csv, QuotedFieldsEmbeddedQuotesAndLineBreaks) {
  const auto t = parseCsv("a,b\r\n\"x, y\",\"say \"\"hi\"\"\"\n\"two\nlines\",\n", "t.csv");
  ASSERT_EQ(t.columns, (std::vector<std::string>{"a", "b"}));
  ASSERT_EQ(t.rows.size(), 2u);
  EXPECT_EQ(*t.rows[0][0], "x, y");
  EXPECT_EQ(*t.rows[0][1], "say \"hi\"");
  EXPECT_EQ(*t.rows[1][0], "two\nlines");
  EXPECT_FALSE(t.rows[1][1].has_value());  // empty unquoted field: NULL
}

TEST(Csv, MalformedInputNamesTheLine) {
  auto error = [](const std::string &text) -> std::string {
    try {
      parseCsv(text, "t.csv");
    } catch (const CsvError &e) {
      return e.what();
    }
    return "no error";
  };
  EXPECT_EQ(error("a,b\n1,2\n3\n"), "t.csv:3: expected 2 fields, found 1");
  EXPECT_EQ(error("a,b\n\"open,2\n"), "t.csv:2: unterminated quoted field");
  EXPECT_EQ(error("a,b\n1\"x,2\n"), "t.csv:2: a quote inside an unquoted field");
  EXPECT_EQ(error(""), "t.csv:1: empty file: a header row is required");
  EXPECT_EQ(error("a,,c\n"), "t.csv:1: empty column name in the header");
  EXPECT_EQ(error("id,Name,name\n"), "t.csv:1: column 'name' appears twice in the header");
}

TEST(Csv, AByteOrderMarkIsNoPartOfTheFirstName) {
  EXPECT_EQ(parseCsv("\xEF\xBB\xBFid,v\n1,2\n", "t.csv").columns, (std::vector<std::string>{"id", "v"}));
}

TEST(Csv, ColumnTypesAreGuessedFromAllValues) {
  const auto t = parseCsv("i,r,s,n,e\n1,1.5,x,,inf\n-2,3,7,,1\n", "t.csv");
  EXPECT_EQ(columnType(t, 0), ColumnType::Integer);
  EXPECT_EQ(columnType(t, 1), ColumnType::Real);
  EXPECT_EQ(columnType(t, 2), ColumnType::Text);
  EXPECT_EQ(columnType(t, 3), ColumnType::Text);  // no values at all
  EXPECT_EQ(columnType(t, 4), ColumnType::Text);  // "inf" is no SQL number
}

TEST(Database, ImportedCsvKeepsTypesAndNulls) {
  SqliteDatabase db;
  db.importCsv(parseCsv("k,v\na,1\nb,\n", "t.csv"), parseQualifiedName("s.t"));
  const auto rows = db.query("select k, v, typeof(v) from s.t order by k");
  ASSERT_EQ(rows.rows.size(), 2u);
  EXPECT_EQ(*rows.rows[0][2].text, "integer");
  EXPECT_TRUE(rows.rows[0][1].numeric);
  EXPECT_FALSE(rows.rows[1][1].text.has_value());
}

TEST(Database, StatementNamesAreSplitIntoSchemaAndTable) {
  EXPECT_EQ(parseQualifiedName("\"work\".\"big sales\"").table, "big sales");
  EXPECT_EQ(parseQualifiedName("\"work\".\"big sales\"").schema, "work");
  EXPECT_EQ(parseQualifiedName("plain").schema, "main");
  EXPECT_EQ(parseQualifiedName("a.b").schema, "a");
  EXPECT_EQ((QualifiedName{"s", "t\"x"}.sql()), "\"s\".\"t\"\"x\"");
}

TEST(Database, SchemasAreAttachedOnceAndErrorsCarrySqlitesMessage) {
  SqliteDatabase db;
  db.ensureSchema("work");
  db.ensureSchema("work");
  db.ensureSchema("main");
  db.exec("create table work.t as select 1 as a");
  try {
    db.exec("select nope from work.t");
    FAIL();
  } catch (const DatabaseError &e) {
    EXPECT_STREQ(e.what(), "no such column: nope");
  }
}

TEST(Output, AlignedTableAndCsv) {
  ResultSet r{{"name", "n"}, {{{"ab", false}, {"5", true}}, {{"c,d", false}, {std::nullopt, false}}}};
  std::ostringstream table, csv;
  printTable(table, r);
  printCsv(csv, r);
  EXPECT_EQ(table.str(),
            "name | n\n"
            "-----+-----\n"
            "ab   |    5\n"
            "c,d  | NULL\n"
            "(2 rows)\n");
  EXPECT_EQ(csv.str(), "name,n\nab,5\n\"c,d\",\n");
}

}  // namespace
