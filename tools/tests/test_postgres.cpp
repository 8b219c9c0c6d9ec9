// dfq-run on a real PostgreSQL server (DFQ_PG_CONNINFO, set by
// scripts/test.sh, which starts a private server for the run) against
// SQLite: the sales example and random pipelines, each engine in its own
// portable dialect, must give the same rows. Without DFQ_PG_CONNINFO the
// cases are skipped with the reason; with it, a server that cannot be
// reached fails them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <sstream>

#include "runnerSupport.h"
#include "sqlTextCases.h"

using namespace dfqrun;
using runnertest::Outcome;

namespace {

// The row blocks of --csv output, each sorted, numbers written alike
// ("468.0" on SQLite and "468.00" on PostgreSQL are the same value).
using Rows = std::vector<std::string>;

std::string normalised(const std::string &field) {
  char *end = nullptr;
  const double value = std::strtod(field.c_str(), &end);
  if (field.empty() || *end != '\0') return field;
  std::ostringstream text;
  text.precision(12);
  text << value;
  return text.str();
}

std::vector<Rows> rowBlocks(const std::string &out) {
  std::vector<Rows> blocks;
  std::istringstream in(out);
  bool inBlock = false;
  for (std::string line; std::getline(in, line);) {
    const bool note = line.rfind("--", 0) == 0 || line.rfind("==", 0) == 0;
    if (note) {
      inBlock = false;
      continue;
    }
    if (!inBlock) blocks.emplace_back();  // the header starts a block
    inBlock = true;
    std::string row, field;
    std::istringstream fields(line);
    while (std::getline(fields, field, ',')) row += normalised(field) + ",";
    blocks.back().push_back(row);
  }
  for (auto &block : blocks) std::sort(block.begin() + (block.empty() ? 0 : 1), block.end());
  return blocks;
}

class PostgresTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *conninfo = std::getenv("DFQ_PG_CONNINFO");
    if (!conninfo || !*conninfo)
      GTEST_SKIP() << "DFQ_PG_CONNINFO is not set: no PostgreSQL server for this case "
                      "(scripts/test.sh starts one and sets it)";
    conninfo_ = conninfo;
    try {
      PostgresDatabase probe(conninfo_);
    } catch (const DatabaseError &e) {
      FAIL() << "DFQ_PG_CONNINFO is set but the server cannot be reached: " << e.what();
    }
    scratch_ = std::make_unique<runnertest::ScratchDir>();
  }

  void write(const std::string &name, const std::string &text) { scratch_->write(name, text); }

  // --csv -q --replace on `database`, unless `views` or no `replace`.
  Outcome runFile(const std::string &path, const std::string &database, bool replace = true,
                  bool views = false) {
    RunOptions options;
    options.database = database;
    options.csv = true;
    options.printSql = false;
    options.replace = replace;
    options.views = views;
    return runnertest::runPipelineFile(path, options);
  }

  Outcome run(const std::string &pipeline, const std::string &database, bool replace = true,
              bool views = false) {
    write("p.dfq", pipeline);
    return runFile(scratch_->file("p.dfq"), database, replace, views);
  }

  // The same pipeline on SQLite and on the server: both succeed with the
  // same row blocks.
  void expectSameRows(const std::string &pipeline, const std::string &what) {
    const Outcome lite = run(pipeline, ":memory:");
    const Outcome pg = run(pipeline, conninfo_);
    ASSERT_EQ(lite.code, kExitOk) << what << "\n" << lite.err << "\n" << pipeline;
    ASSERT_EQ(pg.code, kExitOk) << what << "\n" << pg.err << "\n" << pipeline;
    const auto liteRows = rowBlocks(lite.out), pgRows = rowBlocks(pg.out);
    ASSERT_EQ(liteRows, pgRows) << what << "\n" << pipeline << "\n" << lite.out << "\n" << pg.out;
    for (const auto &block : liteRows) compared_ += block.size();
  }

  std::string conninfo_;
  std::unique_ptr<runnertest::ScratchDir> scratch_;
  size_t compared_ = 0;
};

TEST_F(PostgresTest, TheSalesExampleGivesTheSameRowsAsOnSqlite) {
  const std::string example = DFQ_EXAMPLES_DIR "/sales.dfq";
  const Outcome lite = runFile(example, ":memory:");
  const Outcome pg = runFile(example, conninfo_);
  ASSERT_EQ(lite.code, kExitOk) << lite.err;
  ASSERT_EQ(pg.code, kExitOk) << pg.err;
  EXPECT_TRUE(pg.out.find("region,channel,orders,revenue\nNorth,online,2,468.00\n") != std::string::npos)
      << pg.out;
  EXPECT_EQ(rowBlocks(lite.out), rowBlocks(pg.out));
  // Run again: --replace drops what the first run created.
  const Outcome again = runFile(example, conninfo_);
  EXPECT_EQ(again.code, kExitOk) << again.err;
  EXPECT_EQ(again.out, pg.out);
}

// Random pipelines over t1(k, v) and t2(k, v) whose nodes all have the
// columns k and v, run on both engines; the top node is then read by name
// by an assign that keeps its columns, the most common incremental step.
TEST_F(PostgresTest, RandomPipelinesGiveTheSameRowsOnBothEngines) {
  write("t1.csv", "k,v\n1,10\n2,20\n3,30\n4,40\n5,50\n6,60\n");
  write("t2.csv", "k,v\n2,5\n3,7\n3,9\n5,11\n8,13\n");
  std::mt19937 random(20261208);
  for (int round = 0; round < 20; ++round) {
    std::ostringstream p;
    p << "load t1.csv\nload t2.csv\nschema p" << round << "\nt1 = table t1\nt2 = table t2\n";
    std::vector<std::string> nodes{"t1", "t2"};
    auto pick = [&] { return random() % 5 < 3 ? nodes.back() : nodes[random() % nodes.size()]; };
    for (int n = 0; n < 8; ++n) {
      const std::string out = "r" + std::to_string(n);
      switch (random() % 9) {
        case 0:
          p << out << " = filter " << pick() << ": v % " << 2 + random() % 3 << " <> 1\n";
          break;
        case 1:
          p << out << " = select " << pick() << ": k, v + " << random() % 5 << " as v\n";
          break;
        case 2:
          p << out << " = assign " << pick() << ": k, v * 2 as v\n  drop: yes\n";
          break;
        case 3:
          p << out << " = join " << (random() % 2 ? "inner " : "left ") << pick() << " as l, "
            << pick() << " as r: l.k = r.k\n  columns: l.k as k, l.v + coalesce(r.v, 0) as v\n";
          break;
        case 4: {
          static const char *ops[] = {"union", "unionall", "intersect", "minus"};
          p << out << " = setop " << ops[random() % 4] << " " << pick() << ", " << pick() << ": k, v\n";
          break;
        }
        case 5:
          p << "g" << n << " = groupby " << pick() << ": k\n"
            << out << " = aggregate g" << n << ": sum(v) as v\n";
          break;
        case 7:
          p << out << " = join " << (random() % 2 ? "semi " : "anti ") << pick() << " as l, "
            << pick() << " as r: l.k = r.k and r.v < l.v\n  columns: l.k as k, l.v as v\n";
          break;
        case 8:
          p << out << " = top " << pick() << ": " << random() % 4 << "\n  by: k desc, v\n";
          break;
        default:
          p << out << " = filter " << pick() << ": k < " << 3 + random() % 5 << "\n";
      }
      nodes.push_back(out);
    }
    p << "run " << nodes.back() << "\nnext = assign " << nodes.back() << ": v + 1 as w\nrun next\n";
    expectSameRows(p.str(), "round " + std::to_string(round));
  }
  EXPECT_GT(compared_, 100u);  // the pipelines did produce rows
}

TEST_F(PostgresTest, ARejectedStatementStopsTheRunWithTheServersMessage) {
  write("t.csv", "k,v\n1,2\n");
  const Outcome r = run(
      "load t.csv\nschema rejected\nt = table t\nf = filter t: v > 0\ng = filter f: nope > 1\n"
      "h = select g: k\nrun h\nrun f\n",
      conninfo_);
  EXPECT_EQ(r.code, kExitDatabase);
  EXPECT_TRUE(r.err.find("p.dfq:7: database error in statement \"rejected\".\"h\" (node ") !=
              std::string::npos) << r.err;
  EXPECT_TRUE(r.err.find("): column \"nope\" does not exist") != std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("marked executed"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("== run f"), std::string::npos) << r.out;  // the run stopped
}

TEST_F(PostgresTest, ViewsAcrossSchemasAndASecondRunWithoutReplace) {
  write("t.csv", "k,v\n1,2\n3,4\n");
  const std::string pipeline =
      "load t.csv as src.t\nschema views\nt = table src.t\nf = filter t: k > 1\nrun f\n";
  const Outcome first = run(pipeline, conninfo_, true, true);
  ASSERT_EQ(first.code, kExitOk) << first.err;
  EXPECT_TRUE(first.out.find("-- created view \"views\".\"f\"\n") != std::string::npos) << first.out;
  EXPECT_TRUE(first.out.find("k,v\n3,4\n") != std::string::npos) << first.out;
  // Again without --replace: the load meets its table, and says what helps.
  const Outcome again = run(pipeline, conninfo_, false);
  EXPECT_EQ(again.code, kExitDatabase);
  EXPECT_TRUE(again.err.find("already exists (--replace drops tables and views of the same name first)") !=
              std::string::npos) << again.err;
}

TEST_F(PostgresTest, OneStatementPerStatement) {
  runnertest::expectOneStatementPerStatement(conninfo_, *scratch_);
}

// The extended protocol runs `sql` when it is one statement and refuses it
// as a whole when it is more.
void expectServerCount(PostgresDatabase &db, const std::string &sql, bool second) {
  try {
    db.query(sql);
    EXPECT_FALSE(second) << sql;
  } catch (const DatabaseError &e) {
    EXPECT_TRUE(second) << sql << ": " << e.what();
    EXPECT_NE(std::string(e.what()).find("multiple commands"), std::string::npos) << e.what();
  }
}

// The server counts the statements of each text as the lexer's PostgreSQL
// reading does: the extended protocol refuses exactly the texts of two.
TEST_F(PostgresTest, TheServerCountsStatementsAsTheLexerDoes) {
  PostgresDatabase db(conninfo_);
  for (const auto &c : sqltext::cases()) {
    if (!c.postgresRuns) continue;
    ASSERT_EQ(dfqrun::secondStatement(c.sql, SqlFlavor::PostgreSQL) != std::string::npos,
              c.secondOnPostgres) << c.sql;
    expectServerCount(db, c.sql, c.secondOnPostgres);
  }
  // Random selects of quoted texts (also with ';' and quotes inside),
  // dollar quotes, quoted names and comments, some followed by a second
  // select: the lexer and the server both count what was generated.
  static const char *values[] = {"'a;b'", "'it''s;'", "E'x\\';y'", "E'\\\\'", "$$;$$",
                                 "$q$ $$; $q$", "1 as \"c;d\"", "1 as \"e\"\";\""};
  static const char *comments[] = {" /* ; */", " /* /* ; */ ' */", " -- ; '\n", "/**/"};
  std::mt19937 random(2023);
  int seconds = 0;
  for (int round = 0; round < 200; ++round) {
    std::string sql = "select 1";
    bool second = false;
    for (int k = 0, count = 1 + static_cast<int>(random() % 6); k < count; ++k) {
      switch (random() % 4) {
        case 0: sql += comments[random() % std::size(comments)]; break;
        case 1:
          sql += std::string("; select ") + values[random() % std::size(values)];
          second = true;
          break;
        default: sql += std::string(", ") + values[random() % std::size(values)];
      }
    }
    if (random() % 3 == 0) sql += ";\n";
    seconds += second;
    ASSERT_EQ(dfqrun::secondStatement(sql, SqlFlavor::PostgreSQL) != std::string::npos, second)
        << sql;
    expectServerCount(db, sql, second);
  }
  EXPECT_GT(seconds, 50);
  EXPECT_LT(seconds, 150);
}

}  // namespace
