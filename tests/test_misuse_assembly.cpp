// Misuse of the statement, show-query, full-path and top-node entries: the
// matrix of null pointers, null array strings, malformed and unknown ids and
// no DAG instance, and the calls a host can make in the wrong order (fetch
// before generating, show before asking for lengths, generating again after
// reporting execution).
#include <cstring>

#include "misuseMatrix.h"

namespace misuse {
namespace {

using dfqtest::CStrings;
using dfqtest::DagTest;

int generate(const std::string &id) {
  CStrings in{id};
  int count = -1, rc = -1;
  dfq_gen_exec_queries(in, &count, &rc);
  return rc == 0 ? count : -rc;
}

const std::vector<Row> kRows = {
    {.function = "dfq_gen_exec_queries",
     .params = {id("nodeid_in", "$F"), num("queries_count", 0), ret()},
     .invoke = [](Call &c) { dfq_gen_exec_queries(c.s(0), c.i(1), c.i(2)); },
     .badIdCode = 1205,
     .unknownIdCode = 1205},
    {.function = "dfq_get_exec_querysize",
     .params = {id("nodeid_in", "$F"), nullGives(num("queries_count", 0), 0),
                num("query_lengths", 0), ret()},
     .invoke = [](Call &c) { dfq_get_exec_querysize(c.s(0), c.i(1), c.i(2), c.i(3)); },
     .badIdCode = 1207,
     .unknownIdCode = 1207,
     .emptyIdCode = 1207,  // the id is not required to be non-empty
     .prepare = [](const std::map<std::string, std::string> &n) { generate(n.at("$F")); }},
    {.function = "dfq_get_exec_query",
     .params = {id("nodeid_in", "$F"), num("queries_count", 1), out("query"), out("tablename"),
                out("query_type"), out("nodeid"), ret()},
     .invoke = [](Call &c) {
       dfq_get_exec_query(c.s(0), c.i(1), c.s(2), c.s(3), c.s(4), c.s(5), c.i(6));
     },
     .badIdCode = 1207,
     .unknownIdCode = 1207,
     .prepare = [](const std::map<std::string, std::string> &n) { generate(n.at("$F")); }},
    {.function = "dfq_show_query_length",
     .params = {id("node_in", "$F"), num("option", 1), num("length_out", 0), ret()},
     .invoke = [](Call &c) { dfq_show_query_length(c.s(0), c.i(1), c.i(2), c.i(3)); },
     .badIdCode = 1325,
     .unknownIdCode = 1207},
    {.function = "dfq_show_query",
     .params = {id("node_id", "$F"), num("option", 1), out("query_out"), out("nodeid_list"), ret()},
     .invoke = [](Call &c) { dfq_show_query(c.s(0), c.i(1), c.s(2), c.s(3), c.i(4)); },
     .badIdCode = 1324,
     .unknownIdCode = 1207,
     .prepare =
         [](const std::map<std::string, std::string> &n) {
           CStrings in{n.at("$F")};
           int option = 1, lengths[4] = {0}, rc = -1;
           dfq_show_query_length(in, &option, lengths, &rc);
         }},
    {.function = "dfq_gen_full_dagpath",
     .params = {id("nodeid_in", "$F"), num("nodes_count", 0), ret()},
     .invoke = [](Call &c) { dfq_gen_full_dagpath(c.s(0), c.i(1), c.i(2)); },
     .badIdCode = 1205,
     .unknownIdCode = 1205},
    {.function = "dfq_gen_queries_with_reference_to_topnode",
     .params = {id("nodeid_in", "$F"), num("queries_count", 0), ret()},
     .invoke = [](Call &c) { dfq_gen_queries_with_reference_to_topnode(c.s(0), c.i(1), c.i(2)); },
     .badIdCode = 1207,
     .unknownIdCode = 1207},
};

INSTANTIATE_TEST_SUITE_P(Assembly, MisuseMatrix, ::testing::ValuesIn(kRows), rowName);

// ---- calls out of order ---------------------------------------------------------

// Each test once per log level, with a log file.
class AssemblySequence : public LoggedMisuse {
 protected:
  // T, a select S on T and a filter F on S, both with an output schema.
  void SetUp() override {
    LoggedMisuse::SetUp();
    t = dfqtest::table("db.sales");
    s = add(dfq_filter, t, "s1");
    f = add(dfq_filter, s, "f1");
    ASSERT_FALSE(f.empty());
  }
  using Entry = void (*)(char **, char **, char **, char **, char **, char **, int *);
  static std::string add(Entry entry, const std::string &input, const std::string &table) {
    CStrings in{input}, name{"c"}, value{"a > 1"}, ot{table}, os{"w"}, outId = CStrings::buffers(1);
    int rc = -1;
    entry(in, name, value, ot, os, outId, &rc);
    return rc == 0 ? outId[0] : "";
  }
  static int updateThroughPath(const std::string &id, int state) {
    CStrings in{id};
    int count = 2, rc = -1;
    dfq_update_node_state(in, &state, &count, &rc);
    return rc;
  }
  std::string t, s, f;
};

TEST_P(AssemblySequence, FetchingBeforeGeneratingIsRefusedAndWritesNothing) {
  CStrings in{f};
  int unused = 0, lengths[2] = {-1, -1}, rc = -1;
  dfq_get_exec_querysize(in, &unused, lengths, &rc);
  EXPECT_EQ(rc, 1309);
  EXPECT_EQ(lengths[0], -1);
  CStrings query{"q"}, name{"n"}, type{"t"}, id{"i"};
  int count = 1;
  dfq_get_exec_query(in, &count, query, name, type, id, &rc);
  EXPECT_EQ(rc, 1308);
  EXPECT_EQ(query[0], "q");
  count = 0;
  dfq_get_exec_query(in, &count, query, name, type, id, &rc);
  EXPECT_EQ(rc, 1504);
}

TEST_P(AssemblySequence, ShowingBeforeAskingForLengthsCopiesNothing) {
  CStrings in{f}, query{"untouched"}, ids{"untouched"};
  for (int option : {1, 3}) {
    int rc = -1;
    dfq_show_query(in, &option, query, ids, &rc);
    EXPECT_EQ(rc, 0) << option;
    EXPECT_EQ(query[0], "untouched") << option;
  }
  int option = 2, rc = -1;
  dfq_show_query(in, &option, query, ids, &rc);
  EXPECT_EQ(rc, 1206) << "the full path was never generated";
  EXPECT_EQ(query[0], "untouched");
}

TEST_P(AssemblySequence, ShowOptionsOutsideOneToThreeAreRefused) {
  CStrings in{f}, query{"untouched"}, ids{"untouched"};
  int lengths[4] = {0}, rc = -1;
  for (int option : {4, 1000}) {
    dfq_show_query_length(in, &option, lengths, &rc);
    EXPECT_EQ(rc, 1329) << option;
  }
  for (int option : {0, -1}) {
    dfq_show_query_length(in, &option, lengths, &rc);
    EXPECT_EQ(rc, 1504) << option;
  }
  for (int option : {0, -1, 4}) {
    dfq_show_query(in, &option, query, ids, &rc);
    EXPECT_EQ(rc, 1328) << option;
  }
  EXPECT_EQ(lengths[0], 0);
  EXPECT_EQ(query[0], "untouched");
}

TEST_P(AssemblySequence, NodeExecutedThroughItsPathHasNoPathLeft) {
  ASSERT_EQ(generate(f), 1);
  ASSERT_EQ(updateThroughPath(f, 1), 0);
  EXPECT_EQ(updateThroughPath(f, 1), 1310);
  EXPECT_EQ(generate(f), -1206);
  CStrings in{f};
  int option = 1, lengths[4] = {0}, rc = -1;
  dfq_show_query_length(in, &option, lengths, &rc);
  EXPECT_EQ(rc, 1206);
}

TEST_P(AssemblySequence, SourceNodesHaveNoStatementsToGenerate) {
  EXPECT_EQ(generate(t), -1206);
  CStrings in{t};
  int unused = 0, lengths[1] = {-1}, rc = -1;
  dfq_get_exec_querysize(in, &unused, lengths, &rc);
  EXPECT_EQ(rc, 1309);
}

// A fetch copies no more statements than the host has buffers for: a node
// reading a second output of an ML query has two statements; the buffer
// after the one asked for stays untouched.
TEST_P(AssemblySequence, FetchCopiesNoMoreStatementsThanAskedFor) {
  CStrings in{s}, name{"ml"}, text{"select * from fn(on s1)"}, fn{"fn"};
  CStrings tables{"o1", "o2"}, schemas{"w", "w"}, outIds = CStrings::buffers(2, 21);
  int inputs = 1, outputs = 2, rc = -1;
  dfq_ml_query(in, name, text, tables, schemas, fn, &inputs, &outputs, outIds, &rc, nullptr,
               nullptr);
  ASSERT_EQ(rc, 0);
  const std::string reader = add(dfq_filter, outIds[1], "g1");
  ASSERT_GE(generate(reader), 2);

  CStrings readerId{reader};
  std::vector<int> lengths(8, 0);
  int unused = 0;
  dfq_get_exec_querysize(readerId, &unused, lengths.data(), &rc);
  ASSERT_EQ(rc, 0);
  std::vector<char> first(static_cast<size_t>(lengths[0])), canary(64, 'c');
  char *queries[] = {first.data(), canary.data()};
  CStrings names = CStrings::buffers(2), types = CStrings::buffers(2), ids = CStrings::buffers(2);
  int count = 1;
  dfq_get_exec_query(readerId, &count, queries, names, types, ids, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(std::strlen(first.data()) + 1, static_cast<size_t>(lengths[0]));
  EXPECT_EQ(canary, std::vector<char>(64, 'c'));
  EXPECT_EQ(names[1], "");
}

INSTANTIATE_TEST_SUITE_P(Logged, AssemblySequence, ::testing::Range(0, kLogLevels), levelName);

}  // namespace
}  // namespace misuse
