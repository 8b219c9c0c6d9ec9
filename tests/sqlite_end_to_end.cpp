// Generated statements run on SQLite. Pipelines are built through the C API,
// their statements created as views the way a host does (from the last
// statement to the first), and the rows compared with rows computed by hand,
// or, for random pipelines, with a reference database that holds one view
// per node made from the node's own query.
#include <algorithm>
#include <random>

#include "Resolver.h"
#include "assemblySupport.h"
#include "hostCalls.h"
#include "sqliteSupport.h"

using namespace asmtest;
using dfqtest::CStrings;

namespace {

using sqlitetest::Rows;

// ---- SQLite ------------------------------------------------------------------

class Database : public sqlitetest::SqliteDatabase {
 public:
  Database() {
    run("ATTACH ':memory:' AS s");
    run("create table s.sales(id integer, region text, amount integer)");
    run("insert into s.sales values (1,'north',100),(2,'south',250),(3,'north',300),"
        "(4,'east',50),(5,'south',75)");
    run("create table s.regions(region text, manager text)");
    run("insert into s.regions values ('north','ann'),('south','bob'),('west','cid')");
    run("create table s.t1(k integer, v integer)");
    run("insert into s.t1 values (1,10),(2,20),(3,30),(4,40),(5,50),(6,60)");
    run("create table s.t2(k integer, v integer)");
    run("insert into s.t2 values (2,5),(3,7),(3,9),(5,11),(8,13)");
  }

  // Creates the statements as views, from the last to the first.
  ::testing::AssertionResult create(const ExecQueryList &statements) {
    for (auto s = statements.rbegin(); s != statements.rend(); ++s) {
      const std::string error = run("create view " + s->name + " as " + s->query);
      if (!error.empty())
        return ::testing::AssertionFailure()
               << error << " creating " << s->name << " as " << s->query.substr(0, 300);
    }
    return ::testing::AssertionSuccess();
  }
};

// ---- the host's side of the C API ---------------------------------------------

class EndToEndTest : public dfqtest::DagTest, public hosttest::HostCalls {
 protected:
  EndToEndTest() : HostCalls("s") {}

  std::string table(const std::string &source) { return dfqtest::table(source); }

  // The host's round: fetch the statements, create them, mark the nodes it
  // created executed, read the node's rows.
  Rows materialise(const std::string &id, bool sorted = true) {
    const HostStatements got = hostStatements(id);
    EXPECT_EQ(got.rc, 0) << dfqtest::errorMessage(got.rc);
    EXPECT_TRUE(db.create(got.list));
    for (const ExecQueryEntry &s : got.list) {
      CStrings nid{s.nodeid};
      int state = 1, rc = -1;
      dfq_update_node_state_single(nid, &state, &rc);
    }
    return got.list.empty() ? Rows{} : db.rows("select * from " + got.list.front().name, sorted);
  }

  Database db;
};

// ---- pipelines with rows computed by hand ---------------------------------------

TEST_F(EndToEndTest, FilterThenSelect) {
  const std::string f = filter(table("\"s\".\"sales\""), "amount > 80", "f");
  EXPECT_EQ(materialise(select(f, "id, region", "sel")),
            Rows({{"1", "north"}, {"2", "south"}, {"3", "north"}}));
}

TEST_F(EndToEndTest, AssignKeepsTheColumnsOfAnInlinedInput) {
  const std::string f = filter(table("\"s\".\"sales\""), "amount > 80", "f");
  EXPECT_EQ(materialise(assign(f, "amount * 2 as doubled", "a")),
            Rows({{"1", "north", "100", "200"},
                  {"2", "south", "250", "500"},
                  {"3", "north", "300", "600"}}));
  const std::string f2 = filter(table("\"s\".\"sales\""), "amount < 100", "f2");
  EXPECT_EQ(materialise(assign(f2, "id, amount + 1 as next", "a2", "1")),
            Rows({{"4", "51"}, {"5", "76"}}));
}

TEST_F(EndToEndTest, InnerAndLeftJoins) {
  const std::string sales = table("\"s\".\"sales\"");
  const std::string managed = filter(table("\"s\".\"regions\""), "manager <> 'cid'", "rf");
  const std::string big = filter(sales, "amount > 80", "big");
  EXPECT_EQ(materialise(join(big, managed, "inner", "l.region = r.region",
                             "l.id as id, r.manager as manager", "j")),
            Rows({{"1", "ann"}, {"2", "bob"}, {"3", "ann"}}));
  const std::string small = filter(sales, "amount < 100", "small");
  EXPECT_EQ(materialise(join(small, managed, "LEFT", "l.region = r.region",
                             "l.id as id, r.manager as manager", "lj")),
            Rows({{"4", "NULL"}, {"5", "bob"}}));
}

TEST_F(EndToEndTest, GroupByWithAFilterBeforeTheAggregate) {
  const std::string f = filter(table("\"s\".\"sales\""), "amount > 80", "f");
  const std::string g = groupby(f, "|w region");
  EXPECT_EQ(materialise(aggregate(g, "sum(amount) as total", "agg")),
            Rows({{"north", "400"}, {"south", "250"}}));
  const std::string narrowed = filter(g, "amount < 300", "narrowed");
  EXPECT_EQ(materialise(aggregate(narrowed, "count(*) as n", "agg2")),
            Rows({{"north", "1"}, {"south", "1"}}));
}

TEST_F(EndToEndTest, GroupingNodeJoinedWithItselfAndWithItsInput) {
  const std::string f = filter(table("\"s\".\"sales\""), "amount > 80", "f");
  const std::string g = groupby(f, "|w region");
  const Rows expected{{"1", "100"}, {"2", "250"}, {"3", "300"}};
  EXPECT_EQ(materialise(join(g, g, "inner", "l.id = r.id", "l.id as id, r.amount as amount", "gg")),
            expected);
  EXPECT_EQ(materialise(join(g, f, "inner", "l.id = r.id", "l.id as id, r.amount as amount", "gf")),
            expected);
}

TEST_F(EndToEndTest, SetOperations) {
  const std::string sales = table("\"s\".\"sales\"");
  const std::string regions = table("\"s\".\"regions\"");
  const std::string f = filter(sales, "amount > 80", "f");
  const std::string rf = filter(regions, "manager <> 'cid'", "rf");
  EXPECT_EQ(materialise(setop("union", {f, rf}, "region", "u")), Rows({{"north"}, {"south"}}));
  EXPECT_EQ(materialise(setop("UnionAll", {f, rf}, "region", "ua")).size(), 5u);
  const std::string all = filter(sales, "amount > 0", "all");
  EXPECT_EQ(materialise(setop("intersect", {all, regions}, "region", "i")),
            Rows({{"north"}, {"south"}}));
}

TEST_F(EndToEndTest, OrderByKeepsItsOrder) {
  const std::string f = filter(table("\"s\".\"sales\""), "amount > 80", "f");
  EXPECT_EQ(materialise(orderby(f, "amount desc", "o"), false),
            Rows({{"3", "north", "300"}, {"2", "south", "250"}, {"1", "north", "100"}}));
}

TEST_F(EndToEndTest, LaterStatementsReadExecutedNodesByName) {
  const std::string f = filter(table("\"s\".\"sales\""), "amount > 80", "f");
  ASSERT_EQ(materialise(f).size(), 3u);
  const std::string s = select(f, "id", "later");
  const HostStatements got = hostStatements(s);
  ASSERT_EQ(got.list.size(), 1u);
  EXPECT_EQ(got.list[0].query, "select id from \"s\".\"f\"");
  EXPECT_EQ(materialise(s), Rows({{"1"}, {"2"}, {"3"}}));
}

TEST_F(EndToEndTest, StatementsSplitAtTheSizeLimitStillComposeTheRows) {
  const std::string sales = table("\"s\".\"sales\"");
  const std::string pad = "'" + std::string(500000, 'x') + "' <> ''";
  const std::string f1 = filter(sales, "amount > 0 and " + pad, "f1");
  const std::string f2 = filter(f1, "amount > 60 and " + pad, "f2");
  const std::string f3 = filter(f2, "amount < 300", "f3");
  EXPECT_EQ(hostStatements(f3).list.size(), 2u);
  EXPECT_EQ(materialise(select(f3, "id", "split")), Rows({{"1"}, {"2"}, {"5"}}));
}

TEST_F(EndToEndTest, JoinSplitAtItsFirstInputDefinesBothInputs) {
  const std::string sales = table("\"s\".\"sales\"");
  const std::string huge =
      filter(sales, "amount > 80 and '" + std::string(dfq::kSplitLimit, 'x') + "' <> ''", "huge");
  const std::string managed = filter(table("\"s\".\"regions\""), "manager <> 'cid'", "rf");
  const std::string j =
      join(huge, managed, "inner", "l.region = r.region", "l.id as id, r.manager as manager", "j");
  EXPECT_EQ(materialise(j), Rows({{"1", "ann"}, {"2", "bob"}, {"3", "ann"}}));
}

// ---- random pipelines against one view per node ------------------------------------

// Random pipelines over t1(k, v) and t2(k, v) whose every node has columns
// k and v (assigns may add one). The reference database holds a view per
// node made from its own query; the statements of the top node, at the real
// limit and at small ones, must give the same rows.
class RandomPipelineTest : public EndToEndTest {
 protected:
  struct Built {
    std::string id;
    bool grouping = false;
  };

  std::string randomNode(std::mt19937 &random, const std::vector<Built> &nodes,
                         std::vector<Built> &added, int n) {
    const std::string out = "r" + std::to_string(n);
    // Mostly the latest node, so that paths grow long.
    auto pick = [&] {
      return random() % 5 < 3 ? nodes.back().id : nodes[random() % nodes.size()].id;
    };
    switch (random() % 7) {
      case 0:
        return filter(pick(), "v % " + std::to_string(2 + random() % 3) + " <> 1", out);
      case 1:
        return select(pick(), "k, v + " + std::to_string(random() % 5) + " as v", out);
      case 2:
        return assign(pick(), "k, v * 2 as v", out, "1");
      case 3:
        return join(pick(), pick(), random() % 2 ? "inner" : "left", "l.k = r.k",
                    "l.k as k, l.v + coalesce(r.v, 0) as v", out);
      case 4: {
        static const char *ops[] = {"union", "unionall", "intersect"};
        return setop(ops[random() % 3], {pick(), pick()}, "k, v", out);
      }
      case 5: {
        const std::string g = groupby(pick(), "|w k");
        added.push_back({g, true});
        return aggregate(g, "sum(v) as v", out);
      }
      default:
        return filter(pick(), "k < " + std::to_string(3 + random() % 5), out);
    }
  }

  // One view per node from its own query, in creation order.
  void buildReference(Database &reference, const std::vector<Built> &nodes) {
    for (const Built &b : nodes) {
      if (b.grouping) continue;  // a grouping node shares its input's name
      const nodeid_t id = std::stoll(b.id);
      std::string name;
      const std::string query = dagInstance()->getExecQuery(id, name, false);
      ASSERT_EQ(reference.run("create view " + name + " as " + query), "") << query;
    }
  }

  ExecQueryList resolvedAt(const std::string &top, size_t limit) {
    DAG *dag = dagInstance();
    const nodeid_t id = std::stoll(top);
    dag->genDAGPath(id, false);
    ViewQueryMap map;
    for (nodeid_t member : dag->getDAGPath(id, false)) {
      std::string name;
      const std::string query = dag->getExecQuery(member, name, false);
      map.emplace(name, std::make_pair(query, member));
    }
    return dfq::literalResolve(*dag, id, map, limit).statements;
  }
};

TEST_F(RandomPipelineTest, StatementsGiveTheRowsOfOneViewPerNode) {
  std::mt19937 random(20240611);
  int splitLists = 0;
  for (int round = 0; round < 25; ++round) {
    close_dag();
    std::vector<Built> nodes{{table("\"s\".\"t1\"")}, {table("\"s\".\"t2\"")}};
    for (int n = 0; n < 10; ++n) {
      std::vector<Built> added;
      const std::string id = randomNode(random, nodes, added, round * 100 + n);
      nodes.insert(nodes.end(), added.begin(), added.end());
      nodes.push_back({id});
    }
    const std::string top = nodes.back().id;
    std::string topName;
    dagInstance()->getExecQuery(std::stoll(top), topName, false);
    Database reference;
    buildReference(reference, {nodes.begin() + 2, nodes.end()});
    const Rows expected = reference.rows("select * from " + topName);
    for (size_t limit : {dfq::kSplitLimit, size_t{400}, size_t{150}}) {
      Database target;
      const ExecQueryList statements = resolvedAt(top, limit);
      if (statements.size() > 1) ++splitLists;
      ASSERT_TRUE(target.create(statements)) << "round " << round << " limit " << limit;
      ASSERT_EQ(target.rows("select * from " + topName), expected)
          << "round " << round << " limit " << limit;
    }
  }
  EXPECT_GT(splitLists, 20);  // the small limits did split
}


// ---- random pipelines with ML queries -----------------------------------------------

// The same pipelines with ML queries among them. The host runs each ML call
// through a stand-in that creates every output of the ML node from its
// input (output j adds j to v) and reads the nodes the call depends on; the
// reference database holds the same stand-ins.
class MlPipelineTest : public RandomPipelineTest {
 protected:
  struct MlNode {
    std::string input;                 // name of its input
    std::vector<std::string> outputs;  // names, output 0 first
    std::vector<std::string> dependencies;
  };

  // A base table's name is its source.
  static std::string nameOfNode(const std::string &id) {
    std::string name;
    dagInstance()->getExecQuery(std::stoll(id), name, false);
    if (!name.empty()) return name;
    return std::string(dagInstance()->getNode(std::stoll(id))->getArgValue());
  }

  std::string standIn(const MlNode &ml, size_t output) const {
    std::string sql = "select k, v + " + std::to_string(output) + " as v from " + ml.input;
    for (const std::string &dependency : ml.dependencies)
      sql += (dependency == ml.dependencies.front() ? " where " : " and ") +
             std::string("(select count(*) from ") + dependency + ") >= 0";
    return sql;
  }

  // An ML query on a node that is not a grouping node, with one to three
  // outputs and sometimes a dependency; its output nodes join `nodes`.
  void addMl(std::mt19937 &random, std::vector<Built> &nodes, int n) {
    std::vector<std::string> candidates;
    for (const Built &b : nodes)
      if (!b.grouping) candidates.push_back(b.id);
    const std::string input = random() % 2 ? candidates.back() : candidates[random() % candidates.size()];
    const int outputs = 1 + static_cast<int>(random() % 3);
    MlNode ml{nameOfNode(input), {}, {}};
    std::vector<std::string> tables, dependencyIds;
    for (int k = 0; k < outputs; ++k) tables.push_back("m" + std::to_string(n) + "_" + std::to_string(k));
    if (outputs > 1 && random() % 2) {
      dependencyIds.push_back(candidates[random() % candidates.size()]);
      ml.dependencies.push_back(nameOfNode(dependencyIds.back()));
    }
    // With one output the text is inlined: it is the stand-in itself. Like
    // a real call, it names the tables it creates.
    const std::string text = standIn(MlNode{ml.input, {}, {}}, 0) + " /* " + tables[0] + " */";
    CStrings in{input}, name{"fit"}, value{text}, ot(tables),
        os(std::vector<std::string>(tables.size(), "s")), fn{"fit"}, deps(dependencyIds);
    CStrings out = CStrings::buffers(tables.size());
    int inputs = 1, count = outputs, depCount = static_cast<int>(dependencyIds.size()), rc = -1;
    dfq_ml_query(in, name, value, ot, os, fn, &inputs, &count, out, &rc, deps, &depCount);
    ASSERT_EQ(rc, 0) << dfqtest::errorMessage(rc);
    for (int k = 0; k < outputs; ++k) {
      nodes.push_back({out[static_cast<size_t>(k)]});
      ml.outputs.push_back(nameOfNode(out[static_cast<size_t>(k)]));
      mlOf[out[static_cast<size_t>(k)]] = outputs > 1 ? out[0] : "";
    }
    if (outputs > 1) mlNodes[out[0]] = ml;
  }

  // The ML node whose call created output `id`, if any.
  const MlNode *mlNodeOf(const std::string &id) const {
    const auto ml = mlOf.find(id);
    return ml == mlOf.end() || ml->second.empty() ? nullptr : &mlNodes.at(ml->second);
  }

  // One view per node: its own query, or the stand-in of its ML call.
  void buildReferenceWithMl(Database &reference, const std::vector<Built> &nodes) {
    for (const Built &b : nodes) {
      if (b.grouping) continue;
      if (const MlNode *ml = mlNodeOf(b.id)) {
        const std::string name = nameOfNode(b.id);
        const size_t k = static_cast<size_t>(
            std::find(ml->outputs.begin(), ml->outputs.end(), name) - ml->outputs.begin());
        ASSERT_EQ(reference.run("create view " + name + " as " + standIn(*ml, k)), "");
        continue;
      }
      std::string name;
      const std::string query = dagInstance()->getExecQuery(std::stoll(b.id), name, false);
      ASSERT_EQ(reference.run("create view " + name + " as " + query), "") << query;
    }
  }

  // Creates the statements from the last to the first, each ML call through
  // its stand-ins.
  ::testing::AssertionResult createWithStandIns(Database &target, const ExecQueryList &list) {
    for (auto s = list.rbegin(); s != list.rend(); ++s) {
      const bool mlCall = s->queryType == "reference" || s->queryType == "ml_query_multi_output";
      const MlNode *ml = mlCall ? mlNodeOf(s->nodeid) : nullptr;
      if (mlCall && ml == nullptr)
        return ::testing::AssertionFailure() << "an ML call of an unknown node " << s->nodeid;
      std::vector<std::pair<std::string, std::string>> views;
      if (ml)
        for (size_t k = 0; k < ml->outputs.size(); ++k) views.push_back({ml->outputs[k], standIn(*ml, k)});
      else
        views.push_back({s->name, s->query});
      for (const auto &[name, sql] : views) {
        const std::string error = target.run("create view " + name + " as " + sql);
        if (!error.empty())
          return ::testing::AssertionFailure()
                 << error << " creating " << name << " as " << sql.substr(0, 300);
      }
    }
    return ::testing::AssertionSuccess();
  }

  std::map<std::string, std::string> mlOf;  // output id -> ML node id ("" for one output)
  std::map<std::string, MlNode> mlNodes;
};

TEST_F(MlPipelineTest, StatementsWithMlCallsGiveTheRowsOfOneViewPerNode) {
  std::mt19937 random(1414);
  int mlLists = 0;
  for (int round = 0; round < 40; ++round) {
    close_dag();
    mlOf.clear();
    mlNodes.clear();
    std::vector<Built> nodes{{table("\"s\".\"t1\"")}, {table("\"s\".\"t2\"")}};
    for (int n = 0; n < 10; ++n) {
      if (random() % 3 == 0) {
        addMl(random, nodes, round * 100 + n);
        if (HasFatalFailure()) return;
        continue;
      }
      std::vector<Built> added;
      const std::string id = randomNode(random, nodes, added, round * 100 + n);
      nodes.insert(nodes.end(), added.begin(), added.end());
      nodes.push_back({id});
    }
    Database reference;
    buildReferenceWithMl(reference, {nodes.begin() + 2, nodes.end()});
    // Every node that is not a grouping node, each in a fresh database.
    for (size_t i = 2; i < nodes.size(); ++i) {
      if (nodes[i].grouping) continue;
      const HostStatements got = hostStatements(nodes[i].id);
      ASSERT_EQ(got.rc, 0) << dfqtest::errorMessage(got.rc);
      const std::string name = nameOfNode(nodes[i].id);
      Database target;
      ASSERT_TRUE(createWithStandIns(target, got.list)) << "round " << round << " node " << name;
      ASSERT_EQ(target.rows("select * from " + name), reference.rows("select * from " + name))
          << "round " << round << " node " << name;
      mlLists += std::any_of(got.list.begin(), got.list.end(), [&](const ExecQueryEntry &s) {
        return mlNodeOf(s.nodeid) != nullptr;
      });
    }
  }
  EXPECT_GT(mlLists, 100);
}

}  // namespace
