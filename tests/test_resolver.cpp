// The resolver: inlining, placeholders, shared names, join inputs, splits,
// ML hand-over and the merge of ML dependencies; the name scanner and the
// multimaps it works with.
#include <random>

#include "DagException.h"
#include "Resolver.h"
#include "assemblySupport.h"

using namespace asmtest;
using dfq::literalResolve;

namespace {

class ResolverTest : public GraphTest {
 protected:
  ExecQueryList resolve(nodeid_t id, size_t limit = dfq::kSplitLimit) {
    return literalResolve(*dag, id, pathMap(id), limit).statements;
  }
  ExecQueryList resolveWithHandOver(nodeid_t id) {
    return builder->getResolvedandSplitQueries(id, pathMap(id));
  }
};

// ---- inlining -------------------------------------------------------------

TEST_F(ResolverTest, WorkedExampleInlinesTheChainIntoOneStatement) {
  const nodeid_t b = base("\"s\".\"b\"");
  const nodeid_t m = filter(b, "x>1", "m");
  const nodeid_t n = node("select", "a", {m}, "n");
  ASSERT_EQ(sql(n), "select a from \"s\".\"m\"");
  EXPECT_EQ(
      resolve(n),
      ExecQueryList({statement("select a from (select * from \"s\".\"b\" where x>1) as temp_table",
                               "\"s\".\"n\"", "select", n)}));
}

TEST_F(ResolverTest, NodeWithoutReferencesYieldsItsOwnQuery) {
  const nodeid_t f = filter(base("db.t"), "a > 1", "f");
  EXPECT_EQ(
      resolve(f),
      ExecQueryList({statement("select * from db.t where a > 1", "\"s\".\"f\"", "filter", f)}));
}

TEST_F(ResolverTest, NamesOutsideThePathStayAsWrittenEverywhere) {
  const nodeid_t a = filter(base("\"s\".\"t\""), "a>0", "a");
  const nodeid_t b = filter(a, "b>0 and \"x\".\"y\" is not null and \"s\".\"t\" = 1", "b");
  executed(a);
  EXPECT_EQ(resolve(b).at(0).query,
            "select * from \"s\".\"a\" where b>0 and \"x\".\"y\" is not null and \"s\".\"t\" = 1");
}

TEST_F(ResolverTest, SharedNameUsesSuccessiveEntriesThenTheLast) {
  const nodeid_t root = filter(base("t"), "c", "r");
  const nodeid_t x1 = filter(base("t"), "one", "x1"), x2 = filter(base("t"), "two", "x2"),
                 x3 = filter(base("t"), "three", "x3");
  ViewQueryMap map{{"\"s\".\"r\"", {"select * from \"s\".\"x\", \"s\".\"x\", \"s\".\"x\"", root}},
                   {"\"s\".\"x\"", {"q1", x1}},
                   {"\"s\".\"x\"", {"q2", x2}},
                   {"\"s\".\"x\"", {"q3", x3}}};
  const auto out = literalResolve(*dag, root, map).statements;
  EXPECT_EQ(out.at(0).query,
            "select * from (q2) as temp_table, (q3) as temp_table, (q3) as temp_table");
}

// ---- joins -------------------------------------------------------------------

class JoinResolverTest : public ResolverTest {
 protected:
  void SetUp() override {
    ResolverTest::SetUp();
    t1 = base("\"s\".\"t1\"");
    a = filter(t1, "a>0", "a");
    b = filter(base("\"s\".\"t2\""), "b>0", "b");
  }
  const std::string qa = "select * from \"s\".\"t1\" where a>0";
  const std::string qb = "select * from \"s\".\"t2\" where b>0";
  nodeid_t t1 = 0, a = 0, b = 0;
};

TEST_F(JoinResolverTest, AliasedInputsAreWrappedWithoutTempTable) {
  const nodeid_t j = join(a, b, "l.id = r.id", "j");
  EXPECT_EQ(resolve(j).at(0).query,
            "select * from (" + qa + ") as l inner join (" + qb + ") as r on l.id = r.id");
}

TEST_F(JoinResolverTest, SecondReferenceToAnInputGetsTempTable) {
  const nodeid_t j = join(a, b, "l.id = r.id and l.id in (select id from \"s\".\"a\")", "j");
  EXPECT_EQ(resolve(j).at(0).query, "select * from (" + qa + ") as l inner join (" + qb +
                                        ") as r on l.id = r.id and l.id in (select id from (" + qa +
                                        ") as temp_table)");
}

TEST_F(JoinResolverTest, GroupingInputIsWrappedLikeTheNodeItStandsFor) {
  const nodeid_t g = groupby(a, "|w id");
  const std::string wrapped = "(" + qa + ")";
  EXPECT_EQ(resolve(join(g, b, "l.id = r.id", "j1")).at(0).query,
            "select * from " + wrapped + " as l inner join (" + qb + ") as r on l.id = r.id");
  EXPECT_EQ(resolve(join(g, g, "l.id = r.id", "j2")).at(0).query,
            "select * from " + wrapped + " as l inner join " + wrapped + " as r on l.id = r.id");
  EXPECT_EQ(resolve(join(g, a, "l.id = r.id", "j3")).at(0).query,
            "select * from " + wrapped + " as l inner join " + wrapped + " as r on l.id = r.id");
}

// ---- assign, names without schema, self-reading grouping nodes --------------

TEST_F(ResolverTest, AssignQualifierFollowsHowItsInputIsInlined) {
  const nodeid_t a = filter(base("\"s\".\"t\""), "a>0", "a");
  const nodeid_t x = assign(a, "a + 1 as b", "x");
  ASSERT_EQ(sql(x), "select \"s\".\"a\".*, a + 1 as b from \"s\".\"a\"");
  EXPECT_EQ(resolve(x).at(0).query,
            "select temp_table.*, a + 1 as b from (select * from \"s\".\"t\" where a>0) as "
            "temp_table");
  // Split at the input: the qualifier keeps the name the statement reads.
  const auto split = resolve(x, 60);
  ASSERT_EQ(split.size(), 2u);
  EXPECT_EQ(split[0].query, sql(x));
  executed(a);
  EXPECT_EQ(resolve(x).at(0).query, sql(x));
}

TEST_F(ResolverTest, AssignQualifierTakesItsTurnAmongSharedNames) {
  // Both grouping nodes share a's name: the qualifier uses the first entry,
  // the from-clause the next, a's own query.
  const nodeid_t a = filter(base("db.t"), "a > 0", "a");
  const nodeid_t x = assign(groupby(groupby(a, "|w a"), "|w a"), "a + 1 as b", "x");
  ASSERT_EQ(sql(x), "select \"s\".\"a\".*, a + 1 as b from \"s\".\"a\"");
  const std::string expected =
      "select temp_table.*, a + 1 as b from (select * from db.t where a > 0) as temp_table";
  EXPECT_EQ(resolve(x).at(0).query, expected);
  EXPECT_EQ(dfq::fastResolve(*dag, x, pathMap(x)).statements.at(0).query, expected);
  EXPECT_EQ(asmtest::hostStatements(std::to_string(x)).list.at(0).query, expected);
}

TEST_F(ResolverTest, NodeWithoutSchemaYieldsItsOwnQueryResolved) {
  const nodeid_t a = filter(base("\"s\".\"t\""), "a>0", "a");
  const nodeid_t x = filter(a, "z>0", "x", "");
  EXPECT_EQ(
      resolve(x),
      ExecQueryList({statement("select * from (select * from \"s\".\"t\" where a>0) as temp_table "
                               "where z>0",
                               "x", "filter", x)}));
}

TEST_F(ResolverTest, GroupingOnGroupingOverExecutedInputTerminates) {
  const nodeid_t f = filter(base("\"s\".\"t\""), "v>0", "f");
  const nodeid_t g2 = groupby(groupby(f, "|w a"), "|w a");
  const nodeid_t agg = node("aggregate", "sum(v) as s", {g2}, "agg");
  executed(f);
  EXPECT_EQ(resolve(agg).at(0).query,
            "select a, sum(v) as s from (select * from \"s\".\"f\") as temp_table group by a");
  EXPECT_EQ(resolve(g2).at(0).query, "select * from \"s\".\"f\"");
}

// ---- splits -------------------------------------------------------------------

class SplitTest : public ResolverTest {
 protected:
  // t <- a <- b <- c, each condition padded to `pad` characters.
  void chain(size_t pad) {
    t = base("\"s\".\"t\"");
    a = filter(t, std::string(pad, 'a'), "a");
    b = filter(a, std::string(pad, 'b'), "b");
    c = filter(b, std::string(pad, 'c'), "c");
  }
  static size_t inlined(const std::string &query) { return query.size() + 16; }
  nodeid_t t = 0, a = 0, b = 0, c = 0;
};

TEST_F(SplitTest, ClosedStatementsCarryTheirChainsRootAndReadTheSplitName) {
  chain(40);
  // c and b fit, a would reach the limit.
  const size_t cAndB = inlined(sql(c)) + inlined(sql(b)) - nameOf(b).size();
  const auto out = resolve(c, cAndB + 1);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0],
            statement("select * from (select * from \"s\".\"a\" where " + std::string(40, 'b') +
                          ") as temp_table where " + std::string(40, 'c'),
                      "\"s\".\"c\"", "filter", c));
  EXPECT_EQ(out[1], statement(sql(a), "\"s\".\"a\"", "filter", a));
}

TEST_F(SplitTest, EachTooLargeLevelGetsItsOwnStatementInCreationOrder) {
  chain(100);
  const auto out = resolve(c, inlined(sql(c)) + 10);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0], statement(sql(c), "\"s\".\"c\"", "filter", c));
  EXPECT_EQ(out[1], statement(sql(b), "\"s\".\"b\"", "filter", b));
  EXPECT_EQ(out[2], statement(sql(a), "\"s\".\"a\"", "filter", a));
}

TEST_F(SplitTest, AtTheRealLimit) {
  t = base("\"s\".\"t\"");
  a = filter(t, std::string(600000, 'a'), "a");
  b = filter(a, std::string(400000, 'b'), "b");
  c = filter(b, "c", "c");
  const auto out = resolve(c);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_LT(out[0].query.size(), dfq::kSplitLimit);
  EXPECT_NE(out[0].query.find("from \"s\".\"a\" where bbb"), std::string::npos);
  EXPECT_EQ(out[1].query, sql(a));
}

TEST_F(SplitTest, FirstSubstitutionPastTheLimitAcceptsTheWholeChain) {
  t = base("\"s\".\"t\"");
  a = filter(t, std::string(300000, 'a'), "a");
  b = filter(a, std::string(dfq::kSplitLimit, 'b'), "b");
  const auto out = resolve(b);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].query.size(), sql(b).size() - nameOf(a).size() + inlined(sql(a)));
}

TEST_F(SplitTest, NamesAfterTheSplitPointAreStillDefined) {
  t = base("\"s\".\"t\"");
  a = filter(t, std::string(200, 'a'), "a");
  b = filter(base("\"s\".\"u\""), "b>0", "b");
  const nodeid_t j = join(a, b, "l.id = r.id", "j");
  const auto out = resolve(j, 150);
  EXPECT_TRUE(hostCanCreate(out, {nameOf(a), nameOf(b), nameOf(j)}));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].query,
            "select * from \"s\".\"a\" as l inner join (select * from \"s\".\"u\" "
            "where b>0) as r on l.id = r.id");
  EXPECT_EQ(out[1].name, nameOf(a));
}

TEST_F(SplitTest, SharedAncestorSplitAwayIsDefinedOnceAfterEveryReader) {
  t = base("\"s\".\"t\"");
  a = filter(t, std::string(300, 'a'), "a");
  const nodeid_t l = filter(a, std::string(300, 'l'), "l");
  const nodeid_t r = filter(a, std::string(300, 'r'), "r");
  const nodeid_t j = join(l, r, "l.id = r.id", "j");
  const auto out = resolve(j, 400);
  EXPECT_TRUE(hostCanCreate(out, {nameOf(a), nameOf(l), nameOf(r), nameOf(j)}));
  EXPECT_EQ(out.front().name, nameOf(j));
  EXPECT_EQ(out.size(), 4u);
}

TEST_F(SplitTest, NameSplitAwayEarlierIsCreatedBeforeALaterReader) {
  t = base("\"s\".\"t\"");
  const nodeid_t x = filter(t, std::string(300, 'x'), "x");
  const nodeid_t y = filter(x, std::string(300, 'y'), "y");
  const nodeid_t j = join(x, y, "l.id = r.id", "j");
  const auto out = resolve(j, 400);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].name, nameOf(j));
  EXPECT_EQ(out[1], statement(sql(y), nameOf(y), "filter", y));
  EXPECT_EQ(out[2], statement(sql(x), nameOf(x), "filter", x));
}

// Random graphs of filters and joins, split at random limits: the list must
// always be creatable by a host, and every path node reached by its name
// must be created by it.
TEST_F(SplitTest, RandomGraphsAlwaysYieldCreatableLists) {
  std::mt19937 random(7);
  for (int round = 0; round < 40; ++round) {
    std::vector<nodeid_t> nodes{base("\"s\".\"t\"")};
    std::set<std::string> names;
    for (int i = 0; i < 12; ++i) {
      const std::string table = "n" + std::to_string(round) + "_" + std::to_string(i);
      const nodeid_t left = nodes[random() % nodes.size()];
      const std::string pad(random() % 120, 'p');
      nodeid_t id;
      if (random() % 3 == 0) {
        id = join(left, nodes[random() % nodes.size()], "l.k = r.k", table);
      } else {
        id = filter(left, "k > 0 or '" + pad + "' = ''", table);
      }
      nodes.push_back(id);
      names.insert(nameOf(id));
    }
    const nodeid_t top = nodes.back();
    const size_t limit = 150 + random() % 600;
    const auto out = resolve(top, limit);
    ASSERT_TRUE(hostCanCreate(out, names)) << "round " << round;
    ASSERT_EQ(out.front().name, nameOf(top));
  }
}

// ---- ML hand-over ---------------------------------------------------------------

class MlResolverTest : public ResolverTest {
 protected:
  void SetUp() override {
    ResolverTest::SetUp();
    t = base("\"s\".\"t\"");
    a = filter(t, "a>0", "a");
    m = mlQuery(a, mlText, 2, &ref);
    f = filter(ref, "p>0", "f");
  }
  const std::string mlText = "call ml(on \"s\".\"a\" out \"s\".\"m1\", \"s\".\"m2\")";
  nodeid_t t = 0, a = 0, m = 0, ref = 0, f = 0;
};

TEST_F(MlResolverTest, MlQueryIsHandedOverWithTheStatementsOfItsInputs) {
  // The statements reading an output, the ML query, then what it reads.
  const ExecQueryEntry ofA = statement(sql(a), "\"s\".\"a\"", "filter", a);
  EXPECT_EQ(
      resolveWithHandOver(f),
      ExecQueryList({statement("select * from \"s\".\"m2\" where p>0", "\"s\".\"f\"", "filter", f),
                     statement(mlText, "\"s\".\"m1\"", "reference", ref), ofA}));
  const nodeid_t g = filter(m, "q>0", "g");
  EXPECT_EQ(
      resolveWithHandOver(g),
      ExecQueryList({statement("select * from \"s\".\"m1\" where q>0", "\"s\".\"g\"", "filter", g),
                     statement(mlText, "\"s\".\"m1\"", "ml_query_multi_output", m), ofA}));
  // The output itself: the ML query and its input.
  EXPECT_EQ(resolveWithHandOver(ref),
            ExecQueryList({statement(mlText, "\"s\".\"m1\"", "reference", ref), ofA}));
  // An executed input is read as a table.
  executed(a);
  EXPECT_EQ(resolveWithHandOver(ref),
            ExecQueryList({statement(mlText, "\"s\".\"m1\"", "reference", ref)}));
}

TEST_F(MlResolverTest, DependenciesFollowTheMlQueryWhichFollowsItsReaders) {
  const nodeid_t b = filter(base("\"s\".\"u\""), "b>0", "b");
  const ExecQueryEntry ofF =
      statement("select * from \"s\".\"m2\" where p>0", "\"s\".\"f\"", "filter", f);
  const ExecQueryEntry ofMl = statement(mlText, "\"s\".\"m1\"", "reference", ref);
  const ExecQueryEntry ofA = statement(sql(a), "\"s\".\"a\"", "filter", a);
  const ExecQueryEntry ofB = statement(sql(b), "\"s\".\"b\"", "filter", b);
  // An input listed as a dependency too is merged once, as an input.
  dependsOn(ref, {a, b, a});
  EXPECT_EQ(resolveWithHandOver(f), ExecQueryList({ofF, ofMl, ofA, ofB}));
  // Dependencies not executed are generated afresh next time.
  EXPECT_TRUE(dag->getNode(a)->execQueriesRef().empty());
  EXPECT_TRUE(dag->getNode(a)->queriesAndViewsRef().empty());
  dependsOn(ref, {b, a});
  EXPECT_EQ(resolveWithHandOver(f), ExecQueryList({ofF, ofMl, ofA, ofB}));
  executed(a);
  dependsOn(ref, {b});
  EXPECT_EQ(resolveWithHandOver(f), ExecQueryList({ofF, ofMl, ofB}));
}

TEST_F(MlResolverTest, DependencyCycleFailsInsteadOfRecursing) {
  dependsOn(ref, {f});
  dfqtest::CStrings id{std::to_string(f)};
  int count = -1, rc = -1;
  dfq_gen_exec_queries(id, &count, &rc);
  EXPECT_EQ(rc, 1217);
  EXPECT_EQ(dfqtest::errorMessage(1217), "DAG has a cycle");
  dependsOn(ref, {ref});
  dfqtest::CStrings refId{std::to_string(ref)};
  dfq_gen_exec_queries(refId, &count, &rc);
  EXPECT_EQ(rc, 1217);
}

TEST_F(MlResolverTest, DependencyWithItsOwnMlDependencyIsGeneratedFirst) {
  // a's statements need another ML query whose dependency is b.
  const nodeid_t b = filter(base("\"s\".\"u\""), "b>0", "b");
  nodeid_t ref2 = 0;
  mlQuery(b, "call other()", 2, &ref2, "o");
  const nodeid_t d = filter(ref2, "d>0", "d");
  dependsOn(ref2, {b});
  dependsOn(ref, {d});
  const auto out = resolveWithHandOver(f);
  ASSERT_EQ(out.size(), 6u);
  EXPECT_EQ(out[0].name, "\"s\".\"f\"");
  EXPECT_EQ(out[1].query, mlText);
  EXPECT_EQ(out[2].name, "\"s\".\"a\"");
  // d's own list: d, its ML query, then b (its input and dependency).
  EXPECT_EQ(out[3].name, "\"s\".\"d\"");
  EXPECT_EQ(out[4].query, "call other()");
  EXPECT_EQ(out[5].name, "\"s\".\"b\"");
}

TEST_F(MlResolverTest, EveryMlQueryAStatementReadsIsHandedOver) {
  const nodeid_t b = filter(base("\"s\".\"u\""), "b>0", "b");
  nodeid_t ref2 = 0;
  mlQuery(b, "call other()", 2, &ref2, "o");
  const std::string ofJoin = sql(join(ref, ref2, "l.k = r.k", "j"));
  const nodeid_t j = join(ref, ref2, "l.k = r.k", "j2");
  const ExecQueryEntry ofMl = statement(mlText, "\"s\".\"m1\"", "reference", ref);
  const ExecQueryEntry ofA = statement(sql(a), "\"s\".\"a\"", "filter", a);
  EXPECT_EQ(resolveWithHandOver(j),
            ExecQueryList({statement(ofJoin, "\"s\".\"j2\"", "join", j), ofMl, ofA,
                           statement("call other()", "\"s\".\"o1\"", "reference", ref2),
                           statement(sql(b), "\"s\".\"b\"", "filter", b)}));
  // A set operation over both outputs of one ML query needs one call; the
  // names after the first output are still resolved.
  const nodeid_t c = filter(b, "c>0", "c");
  nodeid_t inputs[3] = {m, ref, c};
  const nodeid_t u = dag->addNode("setop", "union", "a", "u", "s", "SELECT", 1, 3, inputs);
  const std::string columns[3] = {"a", "a", "a"};
  dag->updateInputEdgeDetails(u, columns);
  const ExecQueryList out = resolveWithHandOver(u);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_NE(out[0].query.find("\"s\".\"m1\""), std::string::npos);
  EXPECT_NE(out[0].query.find("\"s\".\"m2\""), std::string::npos);
  EXPECT_EQ(out[0].query.find("\"s\".\"c\""), std::string::npos) << out[0].query;
  EXPECT_EQ(out[1], statement(mlText, "\"s\".\"m1\"", "ml_query_multi_output", m));
  EXPECT_EQ(out[2], ofA);
}

TEST_F(ResolverTest, PathLeftByNestedMlDependenciesIsTheLastOneGenerated) {
  // R's ML query depends on D, whose ML query depends on E: generating
  // R's statements generates D's within, and E's within D's. The working
  // path left is E's, so A (on R's and D's paths) is still to compute.
  const nodeid_t a = filter(base("db.t"), "a > 0", "a");
  const nodeid_t r = mlQuery(a, "call r()", 2, nullptr, "r");
  nodeid_t ref2 = 0;
  const nodeid_t ml2 = mlQuery(a, "call d()", 2, &ref2, "dm");
  const nodeid_t d = filter(ref2, "d > 0", "d");
  const nodeid_t e = filter(base("db.u"), "e > 0", "e");
  dependsOn(r, {d});
  dependsOn(ml2, {e});
  dependsOn(ref2, {e});
  // R's call, D, D's call, A (read by both calls), E.
  EXPECT_EQ(builder->dfqGenerateExecQueries(r), 5);
  dfqtest::CStrings id{std::to_string(r)};
  testing::internal::CaptureStdout();
  print_dag_path(id);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "DAGPath:<-" + std::to_string(r) + " <-" + std::to_string(a) + " <-DAGPathBegin\n");
}

// ---- the name scanner and the multimaps --------------------------------------------

TEST(ValidatePattern, FindsTheFirstQuotedTwoPartName) {
  int start = -1, end = -1;
  const std::string text = "select * from \"s\".\"t\" where 1=1";
  ASSERT_TRUE(Utils::validatePattern(text, &start, &end));
  EXPECT_EQ(start, 14);
  EXPECT_EQ(end, 20);
  EXPECT_TRUE(Utils::validatePattern("\"\".\"t\"", &start, &end));
  EXPECT_EQ(start, 0);
  EXPECT_EQ(end, 5);
  for (const char *none : {"\"s\".t", "\"s\" . \"t\"", "s.t", "\"a\".\"b", ""})
    EXPECT_FALSE(Utils::validatePattern(none, &start, &end)) << none;
}

TEST(ValidatePattern, ResumesAfterEachFailedCandidate) {
  int start = -1, end = -1;
  ASSERT_TRUE(Utils::validatePattern("\"a\" \"b\".\"c\"", &start, &end));
  EXPECT_EQ(start, 4);
  EXPECT_EQ(end, 10);
  size_t from = 0, s = 0, e = 0;
  const std::string two = "\"a\".\"b\" \"c\".\"d\"";
  ASSERT_TRUE(Utils::validatePattern(two, from, &s, &e));
  ASSERT_TRUE(Utils::validatePattern(two, e + 1, &s, &e));
  EXPECT_EQ(two.substr(s, e - s + 1), "\"c\".\"d\"");
  EXPECT_FALSE(Utils::validatePattern(two, e + 1, &s, &e));
}

int failureCode(const std::function<void()> &work, std::string *message = nullptr) {
  try {
    work();
  } catch (const DagException &e) {
    if (message) *message = e.what();
    return e.errorCode;
  }
  return 0;
}

TEST(MultiMaps, KeepEqualKeysInInsertionOrder) {
  char *names[] = {const_cast<char *>("k"), const_cast<char *>("j"), const_cast<char *>("k")};
  char *queries[] = {const_cast<char *>("q1"), const_cast<char *>("q2"), const_cast<char *>("q3")};
  long ids[] = {1, 2, 3};
  const ViewQueryMap map = Utils::make_view_queryMultiMap(names, queries, ids, 3);
  ASSERT_EQ(map.count("k"), 2u);
  auto k = map.lower_bound("k");
  EXPECT_EQ(k->second, std::make_pair(std::string("q1"), nodeid_t{1}));
  EXPECT_EQ((++k)->second, std::make_pair(std::string("q3"), nodeid_t{3}));
  const auto plain = Utils::makeMultiMap(names, queries, 3);
  EXPECT_EQ(plain.lower_bound("k")->second, "q1");
  EXPECT_EQ(plain.size(), 3u);
}

TEST(MultiMaps, RefuseMissingArraysAndEmptyCounts) {
  char *names[] = {const_cast<char *>("k")};
  long ids[] = {1};
  std::string message;
  EXPECT_EQ(failureCode([&] { Utils::make_view_queryMultiMap(nullptr, names, ids, 1); }, &message),
            1507);
  EXPECT_EQ(message, "Null pointer/empty keys");
  EXPECT_EQ(failureCode([&] { Utils::make_view_queryMultiMap(names, nullptr, ids, 1); }), 1508);
  EXPECT_EQ(failureCode([&] { Utils::make_view_queryMultiMap(names, names, ids, 0); }, &message),
            1509);
  EXPECT_EQ(message, "Number of queries or views provided are zero");
  EXPECT_EQ(failureCode([&] { Utils::makeMultiMap(nullptr, names, 1); }), 1507);
  EXPECT_EQ(failureCode([&] { Utils::makeMultiMap(names, nullptr, 1); }), 1508);
  EXPECT_EQ(failureCode([&] { Utils::makeMultiMap(names, names, -1); }, &message), 1509);
  EXPECT_EQ(message, "Zero count provided ");
}

}  // namespace
