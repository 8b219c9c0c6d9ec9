// The DAG instance, the call frame, the table entry, error messages and the
// log level, as the host sees them.
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "DagBuilder.h"
#include "testSupport.h"

using namespace dfqtest;

namespace {

int tableRc(const std::string &argName, const std::string &value, CStrings *ot = nullptr) {
  CStrings name{argName}, val{value}, t{""}, s{""}, out = CStrings::buffers(1);
  int rc = -1;
  dfq_table(name, val, ot ? ot->get() : t.get(), s, out, &rc);
  return rc;
}

}  // namespace

TEST_F(DagTest, TableWithoutInstanceCreatesDefaultGraph) {
  ASSERT_EQ(dagInstance(), nullptr);
  const std::string id = table("db1.sales");
  ASSERT_FALSE(id.empty());
  EXPECT_GT(std::stoll(id), 0);
  ASSERT_NE(dagInstance(), nullptr);
  EXPECT_EQ(dagInstance()->getLogLevel(), 4);
  EXPECT_EQ(dagInstance()->getUser(), "user");
  Node *node = dagInstance()->getNode(std::stoll(id));
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->getNodeState(), 1);
  EXPECT_EQ(node->getNumEdges(), 0);
  EXPECT_EQ(node->getNodeNumOutputs(), 1);
  EXPECT_EQ(node->getNodeType(), 1);
  EXPECT_EQ(node->getFunctionName(), "SELECT");
}

TEST_F(DagTest, EmptyRequiredArgumentIsReportedWithCodeMessageAndErrorRecord) {
  FILE *logFile = tmpfile();
  ASSERT_NE(logFile, nullptr);
  log_set_fp(logFile);
  EXPECT_EQ(tableRc("", "t"), 1502);
  EXPECT_EQ(errorMessage(1502), "Argument arg_name is required, should NOT be an empty string");
  const std::string log = readAll(logFile);
  log_set_fp(nullptr);
  fclose(logFile);
  EXPECT_NE(log.find(" ERROR ../src/dfqRequest:"), std::string::npos) << log;
  EXPECT_NE(log.find("DFQ-1502:Argument arg_name is required, should NOT be an empty string\n\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("TRACE ../src/dfqRequest:"), std::string::npos);
  EXPECT_NE(log.find("Entering dfq_table..............\n"), std::string::npos);
  EXPECT_NE(log.find("Exiting dfq_table..............\n"), std::string::npos);
}

TEST_F(DagTest, ArgumentChecksRunInParameterOrder) {
  // arg_value is checked before the null output arrays behind it.
  CStrings name{"source"}, empty{""}, out = CStrings::buffers(1);
  int rc = -1;
  dfq_table(name, empty, nullptr, nullptr, out, &rc);
  EXPECT_EQ(rc, 1502);
  CStrings value{"t"};
  dfq_table(name, value, nullptr, empty, out, &rc);
  EXPECT_EQ(rc, 1501);
  EXPECT_EQ(errorMessage(1501), "Char Char Null Pointer value encountered for argument: output_table");
  dfq_table(name, value, empty, empty, nullptr, &rc);
  EXPECT_EQ(errorMessage(1501),
            "Char Char Null Pointer value encountered for argument: nodeid_out_str");
}

TEST_F(DagTest, EmptyOutputNamesAreAccepted) {
  CStrings name{"source"}, value{"t"}, empty{""}, out = CStrings::buffers(1);
  int rc = -1;
  dfq_table(name, value, empty, empty, out, &rc);
  EXPECT_EQ(rc, 0);
}

TEST_F(DagTest, NullPointersAreRefusedNeverRead) {
  CStrings name{"source"}, value{"t"}, empty{""}, out = CStrings::buffers(1);
  // A null ret_code is never written through; the call still returns.
  dfq_table(name, value, empty, empty, out, nullptr);
  dfq_table(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  // An array whose first string is null fails like a null array.
  CStrings nullFirst{"x"};
  nullFirst.setNull(0);
  int rc = -1;
  dfq_table(nullFirst, value, empty, empty, out, &rc);
  EXPECT_EQ(rc, 1501);
  EXPECT_EQ(errorMessage(1501), "Char Char Null Pointer value encountered for argument: arg_name");
}

TEST_F(DagTest, LogLevelIsCheckedSetAndRead) {
  int level = 6, rc = -1;
  set_log_level(&level, &rc);
  EXPECT_EQ(rc, 1000);
  EXPECT_EQ(errorMessage(1000), "log_level outside of range [0, 5]");
  level = 3;
  set_log_level(&level, &rc);
  EXPECT_EQ(rc, 0);
  int read = -1;
  get_log_level(&read, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(read, 3);
  get_log_level(nullptr, &rc);
  EXPECT_EQ(rc, 1503);
  set_log_level(nullptr, &rc);
  EXPECT_EQ(rc, 1503);
  set_log_level(nullptr, nullptr);
  get_log_level(nullptr, nullptr);
}

TEST_F(DagTest, ErrorMessagesAreKeptPerCodeAndForgottenOnClose) {
  EXPECT_EQ(errorMessage(1502), "");
  table("t");
  EXPECT_EQ(tableRc("", "t"), 1502);
  EXPECT_EQ(tableRc("source", ""), 1502);
  EXPECT_EQ(errorMessage(1502), "Argument arg_value is required, should NOT be an empty string");
  int level = 9, rc = 0;
  set_log_level(&level, &rc);
  EXPECT_EQ(errorMessage(1000), "log_level outside of range [0, 5]");
  EXPECT_EQ(errorMessage(1502), "Argument arg_value is required, should NOT be an empty string");
  close_dag();
  EXPECT_EQ(errorMessage(1502), "");
  EXPECT_EQ(errorMessage(1000), "");
}

TEST_F(DagTest, ErrorMessageEntryRefusesBadArgumentsWithoutCrashing) {
  close_dag();  // no instance at all
  CStrings out = CStrings::buffers(1);
  int code = 1502;
  dfq_get_error_message(&code, out);
  EXPECT_EQ(out[0], "");
  dfq_get_error_message(nullptr, out);
  dfq_get_error_message(&code, nullptr);
  code = 0;
  dfq_get_error_message(&code, out);
  EXPECT_EQ(out[0], "");
}

TEST_F(DagTest, FailureWithoutInstanceStillReportsCodeAndMessage) {
  int state = 1, count = 1, rc = -1;
  CStrings id{"12345"};
  dfq_update_node_state(id, &state, &count, &rc);
  EXPECT_EQ(rc, 1302);
  EXPECT_EQ(errorMessage(1302), "Dag Instance is NOT initialized");
}

TEST_F(DagTest, InitDagCreatesGraphWithHostStringsAndLevel) {
  CStrings user{"alice"}, arg2{"x"}, arg3{"y"};
  int level = 3, rc = -1;
  init_dag(user, arg2, &level, arg3, &rc);
  EXPECT_EQ(rc, 0);
  ASSERT_NE(dagInstance(), nullptr);
  EXPECT_EQ(dagInstance()->getUser(), "alice");
  EXPECT_EQ(dagInstance()->getInitArg2(), "x");
  EXPECT_EQ(dagInstance()->getInitArg3(), "y");
  EXPECT_EQ(dagInstance()->getLogLevel(), 3);
  EXPECT_EQ(log_get_level(), 3);
}

TEST_F(DagTest, InitDagOnExistingInstanceOnlyAppliesLevel) {
  const std::string id = table("t");
  DAG *before = dagInstance();
  CStrings user{"bob"}, arg{""};
  int level = 2, rc = -1;
  init_dag(user, arg, &level, arg, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(dagInstance(), before);
  EXPECT_EQ(dagInstance()->getUser(), "user");
  EXPECT_NE(dagInstance()->getNode(std::stoll(id)), nullptr);
  EXPECT_EQ(log_get_level(), 2);
}

TEST_F(DagTest, InitDagWithInvalidLevelCreatesNothing) {
  CStrings user{"u"}, arg{""};
  int level = 6, rc = -1;
  init_dag(user, arg, &level, arg, &rc);
  EXPECT_EQ(rc, 1201);
  EXPECT_EQ(dagInstance(), nullptr);
  EXPECT_EQ(errorMessage(1201), "Invalid log level:6");
  init_dag(user, arg, nullptr, arg, &rc);
  EXPECT_EQ(rc, 1503);
  EXPECT_EQ(dagInstance(), nullptr);
  init_dag(nullptr, nullptr, nullptr, nullptr, nullptr);
}

TEST_F(DagTest, CloseWithoutInstanceAndReopen) {
  close_dag();
  close_dag();
  EXPECT_FALSE(table("t").empty());
  close_dag();
  EXPECT_EQ(dagInstance(), nullptr);
  EXPECT_FALSE(table("t").empty());
}

TEST_F(DagTest, PrintEntriesWithoutInstanceReturnQuietly) {
  print_dag();
  CStrings id{"123"};
  print_dag_path(id);
  print_dag_path(nullptr);
}

TEST_F(DagTest, NodeIdsAreUniqueEvenWhenTheClockRepeats) {
  // Thousands of tables in a tight loop: the clock and rand() repeat, and
  // every node must still get its own id and stay in the graph.
  std::set<std::string> ids;
  for (int i = 0; i < 5000; ++i) ids.insert(table("t" + std::to_string(i)));
  EXPECT_EQ(ids.size(), 5000u);
  EXPECT_EQ(ids.count(""), 0u);
  EXPECT_EQ(dagInstance()->nodeCount(), 5000u);
}

TEST_F(DagTest, PrintDagWritesEveryField) {
  const std::string id = table("db.src", "out", "s", "source");
  testing::internal::CaptureStdout();
  print_dag();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "\nnodeid:" + id +
                     "\nnodeState:1\nnodeType:1\nfunctionName:SELECT\nargType:table\n"
                     "argName:source\nargValue:db.src\noutputTable:out\noutputSchema:s\n");
}
