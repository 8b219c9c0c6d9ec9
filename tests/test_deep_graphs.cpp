// Long chains and stacked diamonds through the C API: every walk and every
// assembly step runs without deep recursion and in time that grows with the
// text produced, not with the routes through the graph.
#include <string>
#include <vector>

#include "opsSupport.h"
#include "testSupport.h"

using namespace dfqtest;
using opstest::callEntry;

namespace {

class DeepGraphTest : public DagTest {
 protected:
  std::string filter(const std::string &input, const std::string &condition,
                     const std::string &table) {
    const auto out = callEntry(dfq_filter, {input}, {"f"}, {condition}, table, "s");
    EXPECT_TRUE(out.ok()) << out.message;
    return out.id;
  }
  std::string join(const std::string &left, const std::string &right, const std::string &table) {
    const auto out = callEntry(dfq_join, {left, right}, {"inner", "l", "r", "s"},
                               {"l.k = r.k", "l", "r", "l.k"}, table, "s");
    EXPECT_TRUE(out.ok()) << out.message;
    return out.id;
  }

  // Statements of `id` as the host fetches them.
  std::vector<std::string> statements(const std::string &id) {
    CStrings in{id};
    int count = 0, rc = -1;
    dfq_gen_exec_queries(in, &count, &rc);
    EXPECT_EQ(rc, 0) << errorMessage(rc);
    if (rc != 0 || count <= 0) return {};
    std::vector<int> lengths(count);
    dfq_get_exec_querysize(in, &count, lengths.data(), &rc);
    std::vector<std::vector<char>> buffers;
    std::vector<char *> queries;
    for (int length : lengths) buffers.emplace_back(length);
    for (auto &b : buffers) queries.push_back(b.data());
    CStrings names = CStrings::buffers(count), types = CStrings::buffers(count),
             ids = CStrings::buffers(count);
    dfq_get_exec_query(in, &count, queries.data(), names, types, ids, &rc);
    EXPECT_EQ(rc, 0);
    return std::vector<std::string>(queries.begin(), queries.end());
  }
};

}  // namespace

TEST_F(DeepGraphTest, HundredThousandNodeChain) {
  std::string last = table("db.sales");
  const std::string condition = "amount > 1 and \"region\" <> 'north' and note = '" +
                                std::string(60, 'x') + "'";
  for (int i = 0; i < 100000; ++i) last = filter(last, condition, "f" + std::to_string(i));
  ASSERT_FALSE(last.empty());

  const std::vector<std::string> texts = statements(last);
  ASSERT_GT(texts.size(), 5u);  // about 12 MB of SQL, split below the limit
  size_t total = 0;
  for (const std::string &t : texts) {
    EXPECT_LT(t.size(), 921600u);
    total += t.size();
  }
  EXPECT_GT(total, 10000000u);

  // Show query, option 1 (statements) and option 2 (one query per node).
  CStrings in{last};
  int option = 1, rc = -1;
  std::vector<int> lengths(100001, 0);
  dfq_show_query_length(in, &option, lengths.data(), &rc);
  EXPECT_EQ(rc, 0) << errorMessage(rc);
  int nodes = 0;
  dfq_gen_full_dagpath(in, &nodes, &rc);
  EXPECT_EQ(nodes, 100000);
  option = 2;
  dfq_show_query_length(in, &option, lengths.data(), &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_GT(lengths[99999], 0);
  EXPECT_EQ(lengths[100000], 0);

  // Statements against the top node, and the state of the whole path.
  int count = 0;
  dfq_gen_queries_with_reference_to_topnode(in, &count, &rc);
  EXPECT_EQ(rc, 0) << errorMessage(rc);
  EXPECT_EQ(static_cast<size_t>(count), texts.size());
  int state = 1;
  count = 0;
  dfq_update_node_state(in, &state, &count, &rc);
  EXPECT_EQ(count, 100000);
}

TEST_F(DeepGraphTest, LadderOfThirtyDiamonds) {
  // About a billion routes lead from the top to the table; every shared
  // node is inlined where it is read, and statements split below the limit.
  std::string top = filter(table("db.t"), "k > 0", "d");
  for (int i = 0; i < 30; ++i) {
    const std::string l = filter(top, "k > 1", "l" + std::to_string(i));
    const std::string r = filter(top, "k > 2", "r" + std::to_string(i));
    top = join(l, r, "j" + std::to_string(i));
  }
  const std::vector<std::string> texts = statements(top);
  ASSERT_FALSE(texts.empty());
  for (const std::string &t : texts) EXPECT_LT(t.size(), 921600u);
  CStrings in{top};
  int nodes = 0, rc = -1;
  dfq_gen_full_dagpath(in, &nodes, &rc);
  EXPECT_EQ(nodes, 91);
}

TEST_F(DeepGraphTest, ChainOfMlQueriesEachOnTheOutputOfTheLast) {
  // Every ML query reads an output of the one before, which is not executed:
  // its statements are merged after it, down to the table.
  constexpr int kDepth = 3000;
  std::string input = filter(table("db.t"), "k > 0", "f");
  for (int i = 0; i < kDepth; ++i) {
    const std::string n = std::to_string(i);
    CStrings in{input}, name{"fit"}, value{"call fit" + n + "()"}, ot{"m" + n, "o" + n},
        os{"s", "s"}, fn{"fit"}, out = CStrings::buffers(2);
    int inputs = 1, outputs = 2, rc = -1;
    dfq_ml_query(in, name, value, ot, os, fn, &inputs, &outputs, out, &rc, nullptr, nullptr);
    ASSERT_EQ(rc, 0) << errorMessage(rc);
    input = out[1];
  }
  const std::vector<std::string> texts = statements(input);
  ASSERT_EQ(texts.size(), static_cast<size_t>(kDepth) + 1);
  EXPECT_EQ(texts.front(), "call fit" + std::to_string(kDepth - 1) + "()");
  EXPECT_EQ(texts.back(), "select * from db.t where k > 0");
}
