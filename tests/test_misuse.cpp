// Misuse of the DAG instance, source, operation, state, inspection and log
// entries: null pointers, null strings inside arrays, malformed and unknown
// node ids, no DAG instance, and calls out of order. Nothing may crash, let
// an exception out or report success for a call that cannot succeed.
#include <cstdio>
#include <cstring>

#include "misuseMatrix.h"

namespace misuse {
namespace {

using dfqtest::CStrings;
using dfqtest::DagTest;

// The seven-argument operation entries share their parameter list.
std::vector<Param> singleInputParams(const char *input, std::vector<std::string> values,
                                     std::string schema = "") {
  return {id("nodeid_in", input),       text("arg_name", {"tag"}),
          text("arg_value", values),    text("output_table", {"out"}),
          text("output_schema", {schema}), out("nodeid_out_str"),
          ret()};
}

template <void (*Entry)(char **, char **, char **, char **, char **, char **, int *)>
void callSeven(Call &c) {
  Entry(c.s(0), c.s(1), c.s(2), c.s(3), c.s(4), c.s(5), c.i(6));
}

const std::vector<Row> kRows = {
    {.function = "init_dag",
     .params = {nullGives(text("init_user", {"user"}), 0), nullGives(text("init_arg2", {"a2"}), 0),
                num("log_level", 4), nullGives(text("init_arg3", {"a3"}), 0), ret()},
     .invoke = [](Call &c) { init_dag(c.s(0), c.s(1), c.i(2), c.s(3), c.i(4)); },
     .noDagCode = 0},
    {.function = "close_dag", .params = {}, .invoke = [](Call &) { close_dag(); }},
    {.function = "dfq_table",
     .params = {text("arg_name", {"source"}), text("arg_value", {"db.sales"}),
                text("output_table", {""}), text("output_schema", {""}), out("nodeid_out_str"),
                ret()},
     .invoke = [](Call &c) { dfq_table(c.s(0), c.s(1), c.s(2), c.s(3), c.s(4), c.i(5)); },
     .noDagCode = 0},
    {.function = "dfq_query",
     .params = {text("arg_name", {"q"}), text("arg_value", {"select 1 as a"}),
                text("output_table", {"qt"}), text("output_schema", {"w"}), out("nodeid_out_str"),
                ret()},
     .invoke = [](Call &c) { dfq_query(c.s(0), c.s(1), c.s(2), c.s(3), c.s(4), c.i(5)); },
     .noDagCode = 0},
    {.function = "dfq_get_error_message",
     .params = {num("error_code", 1501), out("error_message")},
     .invoke = [](Call &c) { dfq_get_error_message(c.i(0), c.s(1)); }},
    {.function = "dfq_set_option",
     .params = {text("name", {"dialect"}), text("value", {"default"}), ret()},
     .invoke = [](Call &c) { dfq_set_option(c.s(0), c.s(1), c.i(2)); }},
    {.function = "dfq_get_option",
     .params = {text("name", {"dialect"}), out("value_out"), num("value_size", 64), ret()},
     .invoke = [](Call &c) { dfq_get_option(c.s(0), c.s(1), c.i(2), c.i(3)); }},
    {.function = "get_log_level",
     .params = {num("log_level", 0), ret()},
     .invoke = [](Call &c) { get_log_level(c.i(0), c.i(1)); },
     .noDagCode = 0},
    {.function = "set_log_level",
     .params = {num("log_level", 4), ret()},
     .invoke = [](Call &c) { set_log_level(c.i(0), c.i(1)); },
     .noDagCode = 0},
    {.function = "print_dag", .params = {}, .invoke = [](Call &) { print_dag(); }},
    {.function = "print_dag_path",
     .params = {id("nodeid", "$F")},
     .invoke = [](Call &c) { print_dag_path(c.s(0)); }},
    {.function = "dfq_select",
     .params = {id("nodeid_in", "$T"), text("arg_name", {"proj"}), laterNullGives(text("arg_value", {"a", "P"}), kAnyFailure),
                text("output_table", {"sel"}), text("output_schema", {""}), out("nodeid_out_str"),
                num("length", 2), ret()},
     .invoke = [](Call &c) {
       dfq_select(c.s(0), c.s(1), c.s(2), c.s(3), c.s(4), c.s(5), c.i(6), c.i(7));
     },
     .badIdCode = 1303,
     .unknownIdCode = 1202},
    {.function = "dfq_filter",
     .params = singleInputParams("$S", {"a > 1"}),
     .invoke = callSeven<dfq_filter>,
     .badIdCode = 1304,
     .unknownIdCode = 1202},
    {.function = "dfq_assign",
     .params = [] {
       auto p = singleInputParams("$F", {"c + 1 as d", "N"});
       p[2] = laterNullGives(p[2], 1000);  // the drop switch must be there
       return p;
     }(),
     .invoke = callSeven<dfq_assign>,
     .badIdCode = 1322,
     .unknownIdCode = 1202},
    {.function = "dfq_orderby",
     .params = singleInputParams("$F", {"a desc"}),
     .invoke = callSeven<dfq_orderby>,
     .badIdCode = 1317,
     .unknownIdCode = 1202},
    {.function = "dfq_groupby",
     .params = singleInputParams("$S", {"|w a"}),
     .invoke = callSeven<dfq_groupby>,
     .badIdCode = 1316,
     .unknownIdCode = 1211},
    {.function = "dfq_groupby_time",
     .params = [] {
       auto p = singleInputParams("$S", {"i", "g", "c", "", "f"}, "x");
       p[2] = laterNullGives(p[2], 0);  // optional parts of the clause
       return p;
     }(),
     .invoke = callSeven<dfq_groupby_time>,
     .badIdCode = 1316,
     .unknownIdCode = 1211},
    {.function = "dfq_aggregate",
     .params = singleInputParams("$F", {"sum(x) as s"}),
     .invoke = callSeven<dfq_aggregate>,
     .badIdCode = 1320,
     .unknownIdCode = 1202},
    {.function = "dfq_join",
     .params = {laterNullGives(ids("nodeid_in", {"$S", "$F"}), 1404, 1404),
                laterNullGives(text("arg_name", {"inner", "l", "r", "c"}), 1402),
                laterNullGives(text("arg_value", {"l.a = r.a", "l", "r", "l.a"}), 1403),
                text("output_table", {"j"}), text("output_schema", {""}), out("nodeid_out_str"),
                ret()},
     .invoke = callSeven<dfq_join>,
     .badIdCode = 1318,
     .unknownIdCode = 1202},
    {.function = "dfq_topn",
     .params = {id("nodeid_in", "$F"), text("arg_name", {""}), text("arg_value", {"a desc"}),
                num("row_count", 3), text("output_table", {"tn"}), text("output_schema", {""}),
                out("nodeid_out_str"), ret()},
     .invoke = [](Call &c) {
       dfq_topn(c.s(0), c.s(1), c.s(2), c.i(3), c.s(4), c.s(5), c.s(6), c.i(7));
     },
     .badIdCode = 1332,
     .unknownIdCode = 1202},
    {.function = "dfq_setop",
     .params = {laterNullGives(ids("nodeid_in", {"$S", "$F"}), 1408, 1408),
                text("arg_name", {"union"}), laterNullGives(text("arg_value", {"a", "a"}), 1407),
                text("output_table", {"u"}), text("output_schema", {""}), num("num_inputs", 2),
                out("nodeid_out_str"), ret()},
     .invoke = [](Call &c) {
       dfq_setop(c.s(0), c.s(1), c.s(2), c.s(3), c.s(4), c.i(5), c.s(6), c.i(7));
     },
     .badIdCode = 1326,
     .unknownIdCode = 1202},
    {.function = "dfq_sample",
     .params = {id("nodeid_in", "$S"),
                laterNullGives(text("arg_name", {"t", "a", "b", "c", "d"}), 1411),
                laterNullGives(text("arg_value", {"*", "0", "0", "0.5", ""}), 1412),
                text("output_table", {"smp"}), text("output_schema", {""}), out("nodeid_out_str"),
                text("when_list", {""}), text("then_list", {""}), num("len_of_list", 0), ret()},
     .invoke = [](Call &c) {
       dfq_sample(c.s(0), c.s(1), c.s(2), c.s(3), c.s(4), c.s(5), c.s(6), c.s(7), c.i(8),
                  c.i(9));
     },
     .badIdCode = 1326,
     .unknownIdCode = 1202},
    {.function = "dfq_ml_query",
     .params = {id("nodeid_in", "$S"), text("arg_name", {"ml"}),
                text("arg_value", {"select * from fn(on s1)"}),
                laterNullGives(text("output_table", {"o1", "o2"}), 1000),
                laterNullGives(text("output_schema", {"w", "w"}), 1000), text("function_name", {"fn"}),
                num("nodeid_count", 1), num("num_outputs", 2),
                laterNullGives(out("nodeid_out_str", 2), 1501), ret(),
                [] {
                  auto p = nullGives(text("query_nodeids", {"$F"}), 0);  // optional list
                  p.firstElementNullCode = 1501;
                  return p;
                }(),
                nullGives(num("query_nodeids_count", 1), 0)},
     .invoke = [](Call &c) {
       dfq_ml_query(c.s(0), c.s(1), c.s(2), c.s(3), c.s(4), c.s(5), c.i(6), c.i(7), c.s(8),
                    c.i(9), c.s(10), c.i(11));
     },
     .badIdCode = 1314,
     .unknownIdCode = 1202},
    {.function = "dfq_update_node_state",
     .params = {id("nodeid_in", "$F"), num("node_state", 1), num("dag_nodes_count", 1), ret()},
     .invoke = [](Call &c) { dfq_update_node_state(c.s(0), c.i(1), c.i(2), c.i(3)); },
     .badIdCode = 1208,
     .unknownIdCode = 1208},
    {.function = "dfq_update_node_state_single",
     .params = {id("nodeid_in", "$F"), num("node_state", 1), ret()},
     .invoke = [](Call &c) { dfq_update_node_state_single(c.s(0), c.i(1), c.i(2)); },
     .badIdCode = 1208,
     .unknownIdCode = 1208},
    {.function = "dfq_is_node_executed",
     .params = {id("nodeid_in", "$F"), num("node_state", 0), ret()},
     .invoke = [](Call &c) { dfq_is_node_executed(c.s(0), c.i(1), c.i(2)); },
     .badIdCode = 1315,
     .unknownIdCode = 1209},
    {.function = "dfq_get_tablename",
     .params = {id("nodeid_in", "$F"), out("output_table"), out("output_schema"), ret()},
     .invoke = [](Call &c) { dfq_get_tablename(c.s(0), c.s(1), c.s(2), c.i(3)); },
     .badIdCode = 1316,
     .unknownIdCode = 1211},
    {.function = "dfq_get_source_tablename",
     .params = {id("nodeid_in", "$T"), out("output_table"), out("output_schema"), ret()},
     .invoke = [](Call &c) { dfq_get_source_tablename(c.s(0), c.s(1), c.s(2), c.i(3)); },
     .badIdCode = 1316,
     .unknownIdCode = 1211},
    {.function = "dfq_get_node_query_type",
     .params = {id("nodeid_in", "$F"), out("query_type"), ret()},
     .invoke = [](Call &c) { dfq_get_node_query_type(c.s(0), c.s(1), c.i(2)); },
     .badIdCode = 1321,
     .unknownIdCode = 1214},
    {.function = "dfq_get_node_groupby_expr",
     .params = {id("nodeid_in", "$F"), out("query_type"), ret()},
     .invoke = [](Call &c) { dfq_get_node_groupby_expr(c.s(0), c.s(1), c.i(2)); },
     .badIdCode = 1323,
     .unknownIdCode = 1216},
    {.function = "dfq_get_parent_nodes_count",
     .params = {id("nodeid_in", "$F"), num("inputs_count", 0), ret()},
     .invoke = [](Call &c) { dfq_get_parent_nodes_count(c.s(0), c.i(1), c.i(2)); },
     .badIdCode = 1331,
     .unknownIdCode = 1219},
    {.function = "dfq_get_parent_nodeids",
     .params = {id("nodeid_in", "$F"), out("parent_nodeid"), ret()},
     .invoke = [](Call &c) { dfq_get_parent_nodeids(c.s(0), c.s(1), c.i(2)); },
     .badIdCode = 1330,
     .unknownIdCode = 1218},
};

INSTANTIATE_TEST_SUITE_P(Entries, MisuseMatrix, ::testing::ValuesIn(kRows), rowName);

// ---- calls out of order and odd values -------------------------------------

// Each test once per log level, with a log file.
class MisuseSequence : public LoggedMisuse {
 protected:
  // T and a filter F on it.
  void SetUp() override {
    LoggedMisuse::SetUp();
    t = dfqtest::table("db.sales");
    CStrings in{t}, name{"cond"}, value{"a > 1"}, ot{"f1"}, os{"w"}, outId = CStrings::buffers(1);
    int rc = -1;
    dfq_filter(in, name, value, ot, os, outId, &rc);
    ASSERT_EQ(rc, 0);
    f = outId[0];
  }
  std::string t, f;
};

TEST_P(MisuseSequence, PathUpdateBeforeAnyPathIsRefusedAndChangesNothing) {
  CStrings in{f};
  int state = 1, count = 2, rc = -1;
  dfq_update_node_state(in, &state, &count, &rc);
  EXPECT_EQ(rc, 1310);
  int executed = -1;
  dfq_is_node_executed(in, &executed, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(executed, 0);
}

TEST_P(MisuseSequence, NodeStateOutsideZeroAndOneIsRefused) {
  CStrings in{f};
  for (int state : {2, -1, 1 << 30}) {
    int count = 1, rc = -1;
    dfq_update_node_state(in, &state, &count, &rc);
    EXPECT_EQ(rc, 1401) << state;
    EXPECT_EQ(dfqtest::errorMessage(1401), "Invalid Node state argument value " + std::to_string(state));
  }
}

TEST_P(MisuseSequence, IdsOfAClosedDagAreUnknownToTheNextOne) {
  close_dag();
  close_dag();  // a second close is harmless
  print_dag();
  ASSERT_NE(dfqtest::table("db.other"), "");
  CStrings in{f}, name{"cond"}, value{"a > 1"}, ot{"g"}, os{""}, outId = CStrings::buffers(1, 21);
  int rc = -1;
  dfq_filter(in, name, value, ot, os, outId, &rc);
  EXPECT_EQ(rc, 1202);
  EXPECT_EQ(outId[0], "");
}

TEST_P(MisuseSequence, FailuresWithoutDagInstanceKeepTheirMessageUntilClose) {
  close_dag();
  CStrings in{f};
  int executed = -1, rc = -1;
  dfq_is_node_executed(in, &executed, &rc);
  EXPECT_EQ(rc, 1302);
  EXPECT_EQ(executed, -1);
  EXPECT_EQ(dfqtest::errorMessage(1302), "Dag Instance is NOT initialized");
  close_dag();
  EXPECT_EQ(dfqtest::errorMessage(1302), "");
}

TEST_P(MisuseSequence, InitDagWithInvalidLevelLeavesNoInstance) {
  close_dag();
  CStrings user{"u"}, a2{"a"}, a3{"b"};
  for (int level : {6, -1}) {
    int rc = -1;
    init_dag(user, a2, &level, a3, &rc);
    EXPECT_EQ(rc, 1201) << level;
    EXPECT_EQ(dagInstance(), nullptr);
  }
  EXPECT_EQ(log_get_level(), GetParam());  // unchanged
  CStrings in{t};
  int executed = -1, rc = -1;
  dfq_is_node_executed(in, &executed, &rc);
  EXPECT_EQ(rc, 1302);
}

TEST_P(MisuseSequence, InitDagOnAnOpenInstanceRefusesAnInvalidLevel) {
  CStrings user{"u"}, a2{"a"}, a3{"b"};
  int level = 9, rc = -1;
  init_dag(user, a2, &level, a3, &rc);
  EXPECT_EQ(rc, 1000);
  EXPECT_EQ(log_get_level(), GetParam());  // unchanged
  EXPECT_NE(dagInstance(), nullptr);
}

TEST_P(MisuseSequence, ErrorMessageWithNonPositiveCodeWritesNothing) {
  CStrings out{"untouched"};
  for (int code : {0, -1501}) {
    dfq_get_error_message(&code, out);
    EXPECT_EQ(out[0], "untouched");
  }
}

TEST_P(MisuseSequence, CountsThatCannotBeUsedAreRefusedWithoutAddingNodes) {
  const size_t before = dagInstance()->nodeCount();
  CStrings in{f, f}, name{"union"}, cols{"a", "a"}, ot{"u"}, os{""}, outId{"x"};
  int zero = 0, rc = -1;
  dfq_setop(in, name, cols, ot, os, &zero, outId, &rc);
  EXPECT_EQ(rc, 1504);

  CStrings sname{"t", "a", "b", "c", "d"}, svalue{"*", "0", "0", "0.5", ""}, when{""}, then{""};
  int negative = -1;
  dfq_sample(in, sname, svalue, ot, os, outId, when, then, &negative, &rc);
  EXPECT_EQ(rc, 1413);

  CStrings mlName{"ml"}, mlText{"select 1"}, fn{"fn"}, mlOut = CStrings::buffers(2, 21);
  CStrings mlTables{"o1", "o2"}, mlSchemas{"w", "w"}, deps{f};
  int one = 1, outputs = 0, depCount = -1;
  dfq_ml_query(in, mlName, mlText, mlTables, mlSchemas, fn, &one, &outputs, mlOut, &rc, nullptr,
               nullptr);
  EXPECT_EQ(rc, 1504) << "no output";
  outputs = 2;
  dfq_ml_query(in, mlName, mlText, mlTables, mlSchemas, fn, &one, &outputs, mlOut, &rc, deps,
               &depCount);
  EXPECT_EQ(rc, 1504) << "negative dependency count";
  int inputs = -1;
  dfq_ml_query(in, mlName, mlText, mlTables, mlSchemas, fn, &inputs, &outputs, mlOut, &rc, nullptr,
               nullptr);
  EXPECT_NE(rc, 0) << "negative input count";
  EXPECT_EQ(dagInstance()->nodeCount(), before);
}

// The log entries are exported too: odd levels, null texts and a host
// stream must neither crash nor stop later records.
TEST_P(MisuseSequence, LogEntriesTolerateOddArguments) {
  FILE *stream = tmpfile();
  ASSERT_NE(stream, nullptr);
  log_set_fp(stream);
  log_set_udata(nullptr);
  log_set_lock(nullptr);
  for (int level : {-1, 6, 9, 1 << 30}) {
    log_set_level(level);
    log_log(level, nullptr, 0, nullptr);
    log_log(level, "unit", -1, "%s", "text");
  }
  log_set_level(4);
  log_log(4, "unit", 1, "last");
  log_set_fp(nullptr);
  fflush(stream);
  rewind(stream);
  char line[256] = {0};
  int lines = 0;
  while (fgets(line, sizeof line, stream)) ++lines;
  EXPECT_EQ(lines, 9);
  fclose(stream);
  EXPECT_STREQ(getFilename(nullptr), "dfq.log");
}

INSTANTIATE_TEST_SUITE_P(Logged, MisuseSequence, ::testing::Range(0, kLogLevels), levelName);

}  // namespace
}  // namespace misuse
