// Speed of the library as a host sees it: node creation through the C API,
// statement generation for long chains, joins, set operations, diamonds and
// ML nodes, show queries and top-node statements, with memcpy of the same
// number of bytes as the floor.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DAG.h"
#include "DagBuilder.h"
#include "EntryLock.h"
#include "Resolver.h"
#include "dfq.h"

namespace {

// ---- calling the C API like a host -----------------------------------------

struct Args {
  std::vector<std::string> values;
  std::vector<std::vector<char>> buffers;
  std::vector<char *> ptrs;
  explicit Args(std::vector<std::string> v, size_t room = 32) : values(std::move(v)) {
    for (auto &s : values) {
      buffers.emplace_back(std::max(room, s.size() + 1), '\0');
      std::memcpy(buffers.back().data(), s.c_str(), s.size() + 1);
    }
    for (auto &b : buffers) ptrs.push_back(b.data());
    ptrs.push_back(nullptr);
  }
  operator char **() { return ptrs.data(); }
};

std::string table(const std::string &source) {
  Args name({"source"}), value({source}), empty({""}), out({""}, 21);
  int rc = 0;
  dfq_table(name, value, empty, empty, out, &rc);
  return out.buffers[0].data();
}

std::string filter(const std::string &input, const std::string &cond, const std::string &out) {
  Args in({input}), name({"filter"}), value({cond}), ot({out}), os({"work"}), id({""}, 21);
  int rc = 0;
  dfq_filter(in, name, value, ot, os, id, &rc);
  return id.buffers[0].data();
}

std::string join(const std::string &l, const std::string &r, const std::string &out) {
  Args in({l, r}), name({"inner", "l", "r", "s"}), value({"l.k = r.k", "l", "r", "*"}),
      ot({out}), os({"work"}), id({"x"}, 21);
  int rc = 0;
  dfq_join(in, name, value, ot, os, id, &rc);
  return id.buffers[0].data();
}

// prefix + n + suffix, built by appending (g++ 12 warns falsely on some
// chains of operator+ at -O2).
std::string label(const char *prefix, long n, const char *suffix = "") {
  std::string text(prefix);
  text += std::to_string(n);
  text += suffix;
  return text;
}

std::string condition(int i) {
  std::string c = "amount > " + std::to_string(i) + " and region <> 'r" + std::to_string(i) + "'";
  while (c.size() < 200) c += " and flag_" + std::to_string(c.size()) + " = 1";
  return c;
}

// A chain of `n` filters over one table; returns the last node's id.
std::string filterChain(int n, const std::string &prefix = "f") {
  std::string id = table("db.sales");
  for (int i = 0; i < n; ++i) id = filter(id, condition(i), label(prefix.c_str(), i));
  return id;
}

// Drops the statements cached on `id`, so the next request regenerates them.
void forgetStatements(const std::string &id) {
  Node *node = dagInstance()->getNode(std::stoll(id));
  node->setListofExecQueries({});
  node->setListofQueriesandViews({});
}

// The host's buffers for the statements of one node, four per statement,
// grown when a generation needs more room and otherwise reused, as a host
// that fetches the same node's statements again keeps them.
struct HostBuffers {
  std::vector<std::vector<char>> q, n, t, ids;
  std::vector<char *> qp, np, tp, ip;

  void fit(const std::vector<int> &lengths) {
    const size_t count = lengths.size();
    if (q.size() < count) {
      q.resize(count);
      n.resize(count, std::vector<char>(512));
      t.resize(count, std::vector<char>(64));
      ids.resize(count, std::vector<char>(21));
    }
    qp.clear(), np.clear(), tp.clear(), ip.clear();
    for (size_t i = 0; i < count; ++i) {
      if (q[i].size() < static_cast<size_t>(lengths[i])) q[i].resize(lengths[i]);
      qp.push_back(q[i].data());
      np.push_back(n[i].data());
      tp.push_back(t[i].data());
      ip.push_back(ids[i].data());
    }
  }
};

// Generates and fetches every statement of `id`; returns their total bytes.
size_t generateAndFetch(const std::string &id, HostBuffers &buffers) {
  Args in({id});
  int count = 0, rc = 0;
  dfq_gen_exec_queries(in, &count, &rc);
  if (rc != 0 || count <= 0) return 0;
  std::vector<int> lengths(count);
  dfq_get_exec_querysize(in, &count, lengths.data(), &rc);
  size_t bytes = 0;
  for (int length : lengths) bytes += length;
  buffers.fit(lengths);
  dfq_get_exec_query(in, &count, buffers.qp.data(), buffers.np.data(), buffers.tp.data(),
                     buffers.ip.data(), &rc);
  return bytes;
}

size_t generateAndFetch(const std::string &id) {
  HostBuffers buffers;
  return generateAndFetch(id, buffers);
}

void reportBytes(benchmark::State &state, size_t bytesPerIteration) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytesPerIteration));
  state.counters["statement_bytes"] = static_cast<double>(bytesPerIteration);
}

// Times the generation and fetch of `top`'s statements from scratch, then
// closes the DAG instance.
void measureGeneration(benchmark::State &state, const std::string &top) {
  size_t bytes = 0;
  HostBuffers buffers;
  for (auto _ : state) {
    state.PauseTiming();
    forgetStatements(top);
    state.ResumeTiming();
    bytes = generateAndFetch(top, buffers);
  }
  reportBytes(state, bytes);
  close_dag();
}

// ---- node creation -------------------------------------------------------------

constexpr int kBatch = 1000;

template <class Create>
void nodeCreation(benchmark::State &state, Create create) {
  for (auto _ : state) {
    state.PauseTiming();
    close_dag();
    const std::string base = table("db.sales");
    state.ResumeTiming();
    for (int i = 0; i < kBatch; ++i) create(base);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  close_dag();
}

void BM_CreateFilter(benchmark::State &state) {
  Args name({"filter"}), value({"amount > 100"}), ot({"out"}), os({"work"}), id({""}, 21);
  nodeCreation(state, [&](const std::string &base) {
    Args in({base});
    int rc = 0;
    dfq_filter(in, name, value, ot, os, id, &rc);
  });
}
BENCHMARK(BM_CreateFilter);

void BM_CreateFilterPreparedArgs(benchmark::State &state) {
  // The call alone: the host's argument arrays are built once.
  Args name({"filter"}), value({"amount > 100"}), ot({"out"}), os({"work"}), id({""}, 21);
  for (auto _ : state) {
    state.PauseTiming();
    close_dag();
    Args in({table("db.sales")});
    state.ResumeTiming();
    for (int i = 0; i < kBatch; ++i) {
      int rc = 0;
      dfq_filter(in, name, value, ot, os, id, &rc);
    }
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  close_dag();
}
BENCHMARK(BM_CreateFilterPreparedArgs);

// The cheapest entry: one lookup in the graph, so what every call costs
// besides its work (the call frame, its lock and checks) is seen.
void BM_IsNodeExecuted(benchmark::State &state) {
  close_dag();
  Args in({table("db.sales")});
  int executed = 0, rc = 0;
  for (auto _ : state) {
    dfq_is_node_executed(in, &executed, &rc);
    benchmark::DoNotOptimize(executed);
  }
  close_dag();
}
BENCHMARK(BM_IsNodeExecuted);

// The library's lock alone, taken and released on one thread (what every
// exported call pays for it when no other thread holds it).
void BM_EntryLockUncontended(benchmark::State &state) {
  for (auto _ : state) {
    const dfq::EntryLock hold;
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_EntryLockUncontended);

void BM_CreateSelect(benchmark::State &state) {
  Args name({"select"}), value({"a, b"}), ot({"out"}), os({"work"}), id({""}, 21);
  int length = 1;
  nodeCreation(state, [&](const std::string &base) {
    Args in({base});
    int rc = 0;
    dfq_select(in, name, value, ot, os, id, &length, &rc);
  });
}
BENCHMARK(BM_CreateSelect);

void BM_CreateAssign(benchmark::State &state) {
  Args name({"assign"}), value({"a + 1 as c", "N"}), ot({"out"}), os({"work"}), id({""}, 21);
  nodeCreation(state, [&](const std::string &base) {
    Args in({base});
    int rc = 0;
    dfq_assign(in, name, value, ot, os, id, &rc);
  });
}
BENCHMARK(BM_CreateAssign);

void BM_CreateGroupbyAggregate(benchmark::State &state) {
  Args gname({"groupby"}), gvalue({"|w region"}), aname({"agg"}), avalue({"sum(x) as s"}),
      aot({"agg"}), os({"work"}), id({""}, 21);
  nodeCreation(state, [&](const std::string &base) {
    Args in({base}), got({"x"}, 64), gos({"x"}, 64);
    int rc = 0;
    dfq_groupby(in, gname, gvalue, got, gos, id, &rc);
    Args gin({id.buffers[0].data()});
    dfq_aggregate(gin, aname, avalue, aot, os, id, &rc);
  });
}
BENCHMARK(BM_CreateGroupbyAggregate);

void BM_CreateJoin(benchmark::State &state) {
  nodeCreation(state, [&](const std::string &base) { join(base, base, "j"); });
}
BENCHMARK(BM_CreateJoin);

void BM_CreateSetop(benchmark::State &state) {
  Args name({"unionall"}), value({"a, b", "a, b", "a, b"}), ot({"u"}), os({"work"}),
      id({"x"}, 21);
  int n = 3;
  nodeCreation(state, [&](const std::string &base) {
    Args in({base, base, base});
    int rc = 0;
    dfq_setop(in, name, value, ot, os, &n, id, &rc);
  });
}
BENCHMARK(BM_CreateSetop);

void BM_CreateSample(benchmark::State &state) {
  Args name({"s", "r", "a", "", ""}), value({"*", "N", "N", "0.1, 0.2", ""}), ot({"smp"}),
      os({"work"}), id({""}, 21), when({""}), then({""});
  int len = 0;
  nodeCreation(state, [&](const std::string &base) {
    Args in({base});
    int rc = 0;
    dfq_sample(in, name, value, ot, os, id, when, then, &len, &rc);
  });
}
BENCHMARK(BM_CreateSample);

void BM_CreateMlQuery(benchmark::State &state) {
  Args name({"ml"}), value({"select * from fit(on t)"}), ot({"m1", "m2", "m3"}),
      os({"work", "work", "work"}), fn({"FIT"}), ids({"", "", ""}, 21);
  int inputs = 1, outputs = 3;
  nodeCreation(state, [&](const std::string &base) {
    Args in({base});
    int rc = 0;
    dfq_ml_query(in, name, value, ot, os, fn, &inputs, &outputs, ids, &rc, nullptr, nullptr);
  });
}
BENCHMARK(BM_CreateMlQuery);

// ---- statement generation -------------------------------------------------------

// range(0) nodes; range(1) 1 resolves with the literal reference resolver.
void BM_GenerateFilterChain(benchmark::State &state) {
  close_dag();
  const std::string last = filterChain(static_cast<int>(state.range(0)));
  dfq::useLiteralResolver = state.range(1) == 1;
  measureGeneration(state, last);
  dfq::useLiteralResolver = false;
}
BENCHMARK(BM_GenerateFilterChain)
    ->ArgNames({"nodes", "literal"})
    ->Args({100, 0})->Args({1000, 0})->Args({2000, 0})->Args({10000, 0})
    ->Args({100, 1})->Args({1000, 1})->Args({2000, 1})
    ->Unit(benchmark::kMillisecond);

void BM_MemcpyFloor(benchmark::State &state) {
  // The same number of bytes as the statements of a chain of range(0) nodes.
  close_dag();
  const std::string last = filterChain(static_cast<int>(state.range(0)));
  const size_t bytes = generateAndFetch(last);
  close_dag();
  std::vector<char> from(bytes, 'x'), to(bytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  reportBytes(state, bytes);
}
BENCHMARK(BM_MemcpyFloor)->Arg(100)->Arg(1000)->Arg(2000)->Arg(10000)
    ->Unit(benchmark::kMicrosecond);

void BM_MemcpyFreshFloor(benchmark::State &state) {
  // The same bytes copied into a buffer allocated for them, as a new
  // statement must be.
  close_dag();
  const std::string last = filterChain(static_cast<int>(state.range(0)));
  const size_t bytes = generateAndFetch(last);
  close_dag();
  const std::string from(bytes, 'x');
  for (auto _ : state) {
    std::string to(from);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  reportBytes(state, bytes);
}
BENCHMARK(BM_MemcpyFreshFloor)->Arg(100)->Arg(1000)->Arg(2000)->Arg(10000)
    ->Unit(benchmark::kMicrosecond);

void BM_GenerateJoinedChains(benchmark::State &state) {
  // range(0) chains of 50 filters, joined pairwise into one tree.
  close_dag();
  std::vector<std::string> level;
  for (int c = 0; c < state.range(0); ++c) level.push_back(filterChain(50, label("c", c, "_")));
  int j = 0;
  while (level.size() > 1) {
    std::vector<std::string> next;
    for (size_t i = 0; i + 1 < level.size(); i += 2)
      next.push_back(join(level[i], level[i + 1], label("j", j++)));
    if (level.size() % 2) next.push_back(level.back());
    level = next;
  }
  measureGeneration(state, level[0]);
}
BENCHMARK(BM_GenerateJoinedChains)->Arg(8)->Arg(32)->Unit(benchmark::kMillisecond);

void BM_GenerateSetopOfChains(benchmark::State &state) {
  close_dag();
  int n = static_cast<int>(state.range(0));
  std::vector<std::string> ids, cols;
  for (int c = 0; c < n; ++c) {
    ids.push_back(filterChain(50, label("s", c, "_")));
    cols.push_back("a, b");
  }
  Args in(ids), name({"unionall"}), value(cols), ot({"u"}), os({"work"}), id({"x"}, 21);
  int rc = 0;
  dfq_setop(in, name, value, ot, os, &n, id, &rc);
  const std::string top = id.buffers[0].data();
  measureGeneration(state, top);
}
BENCHMARK(BM_GenerateSetopOfChains)->Arg(8)->Arg(32)->Unit(benchmark::kMillisecond);

// The same chain in either statement form: range(1) 1 writes it as common
// table expressions. Beside dfq_host_view's fresh processes, this is the
// hot loop of the comparison.
void setForm(const char *form) {
  Args name({"form"}), value({form});
  int rc = 0;
  dfq_set_option(name, value, &rc);
  if (rc != 0) std::abort();  // no instance yet: set it after the first node
}

void BM_GenerateFilterChainByForm(benchmark::State &state) {
  close_dag();
  const std::string last = filterChain(static_cast<int>(state.range(0)));
  setForm(state.range(1) == 1 ? "cte" : "nested");
  measureGeneration(state, last);
}
BENCHMARK(BM_GenerateFilterChainByForm)
    ->ArgNames({"nodes", "cte"})
    ->Args({10000, 0})->Args({10000, 1})->Args({100000, 0})->Args({100000, 1})
    ->Unit(benchmark::kMillisecond);

// A table, a filter, then range(0) times a join of the last node with
// itself, in the cte form: the statement grows by a level's bytes.
void BM_GenerateSelfJoinLadderCte(benchmark::State &state) {
  close_dag();
  std::string top = filter(table("db.sales"), condition(0), "l0");
  setForm("cte");
  for (int i = 1; i <= state.range(0); ++i) top = join(top, top, label("l", i));
  measureGeneration(state, top);
}
BENCHMARK(BM_GenerateSelfJoinLadderCte)->Arg(10)->Arg(30)->Unit(benchmark::kMicrosecond);

void BM_GenerateDiamondLadder(benchmark::State &state) {
  close_dag();
  std::string top = filter(table("db.sales"), condition(0), "d");
  for (int i = 0; i < state.range(0); ++i) {
    const std::string l = filter(top, condition(i), label("l", i));
    const std::string r = filter(top, condition(i + 1), label("r", i));
    top = join(l, r, label("d", i));
  }
  measureGeneration(state, top);
}
BENCHMARK(BM_GenerateDiamondLadder)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);

void BM_GenerateMlWithDependencies(benchmark::State &state) {
  // An ML node with three outputs reading a chain, depending on range(0)
  // other chains; statements for a filter on its second output.
  close_dag();
  const std::string input = filterChain(50, "mi");
  std::vector<std::string> deps;
  for (int d = 0; d < state.range(0); ++d) deps.push_back(filterChain(20, label("dep", d, "_")));
  Args in({input}), name({"ml"}), value({"select * from fit(on \"work\".\"mi49\")"}),
      ot({"m1", "m2", "m3"}), os({"work", "work", "work"}), fn({"FIT"}), ids({"", "", ""}, 21),
      q(deps);
  int inputs = 1, outputs = 3, qcount = static_cast<int>(deps.size()), rc = 0;
  dfq_ml_query(in, name, value, ot, os, fn, &inputs, &outputs, ids, &rc, q, &qcount);
  const std::string top = filter(ids.buffers[1].data(), condition(1), "after");
  measureGeneration(state, top);
}
BENCHMARK(BM_GenerateMlWithDependencies)->Arg(4)->Unit(benchmark::kMillisecond);

// ---- display forms --------------------------------------------------------------

void BM_ShowQuery(benchmark::State &state) {
  close_dag();
  const std::string last = filterChain(static_cast<int>(state.range(0)));
  Args in({last});
  size_t bytes = 0;
  for (auto _ : state) {
    int option = 1, rc = 0;
    std::vector<int> lengths(64);
    dfq_show_query_length(in, &option, lengths.data(), &rc);
    std::vector<char> buf(lengths[0] + 1);
    char *qp[] = {buf.data()};
    char idb[21];
    char *ip[] = {idb};
    dfq_show_query(in, &option, qp, ip, &rc);
    bytes = lengths[0];
  }
  reportBytes(state, bytes);
  close_dag();
}
BENCHMARK(BM_ShowQuery)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_TopNodeStatements(benchmark::State &state) {
  close_dag();
  const std::string last = filterChain(static_cast<int>(state.range(0)));
  Node *node = dagInstance()->getNode(std::stoll(last));
  Args in({last});
  for (auto _ : state) {
    state.PauseTiming();
    node->setQuerywithreftoTopNode({});
    state.ResumeTiming();
    int count = 0, rc = 0;
    dfq_gen_queries_with_reference_to_topnode(in, &count, &rc);
  }
  close_dag();
}
BENCHMARK(BM_TopNodeStatements)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
