// The name scanner and the resolver on random inputs.
//
//  - Scanner: `Utils::validatePattern` (both forms) against a plain
//    transcription of the scan: the first double quote whose next quote is
//    followed by `."` and by a further quote.
//  - Working text: the resolver's two text forms (PlainText, the reference,
//    and GapText) under the same random edits must read the same.
//  - Resolver: a small random graph, a name map with random names, queries
//    and ids, and every resolver of `kResolvers` on it: each must return
//    normally or fail with a DagException, twice in a row alike, and all of
//    them must agree with the first (the literal one). A faster resolver is
//    checked by adding one line to `kResolvers`.
//  - Node chains: where the root's path is written from its nodes, the
//    statements are the literal resolver's over the path's own queries,
//    in the nested and in the cte form.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "DAG.h"
#include "DagBuilder.h"
#include "DagException.h"
#include "Resolver.h"
#include "ResolverText.h"
#include "Utils.h"
#include "dfq.h"
#include "dfqRequest.h"
#include "fuzzSupport.h"

namespace {

using fuzz::FuzzInput;
using fuzz::HostArray;
using fuzz::require;

// ---- scanner -------------------------------------------------------------------

bool referenceScan(const std::string &text, size_t from, size_t &start, size_t &end) {
  for (size_t i = from; i < text.size(); ++i) {
    if (text[i] != '"') continue;
    const size_t close = text.find('"', i + 1);
    if (close == std::string::npos) continue;
    if (close + 2 >= text.size() || text[close + 1] != '.' || text[close + 2] != '"') continue;
    const size_t last = text.find('"', close + 3);
    if (last == std::string::npos) continue;
    start = i;
    end = last;
    return true;
  }
  return false;
}

void checkScanner(const std::string &text, size_t from) {
  size_t expectedStart = 0, expectedEnd = 0;
  const bool expected = referenceScan(text, 0, expectedStart, expectedEnd);
  int start = -1, end = -1;
  const bool found = Utils::validatePattern(text, &start, &end);
  require(found == expected, "the scanner finds a name exactly when there is one", text);
  if (found)
    require(static_cast<size_t>(start) == expectedStart && static_cast<size_t>(end) == expectedEnd,
            "the scanner reports the first name", text);

  size_t s = 0, e = 0;
  const bool expectedFrom = referenceScan(text, from, expectedStart, expectedEnd);
  const bool foundFrom = Utils::validatePattern(text, from, &s, &e);
  require(foundFrom == expectedFrom, "a resumed scan finds a name exactly when there is one", text);
  if (foundFrom)
    require(s == expectedStart && e == expectedEnd, "a resumed scan reports the first name", text);
}

// ---- working text ----------------------------------------------------------------

std::string fragment(FuzzInput &in) {
  static const char *const kPieces[] = {"\"", ".", "\".\"", "\"s\".\"t\"", " as x", "a", ""};
  std::string s;
  for (int n = in.number(0, 4); n > 0; --n) s += in.oneIn(2) ? kPieces[in.byte() % 7] : in.text(4);
  return s;
}

std::string describeFinds(const std::string &text, bool pf, size_t ps, size_t pe, bool gf,
                          size_t gs, size_t ge) {
  auto one = [](bool found, size_t s, size_t e) {
    return found ? std::to_string(s) + ".." + std::to_string(e) : std::string("none");
  };
  return "in [" + text + "]: plain " + one(pf, ps, pe) + ", gap " + one(gf, gs, ge);
}

// Edits as the resolver makes them: at the name just found, hide it or
// replace it by a text (usually parenthesised) that may itself hold names or
// parts of them.
void checkWorkingText(FuzzInput &in) {
  std::string initial = fragment(in);
  initial += fragment(in);
  dfq::PlainText plain(initial);
  dfq::GapText gap(initial);
  for (int step = 0; step < 64 && !in.empty(); ++step) {
    require(plain.str() == gap.str(), "both text forms hold the same text", plain.str());
    size_t ps = 0, pe = 0, gs = 0, ge = 0;
    const bool pf = plain.findName(ps, pe), gf = gap.findName(gs, ge);
    require(pf == gf && (!pf || (ps == gs && pe == ge)), "both text forms find the same name",
            describeFinds(plain.str(), pf, ps, pe, gf, gs, ge));
    if (!pf || plain.size() == 0) {
      if (in.oneIn(2)) {
        const std::string text = fragment(in);
        plain.assign(text);
        gap.assign(text);
      } else {
        const std::string tail = fragment(in) + "\"a\".\"b\"";
        plain.assign(plain.str() + tail);
        gap.assign(gap.str() + tail);
      }
      continue;
    }
    const std::string prefix = fragment(in);
    require(plain.holdsAt(pe + 1, prefix) == gap.holdsAt(pe + 1, prefix),
            "both text forms test a prefix alike", plain.str());
    require(plain.slice(ps, pe) == gap.slice(ps, pe), "both text forms slice alike");
    if (in.oneIn(3)) {
      plain.hide(ps, pe);
      gap.hide(ps, pe);
    } else {
      // The resolver's replacements begin with "("; any other text may
      // complete a name that starts before the edit.
      const std::string open = in.oneIn(2) ? "(" : "";
      const std::string head = open + fragment(in), body = fragment(in), tail = fragment(in);
      plain.replace(ps, pe, head, body, tail);
      gap.replace(ps, pe, head, body, tail);
    }
  }
  require(plain.str() == gap.str(), "both text forms end with the same text", plain.str());
}

// ---- resolver --------------------------------------------------------------------

const char *const kTables[] = {"t1", "t2", "t3"};
const char *const kSchemas[] = {"w", "s", ""};

struct Scenario {
  std::vector<nodeid_t> nodes;  // every node of the graph, sources first
  nodeid_t root = 0;
  QueryViewList list;  // the entries in the order a path would list them
  ViewQueryMap map;    // the same entries by name
  size_t splitLimit = dfq::kSplitLimit;
};

// What a resolver did: its statements, or the failure it reported.
struct Outcome {
  bool failed = false;
  int code = 0;
  std::string message;
  ExecQueryList statements;
  bool operator==(const Outcome &) const = default;
};

using Resolver = std::function<ExecQueryList(const Scenario &)>;

ExecQueryList statementsOf(dfq::ResolvedQueries r) {
  for (dfq::MlHandOver &handOver : r.handOvers) {
    handOver.statement.nodeid += " (ML root " + std::to_string(handOver.rootId) + ", ML node " +
                                 std::to_string(handOver.mlNode) + ")";
    r.statements.push_back(handOver.statement);
  }
  return r.statements;
}

bool distinctIds(const QueryViewList &list) {
  for (size_t i = 0; i < list.size(); ++i)
    for (size_t j = i + 1; j < list.size(); ++j)
      if (list[i].nodeid == list[j].nodeid) return false;
  return true;
}

// The resolvers under comparison; the first is the reference.
const std::vector<std::pair<const char *, Resolver>> kResolvers = {
    {"literal",
     [](const Scenario &s) {
       return statementsOf(dfq::literalResolve(*dagInstance(), s.root, s.map, s.splitLimit));
     }},
    {"fast",
     [](const Scenario &s) {
       return statementsOf(dfq::fastResolve(*dagInstance(), s.root, s.map, s.splitLimit));
     }},
    {"fast over the list",
     [](const Scenario &s) {
       // Only for lists of distinct nodes; those it declines are the literal
       // resolver's.
       DAG &dag = *dagInstance();
       std::optional<dfq::ResolvedQueries> fast;
       if (distinctIds(s.list))
         fast = dfq::fastResolve(dag, s.root, s.list, s.list.size(), s.splitLimit);
       if (!fast) return statementsOf(dfq::literalResolve(dag, s.root, s.map, s.splitLimit));
       return statementsOf(std::move(*fast));
     }},
};

std::string describe(const Outcome &o) {
  if (o.failed) return "failed " + std::to_string(o.code) + " " + o.message;
  std::string text = std::to_string(o.statements.size()) + " statements";
  for (const auto &e : o.statements)
    text += "\n   [" + e.query + "] " + e.name + " " + e.queryType + " " + e.nodeid;
  return text;
}

Outcome outcomeOf(const Resolver &resolve, const Scenario &scenario) {
  Outcome o;
  try {
    o.statements = resolve(scenario);
  } catch (const DagException &e) {
    o.failed = true;
    o.code = e.errorCode;
    o.message = e.what();
  }
  return o;
}

std::string pickName(FuzzInput &in) {
  const std::string schema = kSchemas[in.byte() % 3];
  return "\"" + schema + "\".\"" + kTables[in.byte() % 3] + "\"";
}

std::string queryText(FuzzInput &in) {
  std::string q = in.text(6);
  for (int n = in.number(0, 3); n > 0; --n) {
    q += in.oneIn(3) ? " join " : " from ";
    q += pickName(in);
    if (in.oneIn(3)) q += " as a";
    q += in.text(4);
  }
  return q;
}

std::string addNode(FuzzInput &in, const std::vector<std::string> &ids) {
  HostArray out = HostArray::buffers(2, 21);
  const std::string table = kTables[in.byte() % 3], schema = kSchemas[in.byte() % 3];
  HostArray ot({table, kTables[in.byte() % 3]}), os({schema, schema});
  int rc = -1;
  const std::string input = ids[ids.size() - 1 - in.byte() % ids.size()];
  switch (in.byte() % 4) {
    case 0: {
      HostArray i({input}), n({"c"}), v({queryText(in)});
      dfq_filter(i.get(), n.get(), v.get(), ot.get(), os.get(), out.get(), &rc);
      break;
    }
    case 1: {
      const std::string other = ids[ids.size() - 1 - in.byte() % ids.size()];
      HostArray i({input, other}), n({"inner", "a", "b", "c"}), v({"x", "l", "r", "*"});
      dfq_join(i.get(), n.get(), v.get(), ot.get(), os.get(), out.get(), &rc);
      break;
    }
    case 2: {
      HostArray i({input}), n({"ml"}), v({queryText(in)}), fn({"fn"}), deps({ids[0]});
      int inputs = 1, outputs = in.number(1, 2), depCount = 1;
      dfq_ml_query(i.get(), n.get(), v.get(), ot.get(), os.get(), fn.get(), &inputs, &outputs,
                   out.get(), &rc, in.oneIn(2) ? deps.get() : nullptr, &depCount);
      break;
    }
    default: {
      HostArray i({input}), n({"p"}), v({queryText(in)});
      int length = 1;
      dfq_select(i.get(), n.get(), v.get(), ot.get(), os.get(), out.get(), &length, &rc);
    }
  }
  return rc == 0 ? out.at(0) : "";
}

// Replaces the scenario's list by one nested chain from the root's name:
// each query names the next entry once among random text (now and then
// followed by ".*" or " as"), the last names none; ids are distinct.
void chainFromRoot(FuzzInput &in, Scenario &s) {
  std::string table, schema;
  dagInstance()->getTablename(s.root, table, schema);
  std::vector<std::string> names{Utils::quotedName(table, schema)};
  for (const char *sc : kSchemas)
    for (const char *t : kTables)
      if (Utils::quotedName(t, sc) != names[0]) names.push_back(Utils::quotedName(t, sc));
  for (int swaps = in.number(0, 4); swaps > 0; --swaps)
    std::swap(names[1 + in.byte() % (names.size() - 1)], names[1 + in.byte() % (names.size() - 1)]);
  const size_t length = std::min<size_t>(in.number(1, 8), std::min(s.nodes.size(), names.size()));
  s.list.clear();
  s.map.clear();
  for (size_t j = 0; j < length; ++j) {
    std::string query = in.text(6) + " from ";
    if (j + 1 < length) query += names[j + 1] + (in.oneIn(8) ? ".*" : in.oneIn(8) ? " as a" : "");
    query += in.text(4);
    s.list.push_back(QueryViewEntry{names[j], query, s.nodes[j]});
    s.map.emplace(names[j], std::make_pair(query, s.nodes[j]));
  }
}

Scenario buildScenario(FuzzInput &in) {
  Scenario s;
  std::vector<std::string> ids;
  HostArray name({"source"}), value({"base"}), ot({"b"}), os({"w"}), out = HostArray::buffers(1, 21);
  int rc = -1;
  dfq_table(name.get(), value.get(), ot.get(), os.get(), out.get(), &rc);
  require(rc == 0, "a table node can be added");
  ids.push_back(out.at(0));
  for (int n = in.number(1, 8); n > 0; --n) {
    const std::string id = addNode(in, ids);
    if (!id.empty()) ids.push_back(id);
  }
  for (const auto &id : ids) s.nodes.push_back(std::atoll(id.c_str()));
  s.root = s.nodes[s.nodes.size() - 1 - in.byte() % s.nodes.size()];
  for (int n = in.number(1, 8); n > 0; --n) {
    const std::string key = in.oneIn(6) ? in.text(8) : pickName(in);
    const std::string query = queryText(in);
    const nodeid_t id = in.oneIn(16) ? 123456789 : s.nodes[in.byte() % s.nodes.size()];
    s.list.push_back(QueryViewEntry{key, query, id});
    s.map.emplace(key, std::make_pair(query, id));
  }
  if (in.oneIn(2)) s.splitLimit = static_cast<size_t>(in.number(1, 400));
  if (in.byte() % 3 == 1) chainFromRoot(in, s);  // an input read to its end keeps its list
  return s;
}

// With DFQ_FUZZ_VERBOSE set, the scenario is printed before it runs.
void printScenario(const Scenario &s) {
  if (std::getenv("DFQ_FUZZ_VERBOSE") == nullptr) return;
  std::fprintf(stderr, "root %lld, split limit %zu\n", static_cast<long long>(s.root), s.splitLimit);
  for (nodeid_t id : s.nodes) {
    std::string table, schema, name;
    dagInstance()->getTablename(id, table, schema);
    std::fprintf(stderr, "node %lld %s \"%s\".\"%s\": %s\n", static_cast<long long>(id),
                 dagInstance()->getQueryType(id).c_str(), schema.c_str(), table.c_str(),
                 dagInstance()->getExecQuery(id, name, false).c_str());
  }
  for (const auto &[key, value] : s.map)
    std::fprintf(stderr, "map [%s] -> %lld: %s\n", key.c_str(), static_cast<long long>(value.second),
                 value.first.c_str());
}

// The statements written from the root's node chain, if it has one, against
// the literal resolver over the names and queries of the root's path, in
// either statement form.
void checkNodeChain(const Scenario &s, dfq::Form form) {
  DAG &dag = *dagInstance();
  if (dag.genDAGPath(s.root, false) == 0) return;
  const DAG::Path path = dag.getDAGPath(s.root, false);
  const dfq::Form kept = dag.form();
  dag.setForm(form);
  const std::vector<SplicedStatement> chain =
      form == dfq::Form::Cte ? dfq::cteChainOf(dag, s.root, path.size(), s.splitLimit)
                             : dfq::nodeChainOf(dag, s.root, path.size(), s.splitLimit);
  if (chain.empty()) {
    dag.setForm(kept);
    return;
  }
  ViewQueryMap map;
  for (nodeid_t id : path) {
    std::string name;
    std::string query = dag.getExecQuery(id, name, false);
    map.emplace(name, std::make_pair(std::move(query), id));
  }
  const dfq::ResolvedQueries literal = dfq::literalResolve(dag, s.root, map, s.splitLimit);
  dag.setForm(kept);
  bool same = literal.handOvers.empty() && literal.statements.size() == chain.size();
  std::string detail = form == dfq::Form::Cte ? "cte form" : "nested form";
  for (size_t i = 0; i < chain.size(); ++i) {
    const std::string written = chain[i].str();
    const nodeid_t root = chain[i].root()->getNodeid();
    const ExecQueryEntry *other = i < literal.statements.size() ? &literal.statements[i] : nullptr;
    same = same && other != nullptr && other->query == written && written.size() == chain[i].size() &&
           other->nodeid == std::to_string(root) && other->name == chain[i].root()->qualifiedOutputName();
    detail += "\n written: " + written + "\n literal: " + (other ? other->query : "(none)");
  }
  require(same, "a node chain is written as the literal resolver makes it:", detail);
}

void checkResolvers(FuzzInput &in) {
  const Scenario scenario = buildScenario(in);
  printScenario(scenario);
  const Outcome reference = outcomeOf(kResolvers[0].second, scenario);
  require(outcomeOf(kResolvers[0].second, scenario) == reference,
          "the resolver gives the same result twice");
  for (size_t r = 1; r < kResolvers.size(); ++r) {
    const Outcome other = outcomeOf(kResolvers[r].second, scenario);
    require(other == reference, "a resolver agrees with the literal one:",
            std::string(kResolvers[r].first) + "\n literal: " + describe(reference) + "\n other:   " +
                describe(other));
  }
  checkNodeChain(scenario, dfq::Form::Nested);
  checkNodeChain(scenario, dfq::Form::Cte);
  // The facade's entry to the resolver (the ML dependencies merged) stays
  // within its failures too.
  try {
    if (scenario.splitLimit == dfq::kSplitLimit)
      (void)dfq::dagBuilder()->getResolvedandSplitQueries(scenario.root, scenario.map);
  } catch (const DagException &) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  fuzz::formatEveryRecord();
  FuzzInput in(data, size);
  switch (in.byte() % 3) {
    case 0: {
      const size_t from = in.byte();
      checkScanner(in.rest(), from);
      break;
    }
    case 1: checkWorkingText(in); break;
    default:
      checkResolvers(in);
      close_dag();
  }
  return 0;
}
