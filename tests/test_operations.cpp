// Single-input operations through the C API: select, filter, assign, order
// by, group by, group by time and aggregate — their SQL, their nodes and the
// order and codes of their checks.
#include <cstring>

#include "opsSupport.h"

using namespace dfqtest;
using namespace opstest;

namespace {

class OperationsTest : public DagTest {
 protected:
  void SetUp() override {
    DagTest::SetUp();
    base = table("db1.sales");
  }
  // A filter whose output name is "s"."t" (a non-table input).
  std::string namedInput() {
    return callEntry(dfq_filter, {base}, {"f"}, {"a > 0"}, "t", "s").id;
  }
  std::string base;
};

}  // namespace

// ---- select, filter, assign, order by, top-n -------------------------------------

Outcome topn(const std::string &in, const std::string &ordering, int count,
             const std::string &name = "tag") {
  CStrings nid{in}, n{name}, value{ordering}, ot{"tn"}, os{"s"}, out = CStrings::buffers(1);
  int rc = -1;
  dfq_topn(nid, n, value, &count, ot, os, out, &rc);
  return outcome(rc, out[0]);
}

TEST_F(OperationsTest, SelectRowLimitOnlyForExactTopSpellings) {
  EXPECT_EQ(sqlOf(select(base, "top", {"10"}).id), "select top 10 * from db1.sales");
  EXPECT_EQ(sqlOf(select(base, "TOP", {"10"}).id), "select top 10 * from db1.sales");
  EXPECT_EQ(sqlOf(select(base, "Top", {"10"}).id), "select 10 from db1.sales");
  EXPECT_EQ(sqlOf(select(base, "cols", {"a, b"}).id), "select a, b from db1.sales");
}

TEST_F(OperationsTest, SelectPrefixOnlyWithLengthTwo) {
  const Outcome prefixed = select(base, "cols", {"a, b", "P"}, 2);
  EXPECT_EQ(sqlOf(prefixed.id), "P select a, b from db1.sales");
  EXPECT_TRUE(nodeOf(prefixed.id)->getHasQueryPrefix());
  EXPECT_EQ(sqlOf(select(base, "top", {"5", "P"}, 2).id), "P select top 5 * from db1.sales");
  for (int length : {1, 3, 0, -2}) {
    const Outcome plain = select(base, "cols", {"a, b", "P"}, length);
    EXPECT_EQ(sqlOf(plain.id), "select a, b from db1.sales") << length;
    EXPECT_FALSE(nodeOf(plain.id)->getHasQueryPrefix());
  }
}

TEST_F(OperationsTest, SelectPrefixMissingIsRefusedBeforeANodeIsAdded) {
  CStrings in{base}, name{"cols"}, value{"a", ""}, ot{"o"}, os{""}, out = CStrings::buffers(1);
  value.setNull(1);
  int length = 2, rc = -1;
  const size_t before = nodeCount();
  dfq_select(in, name, value, ot, os, out, &length, &rc);
  EXPECT_EQ(rc, 1000);
  EXPECT_EQ(errorMessage(1000), "Null pointer value encountered for argument: arg_value[1]");
  EXPECT_EQ(nodeCount(), before);
}

TEST_F(OperationsTest, FilterAndOrderbyWrapTheirInput) {
  const std::string input = namedInput();
  EXPECT_EQ(sqlOf(callEntry(dfq_filter, {base}, {"f"}, {"a > 1"}).id),
            "select * from db1.sales where a > 1");
  EXPECT_EQ(sqlOf(callEntry(dfq_filter, {input}, {"f"}, {"a > 1"}).id),
            "select * from \"s\".\"t\" where a > 1");
  EXPECT_EQ(sqlOf(callEntry(dfq_orderby, {input}, {"o"}, {"a desc"}).id),
            "select * from \"s\".\"t\" order by a desc");
}

TEST_F(OperationsTest, NothingCanBeBuiltOnAnOrdering) {
  const std::string ordered = callEntry(dfq_orderby, {base}, {"o"}, {"a"}).id;
  const Outcome refused = callEntry(dfq_filter, {ordered}, {"f"}, {"a > 1"});
  EXPECT_EQ(refused.rc, 1203);
  EXPECT_EQ(refused.message, "Cannot perform transformations on \"orderby\" input");
}

// A top-n node, unlike an ordering, is read by later nodes; its count is
// checked before anything is added, and its tag is not read beyond [0].
TEST_F(OperationsTest, TopNIsOneNodeThatLaterNodesRead) {
  const Outcome top = topn(namedInput(), "a desc, b", 10, "");
  ASSERT_TRUE(top.ok()) << top.message;
  EXPECT_EQ(sqlOf(top.id), "select top 10 * from \"s\".\"t\" order by a desc, b");
  EXPECT_EQ(sqlOf(topn(base, "a", 0).id), "select top 0 * from db1.sales order by a");
  const Outcome after = callEntry(dfq_filter, {top.id}, {"f"}, {"a > 1"});
  ASSERT_TRUE(after.ok()) << after.message;
  EXPECT_EQ(sqlOf(after.id), "select * from \"s\".\"tn\" where a > 1");
  CStrings in{top.id}, type{"-"};
  int rc = -1;
  dfq_get_node_query_type(in, type, &rc);
  EXPECT_EQ(type[0], "topn");

  const size_t before = nodeCount();
  for (int count : {-1, -2147483647 - 1}) {
    const Outcome negative = topn(base, "a", count);
    EXPECT_EQ(negative.rc, 1616);
    EXPECT_EQ(negative.message, "Row count of topn must be 0 or more, got " + std::to_string(count));
  }
  EXPECT_EQ(topn(base, "", 1).rc, 1502) << "an ordering is required";
  EXPECT_EQ(topn("0", "a", 1).rc, 1332);
  EXPECT_EQ(topn(callEntry(dfq_orderby, {base}, {"o"}, {"a"}).id, "a", 1).rc, 1203);
  EXPECT_EQ(nodeCount(), before + 1) << "only the ordering was added";
  CStrings nid{base}, name{"t"}, value{"a"}, ot{"o"}, os{""}, out = CStrings::buffers(1);
  dfq_topn(nid, name, value, nullptr, ot, os, out, &rc);
  EXPECT_EQ(rc, 1503);
  const std::string log = logDuring([&] {
    int count = 1;
    dfq_topn(nid, name, value, &count, ot, os, out, &rc);
  });
  EXPECT_NE(log.find("Entering dfq_topn.............."), std::string::npos);
  EXPECT_NE(log.find("Exiting dfq_topn.............."), std::string::npos);
}

TEST_F(OperationsTest, AssignKeepsInputColumnsUnlessSwitchIsExactlyOneOrY) {
  const std::string input = namedInput();
  auto assign = [&](const std::string &drop) {
    return sqlOf(callEntry(dfq_assign, {input}, {"a"}, {"c + 1 as d", drop}).id);
  };
  EXPECT_EQ(assign("N"), "select \"s\".\"t\".*, c + 1 as d from \"s\".\"t\"");
  EXPECT_EQ(assign("y"), "select \"s\".\"t\".*, c + 1 as d from \"s\".\"t\"");
  EXPECT_EQ(assign("Y"), "select c + 1 as d from \"s\".\"t\"");
  EXPECT_EQ(assign("1"), "select c + 1 as d from \"s\".\"t\"");
}

TEST_F(OperationsTest, AssignWithoutSwitchFailsWithGenericCodeAndAddsNothing) {
  CStrings in{base}, name{"a"}, value{"c + 1 as d"}, ot{"o"}, os{""}, out = CStrings::buffers(1);
  int rc = -1;
  const size_t before = nodeCount();
  dfq_assign(in, name, value, ot, os, out, &rc);  // value[1] is the null sentinel
  EXPECT_EQ(rc, 1000);
  EXPECT_EQ(errorMessage(1000), "Null pointer value encountered for argument: arg_value[1]");
  EXPECT_EQ(nodeCount(), before);
}

TEST_F(OperationsTest, SingleInputNodesRecordTheirArguments) {
  const Outcome r = callEntry(dfq_filter, {base}, {"name"}, {"a > 1"}, "t", "s");
  const Node *n = nodeOf(r.id);
  EXPECT_EQ(n->getNodeArgType(), "filter");
  EXPECT_EQ(n->getArgName(), "name");
  EXPECT_EQ(n->getOutputTable(), "t");
  EXPECT_EQ(n->getOutputSchema(), "s");
  EXPECT_EQ(n->getFunctionName(), "SELECT");
  EXPECT_EQ(n->getNodeType(), 1);
  EXPECT_EQ(n->getInputEdgeNodes(), std::vector<nodeid_t>{std::stoll(base)});
  EXPECT_FALSE(n->hasReferenceNode());
}

TEST_F(OperationsTest, InvalidInputIdsUseEachOperationsOwnCode) {
  struct Case {
    SevenArgEntry entry;
    int code;
    const char *message;
  };
  const Case cases[] = {
      {dfq_filter, 1304, "Invalid input nodeid for filter operation"},
      {dfq_assign, 1322, "Invalid input nodeid for assign operation"},
      {dfq_orderby, 1317, "Invalid input nodeid for orderby operation"},
      {dfq_aggregate, 1320, "Invalid input nodeid for aggregate operation"},
      {dfq_groupby, 1316, "Invalid input nodeid for dfqGetTablename operation"},
      {dfq_groupby_time, 1316, "Invalid input nodeid for dfqGetTablename operation"},
  };
  for (const Case &c : cases) {
    for (const char *input : {"0", "-4", "abc"}) {
      const Outcome r = callEntry(c.entry, {input}, {"n"}, {"v", "N", "", "", ""}, "o", "s");
      EXPECT_EQ(r.rc, c.code) << c.message << " " << input;
      EXPECT_EQ(r.message, c.message);
    }
  }
  const Outcome top = select("0", "top", {"1"});
  EXPECT_EQ(top.rc, 1303);
  EXPECT_EQ(top.message, "Invalid input nodeid for select operation");
  const Outcome absent = callEntry(dfq_filter, {"123"}, {"f"}, {"a"});
  EXPECT_EQ(absent.rc, 1202);
  EXPECT_EQ(absent.message, "Input edge nodeid 123 does not exist");
  const Outcome absentGroup = callEntry(dfq_groupby, {"123"}, {"g"}, {"|w a"}, "o", "s");
  EXPECT_EQ(absentGroup.rc, 1211);
  EXPECT_EQ(absentGroup.message, "DAG entry does not exist for nodeid 123");
}

// Every entry reports the first bad argument in parameter order: starting
// from all arguments bad, each repair moves the report to the next one.
TEST_F(OperationsTest, ArgumentChecksRunInParameterOrder) {
  struct Step {
    int code;
    const char *message;
  };
  const std::vector<Step> steps = {
      {1501, "Char Char Null Pointer value encountered for argument: nodeid_in"},
      {1502, "Argument arg_name is required, should NOT be an empty string"},
      {1502, "Argument arg_value is required, should NOT be an empty string"},
      {1502, "Argument output_table is required, should NOT be an empty string"},
      {1501, "Char Char Null Pointer value encountered for argument: output_schema"},
      {1501, "Char Char Null Pointer value encountered for argument: nodeid_out_str"},
  };
  for (SevenArgEntry entry : {dfq_filter, dfq_assign, dfq_orderby, dfq_groupby,
                              dfq_groupby_time, dfq_aggregate}) {
    CStrings in{base}, name{""}, value{"", "N", "", "", ""}, ot{""}, os{"s"}, out = CStrings::buffers(1);
    char **args[] = {nullptr, name, value, ot, nullptr, nullptr};
    for (size_t i = 0; i < steps.size(); ++i) {
      int rc = -1;
      entry(args[0], args[1], args[2], args[3], args[4], args[5], &rc);
      EXPECT_EQ(rc, steps[i].code) << i;
      EXPECT_EQ(errorMessage(rc), steps[i].message) << i;
      // Repair argument i.
      CStrings *fixed[] = {&in, nullptr, nullptr, nullptr, &os, &out};
      if (fixed[i]) args[i] = *fixed[i];
      if (i == 1) std::strcpy(name.get()[0], "n");
      if (i == 2) std::strcpy(value.get()[0], "a, b");
      if (i == 3) std::strcpy(ot.get()[0], "o");
    }
    int rc = -1;
    entry(args[0], args[1], args[2], args[3], args[4], args[5], &rc);
    EXPECT_EQ(rc, 0);
  }
}

TEST_F(OperationsTest, OutputSchemaRequiredOnlyForGroupbyTime) {
  const Outcome filter = callEntry(dfq_filter, {base}, {"f"}, {"a"}, "t", "");
  EXPECT_TRUE(filter.ok());
  const Outcome grouped = callEntry(dfq_groupby_time, {base}, {"g"}, {"i"}, "t", "");
  EXPECT_EQ(grouped.rc, 1502);
  EXPECT_EQ(grouped.message, "Argument output_schema is required, should NOT be an empty string");
}

TEST_F(OperationsTest, SelectChecksLengthPointerAfterOutputs) {
  CStrings in{base}, name{"cols"}, value{"a"}, ot{"o"}, os{""}, out = CStrings::buffers(1);
  int rc = -1;
  dfq_select(in, name, value, ot, os, nullptr, nullptr, &rc);
  EXPECT_EQ(rc, 1501);
  dfq_select(in, name, value, ot, os, out, nullptr, &rc);
  EXPECT_EQ(rc, 1503);
  EXPECT_EQ(errorMessage(1503), "Integer Null Pointer value encountered: length");
  int length = -7;
  dfq_select(in, name, value, ot, os, out, &length, &rc);
  EXPECT_EQ(rc, 0);
}

TEST_F(OperationsTest, NullReturnCodeIsNeverWritten) {
  CStrings in{base}, name{"f"}, value{"a"}, ot{"o"}, os{""}, out = CStrings::buffers(1);
  const size_t before = nodeCount();
  dfq_filter(in, name, value, ot, os, out, nullptr);
  EXPECT_EQ(nodeCount(), before);
  EXPECT_EQ(errorMessage(1503), "Integer Null Pointer value encountered: ret_code");
}

TEST_F(OperationsTest, WithoutDagInstanceEntriesFailWith1302) {
  close_dag();
  for (SevenArgEntry entry : {dfq_filter, dfq_assign, dfq_orderby, dfq_groupby,
                              dfq_groupby_time, dfq_aggregate}) {
    const Outcome r = callEntry(entry, {"12"}, {"n"}, {"v", "N", "", "", ""}, "o", "s");
    EXPECT_EQ(r.rc, 1302);
    EXPECT_EQ(r.message, "Dag Instance is NOT initialized");
  }
  EXPECT_EQ(select("12", "top", {"1"}).rc, 1302);
}

TEST_F(OperationsTest, EntryAndExitRecordsKeepTheirOwnSpelling) {
  const std::string log = logDuring([&] {
    callEntry(dfq_assign, {base}, {"a"}, {"x", "N"});
    const std::string ordered = callEntry(dfq_orderby, {base}, {"o"}, {"a"}).id;
    callEntry(dfq_groupby_time, {base}, {"g"}, {"i", "", "", "", ""}, "o", "s");
    callEntry(dfq_groupby, {"0"}, {"g"}, {"|w a"}, "o", "s");
    select(base, "top", {"1"});
  });
  for (const char *text :
       {"Entering dfq_assign ..............", "Exiting dfq_assign ..............",
        "Entering dfq_orderby..............", "Exiting dfq_Orderby..............",
        "Entering dfq_groupbytime..............", "Exiting dfq_groupby_time..............",
        "Entering dfq_groupby..............", "Exiting dfq_groupby..............",
        "DFQ-1316:Invalid input nodeid for dfqGetTablename operation",
        "Entering dfq_select..............", "Exiting dfq_select.............."}) {
    EXPECT_NE(log.find(text), std::string::npos) << text;
  }
}

// ---- grouping and aggregation -------------------------------------------------------

TEST_F(OperationsTest, GroupbyStandsForItsInputAndOverwritesHostNames) {
  CStrings in{base}, name{"g"}, value{"|w a, b"}, ot{"host-table"}, os{"host-schema"};
  CStrings out = CStrings::buffers(1);
  int rc = -1;
  dfq_groupby(in, name, value, ot, os, out, &rc);
  ASSERT_EQ(rc, 0);
  // The host receives the input's output names (a table here, without any);
  // the node itself reads a table input's source.
  EXPECT_EQ(ot[0], "");
  EXPECT_EQ(os[0], "");
  const Node *g = nodeOf(out[0]);
  EXPECT_EQ(g->getOutputTable(), "db1.sales");
  EXPECT_EQ(g->getOutputSchema(), "");
  EXPECT_TRUE(g->hasReferenceNode());
  EXPECT_EQ(g->getGroupby(), "|w a, b");
  EXPECT_EQ(sqlOf(out[0]), "select * from db1.sales");

  const std::string input = namedInput();
  CStrings in2{input}, ot2{"host-table"}, os2{"host-schema"};
  dfq_groupby(in2, name, value, ot2, os2, out, &rc);
  EXPECT_EQ(ot2[0], "t");
  EXPECT_EQ(os2[0], "s");
  const Outcome onFilter{rc, out[0], ""};
  EXPECT_EQ(nodeOf(onFilter.id)->getOutputTable(), "t");
  EXPECT_EQ(nodeOf(onFilter.id)->getOutputSchema(), "s");
  EXPECT_EQ(sqlOf(onFilter.id), "select * from \"s\".\"t\"");
}

TEST_F(OperationsTest, AggregateSplitsTheGroupingExpression) {
  auto aggregateOver = [&](const std::string &expression) {
    const std::string g = callEntry(dfq_groupby, {base}, {"g"}, {expression}, "o", "").id;
    return sqlOf(callEntry(dfq_aggregate, {g}, {"a"}, {"sum(x) as s"}).id);
  };
  EXPECT_EQ(aggregateOver("|w a, b"), "select a, b, sum(x) as s from db1.sales group by a, b");
  EXPECT_EQ(aggregateOver("f|w a, b"),
            "select a, b, sum(x) as s from db1.sales group by f(a, b)");
  EXPECT_EQ(aggregateOver("|a"), "select a, sum(x) as s from db1.sales group by a");
  EXPECT_EQ(aggregateOver("w a, b"),
            "select a, b, sum(x) as s from db1.sales group by w a, b(a, b)");
}

TEST_F(OperationsTest, GroupingReachesAggregateThroughOtherNodesAndEndsThere) {
  const std::string g = callEntry(dfq_groupby, {base}, {"g"}, {"|w a"}, "o", "").id;
  const std::string f = callEntry(dfq_filter, {g}, {"f"}, {"a > 1"}, "ft", "fs").id;
  const std::string agg = callEntry(dfq_aggregate, {f}, {"a"}, {"count(*) as n"}, "at", "").id;
  EXPECT_EQ(sqlOf(agg), "select a, count(*) as n from \"fs\".\"ft\" group by a");
  const std::string after = callEntry(dfq_aggregate, {agg}, {"a"}, {"max(n) as m"}).id;
  EXPECT_EQ(sqlOf(after), "select max(n) as m from at");
}

TEST_F(OperationsTest, GroupbyOnGroupbyKeepsTheFirstExpression) {
  const std::string first = callEntry(dfq_groupby, {base}, {"g"}, {"|w a"}, "o", "").id;
  const std::string second = callEntry(dfq_groupby, {first}, {"g"}, {"|w b"}, "o", "").id;
  EXPECT_EQ(nodeOf(second)->getGroupby(), "|w a");
}

TEST_F(OperationsTest, GroupbyTimeBuildsItsClauseFromPresentEntries) {
  auto clauseOf = [&](CStrings &values) {
    CStrings in{base}, name{"ignored"}, ot{"o"}, os{"s"}, out = CStrings::buffers(1);
    int rc = -1;
    dfq_groupby_time(in, name, values, ot, os, out, &rc);
    EXPECT_EQ(rc, 0);
    const Node *n = nodeOf(out[0]);
    EXPECT_TRUE(n->hasReferenceNode());
    EXPECT_EQ(n->getArgName(), n->getGroupbytimeColumns());
    return n->getArgValue();
  };
  CStrings full{"i", "g", "c", "", "f"};
  EXPECT_EQ(clauseOf(full), " group by time (i AND g) using timecode (c) fill (f) ");
  CStrings onlyInterval{"i", "", "", "", ""};
  EXPECT_EQ(clauseOf(onlyInterval), " group by time (i) ");
  CStrings timecodeOption{"i", "", "c", "o", ""};
  EXPECT_EQ(clauseOf(timecodeOption), " group by time (i) using timecode (c, o) ");
  CStrings optionWithoutColumn{"i", "", "", "o", "f"};
  EXPECT_EQ(clauseOf(optionWithoutColumn), " group by time (i) fill (f) ");
  CStrings nulls{"i", "x", "x", "x", "x"};
  for (size_t k = 1; k < 5; ++k) nulls.setNull(k);
  EXPECT_EQ(clauseOf(nulls), " group by time (i) ");
}

TEST_F(OperationsTest, AggregateOverTimeGroupingUsesPseudoColumns) {
  const std::string plain = callEntry(dfq_groupby_time, {base}, {"x"}, {"i", "", "", "", ""},
                                      "o", "s").id;
  EXPECT_EQ(sqlOf(plain), "select * from db1.sales");
  EXPECT_EQ(sqlOf(callEntry(dfq_aggregate, {plain}, {"a"}, {"count(*) as n"}).id),
            "select $QZ_TIMECODE_RANGE, $QZ_GROUP_BY_TIME, count(*) as n from db1.sales"
            " group by time (i) ");
  const std::string columns = callEntry(dfq_groupby_time, {base}, {"x"},
                                        {"i", "g", "", "", ""}, "o", "s").id;
  EXPECT_EQ(sqlOf(callEntry(dfq_aggregate, {columns}, {"a"}, {"count(*) as n"}).id),
            "select $QZ_TIMECODE_RANGE, $QZ_GROUP_BY_TIME, g, count(*) as n from db1.sales"
            " group by time (i AND g) ");
}

TEST_F(OperationsTest, AggregateWithoutGroupingSelectsItsExpressions) {
  EXPECT_EQ(sqlOf(callEntry(dfq_aggregate, {base}, {"a"}, {"sum(x) as s"}).id),
            "select sum(x) as s from db1.sales");
}
