// The library as a dataframe host meets it: a fresh process builds a
// pipeline once, asks for its statements once and fetches them once. Each
// measurement runs in a process of its own (this program starts itself with
// --child); the host's own memory (argument arrays, the buffers the
// statements are fetched into) is allocated and touched before anything is
// measured, so what is counted is the library's.
//
// Round 1 runs in the fresh process; round 2 repeats the same work after
// close_dag in the same process. Each round reports the time per node
// created, the minor page faults (getrusage) per node created and per node
// for generation plus fetch, and the peak resident memory growth per node;
// memcpy of the statement's bytes between touched buffers is the floor.
//
//   dfq_host_view [NODES [RUNS]]      median of RUNS fresh processes
//
// With DFQ_FORM set (nested or cte), the statements are written in that
// form (the `form` option, set after the first node); DFQ_CONDITION_BYTES
// sets the length of the filters' conditions.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "dfq.h"

namespace {

constexpr size_t kIdRoom = 21;

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

struct Usage {
  double ns;
  long faults;  // minor page faults so far
  long peakKb;  // peak resident set so far
};

Usage sample() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return Usage{now(), u.ru_minflt, u.ru_maxrss};
}

// A condition of DFQ_CONDITION_BYTES characters (200 by default, at most
// 200) that differs from node to node.
std::string condition(int i) {
  static const size_t bytes = [] {
    const char *set = std::getenv("DFQ_CONDITION_BYTES");
    return set ? std::min<size_t>(200, std::strtoul(set, nullptr, 10)) : 200;
  }();
  std::string c = "amount > " + std::to_string(i) + " and region <> 'r" + std::to_string(i) + "'";
  while (c.size() < 200) c += " and flag_" + std::to_string(c.size()) + " = 1";
  return c.substr(0, bytes);
}

// Everything the host passes and receives, allocated and touched up front.
struct HostMemory {
  int nodes;
  std::vector<char> conditions, tables, ids;  // one slot per node
  std::vector<char> statement, copy, name, type, id;
  std::vector<char *> conditionPtr, tablePtr, idPtr;

  explicit HostMemory(int n) : nodes(n) {
    conditions.assign(static_cast<size_t>(n) * 201, 0);
    tables.assign(static_cast<size_t>(n) * 16, 0);
    ids.assign(static_cast<size_t>(n + 1) * kIdRoom, 0);
    for (int i = 0; i < n; ++i) {
      const std::string c = condition(i), t = "f" + std::to_string(i);
      std::memcpy(&conditions[static_cast<size_t>(i) * 201], c.c_str(), c.size() + 1);
      std::memcpy(&tables[static_cast<size_t>(i) * 16], t.c_str(), t.size() + 1);
    }
    for (int i = 0; i < n; ++i) {
      conditionPtr.push_back(&conditions[static_cast<size_t>(i) * 201]);
      tablePtr.push_back(&tables[static_cast<size_t>(i) * 16]);
    }
    for (int i = 0; i <= n; ++i) idPtr.push_back(&ids[static_cast<size_t>(i) * kIdRoom]);
    // Room for the statements of the chain (about 240 bytes per node, 300
    // in the cte form, as several statements when split), touched.
    const size_t room = static_cast<size_t>(n) * 400 + (1 << 20);
    statement.assign(room, 1);
    copy.assign(room, 2);
    name.assign(4096, 0);
    type.assign(64, 0);
    id.assign(kIdRoom, 0);
  }
};

struct Round {
  double createNs = 0, generateNs = 0, memcpyNs = 0;
  long createFaults = 0, generateFaults = 0, peakGrowthKb = 0;
  size_t bytes = 0;
  int statements = 0;
};

void fail(const char *what, int rc) {
  std::fprintf(stderr, "dfq_host_view: %s failed with %d\n", what, rc);
  std::exit(1);
}

// Builds the chain, generates its statements once and fetches them once.
Round runRound(HostMemory &h) {
  static char source[] = "source", sales[] = "db.sales", empty[] = "", filter[] = "filter",
              schema[] = "s";
  char *sourceArg[] = {source}, *salesArg[] = {sales}, *emptyArg[] = {empty},
       *filterArg[] = {filter}, *schemaArg[] = {schema};
  Round r;
  int rc = 0;
  const Usage start = sample();
  dfq_table(sourceArg, salesArg, emptyArg, emptyArg, &h.idPtr[0], &rc);
  if (rc != 0) fail("dfq_table", rc);
  if (const char *form = std::getenv("DFQ_FORM")) {
    static char option[] = "form";
    char *optionArg[] = {option}, *formArg[] = {const_cast<char *>(form)};
    dfq_set_option(optionArg, formArg, &rc);
    if (rc != 0) fail("dfq_set_option", rc);
  }
  for (int i = 0; i < h.nodes; ++i) {
    dfq_filter(&h.idPtr[i], filterArg, &h.conditionPtr[i], &h.tablePtr[i], schemaArg,
               &h.idPtr[i + 1], &rc);
    if (rc != 0) fail("dfq_filter", rc);
  }
  const Usage created = sample();

  char **top = &h.idPtr[h.nodes];
  int count = 0;
  dfq_gen_exec_queries(top, &count, &rc);
  if (rc != 0 || count < 1) fail("dfq_gen_exec_queries", rc);
  std::vector<int> lengths(static_cast<size_t>(count));
  std::vector<char *> queries, names, types, ids;
  size_t offset = 0;
  dfq_get_exec_querysize(top, &count, lengths.data(), &rc);
  if (rc != 0) fail("dfq_get_exec_querysize", rc);
  for (int i = 0; i < count; ++i) {
    if (offset + static_cast<size_t>(lengths[i]) > h.statement.size()) fail("room", 0);
    queries.push_back(&h.statement[offset]);
    offset += static_cast<size_t>(lengths[i]);
    names.push_back(h.name.data());
    types.push_back(h.type.data());
    ids.push_back(h.id.data());
  }
  dfq_get_exec_query(top, &count, queries.data(), names.data(), types.data(), ids.data(), &rc);
  if (rc != 0) fail("dfq_get_exec_query", rc);
  const Usage fetched = sample();

  // The floor: the same bytes copied between the host's touched buffers.
  const double copyStart = now();
  std::memcpy(h.copy.data(), h.statement.data(), offset);
  const double copyEnd = now();
  if (h.copy[offset / 2] != h.statement[offset / 2]) fail("memcpy", 0);

  r.createNs = created.ns - start.ns;
  r.createFaults = created.faults - start.faults;
  r.generateNs = fetched.ns - created.ns;
  r.generateFaults = fetched.faults - created.faults;
  r.peakGrowthKb = fetched.peakKb - start.peakKb;
  r.memcpyNs = copyEnd - copyStart;
  r.bytes = offset;
  r.statements = count;
  return r;
}

void printRound(const Round &r) {
  std::printf(" %.1f %ld %.1f %ld %ld %.1f %zu %d", r.createNs, r.createFaults, r.generateNs,
              r.generateFaults, r.peakGrowthKb, r.memcpyNs, r.bytes, r.statements);
}

int child(int nodes) {
  HostMemory host(nodes);
  const Round first = runRound(host);
  close_dag();
  const Round second = runRound(host);
  close_dag();
  printRound(first);
  printRound(second);
  std::printf("\n");
  return 0;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::strcmp(argv[1], "--child") == 0) return child(std::atoi(argv[2]));
  const int nodes = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  if (nodes < 1 || runs < 1) {
    std::fprintf(stderr, "usage: %s [NODES [RUNS]]\n", argv[0]);
    return 1;
  }
  constexpr int kFields = 16;
  std::vector<std::vector<double>> fields(kFields);
  for (int run = 0; run < runs; ++run) {
    int out[2];
    if (pipe(out) != 0) return 1;
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      const std::string n = std::to_string(nodes);
      execl("/proc/self/exe", argv[0], "--child", n.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    close(out[1]);
    std::string text;
    char chunk[512];
    ssize_t got;
    while ((got = read(out[0], chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(got));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "child failed\n");
      return 1;
    }
    const char *p = text.c_str();
    for (int f = 0; f < kFields; ++f) {
      char *end = nullptr;
      fields[f].push_back(std::strtod(p, &end));
      p = end;
    }
  }
  const double n = nodes;
  std::printf("%d dfq_filter nodes, 200-character conditions, schema \"s\"; medians of %d fresh "
              "processes\n",
              nodes, runs);
  std::printf("%-34s %14s %14s\n", "", "fresh process", "after close_dag");
  auto row = [&](const char *what, int field, double scale, const char *format) {
    std::printf("%-34s", what);
    for (int round = 0; round < 2; ++round) {
      char cell[64];
      std::snprintf(cell, sizeof cell, format, median(fields[round * 8 + field]) * scale);
      std::printf(" %14s", cell);
    }
    std::printf("\n");
  };
  row("dfq_filter, ns per call", 0, 1 / n, "%.0f");
  row("  page faults per node", 1, 1 / n, "%.3f");
  row("generation + fetch, ms", 2, 1e-6, "%.3f");
  row("  page faults per node", 3, 1 / n, "%.3f");
  row("peak RSS growth, bytes per node", 4, 1024 / n, "%.0f");
  row("memcpy of the same bytes, ms", 5, 1e-6, "%.4f");
  row("statement bytes", 6, 1, "%.0f");
  row("statements", 7, 1, "%.0f");
  std::printf("%-34s", "generation + fetch / memcpy");
  for (int round = 0; round < 2; ++round) {
    std::vector<double> ratios;
    for (size_t k = 0; k < fields[0].size(); ++k)
      ratios.push_back(fields[round * 8 + 2][k] / std::max(fields[round * 8 + 5][k], 1.0));
    char cell[64];
    std::snprintf(cell, sizeof cell, "%.1f", median(ratios));
    std::printf(" %14s", cell);
  }
  std::printf("\n");
  return 0;
}
