// The C entries of query assembly as a host uses them: statement counts,
// sizes and fetches, caching, the show query's three options and their
// length/fetch order, statements against the top node, and the codes.
#include <cstdio>

#include "DagException.h"
#include "assemblySupport.h"

using namespace asmtest;
using dfqtest::CStrings;
using dfqtest::errorMessage;

namespace {

std::string filterNode(const std::string &input, const std::string &condition,
                       const std::string &table, const std::string &schema = "s") {
  CStrings in{input}, name{"f"}, value{condition}, ot{table}, os{schema};
  CStrings out = CStrings::buffers(1);
  int rc = -1;
  dfq_filter(in, name, value, ot, os, out, &rc);
  EXPECT_EQ(rc, 0);
  return out[0];
}

// An ML query on `input` with one output per table; the ids in output order.
std::vector<std::string> mlNode(const std::string &input, const std::string &text,
                                const std::vector<std::string> &tables,
                                const std::vector<std::string> &dependencies = {}) {
  CStrings in{input}, name{"fn"}, value{text}, ot(tables),
      os(std::vector<std::string>(tables.size(), "s")), fn{"fn"}, deps(dependencies);
  CStrings out = CStrings::buffers(tables.size());
  int inputs = 1, outputs = static_cast<int>(tables.size()), rc = -1;
  int depCount = static_cast<int>(dependencies.size());
  dfq_ml_query(in, name, value, ot, os, fn, &inputs, &outputs, out, &rc, deps, &depCount);
  EXPECT_EQ(rc, 0);
  std::vector<std::string> ids;
  for (size_t i = 0; i < tables.size(); ++i) ids.push_back(out[i]);
  return ids;
}

int generate(const std::string &id, int *count = nullptr) {
  CStrings in{id};
  int n = -1, rc = -1;
  dfq_gen_exec_queries(in, &n, &rc);
  if (count) *count = n;
  return rc;
}

int markPathExecuted(const std::string &id) {
  CStrings in{id};
  int state = 1, count = 0, rc = -1;
  dfq_update_node_state(in, &state, &count, &rc);
  return rc;
}

int setSingleState(const std::string &id, int state) {
  CStrings in{id};
  int rc = -1;
  dfq_update_node_state_single(in, &state, &rc);
  return rc;
}

// Show query lengths (up to 8) and the texts fetched with them.
struct Shown {
  int lengthRc = -1;
  int fetchRc = -1;
  std::vector<int> lengths;
  std::vector<std::string> queries;
  std::vector<std::string> ids;
};

std::vector<int> showLengths(const std::string &id, int option, int *rc) {
  CStrings in{id};
  std::vector<int> lengths(8, -1);
  dfq_show_query_length(in, &option, lengths.data(), rc);
  while (!lengths.empty() && lengths.back() == -1) lengths.pop_back();
  return lengths;
}

std::vector<std::string> showFetch(const std::string &id, int option, int *rc,
                                   std::vector<std::string> *ids = nullptr) {
  CStrings in{id};
  CStrings queries(std::vector<std::string>(8, "untouched"), 4096);
  CStrings idBuffers(std::vector<std::string>(8, "untouched"));
  dfq_show_query(in, &option, queries, idBuffers, rc);
  std::vector<std::string> texts;
  for (size_t i = 0; i < 8 && queries[i] != "untouched"; ++i) texts.push_back(queries[i]);
  for (size_t i = 0; ids && i < 8 && idBuffers[i] != "untouched"; ++i) ids->push_back(idBuffers[i]);
  return texts;
}

Shown show(const std::string &id, int option) {
  Shown s;
  s.lengths = showLengths(id, option, &s.lengthRc);
  s.queries = showFetch(id, option, &s.fetchRc, &s.ids);
  return s;
}

class AssemblyApiTest : public GraphTest {
 protected:
  void SetUp() override {
    GraphTest::SetUp();
    t = dfqtest::table("db.t");
    f1 = filterNode(t, "a > 1", "f1");
    f2 = filterNode(f1, "b > 2", "f2");
  }
  nodeid_t id(const std::string &text) const { return std::stoll(text); }

  const std::string q1 = "select * from db.t where a > 1";
  const std::string q2 = "select * from \"s\".\"f1\" where b > 2";
  const std::string resolved2 = "select * from (" + q1 + ") as temp_table where b > 2";
  std::string t, f1, f2;
};

// ---- exec statements -------------------------------------------------------------

TEST_F(AssemblyApiTest, HostGetsCountSizesAndStatements) {
  const HostStatements got = hostStatements(f2);
  ASSERT_EQ(got.rc, 0);
  EXPECT_EQ(got.list, ExecQueryList({statement(resolved2, "\"s\".\"f2\"", "filter", id(f2))}));
  CStrings in{f2};
  int lengths[2] = {-1, -1}, unused = 0, rc = -1;
  dfq_get_exec_querysize(in, &unused, lengths, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(lengths[0], static_cast<int>(resolved2.size() + 1));
  EXPECT_EQ(lengths[1], -1);
}

TEST_F(AssemblyApiTest, StatementsAreKeptUntilCleared) {
  int first = 0, second = 0;
  ASSERT_EQ(generate(f2, &first), 0);
  ASSERT_EQ(setSingleState(f1, 1), 0);
  ASSERT_EQ(generate(f2, &second), 0);
  EXPECT_EQ(first, second);
  EXPECT_EQ(hostStatements(f2).list.at(0).query, resolved2);
}

TEST_F(AssemblyApiTest, NodeExecutedThroughItsPathCannotBeRegenerated) {
  ASSERT_EQ(hostStatements(f2).rc, 0);
  ASSERT_EQ(markPathExecuted(f2), 0);
  EXPECT_EQ(generate(f2), 1206);
  // A node built on it reads its table by name.
  const std::string f3 = filterNode(f2, "c > 3", "f3");
  EXPECT_EQ(hostStatements(f3).list.at(0).query, "select * from \"s\".\"f2\" where c > 3");
}

TEST_F(AssemblyApiTest, FetchCopiesNoMoreThanTheHostHasBuffersFor) {
  const std::vector<std::string> ml = mlNode(f1, "call ml()", {"m1", "m2"});
  const std::string f = filterNode(ml[1], "p > 0", "f");
  ASSERT_EQ(setSingleState(f1, 1), 0);  // the ML query reads its table
  int count = 0;
  ASSERT_EQ(generate(f, &count), 0);
  ASSERT_EQ(count, 2);
  CStrings in{f}, queries({"untouched", "untouched"}), names({"untouched", "untouched"}),
      types({"untouched", "untouched"}), ids({"untouched", "untouched"});
  int one = 1, rc = -1;
  dfq_get_exec_query(in, &one, queries, names, types, ids, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(queries[0], "select * from \"s\".\"m2\" where p > 0");
  EXPECT_EQ(types[0], "filter");
  for (const CStrings *buffers : {&queries, &names, &types, &ids})
    EXPECT_EQ((*buffers)[1], "untouched");
  // Larger than needed: every statement, the rest untouched.
  CStrings q3 = CStrings::buffers(3), n3 = CStrings::buffers(3), t3 = CStrings::buffers(3),
           i3 = CStrings::buffers(3);
  int three = 3;
  dfq_get_exec_query(in, &three, q3, n3, t3, i3, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(q3[1], "call ml()");
  EXPECT_EQ(n3[1], "\"s\".\"m1\"");
  EXPECT_EQ(t3[1], "reference");
  EXPECT_EQ(i3[1], ml[1]);
  EXPECT_EQ(q3[2], "");
}

TEST_F(AssemblyApiTest, SizesAndFetchNeedGeneratedStatements) {
  CStrings in{f2}, q = CStrings::buffers(1), n = CStrings::buffers(1), ty = CStrings::buffers(1),
                   ids = CStrings::buffers(1);
  int lengths[1] = {-1}, unused = 0, one = 1, rc = -1;
  dfq_get_exec_querysize(in, &unused, lengths, &rc);
  EXPECT_EQ(rc, 1309);
  EXPECT_EQ(errorMessage(1309), "Queries are not generated for nodeid " + f2);
  EXPECT_EQ(lengths[0], -1);
  dfq_get_exec_query(in, &one, q, n, ty, ids, &rc);
  EXPECT_EQ(rc, 1308);
  EXPECT_EQ(errorMessage(1308), "Queries are not generated for nodeid " + f2);
  CStrings missing{"12345"};
  dfq_get_exec_query(missing, &one, q, n, ty, ids, &rc);
  EXPECT_EQ(rc, 1207);
  EXPECT_EQ(errorMessage(1207), "DAG entry does not exist for nodeid 12345");
}

TEST_F(AssemblyApiTest, NullAndEmptyArgumentsAreRefusedBeforeAnythingIsWritten) {
  ASSERT_EQ(generate(f2), 0);
  CStrings in{f2}, empty{""}, q = CStrings::buffers(1), n = CStrings::buffers(1),
                              ty = CStrings::buffers(1), ids = CStrings::buffers(1);
  int lengths[1] = {-1}, unused = 0, zero = 0, one = 1, rc = -1;
  dfq_get_exec_querysize(nullptr, &unused, lengths, &rc);
  EXPECT_EQ(rc, 1501);
  EXPECT_EQ(errorMessage(1501), "Char Char Null Pointer value encountered for argument: nodeid_in");
  dfq_get_exec_querysize(in, &unused, nullptr, &rc);
  EXPECT_EQ(rc, 1503);
  EXPECT_EQ(errorMessage(1503), "Integer Null Pointer value encountered: query_lengths");
  dfq_get_exec_query(in, &zero, q, n, ty, ids, &rc);
  EXPECT_EQ(rc, 1504);
  dfq_get_exec_query(in, &one, q, n, nullptr, ids, &rc);
  EXPECT_EQ(rc, 1501);
  EXPECT_EQ(errorMessage(1501), "Char Char Null Pointer value encountered for argument: tablename");
  EXPECT_EQ(q[0], "");
  int count = 0;
  dfq_gen_exec_queries(empty, &count, &rc);
  EXPECT_EQ(rc, 1502);
  dfq_gen_exec_queries(in, nullptr, &rc);
  EXPECT_EQ(rc, 1503);
  dfq_show_query(in, nullptr, q, ids, &rc);
  EXPECT_EQ(rc, 1503);
  EXPECT_EQ(errorMessage(1503), "Integer Null Pointer value encountered: option");
  dfq_show_query_length(in, &zero, lengths, &rc);
  EXPECT_EQ(rc, 1504);
  dfq_gen_full_dagpath(in, nullptr, &rc);
  EXPECT_EQ(rc, 1503);
  dfq_gen_queries_with_reference_to_topnode(empty, &count, &rc);
  EXPECT_EQ(rc, 1502);
}

TEST_F(AssemblyApiTest, EveryEntryNeedsADagInstance) {
  close_dag();
  CStrings in{f2}, q = CStrings::buffers(1), ids = CStrings::buffers(1);
  int n = 0, option = 1, one = 1, lengths[1] = {0};
  std::vector<int> codes;
  int rc = -1;
  dfq_gen_exec_queries(in, &n, &rc);
  codes.push_back(rc);
  dfq_get_exec_querysize(in, &n, lengths, &rc);
  codes.push_back(rc);
  dfq_get_exec_query(in, &one, q, q, q, q, &rc);
  codes.push_back(rc);
  dfq_show_query_length(in, &option, lengths, &rc);
  codes.push_back(rc);
  dfq_show_query(in, &option, q, ids, &rc);
  codes.push_back(rc);
  dfq_gen_full_dagpath(in, &n, &rc);
  codes.push_back(rc);
  dfq_gen_queries_with_reference_to_topnode(in, &n, &rc);
  codes.push_back(rc);
  EXPECT_EQ(codes, std::vector<int>(7, 1302));
  EXPECT_EQ(errorMessage(1302), "Dag Instance is NOT initialized");
}

TEST_F(AssemblyApiTest, StoredListShorterThanThePathIsCollectedAfresh) {
  ASSERT_EQ(setSingleState(f1, 1), 0);
  dag->genDAGPath(id(f2), false);
  ASSERT_EQ(builder->dfqGetListofQueriesandViews(id(f2), false).size(), 1u);  // stored
  ASSERT_EQ(hostStatements(f2).list.at(0).query, q2);
  ASSERT_EQ(setSingleState(f1, 0), 0);
  // Statements gone (as after a show fetch), list of one entry kept.
  dag->getNode(id(f2))->setListofExecQueries({});
  ASSERT_EQ(dag->getNode(id(f2))->queriesAndViewsRef().size(), 1u);
  EXPECT_EQ(hostStatements(f2).list.at(0).query, resolved2);
}

TEST_F(AssemblyApiTest, ListOfQueriesAndViewsNeedsAPathAndIsStoredOnlyForExec) {
  try {
    builder->dfqGetListofQueriesandViews(id(f2), false);
    ADD_FAILURE() << "no path, no list";
  } catch (const DagException &e) {
    EXPECT_EQ(e.errorCode, 1305);
    EXPECT_EQ(std::string(e.what()), "DAGPath is not generated or does not exist for nodeid " + f2);
  }
  dag->genDAGPath(id(f2), true);
  EXPECT_EQ(builder->dfqGetListofQueriesandViews(id(f2), true).size(), 2u);
  EXPECT_TRUE(dag->getNode(id(f2))->queriesAndViewsRef().empty());
  dag->genDAGPath(id(f2), false);
  const QueryViewList stored = builder->dfqGetListofQueriesandViews(id(f2), false);
  EXPECT_EQ(stored, QueryViewList({{"\"s\".\"f2\"", q2, id(f2)}, {"\"s\".\"f1\"", q1, id(f1)}}));
  // A stored list is what every later request gets, whatever its flag.
  ASSERT_EQ(setSingleState(f1, 1), 0);
  EXPECT_EQ(builder->dfqGetListofQueriesandViews(id(f2), true), stored);
}

TEST_F(AssemblyApiTest, EntryAndExitRecordsOfTheSizeEntryOnlyForNonShowEntries) {
  ASSERT_EQ(generate(f2), 0);
  std::FILE *f = std::tmpfile();
  log_set_fp(f);
  CStrings in{f2};
  int lengths[2] = {0, 0}, unused = 0, option = 1, rc = -1;
  dfq_get_exec_querysize(in, &unused, lengths, &rc);
  dfq_show_query_length(in, &option, lengths, &rc);
  log_set_fp(nullptr);
  std::string text;
  std::rewind(f);
  for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) text += static_cast<char>(c);
  std::fclose(f);
  EXPECT_NE(text.find(": Entering dfq_get_exec_querysize...........\n"), std::string::npos);
  EXPECT_NE(text.find(": Exiting dfq_get_exec_querysize..............\n"), std::string::npos);
  EXPECT_EQ(text.find("show_query"), std::string::npos);
}

// ---- show query ------------------------------------------------------------------

TEST_F(AssemblyApiTest, ShowOptionOneGeneratesOnLengthAndClearsOnFetch) {
  const Shown first = show(f2, 1);
  ASSERT_EQ(first.lengthRc, 0);
  ASSERT_EQ(first.fetchRc, 0);
  EXPECT_EQ(first.lengths, std::vector<int>{static_cast<int>(resolved2.size() + 1)});
  EXPECT_EQ(first.queries, std::vector<std::string>{resolved2});
  // The fetch left the node without statements ...
  CStrings in{f2};
  int lengths[1] = {0}, unused = 0, rc = -1;
  dfq_get_exec_querysize(in, &unused, lengths, &rc);
  EXPECT_EQ(rc, 1309);
  // ... and the next length request generates them afresh.
  EXPECT_EQ(show(f2, 1).queries, std::vector<std::string>{resolved2});
}

TEST_F(AssemblyApiTest, ShowOptionOneOnAnMlPathReadsMlOutputsAsTables) {
  const std::vector<std::string> ml = mlNode(f1, "call ml()", {"m1", "m2"});
  const std::string f = filterNode(ml[1], "p > 0", "f");
  int rc = -1;
  // A fetch without a preceding length request copies what is stored: nothing.
  EXPECT_TRUE(showFetch(f, 1, &rc).empty());
  EXPECT_EQ(rc, 0);
  const Shown shown = show(f, 1);
  EXPECT_EQ(shown.lengthRc, 0);
  EXPECT_EQ(shown.queries, std::vector<std::string>{"select * from \"s\".\"m2\" where p > 0"});
}

TEST_F(AssemblyApiTest, ShowOptionTwoListsEveryNodeOfTheFullPath) {
  CStrings in{f2};
  int nodes = 0, rc = -1;
  dfq_gen_full_dagpath(in, &nodes, &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(nodes, 2);
  const Shown shown = show(f2, 2);
  EXPECT_EQ(shown.queries, std::vector<std::string>({q2, q1}));
  EXPECT_EQ(shown.ids, std::vector<std::string>({f2, f1}));
  EXPECT_EQ(shown.lengths,
            std::vector<int>({static_cast<int>(q2.size() + 1), static_cast<int>(q1.size() + 1)}));
}

TEST_F(AssemblyApiTest, TopNodeStatementsInlineExecutedAncestorsAndAreKept) {
  ASSERT_EQ(setSingleState(f1, 1), 0);
  CStrings in{f2};
  int count = 0, rc = -1;
  dfq_gen_queries_with_reference_to_topnode(in, &count, &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(show(f2, 3).queries, std::vector<std::string>{resolved2});
  // Kept: a later change of the graph does not reach them.
  const std::string f3 = filterNode(f2, "c > 3", "f3");
  dfq_gen_queries_with_reference_to_topnode(in, &count, &rc);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(show(f2, 3).lengths, std::vector<int>{static_cast<int>(resolved2.size() + 1)});
  CStrings base{t};
  dfq_gen_queries_with_reference_to_topnode(base, &count, &rc);
  EXPECT_EQ(count, 1);
  EXPECT_TRUE(dag->getNode(id(t))->queriesWithRefToTopNodeRef().empty());
}

TEST_F(AssemblyApiTest, SourceNodesShowTheirOwnQueryWhateverTheOption) {
  const std::vector<std::string> ml = mlNode(f1, "call ml()", {"m1"});
  for (int option = 1; option <= 3; ++option) {
    EXPECT_EQ(show(t, option).queries, std::vector<std::string>{"select * from db.t"});
    EXPECT_EQ(show(ml[0], option).queries, std::vector<std::string>{"select * from m1"});
  }
}

TEST_F(AssemblyApiTest, ShowRequestsRefuseBadIdsAndOptions) {
  int rc = -1;
  showLengths(f2, 4, &rc);
  EXPECT_EQ(rc, 1329);
  EXPECT_EQ(errorMessage(1329), "Invalid option for dfqShowQueryLength operation");
  showFetch(f2, 4, &rc);
  EXPECT_EQ(rc, 1328);
  EXPECT_EQ(errorMessage(1328), "Invalid option for dfqShowQuery operation");
  showFetch(f2, 0, &rc);
  EXPECT_EQ(rc, 1328);
  showLengths("0", 1, &rc);
  EXPECT_EQ(rc, 1325);
  EXPECT_EQ(errorMessage(1325), "Invalid input nodeid for dfqShowQueryLength operation");
  showFetch("abc", 1, &rc);
  EXPECT_EQ(rc, 1324);
  EXPECT_EQ(errorMessage(1324), "Invalid input nodeid for dfqShowQuery operation");
  showLengths("12345", 1, &rc);
  EXPECT_EQ(rc, 1207);
  // Option 1 for a node executed through its path: its path is gone.
  ASSERT_EQ(hostStatements(f2).rc, 0);
  ASSERT_EQ(markPathExecuted(f2), 0);
  showLengths(f2, 1, &rc);
  EXPECT_EQ(rc, 1206);
}

}  // namespace
