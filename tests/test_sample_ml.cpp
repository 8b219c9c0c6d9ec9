// Sample and ML query through the C API: their SQL and nodes, the checks on
// the host's arrays and lists, and the refusal of entries the host left out.
#include "opsSupport.h"

using namespace dfqtest;
using namespace opstest;

namespace {

// The host's arguments of one sample call; tests change what they need.
struct SampleCall {
  std::vector<std::string> names{"n", "r", "a", "", ""};
  std::vector<std::string> values{"*", "N", "N", "0.25, 0.25", ""};
  std::vector<std::string> when, then;
  int length = 0;
};

class SampleTest : public DagTest {
 protected:
  void SetUp() override {
    DagTest::SetUp();
    base = table("t");
  }
  Outcome sample(const SampleCall &c) {
    CStrings in{base}, name(c.names), value(c.values), ot{"o"}, os{""}, out{"x"};
    CStrings when(c.when.empty() ? std::vector<std::string>{""} : c.when);
    CStrings then(c.then.empty() ? std::vector<std::string>{""} : c.then);
    int length = c.length, rc = -1;
    dfq_sample(in, name, value, ot, os, out, when, then, &length, &rc);
    return outcome(rc, out[0]);
  }
  SampleCall cases(std::vector<std::string> when, std::vector<std::string> then,
                   const std::string &elseValue) {
    SampleCall c;
    c.values[3] = "";
    c.values[4] = elseValue;
    c.length = static_cast<int>(when.size());
    c.when = std::move(when);
    c.then = std::move(then);
    return c;
  }
  std::string base;
};

// The host's arguments of one ML call.
struct MLCall {
  std::vector<std::string> inputs;
  std::vector<std::string> tables{"o1"};
  std::vector<std::string> schemas{""};
  std::vector<std::string> queryNodeids;
  bool withQueryNodeids = false;
  int nodeidCount = -1;  // -1: the number of inputs
};

class MLTest : public DagTest {
 protected:
  void SetUp() override {
    DagTest::SetUp();
    a = table("ta");
    b = table("tb");
  }
  // Ids written to the host's buffers land in `ids`.
  Outcome ml(const MLCall &c) {
    CStrings in(c.inputs.empty() ? std::vector<std::string>{"1"} : c.inputs);
    CStrings name{"n"}, value{"call f(ta, tb)"}, ot(c.tables), os(c.schemas), fn{"ml_fn"};
    int count = c.nodeidCount >= 0 ? c.nodeidCount : static_cast<int>(c.inputs.size());
    int outputs = static_cast<int>(c.tables.size());
    CStrings out = CStrings::buffers(c.tables.size());
    CStrings q(c.queryNodeids.empty() ? std::vector<std::string>{""} : c.queryNodeids);
    int qCount = static_cast<int>(c.queryNodeids.size());
    int rc = -1;
    dfq_ml_query(in, name, value, ot, os, fn, &count, &outputs, out, &rc,
                 c.withQueryNodeids ? q.get() : nullptr,
                 c.withQueryNodeids ? &qCount : nullptr);
    ids.clear();
    for (size_t k = 0; k < out.size(); ++k) ids.push_back(out[k]);
    return outcome(rc, out[0]);
  }
  std::string queryType(const std::string &id) {
    return dagInstance()->getQueryType(std::stoll(id));
  }
  std::string a, b;
  std::vector<std::string> ids;
};

}  // namespace

// ---- sample --------------------------------------------------------------------------

TEST_F(SampleTest, FractionSampleWritesTheListAfterSample) {
  const Outcome r = sample(SampleCall{});
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(sqlOf(r.id), "select * from t SAMPLE 0.25, 0.25");
  const Node *n = nodeOf(r.id);
  EXPECT_EQ(n->getArgName(), "n");
  EXPECT_EQ(n->getCaseCount(), 0);
  EXPECT_EQ(n->getSampleFractions(), "0.25, 0.25");
}

TEST_F(SampleTest, StratifiedSampleListsItsCases) {
  SampleCall c = cases({"c1", "c2"}, {"10", "20"}, "5");
  c.values[1] = "Y";
  EXPECT_EQ(sqlOf(sample(c).id),
            "select * from t SAMPLE WITH REPLACEMENT WHEN c1 THEN 10 WHEN c2 THEN 20 ELSE 5 END");
  c.values[4] = "";
  EXPECT_EQ(sqlOf(sample(c).id),
            "select * from t SAMPLE WITH REPLACEMENT WHEN c1 THEN 10 WHEN c2 THEN 20 END");
}

TEST_F(SampleTest, SwitchesAcceptOnlyOneAndCapitalY) {
  auto sqlWith = [&](const std::string &replace, const std::string &randomized) {
    SampleCall c;
    c.values[0] = "a";
    c.values[1] = replace;
    c.values[2] = randomized;
    c.values[3] = "10";
    return sqlOf(sample(c).id);
  };
  EXPECT_EQ(sqlWith("1", "Y"), "select a from t SAMPLE WITH REPLACEMENT RANDOMIZED ALLOCATION 10");
  EXPECT_EQ(sqlWith("y", "1"), "select a from t SAMPLE RANDOMIZED ALLOCATION 10");
  EXPECT_EQ(sqlWith("yes", "true"), "select a from t SAMPLE 10");
}

TEST_F(SampleTest, SlotsZeroToTwoMustHoldText) {
  SampleCall c;
  c.names[2] = "";
  EXPECT_EQ(sample(c).rc, 1411);
  EXPECT_EQ(errorMessage(1411),
            "arg_name for sample should not be empty or null, value at 3 is not valid");
  c = SampleCall{};
  c.values[1] = "";
  EXPECT_EQ(sample(c).rc, 1412);
  EXPECT_EQ(errorMessage(1412),
            "arg_value for sample should not be empty or null, value at 2 is not valid");
}

TEST_F(SampleTest, SlotsThreeAndFourMayBeEmptyButNotNull) {
  CStrings in{base}, name{"n", "r", "a", "", ""}, value{"*", "N", "N", "0.5", ""};
  CStrings ot{"o"}, os{""}, out{"x"}, when{""}, then{""};
  int length = 0, rc = -1;
  dfq_sample(in, name, value, ot, os, out, when, then, &length, &rc);
  EXPECT_EQ(rc, 0);
  name.setNull(3);
  dfq_sample(in, name, value, ot, os, out, when, then, &length, &rc);
  EXPECT_EQ(rc, 1411);
  EXPECT_EQ(errorMessage(1411), "arg_name for sample should not be null, value at 4 is not valid");
  CStrings name2{"n", "r", "a", "", ""};
  value.setNull(4);
  dfq_sample(in, name2, value, ot, os, out, when, then, &length, &rc);
  EXPECT_EQ(rc, 1412);
  EXPECT_EQ(errorMessage(1412), "arg_value for sample should not be null, value at 5 is not valid");
}

TEST_F(SampleTest, ExactlyOneSamplingFormIsAccepted) {
  struct Case {
    SampleCall call;
    const char *message;
  };
  SampleCall both = cases({"c"}, {"1"}, "");
  both.values[3] = "0.1";
  SampleCall neither;
  neither.values[3] = "";
  SampleCall elseWithoutCases;
  elseWithoutCases.values[4] = "5";
  SampleCall negative = both;
  negative.length = -1;
  const Case refused[] = {
      {negative, "Length of list len_of_list cannot be negative"},
      {both, "Both list_of_fracs and then_list or when_list in same call are not valid"},
      {neither, "Both list_of_fracs and then_list or when_list in same call cannot be empty"},
      {elseWithoutCases, "else_list parameter is not valid if when_list and then_list are empty"},
  };
  for (const Case &c : refused) {
    const Outcome r = sample(c.call);
    EXPECT_EQ(r.rc, 1413) << c.message;
    EXPECT_EQ(r.message, c.message);
  }
}

TEST_F(SampleTest, LengthPointerIsCheckedAfterTheSlots) {
  CStrings in{base}, name{"n", "r", "a", "", ""}, value{"*", "N", "N", "0.5", ""};
  CStrings ot{"o"}, os{""}, out{"x"}, when{""}, then{""};
  int rc = -1;
  dfq_sample(in, name, value, ot, os, out, when, then, nullptr, &rc);
  EXPECT_EQ(rc, 1503);
  EXPECT_EQ(errorMessage(1503), "Length of list cannot be null pointer ");
  name.setNull(4);
  dfq_sample(in, name, value, ot, os, out, when, then, nullptr, &rc);
  EXPECT_EQ(rc, 1411);
}

TEST_F(SampleTest, ArgumentChecksRunInParameterOrder) {
  CStrings in{base}, name{"n", "r", "a", "", ""}, value{"*", "N", "N", "0.5", ""};
  CStrings ot{"o"}, os{""}, out{"x"}, when{""}, then{""};
  int length = 0, rc = -1;
  dfq_sample(in, name, value, ot, nullptr, out, nullptr, nullptr, &length, &rc);
  EXPECT_EQ(errorMessage(rc), "Char Char Null Pointer value encountered for argument: output_schema");
  dfq_sample(in, name, value, ot, os, nullptr, nullptr, nullptr, &length, &rc);
  EXPECT_EQ(errorMessage(rc),
            "Char Char Null Pointer value encountered for argument: nodeid_out_str");
  dfq_sample(in, name, value, ot, os, out, nullptr, nullptr, &length, &rc);
  EXPECT_EQ(errorMessage(rc), "Char Char Null Pointer value encountered for argument: when_list");
  dfq_sample(in, name, value, ot, os, out, when, nullptr, &length, &rc);
  EXPECT_EQ(errorMessage(rc), "Char Char Null Pointer value encountered for argument: then_list");
}

TEST_F(SampleTest, NullCaseEntriesAreRefusedWithoutBeingRead) {
  CStrings in{base}, name{"n", "r", "a", "", ""}, value{"*", "N", "N", "", ""};
  CStrings ot{"o"}, os{""}, out{"x"}, when{"c1", "c2"}, then{"1", "2"};
  int length = 3, rc = -1;  // one more than either list holds
  const size_t before = nodeCount();
  dfq_sample(in, name, value, ot, os, out, when, then, &length, &rc);
  EXPECT_EQ(rc, 1501);
  EXPECT_EQ(errorMessage(1501), "Char Char Null Pointer value encountered for argument: when_list");
  CStrings when3{"c1", "c2", "c3"};
  dfq_sample(in, name, value, ot, os, out, when3, then, &length, &rc);
  EXPECT_EQ(rc, 1501);
  EXPECT_EQ(errorMessage(1501), "Char Char Null Pointer value encountered for argument: then_list");
  EXPECT_EQ(nodeCount(), before);
}

TEST_F(SampleTest, InputIdUsesTheSetOperationWording) {
  for (const char *input : {"0", "abc"}) {
    base = input;
    const Outcome r = sample(SampleCall{});
    EXPECT_EQ(r.rc, 1326);
    EXPECT_EQ(r.message, "Invalid input nodeid for set operation");
  }
  base = "31";
  EXPECT_EQ(sample(SampleCall{}).rc, 1202);
}

TEST_F(SampleTest, EntryAndExitRecords) {
  const std::string log = logDuring([&] { sample(SampleCall{}); });
  EXPECT_NE(log.find("Entering dfq_sample.............."), std::string::npos);
  EXPECT_NE(log.find("Exiting dfq_sample.............."), std::string::npos);
}

// ---- ML query --------------------------------------------------------------------------

TEST_F(MLTest, SingleOutputAddsOneNode) {
  const size_t before = nodeCount();
  MLCall c;
  c.inputs = {a};
  const Outcome r = ml(c);
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(nodeCount(), before + 1);
  EXPECT_EQ(queryType(r.id), "ml_query_single_output");
  const Node *n = nodeOf(r.id);
  EXPECT_EQ(n->getFunctionName(), "ml_fn");
  EXPECT_EQ(n->getNodeType(), 2);
  EXPECT_EQ(n->getNodeNumOutputs(), 1);
  EXPECT_EQ(sqlOf(r.id), "call f(ta, tb)");
  EXPECT_EQ(sqlOf(r.id, true), "select * from o1");
}

TEST_F(MLTest, EveryExtraOutputIsAReferenceToTheMLNode) {
  MLCall c;
  c.inputs = {a, b};
  c.tables = {"o1", "o2", "o3"};
  c.schemas = {"s", "s", ""};
  const Outcome r = ml(c);
  ASSERT_TRUE(r.ok()) << r.message;
  ASSERT_EQ(ids.size(), 3u);
  const Node *mlNode = nodeOf(ids[0]);
  EXPECT_EQ(queryType(ids[0]), "ml_query_multi_output");
  EXPECT_EQ(mlNode->getNodeNumOutputs(), 3);
  EXPECT_EQ(mlNode->getInputEdgeNodes(), (std::vector<nodeid_t>{std::stoll(a), std::stoll(b)}));
  for (size_t k = 1; k < 3; ++k) {
    const Node *output = nodeOf(ids[k]);
    EXPECT_EQ(queryType(ids[k]), "reference");
    EXPECT_EQ(output->getArgName(), "source");
    EXPECT_TRUE(output->hasReferenceNode());
    EXPECT_EQ(output->getInputEdgeNodes(), std::vector<nodeid_t>{std::stoll(ids[0])});
    EXPECT_EQ(output->getOutputTable(), c.tables[k]);
    EXPECT_EQ(output->getOutputSchema(), c.schemas[k]);
    EXPECT_TRUE(output->getNodeidsIncaseofMultipleQueries().empty());
  }
  EXPECT_EQ(sqlOf(ids[1]), "call f(ta, tb)");
  EXPECT_EQ(sqlOf(ids[1], true), "select * from o2");
}

TEST_F(MLTest, QueryNodeidsAreKeptOnEveryNode) {
  MLCall c;
  c.inputs = {a};
  c.tables = {"o1", "o2"};
  c.schemas = {"", ""};
  c.queryNodeids = {a, b};
  c.withQueryNodeids = true;
  ASSERT_TRUE(ml(c).ok());
  const std::vector<nodeid_t> expected{std::stoll(a), std::stoll(b)};
  EXPECT_EQ(nodeOf(ids[0])->getNodeidsIncaseofMultipleQueries(), expected);
  EXPECT_EQ(nodeOf(ids[1])->getNodeidsIncaseofMultipleQueries(), expected);
}

TEST_F(MLTest, NoInputCountMakesANodeWithoutEdges) {
  MLCall c;
  c.inputs = {a};
  c.nodeidCount = 0;
  const Outcome r = ml(c);
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(nodeOf(r.id)->getNumEdges(), 0);
}

TEST_F(MLTest, InvalidInputIdsAreRefusedBeforeAnyNodeIsAdded) {
  const size_t before = nodeCount();
  MLCall c;
  c.inputs = {a, "0", b};
  const Outcome zero = ml(c);
  EXPECT_EQ(zero.rc, 1314);
  EXPECT_EQ(zero.message, "Invalid input nodeid for ml_query operation");
  c.inputs = {a, "424242"};
  EXPECT_EQ(ml(c).rc, 1202);
  EXPECT_EQ(nodeCount(), before);
}

TEST_F(MLTest, EmptyOutputTableIsRefusedForEveryOutputBeforeAnyNodeIsAdded) {
  const size_t before = nodeCount();
  for (const std::vector<std::string> &tables :
       {std::vector<std::string>{"", "o2"}, {"o1", ""}, {"o1", "o2", ""}}) {
    MLCall c;
    c.inputs = {a};
    c.tables = tables;
    c.schemas.assign(tables.size(), "s");
    const Outcome r = ml(c);
    EXPECT_EQ(r.rc, 1502);
    EXPECT_EQ(r.message, "Argument output_table is required, should NOT be an empty string");
  }
  EXPECT_EQ(nodeCount(), before);
}

TEST_F(MLTest, CountsAndFunctionNameAreCheckedNotRead) {
  CStrings in{a}, name{"n"}, value{"q"}, ot{"o1"}, os{""}, fn{"f"}, out = CStrings::buffers(1);
  int count = 1, outputs = 1, rc = -1;
  const size_t before = nodeCount();
  dfq_ml_query(in, name, value, ot, os, nullptr, &count, &outputs, out, &rc, nullptr, nullptr);
  EXPECT_EQ(rc, 1501);
  EXPECT_EQ(errorMessage(1501),
            "Char Char Null Pointer value encountered for argument: function_name");
  dfq_ml_query(in, name, value, ot, os, fn, nullptr, &outputs, out, &rc, nullptr, nullptr);
  EXPECT_EQ(rc, 1503);
  EXPECT_EQ(errorMessage(1503), "Integer Null Pointer value encountered: nodeid_count");
  dfq_ml_query(in, name, value, ot, os, fn, &count, nullptr, out, &rc, nullptr, nullptr);
  EXPECT_EQ(rc, 1503);
  EXPECT_EQ(errorMessage(1503), "Integer Null Pointer value encountered: num_outputs");
  for (int bad : {0, -3}) {
    outputs = bad;
    dfq_ml_query(in, name, value, ot, os, fn, &count, &outputs, out, &rc, nullptr, nullptr);
    EXPECT_EQ(rc, 1504);
    EXPECT_EQ(errorMessage(1504),
              "Argument num_outputs is required, should be greater than zero(0)");
  }
  outputs = 1;
  count = -1;
  dfq_ml_query(in, name, value, ot, os, fn, &count, &outputs, out, &rc, nullptr, nullptr);
  EXPECT_EQ(rc, 1000);
  EXPECT_EQ(nodeCount(), before);
}

TEST_F(MLTest, QueryNodeidListIsCheckedOnlyWhenBothAreGiven) {
  CStrings in{a}, name{"n"}, value{"q"}, ot{"o1"}, os{""}, fn{"f"}, out = CStrings::buffers(1);
  CStrings q{a};
  int count = 1, outputs = 1, qCount = -1, rc = -1;
  const size_t before = nodeCount();
  dfq_ml_query(in, name, value, ot, os, fn, &count, &outputs, out, &rc, q, &qCount);
  EXPECT_EQ(rc, 1504);
  EXPECT_EQ(errorMessage(1504),
            "Argument query_nodeids_count is required, should be greater than zero(0)");
  qCount = 2;  // more than the list holds
  dfq_ml_query(in, name, value, ot, os, fn, &count, &outputs, out, &rc, q, &qCount);
  EXPECT_EQ(rc, 1501);
  EXPECT_EQ(errorMessage(1501),
            "Char Char Null Pointer value encountered for argument: query_nodeids");
  EXPECT_EQ(nodeCount(), before);
  qCount = -1;  // unused without the list
  dfq_ml_query(in, name, value, ot, os, fn, &count, &outputs, out, &rc, nullptr, &qCount);
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(nodeOf(out[0])->getNodeidsIncaseofMultipleQueries().empty());
}

TEST_F(MLTest, MissingInputAndOutputBuffersAreRefusedBeforeAnyNodeIsAdded) {
  const size_t before = nodeCount();
  CStrings name{"n"}, value{"q"}, ot{"o1", "o2"}, os{"", ""}, fn{"f"};
  CStrings in{a};  // one id, two announced
  CStrings out = CStrings::buffers(2);
  int count = 2, outputs = 2, rc = -1;
  dfq_ml_query(in, name, value, ot, os, fn, &count, &outputs, out, &rc, nullptr, nullptr);
  EXPECT_EQ(rc, 1501);
  EXPECT_EQ(errorMessage(1501), "Char Char Null Pointer value encountered for argument: nodeid_in");
  count = 1;
  out.setNull(1);
  dfq_ml_query(in, name, value, ot, os, fn, &count, &outputs, out, &rc, nullptr, nullptr);
  EXPECT_EQ(rc, 1501);
  EXPECT_EQ(errorMessage(1501),
            "Char Char Null Pointer value encountered for argument: nodeid_out_str");
  EXPECT_EQ(nodeCount(), before);
}

TEST_F(MLTest, MissingLaterOutputFailsWhenReachedAndKeepsEarlierNodes) {
  const size_t before = nodeCount();
  CStrings in{a}, name{"n"}, value{"q"}, ot{"o1", "o2", "o3"}, os{"", "", ""}, fn{"f"};
  CStrings out = CStrings::buffers(3);
  ot.setNull(2);
  int count = 1, outputs = 3, rc = -1;
  dfq_ml_query(in, name, value, ot, os, fn, &count, &outputs, out, &rc, nullptr, nullptr);
  EXPECT_EQ(rc, 1000);
  EXPECT_EQ(errorMessage(1000), "Null pointer value encountered for argument: output_table[2]");
  EXPECT_EQ(nodeCount(), before + 2);  // the ML node and output 1
  EXPECT_EQ(out[0], "");               // no ids written
  CStrings ot2{"o1", "o2", "o3"};
  os.setNull(1);
  dfq_ml_query(in, name, value, ot2, os, fn, &count, &outputs, out, &rc, nullptr, nullptr);
  EXPECT_EQ(rc, 1000);
  EXPECT_EQ(errorMessage(1000), "Null pointer value encountered for argument: output_schema[1]");
}

TEST_F(MLTest, CommonArgumentChecksRunInParameterOrder) {
  CStrings in{a}, name{"n"}, value{"q"}, ot{""}, fn{"f"}, out = CStrings::buffers(1);
  int count = 1, outputs = 1, rc = -1;
  dfq_ml_query(in, name, nullptr, ot, nullptr, fn, &count, &outputs, nullptr, &rc, nullptr,
               nullptr);
  EXPECT_EQ(errorMessage(rc), "Char Char Null Pointer value encountered for argument: arg_value");
  dfq_ml_query(in, name, value, ot, nullptr, fn, &count, &outputs, nullptr, &rc, nullptr, nullptr);
  EXPECT_EQ(errorMessage(rc), "Argument output_table is required, should NOT be an empty string");
  CStrings ot2{"o"};
  dfq_ml_query(in, name, value, ot2, nullptr, nullptr, &count, &outputs, nullptr, &rc, nullptr,
               nullptr);
  EXPECT_EQ(errorMessage(rc),
            "Char Char Null Pointer value encountered for argument: output_schema");
  CStrings os{""};
  dfq_ml_query(in, name, value, ot2, os, nullptr, &count, &outputs, nullptr, &rc, nullptr,
               nullptr);
  EXPECT_EQ(errorMessage(rc),
            "Char Char Null Pointer value encountered for argument: nodeid_out_str");
}

TEST_F(MLTest, EntryAndExitRecords) {
  MLCall c;
  c.inputs = {a};
  const std::string log = logDuring([&] { ml(c); });
  for (const char *text : {"Entering dfq_ml_query..............", "Checking input arguments...",
                           "Calling dagBuilder method dfqMLQuery", "Entering dfqMLQuery...",
                           "Exiting dfqMLQuery...",
                           "copying/converting result nodeids to string array",
                           "Exiting dfq_ml_query.............."})
    EXPECT_NE(log.find(text), std::string::npos) << text;
}
