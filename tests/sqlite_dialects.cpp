// Every operation of the portable dialects run on a real engine, the way a
// host runs them: statements fetched through the C API and created as
// tables from the last to the first, nodes marked executed, rows read back
// and compared with rows worked out by hand. SQLite always; PostgreSQL when
// DFQ_PG_CONNINFO holds a libpq connection string.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>

#include "Resolver.h"
#include "assemblySupport.h"
#include "hostCalls.h"
#include "sqliteSupport.h"

#ifdef DFQ_HAVE_LIBPQ
#include <libpq-fe.h>
#endif

using asmtest::hostStatements;
using dfqtest::CStrings;

namespace {

using sqlitetest::Rows;

// ---- the engines ----------------------------------------------------------------

class Engine {
 public:
  virtual ~Engine() = default;
  // Empty on success, else the engine's message.
  virtual std::string run(const std::string &sql) = 0;
  // The rows as text ("NULL" for null), sorted unless `sorted` is false.
  virtual Rows rows(const std::string &sql, bool sorted = true) = 0;
  // Creates the schema `name` (dropping an older one); drops it if it exists.
  virtual void createSchema(const std::string &name) = 0;
  virtual void dropSchema(const std::string &name) = 0;
};

class Sqlite : public Engine {
 public:
  std::string run(const std::string &sql) override { return db.run(sql); }
  Rows rows(const std::string &sql, bool sorted) override { return db.rows(sql, sorted); }
  void createSchema(const std::string &name) override {
    EXPECT_EQ(run("attach ':memory:' as \"" + name + "\""), "");
  }
  void dropSchema(const std::string &name) override {
    run("detach \"" + name + "\"");  // if attached
  }

 private:
  sqlitetest::SqliteDatabase db;
};

#ifdef DFQ_HAVE_LIBPQ
class Postgres : public Engine {
 public:
  explicit Postgres(const char *conninfo) : conn(PQconnectdb(conninfo)) {
    if (PQstatus(conn) == CONNECTION_OK) run("set client_min_messages = warning");
  }
  ~Postgres() override {
    for (const std::string &schema : schemas) run("drop schema if exists \"" + schema + "\" cascade");
    PQfinish(conn);
  }
  Postgres(const Postgres &) = delete;
  Postgres &operator=(const Postgres &) = delete;

  std::string connectionError() const {
    return PQstatus(conn) == CONNECTION_OK ? "" : PQerrorMessage(conn);
  }
  std::string run(const std::string &sql) override {
    PGresult *result = PQexec(conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    std::string message = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK
                              ? ""
                              : std::string(PQresultErrorMessage(result));
    PQclear(result);
    return message;
  }
  Rows rows(const std::string &sql, bool sorted) override {
    Rows out;
    PGresult *result = PQexec(conn, sql.c_str());
    if (PQresultStatus(result) != PGRES_TUPLES_OK) {
      ADD_FAILURE() << PQresultErrorMessage(result) << " in " << sql;
      PQclear(result);
      return out;
    }
    for (int r = 0; r < PQntuples(result); ++r) {
      std::vector<std::string> row;
      for (int c = 0; c < PQnfields(result); ++c)
        row.push_back(PQgetisnull(result, r, c) ? "NULL" : PQgetvalue(result, r, c));
      out.push_back(row);
    }
    PQclear(result);
    if (sorted) std::sort(out.begin(), out.end());
    return out;
  }
  void createSchema(const std::string &name) override {
    dropSchema(name);
    EXPECT_EQ(run("create schema \"" + name + "\""), "");
    schemas.push_back(name);
  }
  void dropSchema(const std::string &name) override {
    EXPECT_EQ(run("drop schema if exists \"" + name + "\" cascade"), "");
  }

 private:
  PGconn *conn;
  std::vector<std::string> schemas;
};
#endif

// ---- the host ---------------------------------------------------------------------

// One test per engine, in the engine's own dialect. Schemas are named per
// process, so that runs in parallel on one server do not meet.
class PortableDialect : public ::testing::TestWithParam<std::string>, public hosttest::HostCalls {
 protected:
  PortableDialect() : HostCalls("") {}

  void SetUp() override {
    close_dag();
    if (GetParam() == "sqlite") {
      engine = std::make_unique<Sqlite>();
    } else {
#ifdef DFQ_HAVE_LIBPQ
      const char *conninfo = std::getenv("DFQ_PG_CONNINFO");
      if (conninfo == nullptr || *conninfo == '\0')
        GTEST_SKIP() << "DFQ_PG_CONNINFO is not set: no PostgreSQL server to run on";
      auto pg = std::make_unique<Postgres>(conninfo);
      ASSERT_EQ(pg->connectionError(), "");
      engine = std::move(pg);
#else
      const char *conninfo = std::getenv("DFQ_PG_CONNINFO");
      if (conninfo != nullptr && *conninfo != '\0')
        FAIL() << "DFQ_PG_CONNINFO names a server, but the tests were built without libpq";
      GTEST_SKIP() << "built without libpq: no PostgreSQL client";
#endif
    }
    const std::string tag = std::to_string(getpid());
    data = "d" + tag;
    schema = "w" + tag;
    engine->createSchema(data);
    engine->createSchema(schema);
    seed();
    CStrings user{"u"}, arg{""}, dialect{GetParam()}, option{"dialect"};
    int level = 4, rc = -1;
    init_dag(user, arg, &level, arg, &rc);
    ASSERT_EQ(rc, 0);
    dfq_set_option(option, dialect, &rc);
    ASSERT_EQ(rc, 0);
  }
  void TearDown() override {
    close_dag();
    engine.reset();
  }

  void seed() {
    const std::string d = "\"" + data + "\".";
    for (const std::string &sql :
         {"create table " + d + "sales(id integer, region text, amount integer)",
          "insert into " + d + "sales values (1,'north',100),(2,'south',250),(3,'north',300),"
                               "(4,'east',50),(5,'south',75)",
          "create table " + d + "regions(region text, manager text)",
          "insert into " + d + "regions values ('north','ann'),('south','bob'),('west','cid')"})
      ASSERT_EQ(engine->run(sql), "") << sql;
  }

  std::string table(const std::string &name) {
    return dfqtest::table("\"" + data + "\".\"" + name + "\"");
  }

  std::string sample(const std::string &in, const std::string &size, const std::string &out) {
    CStrings nid{in}, name{"s", "r", "a", "f", "e"}, value{"id, amount", "N", "Y", size, ""};
    CStrings when{""}, then{""}, ot{out}, os{schema}, id = CStrings::buffers(1);
    int none = 0, rc = -1;
    dfq_sample(nid, name, value, ot, os, id, when, then, &none, &rc);
    return hosttest::check(rc, id[0]);
  }

  // The host's round: fetch the statements, create them as tables from the
  // last to the first, mark their nodes executed, read the node's rows.
  Rows materialise(const std::string &id, bool sorted = true) {
    const asmtest::HostStatements got = hostStatements(id);
    EXPECT_EQ(got.rc, 0) << dfqtest::errorMessage(got.rc);
    if (seen != nullptr)
      for (const ExecQueryEntry &s : got.list) seen->push_back(s.query);
    for (auto s = got.list.rbegin(); s != got.list.rend(); ++s) {
      const std::string error = engine->run("create table " + s->name + " as " + s->query);
      if (!error.empty()) {
        ADD_FAILURE() << error << " creating " << s->name << " as " << s->query;
        return {};
      }
      CStrings nid{s->nodeid};
      int state = 1, rc = -1;
      dfq_update_node_state_single(nid, &state, &rc);
    }
    if (got.list.empty()) return {};
    // Creating a table keeps no order: an ordering is read from its statement.
    return sorted ? engine->rows("select * from " + got.list.front().name)
                  : engine->rows(got.list.front().query, false);
  }

  std::unique_ptr<Engine> engine;
  std::string data;
  std::vector<std::string> *seen = nullptr;  // statements materialised, when set
};

TEST_P(PortableDialect, ProjectionsFiltersAndAssignsOverInlinedAndExecutedInputs) {
  const std::string big = filter(table("sales"), "amount > 80", "big");
  const std::string projected = select(big, "proj", "id, region", "/* projection */", "proj");
  EXPECT_EQ(materialise(projected), Rows({{"1", "north"}, {"2", "south"}, {"3", "north"}}));
  const Rows doubled{{"1", "north", "100", "200"}, {"2", "south", "250", "500"},
                     {"3", "north", "300", "600"}};
  // `big` is inlined here, then read by name once it has been run.
  EXPECT_EQ(materialise(assign(big, "amount * 2 as doubled", "a1")), doubled);
  ASSERT_EQ(materialise(big).size(), 3u);
  EXPECT_EQ(materialise(assign(big, "amount * 2 as doubled", "a2")), doubled);
  EXPECT_EQ(materialise(assign(big, "id, amount + 1 as next", "a3", "Y")),
            Rows({{"1", "101"}, {"2", "251"}, {"3", "301"}}));
}

TEST_P(PortableDialect, TopKeepsItsPrefixAndTakesThatManyRows) {
  const std::string sales = table("sales");
  const std::string first = select(sales, "top", "2", "/* first rows */", "first");
  EXPECT_EQ(materialise(first).size(), 2u);
  const std::string big = filter(sales, "amount > 80", "big");
  const std::string ofBig = select(big, "TOP", "5", "", "ofbig");  // more than there are
  EXPECT_EQ(materialise(ofBig).size(), 3u);
  EXPECT_EQ(materialise(filter(select(big, "top", "1", "", "one"), "amount > 0", "after")).size(),
            1u);
}

TEST_P(PortableDialect, GroupingJoinsAndOrdering) {
  const std::string sales = table("sales"), regions = table("regions");
  const std::string big = filter(sales, "amount > 80", "big");
  EXPECT_EQ(materialise(single(dfq_aggregate, groupby(big, "|w region"),
                               {"sum(amount) as total, count(*) as n"}, "agg")),
            Rows({{"north", "400", "2"}, {"south", "250", "1"}}));
  const std::string managed = filter(regions, "manager <> 'cid'", "managed");
  EXPECT_EQ(materialise(join(big, managed, "inner", "l.region = r.region",
                             "l.id as id, r.manager as manager", "ij")),
            Rows({{"1", "ann"}, {"2", "bob"}, {"3", "ann"}}));
  const std::string small = filter(sales, "amount < 100", "small");
  EXPECT_EQ(materialise(join(small, managed, "LEFT", "l.region = r.region",
                             "l.id as id, r.manager as manager", "lj")),
            Rows({{"4", "NULL"}, {"5", "bob"}}));
  EXPECT_EQ(materialise(join(small, regions, "full", "l.region = r.region",
                             "l.id as id, r.region as region", "fj")),
            Rows({{"4", "NULL"}, {"5", "south"}, {"NULL", "north"}, {"NULL", "west"}}));
  EXPECT_EQ(materialise(join(small, managed, "cross", "", "l.id as id, r.manager as m", "cj"))
                .size(),
            4u);
  EXPECT_EQ(materialise(single(dfq_orderby, big, {"amount desc"}, "ordered"), false),
            Rows({{"3", "north", "300"}, {"2", "south", "250"}, {"1", "north", "100"}}));
}

TEST_P(PortableDialect, SetOperationsIncludingExcept) {
  const std::string sales = table("sales"), regions = table("regions");
  const std::string big = filter(sales, "amount > 80", "big");
  const std::string all = filter(sales, "amount > 0", "everything");
  EXPECT_EQ(materialise(setop("union", {big, regions}, "region", "u")),
            Rows({{"north"}, {"south"}, {"west"}}));
  EXPECT_EQ(materialise(setop("unionall", {big, regions}, "region", "ua")).size(), 6u);
  EXPECT_EQ(materialise(setop("MINUS", {all, regions}, "region", "m")), Rows({{"east"}}));
  EXPECT_EQ(materialise(setop("intersect", {all, regions}, "region", "i")),
            Rows({{"north"}, {"south"}}));
  // What SQLite lacks is refused when the node is added; PostgreSQL runs it.
  std::string minusAll, intersectAll;
  const int minusAllCode = trySetop("minusall", {all, regions}, "region", "ma", &minusAll);
  const int intersectAllCode = trySetop("intersectall", {all, big}, "region", "ia", &intersectAll);
  if (GetParam() == "sqlite") {
    EXPECT_EQ(minusAllCode, 1611);
    EXPECT_EQ(intersectAllCode, 1611);
    return;
  }
  EXPECT_EQ(materialise(minusAll), Rows({{"east"}, {"north"}, {"south"}}));
  EXPECT_EQ(materialise(intersectAll), Rows({{"north"}, {"north"}, {"south"}}));
}

TEST_P(PortableDialect, SamplesOfOneCountOrOneFraction) {
  const std::string sales = table("sales");
  const std::string big = filter(sales, "amount > 80", "big");
  const Rows two = materialise(sample(big, "2", "two"));
  ASSERT_EQ(two.size(), 2u);
  for (const auto &row : two) EXPECT_GE(std::stoi(row[1]), 100) << "drawn from the input";
  EXPECT_EQ(materialise(sample(sales, "1.0", "whole")).size(), 5u);
  EXPECT_EQ(materialise(sample(sales, "0.0", "none")).size(), 0u);
  EXPECT_LE(materialise(sample(sales, "0.5", "half")).size(), 5u);
  ASSERT_EQ(materialise(big).size(), 3u);  // and over an input read by name
  EXPECT_EQ(materialise(sample(big, " 10 ", "ten")).size(), 3u);
  EXPECT_EQ(materialise(filter(sample(big, "1.", "all"), "amount > 200", "over")).size(), 2u);
}

TEST_P(PortableDialect, FreeQueriesAreReadByName) {
  CStrings name{"q"}, value{"select region, sum(amount) as total from \"" + data +
                            "\".\"sales\" group by region"},
      ot{"totals"}, os{schema}, id = CStrings::buffers(1);
  int rc = -1;
  dfq_query(name, value, ot, os, id, &rc);
  ASSERT_EQ(rc, 0);
  // A free query's table is the host's to create as soon as it is defined.
  ASSERT_EQ(engine->run("create table \"" + schema + "\".\"totals\" as " + value[0]), "");
  EXPECT_EQ(materialise(select(filter(id[0], "total > 100", "large"), "top", "5", "", "topq")),
            Rows({{"north", "400"}, {"south", "325"}}));
}

// ---- semi and anti joins, top-n ----------------------------------------------------

// Random rows of a(k, v) and b(k, w), nulls and repeated keys on both sides.
struct KeyedRows {
  std::vector<std::pair<int, int>> a, b;  // key -1 is null
  static std::string sqlKey(int k) { return k < 0 ? "null" : std::to_string(k); }
  static std::string values(const std::vector<std::pair<int, int>> &rows) {
    std::string text;
    for (const auto &[k, v] : rows)
      text += (text.empty() ? "(" : ",(") + sqlKey(k) + "," + std::to_string(v) + ")";
    return text;
  }
  // The rows of a kept by a semi (keep = true) or anti join on
  // "l.k = r.k and r.w > l.v": a null key matches nothing.
  Rows kept(bool keep) const {
    Rows rows;
    for (const auto &[k, v] : a) {
      bool match = false;
      for (const auto &[bk, w] : b) match = match || (k >= 0 && bk == k && w > v);
      if (match == keep) rows.push_back({k < 0 ? "NULL" : std::to_string(k), std::to_string(v)});
    }
    std::sort(rows.begin(), rows.end());
    return rows;
  }
};

KeyedRows randomKeyedRows(unsigned seed) {
  std::mt19937 random(seed);
  KeyedRows rows;
  auto key = [&] { return static_cast<int>(random() % 6) - 1; };
  for (unsigned i = 0, n = 1 + random() % 12; i < n; ++i)
    rows.a.emplace_back(key(), static_cast<int>(random() % 10));
  for (unsigned i = 0, n = random() % 12; i < n; ++i)
    rows.b.emplace_back(key(), static_cast<int>(random() % 10));
  return rows;
}

// Each row of the first input once, when a row of the second meets the
// condition (semi) or none does (anti): the rows of `in` and of a `not in`
// that keeps null keys, over random tables with nulls on both sides, with
// the inputs inlined or read by name.
TEST_P(PortableDialect, SemiAndAntiJoinsKeepEachFirstRowWithOrWithoutAMatch) {
  const std::string d = "\"" + data + "\".";
  for (unsigned round = 0; round < 6; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const KeyedRows rows = randomKeyedRows(500 + round);
    for (const std::string &sql :
         {"drop table if exists " + d + "a", "drop table if exists " + d + "b",
          "create table " + d + "a(k integer, v integer)",
          "create table " + d + "b(k integer, w integer)"})
      ASSERT_EQ(engine->run(sql), "") << sql;
    ASSERT_EQ(engine->run("insert into " + d + "a values " + KeyedRows::values(rows.a)), "");
    if (!rows.b.empty()) {
      ASSERT_EQ(engine->run("insert into " + d + "b values " + KeyedRows::values(rows.b)), "");
    }
    const std::string a = filter(table("a"), "v >= 0", "fa" + std::to_string(round));
    const std::string b = filter(table("b"), "w >= 0", "fb" + std::to_string(round));
    const std::string condition = "l.k = r.k and r.w > l.v", tag = std::to_string(round);
    const Rows semi = materialise(join(a, b, "Semi", condition, "l.*", "semi" + tag));
    EXPECT_EQ(semi, rows.kept(true));
    EXPECT_EQ(semi, engine->rows("select * from " + d + "a as l where l.k in (select r.k from " +
                                 d + "b as r where r.w > l.v)"));
    const Rows expectedAnti = rows.kept(false);
    EXPECT_EQ(engine->rows("select * from " + d + "a as l where l.k is null or l.k not in "
                           "(select r.k from " + d + "b as r where r.w > l.v and r.k is not null)"),
              expectedAnti);
    if (round % 2 == 1) materialise(b);  // the second input read by name
    EXPECT_EQ(materialise(join(a, b, "ANTI", condition, "*", "anti" + tag)), expectedAnti);
  }
}

// The planner takes the exists test as a join of its own kind, not as a
// subplan run per row. (The second input's keys are nearly distinct: with
// many repeats the planner may instead make them distinct and join.)
TEST_P(PortableDialect, SemiAndAntiJoinsArePlannedAsSuch) {
  if (GetParam() != "postgresql") GTEST_SKIP() << "plans are read on PostgreSQL";
  const std::string d = "\"" + data + "\".";
  for (const std::string &sql :
       {"create table " + d + "a as select g as k, g % 7 as v from generate_series(1, 2000) g",
        "create table " + d + "b as select g % 2500 as k, g as w from generate_series(1, 3000) g",
        "analyze " + d + "a", "analyze " + d + "b"})
    ASSERT_EQ(engine->run(sql), "") << sql;
  const std::string a = filter(table("a"), "v > 0", "pa"), b = filter(table("b"), "w > 10", "pb");
  const std::pair<const char *, const char *> kinds[] = {{"semi", "Semi Join"},
                                                         {"anti", "Anti Join"}};
  for (const auto &[type, node] : kinds) {
    const std::string joined = join(a, b, type, "l.k = r.k", "l.k, l.v", type);
    const asmtest::HostStatements got = hostStatements(joined);
    ASSERT_EQ(got.list.size(), 1u);
    std::string plan;
    for (const auto &line : engine->rows("explain " + got.list[0].query, false)) plan += line[0] + "\n";
    EXPECT_NE(plan.find(node), std::string::npos) << got.list[0].query << "\n" << plan;
    EXPECT_EQ(plan.find("SubPlan"), std::string::npos) << plan;
  }
}

// The first n rows under an ordering, as a node later nodes read: a
// tie-breaker makes the rows exact, and without one the count still holds.
TEST_P(PortableDialect, TopNUnderTiesAndWithCountZeroIsReadByLaterNodes) {
  const std::string d = "\"" + data + "\".";
  ASSERT_EQ(engine->run("create table " + d + "scores(id integer, score integer)"), "");
  ASSERT_EQ(engine->run("insert into " + d + "scores values (1,90),(2,80),(3,90),(4,70),(5,80),"
                        "(6,90),(7,60)"),
            "");
  const std::string scores = filter(table("scores"), "score > 60", "kept");
  EXPECT_EQ(materialise(topn(scores, "score desc, id desc", 2, "best")),
            Rows({{"3", "90"}, {"6", "90"}}));
  const Rows fourOfTies = materialise(topn(scores, "score desc", 4, "four"));
  ASSERT_EQ(fourOfTies.size(), 4u);
  EXPECT_EQ(std::count(fourOfTies.begin(), fourOfTies.end(), Rows::value_type{"1", "90"}) +
                std::count(fourOfTies.begin(), fourOfTies.end(), Rows::value_type{"3", "90"}) +
                std::count(fourOfTies.begin(), fourOfTies.end(), Rows::value_type{"6", "90"}),
            3);
  // Read by later nodes, inlined and then by name.
  const std::string top3 = topn(scores, "score, id", 3, "low");
  EXPECT_EQ(materialise(aggregate(top3, "sum(score) as total, count(*) as n", "sum1")),
            Rows({{"230", "3"}}));
  ASSERT_EQ(materialise(top3).size(), 3u);
  EXPECT_EQ(materialise(filter(top3, "score > 70", "over")), Rows({{"2", "80"}, {"5", "80"}}));
  const std::string none = topn(scores, "id", 0, "none");
  EXPECT_EQ(materialise(none).size(), 0u);
  EXPECT_EQ(materialise(aggregate(none, "count(*) as n", "counted")), Rows({{"0"}}));
}

// ---- random pipelines ---------------------------------------------------------------

// One step of a random pipeline over t1(k, v) and t2(k, v): every node has
// the columns k and v (an assign keeping them adds a column of its own).
// Tops and samples are deterministic: more rows than there are, fraction 1;
// a top-n orders by k and v, which every other column follows.
struct Step {
  int kind = 0;
  size_t left = 0, right = 0;  // inputs: indexes into the nodes built so far
  int number = 0;
  bool runNow = false;  // materialise it at once: later nodes read it by name
};

std::vector<Step> randomSteps(unsigned seed) {
  std::mt19937 random(seed);
  std::vector<Step> steps;
  for (size_t n = 0; n < 9; ++n) {
    const size_t nodes = n + 2;  // the two tables first
    auto pick = [&] { return random() % 5 < 3 ? nodes - 1 : random() % nodes; };
    Step step;
    step.kind = static_cast<int>(random() % 11);
    step.left = pick();
    step.right = pick();
    step.number = static_cast<int>(random() % 5);
    step.runNow = random() % 4 == 0;
    steps.push_back(step);
  }
  return steps;
}

class RandomPipeline : public PortableDialect {
 protected:
  // The node of `step`, named r<index>.
  std::string add(const Step &step, const std::vector<std::string> &nodes, size_t index) {
    const std::string out = "r" + std::to_string(index);
    const std::string &in = nodes[step.left], &other = nodes[step.right];
    const std::string number = std::to_string(step.number);
    switch (step.kind) {
      case 0: return filter(in, "v % " + std::to_string(2 + step.number % 3) + " <> 1", out);
      case 1: return select(in, "cols", "k, v + " + number + " as v", "", out);
      case 2: return assign(in, "v * 2 as w" + std::to_string(index), out);
      case 3: return assign(in, "k, v * 2 as v", out, "Y");
      case 4:
        return join(in, other, step.number % 2 ? "inner" : "left", "l.k = r.k",
                    "l.k as k, l.v + coalesce(r.v, 0) as v", out);
      case 5: {
        static const char *ops[] = {"union", "unionall", "intersect", "minus", "Minus"};
        return setop(ops[step.number], {in, other}, "k, v", out);
      }
      case 6: return aggregate(groupby(in, "|w k"), "sum(v) as v", out);
      case 7: return select(in, "top", "100", "", out);
      case 9:
        return join(in, other, step.number % 2 ? "semi" : "anti",
                    step.number % 2 ? "l.k = r.k" : "l.k = r.k and r.v > l.v + 5",
                    "l.k as k, l.v as v", out);
      case 10: return topn(in, "k desc, v", step.number + 1, out);
      default: {
        CStrings nid{in}, name{"s", "r", "a", "f", "e"}, value{"k, v", "N", "N", "1.0", ""};
        CStrings when{""}, then{""}, ot{out}, os{schema}, id = CStrings::buffers(1);
        int none = 0, rc = -1;
        dfq_sample(nid, name, value, ot, os, id, when, then, &none, &rc);
        return hosttest::check(rc, id[0]);
      }
    }
  }

  // Builds the steps the way a host does (materialising the nodes marked
  // to run at once) and returns the last node's rows.
  Rows runAsHost(const std::vector<Step> &steps) {
    std::vector<std::string> nodes{table("t1"), table("t2")};
    for (size_t i = 0; i < steps.size(); ++i) {
      nodes.push_back(add(steps[i], nodes, i));
      if (nodes.back().empty()) return {};
      if (steps[i].runNow && i + 1 < steps.size()) materialise(nodes.back());
    }
    return materialise(nodes.back());
  }

  // The same rows from one table per node, made from the node's own query
  // in creation order (every input read by name).
  Rows runNodeByNode(const std::vector<Step> &steps) {
    std::vector<std::string> nodes{table("t1"), table("t2")};
    std::string name;
    for (size_t i = 0; i < steps.size(); ++i) {
      nodes.push_back(add(steps[i], nodes, i));
      if (nodes.back().empty()) return {};
      const std::string query = dagInstance()->getExecQuery(std::stoll(nodes.back()), name, false);
      const std::string error = engine->run("create table " + name + " as " + query);
      if (!error.empty()) ADD_FAILURE() << error << " in " << query;
    }
    return engine->rows("select * from " + name);
  }

  void seedNumbers() {
    const std::string d = "\"" + data + "\".";
    for (const std::string &sql :
         {"create table " + d + "t1(k integer, v integer)",
          "insert into " + d + "t1 values (1,10),(2,20),(3,30),(4,40),(5,50),(6,60)",
          "create table " + d + "t2(k integer, v integer)",
          "insert into " + d + "t2 values (2,5),(3,7),(3,9),(5,11),(8,13)"})
      ASSERT_EQ(engine->run(sql), "") << sql;
  }

  // A fresh graph in `dialect` (this engine's by default) and an empty
  // work schema.
  void restart(const std::string &dialectName = "") {
    close_dag();
    engine->dropSchema(schema);
    engine->createSchema(schema);
    CStrings user{"u"}, arg{""}, option{"dialect"};
    CStrings dialect{dialectName.empty() ? GetParam() : dialectName};
    int level = 4, rc = -1;
    init_dag(user, arg, &level, arg, &rc);
    dfq_set_option(option, dialect, &rc);
    ASSERT_EQ(rc, 0);
  }
};

// Statements inline their inputs as subqueries or read them by name; either
// way the rows are those of one table per node. On PostgreSQL the rows are
// also those the sqlite dialect gives on SQLite.
TEST_P(RandomPipeline, StatementsGiveTheRowsOfOneTablePerNodeOnEitherEngine) {
  seedNumbers();
  int withRows = 0;
  for (unsigned round = 0; round < 12; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::vector<Step> steps = randomSteps(7000 + round);
    restart();
    const Rows asHost = runAsHost(steps);
    withRows += asHost.empty() ? 0 : 1;
    restart();
    EXPECT_EQ(runNodeByNode(steps), asHost);
    if (GetParam() != "postgresql") continue;
    // The same pipeline in the sqlite dialect, on SQLite.
    std::unique_ptr<Engine> own = std::move(engine);
    engine = std::make_unique<Sqlite>();
    engine->createSchema(data);
    seedNumbers();
    restart("sqlite");
    EXPECT_EQ(runAsHost(steps), asHost) << "sqlite dialect on SQLite";
    engine = std::move(own);
  }
  EXPECT_GE(withRows, 8) << "pipelines that keep rows";
}

// ---- the cte form ------------------------------------------------------------------

// Random pipelines where nodes are read by several later ones (joins, semi
// and anti joins and set operations of any earlier nodes, some executed at
// once) give the
// same rows in both statement forms. Filters and joins carry a marker
// ("1003 = 1003") that tells how often their query is written.
class CteForm : public RandomPipeline {
 protected:
  void useForm(const std::string &form) {
    CStrings name{"form"}, value{form};
    int rc = -1;
    dfq_set_option(name, value, &rc);
    ASSERT_EQ(rc, 0);
  }

  static std::vector<Step> reusingSteps(unsigned seed) {
    std::mt19937 random(seed);
    std::vector<Step> steps;
    for (size_t n = 0; n < 10; ++n) {
      const size_t nodes = n + 2;
      auto pick = [&] { return random() % 3 == 0 ? nodes - 1 : random() % nodes; };
      Step step;
      step.kind = static_cast<int>(random() % 8);
      step.left = pick();
      step.right = pick();
      step.number = static_cast<int>(random() % 5);
      step.runNow = random() % 6 == 0;
      steps.push_back(step);
    }
    return steps;
  }

  static std::string marker(size_t index) {
    const std::string m = std::to_string(1000 + index);
    return m + " = " + m;
  }

  std::string addReusing(const Step &step, const std::vector<std::string> &nodes, size_t index) {
    const std::string out = "r" + std::to_string(index);
    const std::string &in = nodes[step.left], &other = nodes[step.right];
    switch (step.kind) {
      case 0:
      case 1:
        return join(in, other, step.number % 2 ? "inner" : "left", "l.k = r.k and " + marker(index),
                    "l.k as k, l.v + coalesce(r.v, 0) as v", out);
      case 2: {
        static const char *ops[] = {"union", "unionall", "intersect", "minus", "unionall"};
        return setop(ops[step.number], {in, other, in}, "k, v", out);
      }
      case 3: return aggregate(groupby(in, "|w k"), "sum(v) as v", out);
      case 4: return assign(in, "k, v * 2 as v", out, "Y");
      case 5:
        return join(in, other, step.number % 2 ? "semi" : "anti", "l.k = r.k and " + marker(index),
                    "l.k as k, l.v as v", out);
      default:
        return filter(in, "v % " + std::to_string(2 + step.number % 3) + " <> 1 and " + marker(index),
                      out);
    }
  }

  Rows runAsHost(const std::vector<Step> &steps, std::vector<std::string> &statements) {
    seen = &statements;
    std::vector<std::string> nodes{table("t1"), table("t2")};
    for (size_t i = 0; i < steps.size(); ++i) {
      nodes.push_back(addReusing(steps[i], nodes, i));
      if (nodes.back().empty()) return {};
      if (steps[i].runNow && i + 1 < steps.size()) materialise(nodes.back());
    }
    Rows rows = materialise(nodes.back());
    seen = nullptr;
    return rows;
  }

  // The most copies of one marked query in any of `statements`.
  static size_t mostCopies(const std::vector<std::string> &statements, size_t steps) {
    size_t most = 0;
    for (const std::string &s : statements)
      for (size_t i = 0; i < steps; ++i) {
        size_t copies = 0;
        for (size_t at = s.find(marker(i)); at != std::string::npos; at = s.find(marker(i), at + 1))
          ++copies;
        most = std::max(most, copies);
      }
    return most;
  }

  // The top node's statements made by the resolver at `limit` in the
  // graph's form, created on the engine from the last to the first in a
  // fresh work schema; the rows of the first.
  Rows resolvedAt(nodeid_t top, size_t limit, std::vector<std::string> &statements) {
    DAG &dag = *dagInstance();
    ViewQueryMap map;
    dag.genDAGPath(top, false);
    for (nodeid_t member : dag.getDAGPath(top, false)) {
      std::string name;
      std::string query = dag.getExecQuery(member, name, false);
      map.emplace(name, std::make_pair(std::move(query), member));
    }
    const dfq::ResolvedQueries resolved = dfq::resolve(dag, top, map, limit);
    engine->dropSchema(schema);
    engine->createSchema(schema);
    for (auto s = resolved.statements.rbegin(); s != resolved.statements.rend(); ++s) {
      statements.push_back(s->query);
      const std::string error = engine->run("create table " + s->name + " as " + s->query);
      if (!error.empty()) ADD_FAILURE() << error << " creating " << s->name << " as " << s->query;
    }
    return engine->rows("select * from " + resolved.statements.front().name);
  }
};

TEST_P(CteForm, RandomPipelinesWithReuseGiveTheNestedFormsRows) {
  seedNumbers();
  size_t mostNested = 0;
  int splitRounds = 0;
  for (unsigned round = 0; round < 14; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::vector<Step> steps = reusingSteps(2100 + round);
    std::vector<std::string> nested, cte;
    restart();
    const Rows asNested = runAsHost(steps, nested);
    restart();
    useForm("cte");
    EXPECT_EQ(runAsHost(steps, cte), asNested);
    EXPECT_LE(mostCopies(cte, steps.size()), 1u) << "a query written twice in one statement";
    mostNested = std::max(mostNested, mostCopies(nested, steps.size()));

    // Statements split at small limits, in both forms, nothing executed.
    restart();
    std::vector<std::string> nodes{table("t1"), table("t2")};
    for (size_t i = 0; i < steps.size(); ++i) nodes.push_back(addReusing(steps[i], nodes, i));
    const nodeid_t top = std::stoll(nodes.back());
    const size_t limit = 150 + round * 40;
    std::vector<std::string> split, unused;
    dagInstance()->setForm(dfq::Form::Cte);
    const Rows cteSplit = resolvedAt(top, limit, split);
    EXPECT_LE(mostCopies(split, steps.size()), 1u);
    dagInstance()->setForm(dfq::Form::Nested);
    EXPECT_EQ(cteSplit, resolvedAt(top, limit, unused)) << "split at " << limit;
    splitRounds += split.size() > 1 ? 1 : 0;
  }
  EXPECT_GE(mostNested, 4u) << "pipelines whose nested statements copy a query";
  EXPECT_GE(splitRounds, 8) << "pipelines split into several statements";
}

INSTANTIATE_TEST_SUITE_P(Engines, CteForm, ::testing::Values("sqlite", "postgresql"),
                         [](const auto &info) { return info.param; });

INSTANTIATE_TEST_SUITE_P(Engines, RandomPipeline, ::testing::Values("sqlite", "postgresql"),
                         [](const auto &info) { return info.param; });

INSTANTIATE_TEST_SUITE_P(Engines, PortableDialect, ::testing::Values("sqlite", "postgresql"),
                         [](const auto &info) { return info.param; });

}  // namespace
