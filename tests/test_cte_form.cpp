// The cte statement form: the option, and the statements over random graphs
// against the nested form's (the rows they give are compared on engines in
// sqlite_dialects.cpp).
#include <algorithm>
#include <random>
#include <set>

#include "Resolver.h"
#include "ResolverCte.h"
#include "assemblySupport.h"
#include "randomGraph.h"

namespace {

using dfqtest::CStrings;

class CteFormTest : public asmtest::GraphTest {
 protected:
  int setOption(const std::string &name, const std::string &value) {
    CStrings n{name}, v{value};
    int rc = -1;
    dfq_set_option(n, v, &rc);
    return rc;
  }
  std::string option(const std::string &name) {
    CStrings n{name};
    auto out = CStrings::buffers(1, 16);
    int size = 16, rc = -1;
    dfq_get_option(n, out, &size, &rc);
    return rc == 0 ? out[0] : "error " + std::to_string(rc);
  }
  void setForm(dfq::Form form) { dag->setForm(form); }

  static std::vector<std::string> identities(const ExecQueryList &list) {
    std::vector<std::string> ids;
    for (const ExecQueryEntry &e : list) ids.push_back(e.name + " " + e.queryType + " " + e.nodeid);
    return ids;
  }
};

// Names and values are read in any case, with the dialect's codes; the form
// may change while nodes exist, and a node not executed then writes its
// statements in the new form instead of handing back those it kept.
TEST_F(CteFormTest, OptionSetsTheFormAtAnyTimeAndStoredStatementsFollowIt) {
  EXPECT_EQ(option("form"), "nested");
  EXPECT_EQ(setOption("FORM", "Cte"), 0);
  EXPECT_EQ(option("Form"), "cte");
  EXPECT_EQ(setOption("form", "inline"), 1602);
  EXPECT_EQ(dfqtest::errorMessage(1602), "Invalid value inline for option form (nested or cte)");
  EXPECT_EQ(setOption("forms", "cte"), 1601);
  EXPECT_EQ(option("form"), "cte");

  EXPECT_EQ(setOption("form", "nested"), 0);
  const nodeid_t t = base("\"d\".\"t\"");
  const nodeid_t f = filter(t, "a > 1", "f");
  const nodeid_t g = join(f, f, "l.a = r.a", "g");
  const std::string id = std::to_string(g);
  const auto nested = asmtest::hostStatements(id);
  ASSERT_EQ(nested.rc, 0);
  ASSERT_EQ(nested.list.size(), 1u);
  EXPECT_EQ(nested.list[0].query.find("with "), std::string::npos);

  EXPECT_EQ(setOption("form", "cte"), 0);
  const auto cte = asmtest::hostStatements(id);
  ASSERT_EQ(cte.rc, 0);
  ASSERT_EQ(cte.list.size(), 1u);
  EXPECT_EQ(cte.list[0].query,
            "with f as (select * from \"d\".\"t\" where a > 1)\n"
            "select * from f as l inner join f as r on l.a = r.a");
  EXPECT_EQ(identities(cte.list), identities(nested.list));

  // An executed node keeps the statements that made its table.
  CStrings in{id};
  int state = 1, rc = -1;
  dfq_update_node_state_single(in, &state, &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(setOption("form", "nested"), 0);
  EXPECT_EQ(dag->getNode(g)->execQueriesRef(), cte.list);
}

// Names come from the output names, differ from every word of the
// statement and from reserved words, and each expression starts a line.
TEST_F(CteFormTest, NamesAreReadableUniqueAndNeverAWordTheStatementReads) {
  setForm(dfq::Form::Cte);
  const nodeid_t t = base("\"d\".\"t\"");
  const nodeid_t order = filter(t, "amount > 1", "order");
  const nodeid_t amount = filter(order, "amount > 2", "Amount", "s");
  const nodeid_t same = filter(order, "amount > 3", "amount", "x");
  const nodeid_t j = join(amount, same, "l.id = r.id", "j");
  const nodeid_t top = join(j, order, "l.id = r.id", "top");
  const auto got = asmtest::hostStatements(std::to_string(top));
  ASSERT_EQ(got.rc, 0);
  ASSERT_EQ(got.list.size(), 1u);
  EXPECT_EQ(got.list[0].query,
            "with order_2 as (select * from \"d\".\"t\" where amount > 1),\n"
            "amount_2 as (select * from order_2 as temp_table where amount > 2),\n"
            "amount_3 as (select * from order_2 as temp_table where amount > 3),\n"
            "j as (select * from amount_2 as l inner join amount_3 as r on l.id = r.id)\n"
            "select * from j as l inner join order_2 as r on l.id = r.id");
}

// Over random graphs (shared names, executed middles, ML nodes, stray
// quotes): the fast and the literal resolver write the same cte statements,
// byte for byte, at any split limit; where nothing splits, the statements
// and ML hand-overs are the nested form's, one for one.
TEST_F(CteFormTest, RandomGraphsGiveTheNestedFormsStatementsInCteForm) {
  std::mt19937 rng(2107);
  int compared = 0, withReuse = 0;
  for (int round = 0; round < 200; ++round) {
    close_dag();
    SetUp();
    dfqtest::RandomGraph graph(
        *dag, [&] { return static_cast<std::uint32_t>(rng()); }, round % 2 == 1);
    graph.build(4 + static_cast<int>(rng() % 20));
    for (nodeid_t id : graph.derived()) {
      const ViewQueryMap map = graph.pathMap(id, false);
      if (map.empty()) continue;
      setForm(dfq::Form::Nested);
      dfq::ResolvedQueries nested;
      try {
        nested = dfq::literalResolve(*dag, id, map);
      } catch (const std::exception &) {
        continue;  // a graph the resolvers refuse alike (checked elsewhere)
      }
      setForm(dfq::Form::Cte);
      for (size_t limit : {size_t{60} + rng() % 600, dfq::kSplitLimit}) {
        const dfq::ResolvedQueries literal = dfq::literalResolve(*dag, id, map, limit);
        const dfq::ResolvedQueries fast = dfq::fastResolve(*dag, id, map, limit);
        ASSERT_EQ(literal.statements, fast.statements) << "round " << round << " node " << id;
        ASSERT_EQ(literal.handOvers, fast.handOvers);
        if (limit != dfq::kSplitLimit || nested.statements.size() != 1) continue;
        ASSERT_EQ(identities(literal.statements), identities(nested.statements))
            << "round " << round << " node " << id;
        ASSERT_EQ(literal.handOvers, nested.handOvers);
        ++compared;
        if (literal.statements[0].query.size() < nested.statements[0].query.size()) ++withReuse;
      }
    }
  }
  EXPECT_GT(compared, 500);
  EXPECT_GT(withReuse, 50);  // statements shorter than the nested ones
}

// A self-join ladder: the nested statement doubles at every level, the cte
// statement grows by one expression a level (default dialect: no cuts).
TEST_F(CteFormTest, SelfJoinLadderGrowsLinearly) {
  setForm(dfq::Form::Cte);
  nodeid_t last = filter(base("\"d\".\"t\""), "a > 0", "l0");
  std::vector<size_t> sizes;
  for (int level = 1; level <= 30; ++level) {
    std::string name = "l";
    name += std::to_string(level);
    last = join(last, last, "x.a = y.a", name);
    const auto got = asmtest::hostStatements(std::to_string(last));
    ASSERT_EQ(got.rc, 0);
    ASSERT_EQ(got.list.size(), 1u);
    sizes.push_back(got.list[0].query.size());
  }
  for (size_t i = 1; i < sizes.size(); ++i) EXPECT_LT(sizes[i] - sizes[i - 1], 100u) << i;
  EXPECT_LT(sizes.back(), 30u * 100);
}

}  // namespace

namespace {

// Chains of single-input nodes, some executed, some with quoted names in
// their texts, some naming their grouping after their input: the cte
// statements written from the nodes, split at random limits, are the scan's,
// byte for byte, and so is the size announced for each.
TEST_F(CteFormTest, ChainsWrittenFromTheirNodesAreTheScansStatements) {
  std::mt19937 rng(2121);
  const char *const kinds[] = {"filter", "select", "aggregate", "sample", "groupby"};
  int chained = 0, split = 0;
  for (int round = 0; round < 200; ++round) {
    close_dag();
    SetUp();
    setForm(dfq::Form::Cte);
    nodeid_t last = base(rng() % 2 ? "db.t" : "\"db\".\"t\"");
    const int length = 1 + static_cast<int>(rng() % 30);
    // Names of one first letter (words read sixteen characters at a time
    // against it) or of many; texts read names of other levels in either
    // case, some with a suffix.
    const std::string firsts = rng() % 2 ? "f" : "fGhX_$";
    const auto nameOf = [&](int i) {
      return std::string(1, firsts[static_cast<size_t>(i) % firsts.size()]) + std::to_string(i);
    };
    for (int i = 0; i < length; ++i) {
      std::string text(rng() % 120, 'c');
      if (rng() % 4 == 0) text += " and \"q\" > 1 and f" + std::to_string(i) + " = 2";
      if (rng() % 3 == 0) {
        std::string other = nameOf(static_cast<int>(rng() % length));
        if (rng() % 2) std::transform(other.begin(), other.end(), other.begin(), ::toupper);
        text += std::string(rng() % 20, 'd') + " or " + other + (rng() % 2 ? "_2" : "") + " < 3";
      }
      const char *kind = kinds[rng() % (rng() % 8 == 0 ? 5 : 4)];
      // Some levels take an earlier level's table name in another schema:
      // equal names are told apart in the order the statement lists them.
      const bool again = i > 0 && rng() % 5 == 0;
      const std::string table =
          again ? nameOf(static_cast<int>(rng() % static_cast<unsigned>(i))) : nameOf(i);
      last = std::string(kind) == "groupby"
                 ? groupby(last, "x")
                 : node(kind, text, {last}, table, again ? "s" + std::to_string(i) : "s");
      if (i + 1 < length && rng() % 10 == 0) dag->updateNodeState(last, 1);
    }
    const size_t limit = 50 + rng() % 3000;
    if (dag->genDAGPath(last, false) == 0) continue;
    const size_t pathSize = dag->dagPathRef(last, false).size();
    const std::vector<SplicedStatement> chain = dfq::cteChainOf(*dag, last, pathSize, limit);
    if (chain.empty()) continue;
    const dfq::ResolvedQueries scan = dfq::literalResolve(*dag, last, pathMap(last), limit);
    ASSERT_EQ(chain.size(), scan.statements.size()) << "round " << round;
    for (size_t i = 0; i < chain.size(); ++i) {
      std::string written(chain[i].size() + 8, '#');
      ASSERT_EQ(chain[i].write(written.data()), written.data() + chain[i].size());
      ASSERT_EQ(written.substr(chain[i].size()), std::string(8, '#')) << "written past its size";
      ASSERT_EQ(chain[i].str(), scan.statements[i].query) << "round " << round << " #" << i;
    }
    ++chained;
    split += chain.size() > 1 ? 1 : 0;
  }
  EXPECT_GT(chained, 100);
  EXPECT_GT(split, 20);
}


// The expressions' names against a plain reading of how they are made:
// the node's output name lowered (other characters '_', "t_" before one
// that does not begin with a letter), then "_2", "_3"... while it is an
// earlier name, a reserved word, or any word of the texts (any case).
// Names and words are drawn from a few letters so that they clash often, with one
// or two first letters (a chain's names) or many.
TEST_F(CteFormTest, NamesAgreeWithAPlainReadingOverRandomNamesAndTexts) {
  std::mt19937 rng(2626);
  const auto pick = [&](std::string_view from) { return from[rng() % from.size()]; };
  const auto word = [&](std::string_view letters) {
    std::string w(1, pick(letters));
    for (size_t n = rng() % 4; n > 0; --n) w += pick("fFgo1_");
    if (rng() % 3 == 0) w += "_" + std::to_string(rng() % 4);
    return w;
  };
  const auto lowered = [](std::string w) {
    for (char &c : w) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return w;
  };
  const std::set<std::string> reserved = {"or", "order", "for", "from", "full", "on"};
  int suffixed = 0;
  for (int round = 0; round < 300; ++round) {
    const std::string_view letters = round % 2 ? "fF" : "fFgGoOr1_$";
    const nodeid_t t = base("db.t");
    std::vector<const Node *> nodes;
    for (size_t n = 1 + rng() % 12; n > 0; --n) {
      const std::string table =
          rng() % 8 == 0 ? std::string(1, pick("or")) + (rng() % 2 ? "r" : "n") : word(letters);
      nodes.push_back(dag->getNode(filter(t, "x", table)));
      ASSERT_NE(nodes.back(), nullptr);
    }
    std::vector<std::string> texts(1 + rng() % 3);
    for (std::string &text : texts)
      for (size_t n = rng() % 12; n > 0; --n) text += word(letters) + std::string(1, pick(" .(\"\xc3"));

    std::set<std::string> taken(reserved);
    for (const std::string &text : texts)
      for (size_t i = 0; i < text.size();) {
        size_t j = i;
        while (j < text.size() && (std::isalnum(static_cast<unsigned char>(text[j])) ||
                                   text[j] == '_' || text[j] == '$' || (text[j] & 0x80)))
          ++j;
        // No name may equal any word the statement reads.
        taken.insert(lowered(text.substr(i, j - i)));
        i = j == i ? i + 1 : j;
      }
    std::vector<std::string> expected;
    for (const Node *node : nodes) {
      std::string b;
      for (char c : lowered(std::string(node->getOutputTable())))
        b += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      if (!std::isalpha(static_cast<unsigned char>(b[0]))) b = "t_" + b;
      std::string name = b;
      for (int k = 2; taken.count(name) != 0; ++k) name = b + "_" + std::to_string(k);
      suffixed += name != b ? 1 : 0;
      taken.insert(name);
      expected.push_back(name);
    }
    const std::vector<std::string> names =
        dfq::cteNames(nodes, [&](const std::function<void(std::string_view)> &read) {
          for (const std::string &text : texts) read(text);
        });
    ASSERT_EQ(names, expected) << "round " << round;
  }
  EXPECT_GT(suffixed, 100);
}
}  // namespace

namespace {

// In a portable dialect an expression the nested form would copy up to 8
// times is left to the planner, one copied more often is materialised: in a
// ladder the copies double at every level down.
TEST_F(CteFormTest, ExpressionsCopiedMoreThanEightTimesAreMaterialised) {
  dag->setDialect(dfq::Dialect::PostgreSQL);
  setForm(dfq::Form::Cte);
  nodeid_t last = filter(base("\"d\".\"t\""), "a > 0", "l0");
  for (int level = 1; level <= 6; ++level) {
    std::string name = "l";
    name += std::to_string(level);
    last = join(last, last, "l.a = r.a", name);
  }
  const auto got = asmtest::hostStatements(std::to_string(last));
  ASSERT_EQ(got.rc, 0);
  ASSERT_EQ(got.list.size(), 1u);
  const std::string &q = got.list[0].query;
  for (const char *materialised : {"l0 as materialized (", "l1 as materialized (",
                                   "l2 as materialized (", "l3 as not materialized (",
                                   "l4 as not materialized (", "l5 as not materialized ("})
    EXPECT_NE(q.find(materialised), std::string::npos) << materialised << " in " << q;
}

}  // namespace
