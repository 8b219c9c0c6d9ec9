// dfq-run in-process: pipelines through the library and SQLite, checked on
// their result rows, the statements printed, the nodes executed and every
// failure's exit code and message.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "runnerSupport.h"

using namespace dfqrun;
using runnertest::Outcome;

namespace {

// A directory with the data files of every case.
class RunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write("sales.csv",
          "id,region,amount\n1,north,50\n2,north,150\n3,south,300\n4,south,120\n5,east,80\n");
    write("regions.csv", "region,manager\nnorth,Ann\nsouth,Bo\n");
  }

  void write(const std::string &name, const std::string &text) { scratch_.write(name, text); }

  Outcome run(const std::string &pipeline, void (*adjust)(RunOptions &) = nullptr) {
    RunOptions options;
    if (adjust) adjust(options);
    return run(pipeline, options);
  }
  Outcome run(const std::string &pipeline, const RunOptions &options) {
    write("p.dfq", "load sales.csv\nload regions.csv\n" + pipeline);
    return runnertest::runPipelineFile(scratch_.file("p.dfq"), options);
  }

  runnertest::ScratchDir scratch_;
  const std::filesystem::path &dir_ = scratch_.path();
};

void csvRows(RunOptions &o) { o.csv = true; }

bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

TEST_F(RunnerTest, FilterAssignAndOrderRunAndPrintTheirRows) {
  const auto r = run(
      "s = table sales\n"
      "f = filter s: amount >= 100\n"
      "a = assign f: amount * 2 as twice\n"
      "o = orderby a: twice desc\n"
      "run o\n");
  ASSERT_EQ(r.code, kExitOk) << r.err;
  EXPECT_TRUE(contains(r.out,
                       "id | region | amount | twice\n"
                       "---+--------+--------+------\n"
                       " 3 | south  |    300 |   600\n"
                       " 2 | north  |    150 |   300\n"
                       " 4 | south  |    120 |   240\n"
                       "(3 rows)\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "== run o: 1 statement\n-- [1] \"main\".\"o\" (orderby, node "));
  EXPECT_TRUE(contains(r.out, "-- created table \"main\".\"o\"\n-- 1 node marked executed\n"));
}

TEST_F(RunnerTest, JoinGroupByAndAggregate) {
  const auto r = run(
      "schema work\n"
      "s = table sales\n"
      "g = table regions\n"
      "j = join left s as x, g as y: x.region = y.region\n"
      "  columns: x.region, x.amount, y.manager\n"
      "by = groupby j: region, manager\n"
      "t = aggregate by: count(*) as n, sum(amount) as total\n"
      "o = orderby t: region\n"
      "run o\n",
      csvRows);
  ASSERT_EQ(r.code, kExitOk) << r.err;
  EXPECT_TRUE(contains(r.out, "region,manager,n,total\neast,,1,80\nnorth,Ann,2,200\nsouth,Bo,2,420\n"))
      << r.out;
}

// The analyst's shapes: rows with and without a match, the largest n, and
// a grouping read only by its aggregate.
TEST_F(RunnerTest, SemiAndAntiJoinsAndTopN) {
  const auto r = run(
      "s = table sales\n"
      "g = table regions\n"
      "managed = join semi s as x, g as y: x.region = y.region\n"
      "  columns: x.id\n"
      "unmanaged = join ANTI s x, g y: x.region = y.region\n"
      "best = top s: 2\n"
      "  by: amount desc, id\n"
      "none = top s: 0\n"
      "  by: id\n"
      "counted = aggregate none: count(*) as n\n"
      "run managed, unmanaged, best, counted\n",
      [](RunOptions &o) { o.csv = true, o.printSql = false; });
  ASSERT_EQ(r.code, kExitOk) << r.err;
  EXPECT_TRUE(contains(r.out, "id\n1\n2\n3\n4\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "id,region,amount\n5,east,80\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "id,region,amount\n3,south,300\n2,north,150\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "n\n0\n")) << r.out;
}

TEST_F(RunnerTest, TopNCountsAndGroupingsAreCheckedBeforeAnythingRuns) {
  const std::pair<const char *, const char *> mistakes[] = {
      {"t = top s: ten\n  by: id\n", "p.dfq:4: 'top' with 'by:' takes a whole number of rows"},
      {"t = top s: 99999999999\n  by: id\n", "'top' with 'by:' takes a whole number"},
      {"by = groupby s: region\nf = filter by: amount > 1\n",
       "p.dfq:5: 'by' is a grouping: only aggregate and groupbytime read it; aggregate it first"},
      {"j = join semi s a, s b\n", "p.dfq:4: a semi join needs its condition after ':'"},
  };
  for (const auto &[pipeline, message] : mistakes) {
    const auto r = run(std::string("s = table sales\n") + pipeline);
    EXPECT_EQ(r.code, kExitInput) << pipeline;
    EXPECT_TRUE(contains(r.err, message)) << r.err;
  }
  const auto negative = run("s = table sales\nt = top s: -1\n  by: id\n");
  EXPECT_EQ(negative.code, kExitRefused);
  EXPECT_TRUE(contains(negative.err, "DFQ-1616: Row count of topn must be 0 or more, got -1"))
      << negative.err;
  const auto second = run("s = table sales\ng = table regions\n"
                          "j = join semi s as x, g as y: x.id = y.id\n  columns: y.manager\n");
  EXPECT_EQ(second.code, kExitRefused);
  EXPECT_TRUE(contains(second.err, "DFQ-1415: Select list of semi join names the second input y"))
      << second.err;
}

TEST_F(RunnerTest, SetOperationsFreeQueriesAndSelectPrefix) {
  const auto r = run(
      "s = table sales\n"
      "n = filter s: region = 'north'\n"
      "b = filter s: amount > 100\n"
      "u = setop union n, b: id\n"
      "i = setop INTERSECT n, b\n"
      "  columns n: id\n"
      "  columns b: id\n"
      "q = query: select region, count(*) as c from sales group by region\n"
      "qf = filter q: c > 1\n"
      "p = select qf: region\n"
      "  prefix: with unused as (select 1)\n"
      "run u, i, p\n",
      [](RunOptions &o) { o.csv = true, o.printSql = false; });
  ASSERT_EQ(r.code, kExitOk) << r.err;
  EXPECT_TRUE(contains(r.out, "id\n1\n2\n3\n4\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "id\n2\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "region\nnorth\nsouth\n")) << r.out;
  EXPECT_FALSE(contains(r.out, "select "));  // -q: no statements printed
}

TEST_F(RunnerTest, InlinedNodesStayToRunAndExecutedNodesAreReadByName) {
  const auto r = run(
      "s = table sales\n"
      "f = filter s: amount > 100\n"
      "g = select f: id\n"
      "run g\n"
      "run f\n"
      "h = select f: count(*) as n\n"
      "run h, h\n",
      csvRows);
  ASSERT_EQ(r.code, kExitOk) << r.err;
  // f was inlined into g's statement; running f later creates its table,
  // and h then reads it by name.
  EXPECT_TRUE(contains(r.out, "== run f: 1 statement"));
  EXPECT_TRUE(contains(r.out, "select count(*) as n from \"main\".\"f\"\n"));
  EXPECT_TRUE(contains(r.out, "== run h: already executed\nn\n3\n"));
}

TEST_F(RunnerTest, StatementsSqliteCannotRunArePrintedAndTheRunGoesOn) {
  const auto r = run(
      "s = table sales\n"
      "t = top s: 2\n"
      "m = setop minus s, s: id\n"
      "x = sample s: 0.5\n"
      "gt = groupbytime s: 1 hour\n"
      "ga = aggregate gt: count(*) as n\n"
      "ml = ml kmeans s: call kmeans(on sales)\n"
      "f = filter s: id = 1\n"
      "run t, m, x, ga, ml, f\n",
      [](RunOptions &o) { o.csv = true, o.dialect = "default"; });
  ASSERT_EQ(r.code, kExitOk) << r.err;
  EXPECT_TRUE(contains(r.out, "-- not runnable on SQLite: \"main\".\"t\" uses select top"));
  EXPECT_TRUE(contains(r.out, "\"main\".\"m\" uses minus"));
  EXPECT_TRUE(contains(r.out, "\"main\".\"x\" uses SAMPLE"));
  EXPECT_TRUE(contains(r.out, "\"main\".\"ga\" uses group by time"));
  EXPECT_TRUE(contains(r.out, "\"main\".\"ml\" uses an ML function call"));
  EXPECT_TRUE(contains(r.out, "call kmeans(on sales)\n"));
  EXPECT_TRUE(contains(r.out, "id,region,amount\n1,north,50\n"));
}

TEST_F(RunnerTest, ShowPrintsTheThreeFormsAndSqlCreatesNothing) {
  const auto r = run(
      "s = table sales\n"
      "f = filter s: amount > 1\n"
      "g = select f: id\n"
      "show g\n"
      "sql g\n");
  ASSERT_EQ(r.code, kExitOk) << r.err;
  const std::string statement = "select id from (select * from sales where amount > 1) as temp_table\n";
  EXPECT_TRUE(contains(r.out, "== show g\n-- option 1: statements\n" + statement)) << r.out;
  EXPECT_TRUE(contains(r.out, "-- option 2: full path, one query per node\n-- node "));
  EXPECT_TRUE(contains(r.out, "select * from sales where amount > 1\n"));
  EXPECT_TRUE(contains(r.out, "-- option 3: statements against the top node\n" + statement));
  EXPECT_TRUE(contains(r.out, "== sql g: 1 statement\n"));
  EXPECT_FALSE(contains(r.out, "created"));
}

TEST_F(RunnerTest, WithoutRequestsTheLastNodeRuns) {
  const auto r = run("s = table sales\nf = filter s: id = 5\n", csvRows);
  ASSERT_EQ(r.code, kExitOk) << r.err;
  EXPECT_TRUE(contains(r.out, "== run f: 1 statement"));
  EXPECT_TRUE(contains(r.out, "5,east,80\n"));
}

TEST_F(RunnerTest, DryRunPrintsStatementsOnly) {
  const auto r = run("s = table sales\nf = filter s: nonsense\nrun f\n", [](RunOptions &o) { o.execute = false; });
  EXPECT_EQ(r.code, kExitOk) << r.err;
  EXPECT_TRUE(contains(r.out, "select * from sales where nonsense\n"));
}

TEST_F(RunnerTest, ViewsInsteadOfTables) {
  const auto r = run("s = table sales\nf = filter s: id = 2\nrun f\n", [](RunOptions &o) { o.csv = true, o.views = true; });
  ASSERT_EQ(r.code, kExitOk) << r.err;
  EXPECT_TRUE(contains(r.out, "-- created view \"main\".\"f\"\n"));
  EXPECT_TRUE(contains(r.out, "2,north,150\n"));
}

TEST_F(RunnerTest, RefusedOperationStopsWithTheLibrarysCodeAndMessage) {
  const auto r = run(
      "s = table sales\n"
      "o = orderby s: id\n"
      "f = filter o: id > 1\n"
      "run s\n");
  EXPECT_EQ(r.code, kExitRefused);
  EXPECT_TRUE(contains(r.err, "p.dfq:5: filter 'f' refused by the library: DFQ-1203: ")) << r.err;
  EXPECT_FALSE(contains(r.out, "== run"));
}

TEST_F(RunnerTest, DatabaseErrorNamesTheStatement) {
  const auto r = run("s = table sales\nf = filter s: amout > 1\nrun f\n");
  EXPECT_EQ(r.code, kExitDatabase);
  EXPECT_TRUE(contains(r.err, "p.dfq:5: database error in statement \"main\".\"f\" (node "));
  EXPECT_TRUE(contains(r.err, "): no such column: amout")) << r.err;
  EXPECT_FALSE(contains(r.out, "marked executed"));
}

TEST_F(RunnerTest, FreeQueryRejectedByTheDatabaseIsReportedAtItsLine) {
  const auto r = run("q = query: select x from nowhere\n");
  EXPECT_EQ(r.code, kExitDatabase);
  EXPECT_TRUE(contains(r.err, "p.dfq:3: database error in statement \"main\".\"q\""));
  EXPECT_TRUE(contains(r.err, "no such table: nowhere")) << r.err;
}

TEST_F(RunnerTest, DataFileErrors) {
  write("broken.csv", "a,b\n1\n");
  auto r = run("load broken.csv\n");
  EXPECT_EQ(r.code, kExitInput);
  EXPECT_TRUE(contains(r.err, "broken.csv:2: expected 2 fields, found 1")) << r.err;
  r = run("load missing.csv\n");
  EXPECT_EQ(r.code, kExitInput);
  EXPECT_TRUE(contains(r.err, "missing.csv: cannot read the file")) << r.err;
  r = run("load data.txt\n");
  EXPECT_EQ(r.code, kExitInput);
  EXPECT_TRUE(contains(r.err, "p.dfq:3: ")) << r.err;
  EXPECT_TRUE(contains(r.err, "data.txt: expected a .csv or .sql file")) << r.err;
}

TEST_F(RunnerTest, SqlSeedFilesAndProgressOnTheErrorStream) {
  write("seed.sql", "create table extra(k integer); insert into extra values (7);");
  const auto r = run("load seed.sql\ne = table extra\nf = filter e: k = 7\nrun f\n",
                     [](RunOptions &o) { o.csv = true, o.progress = true; });
  ASSERT_EQ(r.code, kExitOk) << r.err;
  EXPECT_TRUE(contains(r.out, "k\n7\n"));
  EXPECT_TRUE(contains(r.err, "[1/1] creating \"main\".\"f\""));
}

TEST_F(RunnerTest, ASecondRunOnADatabaseFileReplacesItsTables) {
  const std::string pipeline =
      "schema work\n"
      "s = table sales\n"
      "f = filter s: amount > 100\n"
      "run f\n";
  const std::string file = (dir_ / "shop.db").string();
  auto runOn = [&](bool replace) {
    RunOptions options;
    options.database = file;
    options.replace = replace;
    options.csv = true;
    return run(pipeline, options);
  };
  auto r = runOn(false);
  ASSERT_EQ(r.code, kExitOk) << r.err;
  // The schema work lives beside the file, and keeps the rows.
  EXPECT_TRUE(std::filesystem::exists(dir_ / "shop.work.db"));
  r = runOn(false);
  EXPECT_EQ(r.code, kExitDatabase);
  EXPECT_TRUE(contains(r.err, "p.dfq:1: database error while loading ")) << r.err;
  EXPECT_TRUE(contains(r.err, "already exists (--replace drops tables and views of the same name first)"));
  r = runOn(true);
  ASSERT_EQ(r.code, kExitOk) << r.err;
  EXPECT_TRUE(contains(r.out, "id,region,amount\n2,north,150\n3,south,300\n4,south,120\n")) << r.out;
  SqliteDatabase work((dir_ / "shop.work.db").string());
  EXPECT_EQ(work.query("select count(*) from f").rows.at(0).at(0).text, "3");
}

TEST_F(RunnerTest, ViewsOutsideSchemaMainAreRefusedBeforeAnythingRuns) {
  const auto r = run("s = table sales\nschema work\nf = filter s: id = 2\nrun f\n",
                     [](RunOptions &o) { o.views = true; });
  EXPECT_EQ(r.code, kExitUsage);
  EXPECT_TRUE(contains(r.err, "p.dfq:5: --views on SQLite needs every table in schema main, but this "
                              "line uses schema 'work'")) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST_F(RunnerTest, NoConnectionHasItsOwnExitCode) {
  const auto r = run("s = table sales\n", [](RunOptions &o) {
    o.database = "host=/nonexistent/socket-dir port=1 dbname=none connect_timeout=2";
  });
  EXPECT_EQ(r.code, kExitConnection);
  EXPECT_TRUE(contains(r.err, "dfq-run: cannot connect to PostgreSQL: ")) << r.err;
  EXPECT_TRUE(contains(run("s = table sales\n", [](RunOptions &o) { o.database = "/nonexistent/x.db"; }).err,
                       "cannot open the SQLite database /nonexistent/x.db"));
}

// On a terminal both streams share one screen: every progress line is
// cleared before anything else is written.
TEST_F(RunnerTest, TheProgressLineIsClearedBeforeOtherOutput) {
  RunOptions options;
  options.progress = true;
  write("p.dfq", "load sales.csv\ns = table sales\nf = filter s: id > 1\ng = select f: id\nrun g\nrun f\n");
  std::ostringstream screen;
  Runner runner(options, screen, screen);
  ASSERT_EQ(runner.run(readPipeline((dir_ / "p.dfq").string())), kExitOk);
  const std::string text = screen.str();
  const std::string clear = "\r\033[K";
  // Between two clears: a progress text alone, or output after a cleared line.
  size_t shown = 0, at = text.find(clear);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(text.substr(0, at), "");
  while (at != std::string::npos) {
    const size_t next = text.find(clear, at + clear.size());
    const std::string segment = text.substr(at + clear.size(), next - at - clear.size());
    const bool progressText = segment.rfind("loading ", 0) == 0 || segment.rfind("[", 0) == 0;
    if (progressText) {
      ++shown;
      EXPECT_EQ(segment.find('\n'), std::string::npos) << "written over a progress line: " << segment;
      EXPECT_NE(next, std::string::npos) << "progress line left standing: " << segment;
    }
    at = next;
  }
  EXPECT_GE(shown, 3u);  // loading, and one per statement created
}

TEST(SqliteDialect, FeaturesSqliteLacksAreRecognised) {
  EXPECT_EQ(unsupportedOnSqlite({"select * from t", "\"s\".\"t\"", "filter", "1"}), "");
  EXPECT_EQ(unsupportedOnSqlite({"select a from t intersect all select a from u", "n", "setop", "1"}),
            "intersect all");
  EXPECT_EQ(unsupportedOnSqlite({"select $QZ_GROUP_BY_TIME from t", "n", "aggregate", "1"}),
            "time-series pseudo-columns");
  EXPECT_EQ(unsupportedOnSqlite({"select 1", "n", "reference", "1"}), "an ML function call");
}

TEST(RunnerStatements, OneStatementPerStatementOnSqlite) {
  runnertest::ScratchDir dir;
  runnertest::expectOneStatementPerStatement(dir.file("inj.db"), dir);
}

}  // namespace
