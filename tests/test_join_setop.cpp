// Joins and set operations through the C API: their SQL, their nodes and the
// order and codes of the checks on the host's arrays.
#include "assemblySupport.h"
#include "opsSupport.h"

using namespace dfqtest;
using namespace opstest;

namespace {

class JoinSetopTest : public DagTest {
 protected:
  void SetUp() override {
    DagTest::SetUp();
    left = table("t1");
    right = callEntry(dfq_filter, {table("base2")}, {"f"}, {"a > 0"}, "t2", "s").id;
  }
  Outcome join(const std::vector<std::string> &names, const std::vector<std::string> &values) {
    return callEntry(dfq_join, {left, right}, names, values, "j", "");
  }
  Outcome join(const std::string &type, const std::string &condition,
               const std::string &columns = "*") {
    return join({type, "l", "r", "c"}, {condition, "l", "r", columns});
  }
  std::string left, right;
};

}  // namespace

// ---- join ------------------------------------------------------------------------

TEST_F(JoinSetopTest, JoinReadsBothInputsUnderTheirAliases) {
  const Outcome r = join("Left", "l.id = r.id");
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(sqlOf(r.id), "select * from t1 as l left outer join \"s\".\"t2\" as r on l.id = r.id");
  EXPECT_EQ(sqlOf(join("inner", "c", "l.a, r.b").id),
            "select l.a, r.b from t1 as l inner join \"s\".\"t2\" as r on c");
}

TEST_F(JoinSetopTest, JoinTypesMapToTheirSqlWords) {
  const std::pair<const char *, const char *> types[] = {
      {"INNER", "inner join"}, {"Inner", "inner join"},       {"full", "full outer join"},
      {"right", "right outer join"}, {"LEFT", "left outer join"},
  };
  for (const auto &[type, words] : types) {
    const std::string sql = sqlOf(join(type, "c").id);
    EXPECT_NE(sql.find(std::string(" as l ") + words + " \"s\".\"t2\" as r on c"),
              std::string::npos)
        << sql;
  }
}

// Semi and anti joins test for a row of the second input inside the first
// input's where clause; inlined inputs keep their aliases.
TEST_F(JoinSetopTest, SemiAndAntiJoinsWriteExistsWithTheConditionInside) {
  EXPECT_EQ(sqlOf(join("SEMI", "l.id = r.id", "l.*").id),
            "select l.* from t1 as l where exists (select 1 from \"s\".\"t2\" as r where "
            "l.id = r.id)");
  const Outcome anti = join("Anti", "l.id = r.id and r.x is not null", "*");
  EXPECT_EQ(sqlOf(anti.id),
            "select * from t1 as l where not exists (select 1 from \"s\".\"t2\" as r where "
            "l.id = r.id and r.x is not null)");
  const asmtest::HostStatements got = asmtest::hostStatements(anti.id);
  ASSERT_EQ(got.list.size(), 1u);
  EXPECT_EQ(got.list[0].query,
            "select * from t1 as l where not exists (select 1 from (select * from base2 where "
            "a > 0) as r where l.id = r.id and r.x is not null)");
  EXPECT_EQ(got.list[0].queryType, "join");
}

// What a semi or anti join cannot mean is refused before a node is added:
// no condition, the second input in the select list, one alias for both.
TEST_F(JoinSetopTest, SemiAndAntiJoinsRefuseWhatTheyCannotKeep) {
  const size_t before = nodeCount();
  EXPECT_EQ(join("semi", "").rc, 1403);
  const std::pair<const char *, const char *> namesSecond[] = {
      {"r.x", "r"}, {"l.a, R.b", "r"}, {"\"r\".*", "r"}, {"l.a + r . b as c", "r"}};
  for (const auto &[columns, alias] : namesSecond) {
    const Outcome refused = join("anti", "l.id = r.id", columns);
    EXPECT_EQ(refused.rc, 1415) << columns;
    EXPECT_EQ(refused.message, std::string("Select list of anti join names the second input ") +
                                   alias + ": only the first input's columns are kept");
  }
  const Outcome same = join({"semi", "l", "r", "c"}, {"l.id = l.id", "l", "L", "*"});
  EXPECT_EQ(same.rc, 1414);
  EXPECT_EQ(same.message, "Aliases of semi join must differ, both inputs are L");
  EXPECT_EQ(nodeCount(), before);
  // Words that only look like the alias: another qualifier's column, a
  // literal, a longer name, a column called r.
  for (const char *columns : {"l.r", "'r.x' as t", "rr.x", "s.r.x", "l.a as r", "r"}) {
    const Outcome kept = join("semi", "l.id = r.id", columns);
    EXPECT_TRUE(kept.ok()) << columns << ": " << kept.message;
  }
  EXPECT_TRUE(join("inner", "l.id = r.id", "r.x").ok()) << "other joins keep both inputs";
}

TEST_F(JoinSetopTest, JoinTypeIsStoredAsGivenUntilItsQueryIsComposed) {
  const Outcome r = join("Inner", "c");
  EXPECT_EQ(nodeOf(r.id)->getArgName(), "Inner");
  sqlOf(r.id);
  EXPECT_EQ(nodeOf(r.id)->getArgName(), "inner");
}

TEST_F(JoinSetopTest, InputsFollowTextsOfEveryLengthClass) {
  // A node's input list lies after its texts, whose lengths take one to
  // three bytes each.
  for (size_t size : {size_t{1}, size_t{127}, size_t{128}, size_t{16383}, size_t{16384}}) {
    const std::string condition = "l.id = r.id" + std::string(size, ' ');
    const Outcome r = join("inner", condition, std::string(size, 'c'));
    ASSERT_TRUE(r.ok()) << r.message;
    const Node *node = nodeOf(r.id);
    EXPECT_EQ(node->getArgValue(), condition);
    EXPECT_EQ(node->getOutputTable(), "j");
    EXPECT_EQ(node->getInputEdgeNodes(),
              (std::vector<nodeid_t>{std::stoll(left), std::stoll(right)}));
  }
}

TEST_F(JoinSetopTest, CrossJoinHasNoConditionAndMayLeaveItEmpty) {
  const Outcome r = join("cross", "");
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(sqlOf(r.id), "select * from t1 as l cross join \"s\".\"t2\" as r");
  EXPECT_EQ(sqlOf(join("Cross", "ignored").id),
            "select * from t1 as l cross join \"s\".\"t2\" as r");
}

TEST_F(JoinSetopTest, EmptyConditionExemptionComparesWithCase) {
  const Outcome upper = join("CROSS", "");
  EXPECT_EQ(upper.rc, 1403);
  EXPECT_EQ(upper.message, "arg_value for JOIN should contain four values, value at 1 is missing");
  const Outcome crossover = join("crossover", "");
  EXPECT_EQ(crossover.rc, 1405);
  EXPECT_EQ(crossover.message, "Invalid join argument crossover");
  const Outcome outer = join("outer", "c");
  EXPECT_EQ(outer.rc, 1405);
  EXPECT_EQ(outer.message, "Invalid join argument outer");
}

TEST_F(JoinSetopTest, JoinSlotsAreCheckedNameBeforeValueFromPositionOne) {
  const Outcome tag = join({"inner", "l", "r", ""}, {"c", "l", "r", "x"});
  EXPECT_EQ(tag.rc, 1402);
  EXPECT_EQ(tag.message,
            "arg_name for JOIN should contain four tag values, value at 4 is missing");
  const Outcome both = join({"inner", "", "r", "c"}, {"c", "", "r", "*"});
  EXPECT_EQ(both.message,
            "arg_name for JOIN should contain four tag values, value at 2 is missing");
  const Outcome alias = join({"inner", "l", "r", "c"}, {"c", "l", "", "*"});
  EXPECT_EQ(alias.rc, 1403);
  EXPECT_EQ(alias.message, "arg_value for JOIN should contain four values, value at 3 is missing");
  const Outcome selectList = join({"inner", "l", "r", "c"}, {"c", "l", "r", ""});
  EXPECT_EQ(selectList.rc, 1403);
  EXPECT_EQ(selectList.message,
            "arg_value for JOIN should contain four values, value at 4 is missing");
  const Outcome beforeType = join({"nonsense", "l", "r", "c"}, {"c", "l", "r", ""});
  EXPECT_EQ(beforeType.rc, 1403);  // the slots come before the join type
}

// The entry always hands over a select list; a node made without one (an
// empty list) selects every column.
TEST_F(JoinSetopTest, JoinNodeWithoutSelectListSelectsAll) {
  CStrings name{"right"}, value{"c", "l", "r", ""}, ot{"j"}, os{""};
  nodeid_t ids[2] = {std::stoll(left), std::stoll(right)};
  DagBuilder builder;
  const nodeid_t id = builder.dfqJoin(ids, name, value, ot, os);
  EXPECT_EQ(sqlOf(std::to_string(id)),
            "select * from t1 as l right outer join \"s\".\"t2\" as r on c");
}

TEST_F(JoinSetopTest, NullSlotsAreRefusedWithoutBeingRead) {
  CStrings in{left, right}, name{"inner", "l", "r", "c"}, value{"c", "l", "r", "x"};
  CStrings ot{"j"}, os{""}, out{"x"};
  name.setNull(2);
  int rc = -1;
  dfq_join(in, name, value, ot, os, out, &rc);
  EXPECT_EQ(rc, 1402);
  EXPECT_EQ(errorMessage(1402),
            "arg_name for JOIN should contain four tag values, value at 3 is missing");
  CStrings name2{"inner", "l", "r", "c"};
  value.setNull(1);
  dfq_join(in, name2, value, ot, os, out, &rc);
  EXPECT_EQ(rc, 1403);
  EXPECT_EQ(errorMessage(1403),
            "arg_value for JOIN should contain four values, value at 2 is missing");
}

TEST_F(JoinSetopTest, SecondNodeidIsCheckedAfterSlotsAndType) {
  CStrings name{"inner", "l", "r", "c"}, value{"c", "l", "r", "*"}, ot{"j"}, os{""}, out{"x"};
  int rc = -1;
  CStrings one{left};  // nodeid_in[1] is the null sentinel
  dfq_join(one, name, value, ot, os, out, &rc);
  EXPECT_EQ(rc, 1404);
  EXPECT_EQ(errorMessage(1404),
            "JOIN operation requires two input nodeids, second nodeid is NOT provided");
  CStrings empty{left, ""};
  dfq_join(empty, name, value, ot, os, out, &rc);
  EXPECT_EQ(rc, 1404);
  CStrings badType{"outer", "l", "r", "c"};
  dfq_join(one, badType, value, ot, os, out, &rc);
  EXPECT_EQ(rc, 1405);
}

TEST_F(JoinSetopTest, JoinInputIdsMustBePositiveAndExist) {
  for (const auto &ids : std::vector<std::vector<std::string>>{{"0", right}, {left, "abc"}}) {
    const Outcome r = callEntry(dfq_join, ids, {"inner", "l", "r", "c"}, {"c", "l", "r", "*"});
    EXPECT_EQ(r.rc, 1318);
    EXPECT_EQ(r.message, "Invalid input nodeid for join operation");
  }
  const size_t before = nodeCount();
  EXPECT_EQ(callEntry(dfq_join, {left, "99"}, {"inner", "l", "r", "c"}, {"c", "l", "r", "*"}).rc,
            1202);
  EXPECT_EQ(nodeCount(), before);
}

TEST_F(JoinSetopTest, JoinArgumentChecksAndTheirFlags) {
  CStrings in{left, right}, name{"inner", "l", "r", "c"}, value{"c", "l", "r", "*"};
  CStrings ot{"j"}, os{""}, emptyOut{""}, out{"x"};
  int rc = -1;
  dfq_join(in, name, nullptr, ot, os, out, &rc);
  EXPECT_EQ(rc, 1501);
  EXPECT_EQ(errorMessage(1501), "Char Char Null Pointer value encountered for argument: arg_value");
  dfq_join(in, name, value, ot, os, emptyOut, &rc);  // the output buffer must not start empty
  EXPECT_EQ(rc, 1502);
  EXPECT_EQ(errorMessage(1502),
            "Argument nodeid_out_str is required, should NOT be an empty string");
  dfq_join(in, name, value, ot, os, out, &rc);
  EXPECT_EQ(rc, 0);
  const Node *n = nodeOf(out[0]);
  EXPECT_EQ(n->getInputAliases(), (std::vector<std::string>{"l", "r"}));
  EXPECT_EQ(n->getNumEdges(), 2);
  EXPECT_EQ(n->getInputEdgeNodes(),
            (std::vector<nodeid_t>{std::stoll(left), std::stoll(right)}));
}

// ---- set operations ------------------------------------------------------------------

TEST_F(JoinSetopTest, SetopChainsEveryInputWithItsOwnColumns) {
  const std::string third = table("t3");
  const Outcome r = setop("UnionAll", {left, right, third}, {"a, b", "a, b", "c, d"});
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(sqlOf(r.id),
            "select a, b from t1 union all select a, b from \"s\".\"t2\" union all "
            "select c, d from t3");
  EXPECT_EQ(nodeOf(r.id)->getArgName(), "UnionAll");
  EXPECT_EQ(nodeOf(r.id)->getArgValue(), "a, b");
}

TEST_F(JoinSetopTest, SetopOperatorsMapToTheirSqlWords) {
  const std::pair<const char *, const char *> ops[] = {
      {"union", "union"},         {"UNION", "union"},         {"minus", "minus"},
      {"MinusAll", "minus all"},  {"intersect", "intersect"}, {"intersectall", "intersect all"},
  };
  for (const auto &[op, words] : ops)
    EXPECT_EQ(sqlOf(setop(op, {left, right}, {"a", "b"}).id),
              std::string("select a from t1 ") + words + " select b from \"s\".\"t2\"");
}

TEST_F(JoinSetopTest, SetopNeedsTwoInputs) {
  const Outcome one = setop("union", {left}, {"a"});
  EXPECT_EQ(one.rc, 1410);
  EXPECT_EQ(one.message, "Number of input nodes should be more than one");
  CStrings in{left}, name{"union"}, value{"a"}, ot{"u"}, os{""}, out{"x"};
  int rc = -1, zero = 0;
  dfq_setop(in, name, value, ot, os, &zero, out, &rc);
  EXPECT_EQ(rc, 1504);
  EXPECT_EQ(errorMessage(1504), "Argument num_inputs is required, should be greater than zero(0)");
  dfq_setop(in, name, value, ot, os, nullptr, out, &rc);
  EXPECT_EQ(rc, 1503);
}

TEST_F(JoinSetopTest, SetopPositionsAreCheckedIdBeforeColumnsThenTheOperator) {
  const std::string third = table("t3");
  const Outcome id = setop("bogus", {left, "", third}, {"a", "", ""});
  EXPECT_EQ(id.rc, 1408);
  EXPECT_EQ(id.message,
            "Input nodeid required for setop operation is missing in nodeid_in[1] parameter");
  const Outcome columns = setop("bogus", {left, right, third}, {"a", "b", ""});
  EXPECT_EQ(columns.rc, 1407);
  EXPECT_EQ(columns.message,
            "Table columns required for setop operation is missing in arg_value[2] parameter");
  const Outcome op = setop("union all", {left, right}, {"a", "b"});
  EXPECT_EQ(op.rc, 1409);
  EXPECT_EQ(op.message,
            "Specified value for setop type parameter arg_name[0]: union all is invalid. "
            "Permitted values are union, unionall, minus, minusall, intersect and intersectall");
}

TEST_F(JoinSetopTest, SetopNullEntriesAreRefusedWithoutBeingRead) {
  CStrings in{left, right, "x"}, name{"union"}, value{"a", "b", "c"}, ot{"u"}, os{""}, out{"x"};
  in.setNull(2);
  int rc = -1, count = 3;
  dfq_setop(in, name, value, ot, os, &count, out, &rc);
  EXPECT_EQ(rc, 1408);
  EXPECT_EQ(errorMessage(1408),
            "Input nodeid required for setop operation is missing in nodeid_in[2] parameter");
  CStrings in2{left, right, left};
  value.setNull(1);
  dfq_setop(in2, name, value, ot, os, &count, out, &rc);
  EXPECT_EQ(rc, 1407);
}

TEST_F(JoinSetopTest, SetopInputIdsMustBePositiveAndExist) {
  const size_t before = nodeCount();
  const Outcome zero = setop("union", {left, "0"}, {"a", "b"});
  EXPECT_EQ(zero.rc, 1326);
  EXPECT_EQ(zero.message, "Invalid input nodeid for set operation");
  EXPECT_EQ(setop("union", {left, "77"}, {"a", "b"}).rc, 1202);
  EXPECT_EQ(nodeCount(), before);
}

TEST_F(JoinSetopTest, SetopArgumentChecksRunInParameterOrder) {
  CStrings in{left, right}, name{"union"}, value{"a", "b"}, ot{""}, os{""}, emptyOut{""};
  int rc = -1, count = 2;
  dfq_setop(in, name, value, ot, nullptr, &count, emptyOut, &rc);
  EXPECT_EQ(rc, 1502);
  EXPECT_EQ(errorMessage(1502), "Argument output_table is required, should NOT be an empty string");
  CStrings ot2{"u"};
  dfq_setop(in, name, value, ot2, nullptr, nullptr, emptyOut, &rc);
  EXPECT_EQ(rc, 1501);
  dfq_setop(in, name, value, ot2, os, nullptr, emptyOut, &rc);
  EXPECT_EQ(rc, 1503);
  dfq_setop(in, name, value, ot2, os, &count, emptyOut, &rc);
  EXPECT_EQ(rc, 1502);
  EXPECT_EQ(errorMessage(1502),
            "Argument nodeid_out_str is required, should NOT be an empty string");
}

TEST_F(JoinSetopTest, EntryAndExitRecords) {
  const std::string log = logDuring([&] {
    join("inner", "c");
    setop("union", {left, right}, {"a", "b"});
  });
  for (const char *text : {"Entering dfq_join..............", "Exiting dfq_join..............",
                           "Entering dfq_setop..............", "Exiting dfq_setop..............",
                           "Convert input string nodeids to nodeid_t type",
                           "Validate input nodeids"})
    EXPECT_NE(log.find(text), std::string::npos) << text;
}
