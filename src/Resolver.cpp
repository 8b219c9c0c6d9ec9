// The literal resolver. A chain is the run of substitutions that builds one
// statement: it starts from a name, and every quoted name found in its
// working text is replaced by that name's query as a parenthesised subquery,
// until no name is left that the map can resolve. Names that are not
// resolved are hidden behind '*' while the scan goes on and written back
// when the statement is finished.
#define DFQ_LOG_UNIT "../src/Resolver"
#include "Resolver.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <stdexcept>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "FlatMap.h"
#include "Node.h"
#include "ResolverCte.h"
#include "ResolverText.h"
#include "Utils.h"

namespace dfq {

namespace {

const std::string kOpen = "(";
const std::string kCloseAsSubquery = ") as temp_table";
const std::string kCloseJoinInput = ")";
const std::string kSubqueryAlias = "temp_table";
const std::string kAliasFollows = " as";
const std::string kAllColumnsOf = ".*";

// ML queries whose text is handed over as a statement of its own rather
// than inlined: an ML node with several outputs and its reference outputs.
bool isHandedOver(std::string_view queryType) {
  return queryType == std::string_view("reference") ||
         queryType == std::string_view("ml_query_multi_output");
}

bool isJoin(std::string_view queryType) { return queryType == std::string_view("join"); }

// A quoted name found in the working text: its first and last character.
struct Match {
  size_t start = 0;
  size_t end = 0;
  std::string name;
};

// A name hidden behind '*'; `restore` is written back when the statement is
// finished.
struct Placeholder {
  size_t start = 0;
  size_t length = 0;
  std::string restore;
  // In the cte form, a name that reads a node whose query the statement
  // already holds: the node, written as its expression's name.
  nodeid_t reference = 0;
  bool asSubquery = false;
};

// One entry of the names the resolver can inline: the name, its query, the
// node it belongs to, and a small number that is the same for the entries
// of one node (the index of its first entry, where the entries keep one).
struct Entry {
  const std::string *name = nullptr;
  const std::string *query = nullptr;
  nodeid_t id = 0;
  size_t slot = 0;
};

// Where the query of one map entry stands in the working text, [start, end).
struct InlinedQuery {
  size_t start = 0;
  size_t end = 0;
  nodeid_t entryId = 0;
};

// The reference bookkeeping of inlined queries: every query inlined into
// the chain, each moved or grown by every later substitution.
class InlinedQueryList {
 public:
  bool contains(size_t pos, const Entry &entry) {
    for (const InlinedQuery &q : queries)
      if (q.entryId == entry.id && q.start <= pos && pos < q.end) return true;
    return false;
  }

  // Where the queries stand in the text now, [start, end), in the order
  // recorded.
  std::vector<std::pair<size_t, size_t>> ranges() const {
    std::vector<std::pair<size_t, size_t>> now;
    for (const InlinedQuery &q : queries) now.emplace_back(q.start, q.end);
    return now;
  }

  // The name at `m` became open + query + close: inlined queries after it
  // move, those around it grow, and the new one is recorded.
  void record(const Match &m, size_t openLength, size_t queryLength, size_t closeLength,
              const Entry &entry) {
    const size_t nameEnd = m.start + m.name.size();
    const size_t newEnd = m.start + openLength + queryLength + closeLength;
    for (InlinedQuery &q : queries) {
      if (q.end <= m.start) continue;
      if (q.start >= nameEnd) q.start = q.start - nameEnd + newEnd;
      q.end = q.end - nameEnd + newEnd;
    }
    const size_t queryStart = m.start + openLength;
    queries.push_back(InlinedQuery{queryStart, queryStart + queryLength, entry.id});
  }

 private:
  std::vector<InlinedQuery> queries;
};

// The same answers when every match lies at or after the one before it, as
// it does in texts whose quotes all belong to whole quoted names: then the
// queries that can still contain a match are the ones around the scan
// position, nested in each other, and every substitution grows all of them
// by the same amount.
class InlinedQueryStack {
 public:
  bool contains(size_t pos, const Entry &entry) {
    dropEndedBefore(pos);
    return entry.slot < openPerSlot.size() && openPerSlot[entry.slot] > 0;
  }

  void record(const Match &m, size_t openLength, size_t queryLength, size_t closeLength,
              const Entry &entry) {
    dropEndedBefore(m.start);
    growth += openLength + queryLength + closeLength - m.name.size();
    const size_t queryStart = m.start + openLength;
    open.push_back(Open{queryStart + queryLength - growth, entry.slot, ended.size()});
    ended.emplace_back(queryStart, 0);
    if (entry.slot >= openPerSlot.size())
      openPerSlot.resize(std::max(entry.slot + 1, 2 * openPerSlot.size()), 0);
    ++openPerSlot[entry.slot];
  }

 private:
  struct Open {
    size_t endBeforeGrowth;  // the end is this plus `growth`
    size_t slot;
    size_t recorded;  // its index in `ranges`
  };

  void dropEndedBefore(size_t pos) {
    if (pos < lastPos) throw std::logic_error("resolver scan moved backwards");
    lastPos = pos;
    while (!open.empty() && open.back().endBeforeGrowth + growth <= pos) {
      ended[open.back().recorded].second = open.back().endBeforeGrowth + growth;
      --openPerSlot[open.back().slot];
      open.pop_back();
    }
  }

 public:
  // Where the queries stand in the text now, [start, end), in the order
  // recorded: a query ends where the text stood when the scan passed it,
  // or grows with the text while it is open.
  std::vector<std::pair<size_t, size_t>> ranges() const {
    std::vector<std::pair<size_t, size_t>> now = ended;
    for (const Open &o : open) now[o.recorded].second = o.endBeforeGrowth + growth;
    return now;
  }

 private:
  std::vector<std::pair<size_t, size_t>> ended;  // start and, once ended, end

  std::vector<Open> open;  // innermost last
  std::vector<size_t> openPerSlot;  // open queries per entry slot
  size_t growth = 0;
  size_t lastPos = 0;
};

// The statement as of its last accepted substitution, kept as a copy.
template <class Text>
class AcceptedCopy {
 public:
  void accept(const Text &working) {
    text = working;
    held = true;
  }
  bool empty() const { return !held; }
  size_t size(const Text &) const { return text.size(); }
  // The statement to finish.
  Text &statement(Text &) { return text; }
  void clear() {
    text.assign("");
    held = false;
  }

 private:
  Text text;
  bool held = false;
};

// The same statement read from the working text when it is finished: after
// the last accepted substitution only names were hidden, and the statement
// writes them back.
template <class Text>
class AcceptedInPlace {
 public:
  void accept(const Text &) { held = true; }
  bool empty() const { return !held; }
  size_t size(const Text &working) const { return working.size(); }
  Text &statement(Text &working) { return working; }
  void clear() { held = false; }

 private:
  bool held = false;
};

// The reference: the name-keyed multimap itself, whose first entry under a
// name is erased when the name is met again while others remain.
class MapEntries {
 public:
  explicit MapEntries(ViewQueryMap map) : map(std::move(map)) {}

  bool contains(const std::string &name) const { return map.count(name) != 0; }
  // Repeated references to a name that several nodes of the path share are
  // resolved against successive entries; the last one serves the rest.
  void useNextOf(const std::string &name) {
    if (map.count(name) > 1) map.erase(map.lower_bound(name));
  }
  // Moves on to the next entry of the name, then returns the first one left.
  std::optional<Entry> nextOf(const std::string &name) {
    useNextOf(name);
    return first(name);
  }
  std::optional<Entry> first(const std::string &name) const {
    const auto it = map.lower_bound(name);
    if (it == map.end() || it->first != name) return std::nullopt;
    return entryAt(it);
  }
  std::optional<Entry> ofNode(nodeid_t id) const {
    for (auto it = map.begin(); it != map.end(); ++it)
      if (it->second.second == id) return entryAt(it);
    return std::nullopt;
  }
  size_t queryBytes() const {
    size_t bytes = 0;
    for (const auto &entry : map) bytes += entry.second.first.size();
    return bytes;
  }
  size_t size() const { return map.size(); }

 private:
  static Entry entryAt(ViewQueryMap::const_iterator it) {
    return Entry{&it->first, &it->second.first, it->second.second};
  }
  ViewQueryMap map;
};

// The same answers from a hash index over entries that stay where they are
// (a map the index owns, or a path's list of queries and views): moving on
// to the next entry of a name moves a cursor instead of erasing.
class IndexedEntries {
 public:
  explicit IndexedEntries(ViewQueryMap map) : owned(std::move(map)) {
    reserve(owned.size());
    FlatMap<nodeid_t, size_t, MixHash> firstOfNode;  // a map may list a node twice
    firstOfNode.reserve(owned.size());
    for (const auto &entry : owned) {
      const size_t slot = firstOfNode.insert(entry.second.second, all.size());
      add(Entry{&entry.first, &entry.second.first, entry.second.second, slot});
    }
  }
  // The first `count` entries of `list`, whose node ids are distinct.
  IndexedEntries(const QueryViewList &list, size_t count) {
    const size_t listed = std::min(count, list.size());
    reserve(listed);
    for (size_t i = 0; i < listed; ++i) add(Entry{&list[i].name, &list[i].query, list[i].nodeid, i});
  }
  IndexedEntries(IndexedEntries &&) = delete;

  bool contains(const std::string &name) const { return byName.find(name) != nullptr; }
  std::optional<Entry> nextOf(const std::string &name) {
    Named *named = namedAfterLastReturned(name);
    if (named == nullptr) named = byName.find(name);
    if (named == nullptr) return std::nullopt;
    if (named->current != named->last) named->current = all[named->current].next;
    lastReturned = named->current;
    return all[named->current].entry;
  }
  // Asked at most once per resolution: a scan serves.
  std::optional<Entry> ofNode(nodeid_t id) const {
    for (const Slot &slot : all)
      if (slot.entry.id == id) return slot.entry;
    return std::nullopt;
  }
  size_t queryBytes() const { return bytes; }
  size_t size() const { return all.size(); }

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);
  struct Named {
    size_t current = kNone;  // the entries before it are used up
    size_t last = kNone;
  };
  struct Slot {
    Entry entry;
    size_t next = kNone;      // the next entry of the same name
    Named *named = nullptr;  // the record of the entry's name
  };

  void reserve(size_t n) {
    all.reserve(n);
    byName.reserve(n);
  }

  // A path's names are mostly met in the list's order (a chain's query
  // names the next node of the path): the name of the entry after the one
  // returned last is tried before the hash.
  Named *namedAfterLastReturned(const std::string &name) const {
    const size_t guess = lastReturned + 1;  // 0 before the first
    if (guess >= all.size()) return nullptr;
    const Slot &slot = all[guess];
    return *slot.entry.name == name ? slot.named : nullptr;
  }

  // The tables were reserved for every entry, so the Named records do not
  // move while they are added.
  void add(const Entry &entry) {
    const size_t index = all.size();
    all.push_back(Slot{entry, kNone, nullptr});
    Named &named = byName.insert(*entry.name, Named{});
    all[index].named = &named;
    if (named.current == kNone)
      named.current = index;
    else
      all[named.last].next = index;
    named.last = index;
    bytes += entry.query->size();
  }

  ViewQueryMap owned;
  std::vector<Slot> all;  // in insertion order
  FlatMap<std::string_view, Named> byName;
  size_t bytes = 0;
  size_t lastReturned = kNone;
};

// The reference: the text rescanned from its start and rebuilt at every
// substitution, a copy of every accepted statement, every inlined query
// tracked.
struct LiteralPolicy {
  using Entries = MapEntries;
  using Text = PlainText;
  using Accepted = AcceptedCopy<Text>;
  using Inlined = InlinedQueryList;
};

// Linear time in the text produced, for texts that scan linearly.
struct FastPolicy {
  using Entries = IndexedEntries;
  using Text = GapText;
  using Accepted = AcceptedInPlace<Text>;
  using Inlined = InlinedQueryStack;
};

// The scan's first match in `text` is the whole text.
bool isOneName(const std::string &text) {
  size_t start = 0, end = 0;
  return Utils::validatePattern(text, 0, &start, &end) && start == 0 && end + 1 == text.size();
}

// The name a node's statement stands for, as the scan starts from it.
std::string rootNameOf(DAG &dag, nodeid_t nodeid) {
  std::string table, schema;
  dag.getTablename(nodeid, table, schema);
  return Utils::quotedName(table, schema);
}

// True when every double quote of `text` belongs to a whole quoted name,
// `"a"` or `"a"."b"`, whose first part does not begin with a dot. In such
// texts, and in any text built by putting such texts in place of such names,
// no quote before an edit can start a name after it: every match of the
// scan lies at or after the one before.
bool quotesFormWholeNames(const std::string &text) {
  size_t pos = text.find('"');
  while (pos != std::string::npos) {
    const size_t close = text.find('"', pos + 1);
    if (close == std::string::npos || (close > pos + 1 && text[pos + 1] == '.')) return false;
    size_t next = close + 1;
    if (next + 1 < text.size() && text[next] == '.' && text[next + 1] == '"') {
      const size_t secondClose = text.find('"', next + 2);
      if (secondClose == std::string::npos) return false;
      next = secondClose + 1;
    }
    pos = text.find('"', next);
  }
  return true;
}

// A query inlined by the scan: the wrapper around it and its node.
struct Inlining {
  size_t openLength = 0;
  size_t closeLength = 0;
  nodeid_t id = 0;
  bool asSubquery = false;
};

// The working state of one chain.
template <class Policy>
struct Chain {
  std::string rootName;  // the name the statement stands for
  nodeid_t rootId = 0;
  typename Policy::Text working;    // the text being scanned
  typename Policy::Accepted accepted;  // the statement as of its last accepted substitution
  bool atStart = true;  // the first substitution is accepted whatever its size
  std::vector<Placeholder> placeholders;
  // Names written as "name.*" whose fate waits for the next occurrence of
  // the name: placeholder indexes per name.
  std::map<std::string, std::vector<size_t>> pendingQualifiers;
  typename Policy::Inlined inlined;
  std::set<std::string> readsByName;  // names other statements define
  // The cte form: every substitution in the order recorded by `inlined`,
  // the nodes whose queries the statement holds, and the bytes the
  // statement gains over the working text (bounded above).
  std::vector<Inlining> inlinings;
  std::unordered_set<nodeid_t> held;
  long long cteExtra = 0;
};

// A name that stays in a statement because inlining it would pass the
// limit; it gets a chain of its own.
struct DeferredName {
  std::string name;
  std::string query;
  nodeid_t id = 0;
  size_t slot = 0;
};

struct ClosedStatement {
  ExecQueryEntry entry;
  std::string defines;
  std::set<std::string> reads;
};

template <class Policy>
class Resolver {
 public:
  template <class... Source>
  Resolver(DAG &dag, size_t limit, Source &&...source)
      : dag(dag), entries(std::forward<Source>(source)...), limit(limit),
        cte(dag.form() == Form::Cte) {}

  // The statements of `nodeid`.
  ResolvedQueries run(nodeid_t nodeid) {
    const std::string root = rootNameOf(dag, nodeid);
    startMainChain(nodeid, root);
    for (;;) {
      scanChain();
      closeChain();
      if (deferred.empty()) break;
      const DeferredName next = deferred.front();
      deferred.pop_front();
      startDeferredChain(next);
    }
    out.statements = orderedForHost();
    return std::move(out);
  }

 private:
  // ---- starting chains ----------------------------------------------------

  // The scan starts from the node's quoted name. A node whose listed name
  // is not that (no schema, or a double quote inside a name) starts from its
  // own entry instead, so that it still yields its own query.
  void startMainChain(nodeid_t nodeid, const std::string &start) {
    beginChain(start, nodeid, start);
    if (scansAsOneKnownName(start)) return;
    const std::optional<Entry> own = entries.ofNode(nodeid);
    if (!own) return;
    beginChain(*own->name, nodeid, *own->name);
    substituteOrCut(wholeText(*own->name), *own);
  }

  void startDeferredChain(const DeferredName &name) {
    beginChain(name.name, name.id, name.name);
    substituteOrCut(wholeText(name.name), Entry{&name.name, &name.query, name.id, name.slot});
  }

  void beginChain(const std::string &rootName, nodeid_t rootId, const std::string &text) {
    chain = Chain<Policy>();
    chain.rootName = rootName;
    chain.rootId = rootId;
    chain.working.assign(text);
    chain.working.reserve(expectedSize());
  }

  // Every query inlined once, with its wrapper; worked out on first use.
  size_t expectedSize() {
    if (expected == 0)
      expected = std::min(entries.queryBytes() + entries.size() * wrapperLength() + 64,
                          2 * limit + 64);
    return expected;
  }

  bool scansAsOneKnownName(const std::string &text) const {
    return isOneName(text) && entries.contains(text);
  }

  static size_t wrapperLength() { return kOpen.size() + kCloseAsSubquery.size(); }

  static Match wholeText(const std::string &name) { return Match{0, name.size() - 1, name}; }

  // ---- the scan -----------------------------------------------------------

  void scanChain() {
    // One match whose name keeps its memory from name to name.
    Match m;
    while (chain.working.size() != 0 && chain.working.findName(m.start, m.end)) {
      chain.working.slice(m.start, m.end, m.name);
      resolveName(m);
    }
  }

  bool followedBy(const Match &m, const std::string &text) const {
    return chain.working.holdsAt(m.end + 1, text);
  }

  void resolveName(const Match &m) {
    if (followedBy(m, kAllColumnsOf)) {
      holdQualifier(m);
      return;
    }
    const std::optional<Entry> entry = entries.nextOf(m.name);
    // A name inside the query just inlined for the same entry (a grouping
    // node reads the name it shares with its input) stays a name.
    if (!entry || insideOwnQuery(m.start, *entry)) {
      leaveName(m);
      return;
    }
    if (deferredNames.count(m.name)) {
      keepDeferredName(m);
      return;
    }
    substituteOrCut(m, *entry);
  }

  bool insideOwnQuery(size_t pos, const Entry &entry) { return chain.inlined.contains(pos, entry); }

  // As DAG::getQueryType, without its frame; the text is held by the
  // node, or by `fallback` for a node the graph does not hold (which fails).
  std::string_view queryTypeOf(const Entry &entry, std::string &fallback) const {
    const Node *node = dag.getNode(entry.id);
    if (node) return DAG::queryTypeOf(*node);
    fallback = dag.getQueryType(entry.id);
    return fallback;
  }

  // ---- the three outcomes of a resolvable name --------------------------

  void substituteOrCut(const Match &m, const Entry &entry) {
    const std::string &query = *entry.query;
    std::string unheldType;
    const std::string_view queryType = queryTypeOf(entry, unheldType);
    if (isHandedOver(queryType)) {
      handOverMlQuery(m, query, entry.id, queryType);
      return;
    }
    // The join inputs as they would be after this substitution; only a join
    // or a name followed by " as" changes them.
    const bool join = isJoin(queryType);
    const bool aliasFollows = followedBy(m, kAliasFollows);
    std::vector<nodeid_t> inputsAfter;
    if (join || aliasFollows) inputsAfter = joinInputs;
    if (join) appendJoinInputs(entry.id, inputsAfter);
    const bool asJoinInput = aliasFollows && takeJoinInput(m.name, inputsAfter);
    if (cte && !chain.atStart && cuts.count(entry.id) != 0) {
      deferName(m, entry);
      return;
    }
    if (cte && chain.held.count(entry.id) != 0) {
      if (join || aliasFollows) joinInputs = std::move(inputsAfter);
      referToHeldQuery(m, entry, !asJoinInput);
      return;
    }
    const std::string &close = asJoinInput ? kCloseJoinInput : kCloseAsSubquery;
    const size_t candidateSize =
        chain.working.size() - m.name.size() + kOpen.size() + query.size() + close.size();
    // The cte form counts what writing the statement adds: the names and
    // wrappers of its expressions and references.
    const long long extra =
        !cte || chain.atStart
            ? 0
            : chain.cteExtra + static_cast<long long>(cteExpressionCost(
                                   dag.getNode(entry.id), !asJoinInput, chain.held.size() <= 1));
    if (!chain.atStart && withExtra(chain.accepted.size(chain.working), chain.cteExtra) < limit &&
        withExtra(candidateSize, extra) >= limit) {
      deferName(m, entry);
      return;
    }
    if (join || aliasFollows) joinInputs = std::move(inputsAfter);
    chain.inlined.record(m, kOpen.size(), query.size(), close.size(), entry);
    chain.working.replace(m.start, m.end, kOpen, query, close);
    chain.accepted.accept(chain.working);
    chain.atStart = false;
    if (cte) {
      chain.inlinings.push_back(Inlining{kOpen.size(), close.size(), entry.id, !asJoinInput});
      chain.held.insert(entry.id);
      chain.cteExtra = extra;
    }
    settleQualifiers(m.name, !asJoinInput);
  }

  static size_t withExtra(size_t size, long long extra) {
    const long long total = static_cast<long long>(size) + extra;
    return total < 0 ? 0 : static_cast<size_t>(total);
  }

  // The cte form: a node whose query the statement holds already is read
  // by its expression's name. The name is hidden from the scan and written
  // as that reference when the statement is finished.
  void referToHeldQuery(const Match &m, const Entry &entry, bool asSubquery) {
    const size_t index = hideName(m, m.name);
    chain.placeholders[index].reference = entry.id;
    chain.placeholders[index].asSubquery = asSubquery;
    chain.cteExtra += static_cast<long long>(cteReferenceCost(dag.getNode(entry.id), asSubquery)) -
                      static_cast<long long>(m.name.size());
    chain.accepted.accept(chain.working);
    chain.atStart = false;
    settleQualifiers(m.name, asSubquery);
  }

  // The output name stays in the statement, hidden from the scan like a
  // name outside the path, and the scan goes on: the ML query is handed
  // over unchanged as a statement of its own, once per ML node, since one
  // call creates all of its outputs.
  void handOverMlQuery(const Match &m, const std::string &query, nodeid_t id,
                       std::string_view queryType) {
    if (!m.name.empty()) leaveName(m);  // an empty name: a node's own entry
    const nodeid_t mlNode = mlNodeOf(id, queryType);
    if (!mlNodesHandedOver.insert(mlNode).second) return;
    out.handOvers.push_back(MlHandOver{
        ExecQueryEntry{query, mlStatementName(m, mlNode, queryType), std::string(queryType),
                       std::to_string(id)},
        id, mlNode});
  }

  // The ML node whose call creates output `id`: a reference output's first
  // input, else the node itself.
  nodeid_t mlNodeOf(nodeid_t id, std::string_view queryType) const {
    if (queryType != "reference") return id;
    const Node *node = dag.getNode(id);
    const Node *input = node ? node->firstInput() : nullptr;
    return input ? input->getNodeid() : id;
  }

  // A reference output stands for its ML node: the statement carries the
  // ML node's name.
  std::string mlStatementName(const Match &m, nodeid_t mlNode, std::string_view queryType) {
    if (queryType != "reference") return m.name;
    std::string table, schema;
    dag.getTablename(mlNode, table, schema);
    return Utils::quotedName(table, schema);
  }

  // Inlining the name would take the statement past the limit: the name
  // stays, and a later statement defines it.
  void deferName(const Match &m, const Entry &entry) {
    if (deferredNames.insert(m.name).second)
      deferred.push_back(DeferredName{m.name, *entry.query, entry.id, entry.slot});
    keepDeferredName(m);
  }

  void keepDeferredName(const Match &m) {
    chain.readsByName.insert(m.name);
    leaveName(m);
  }

  // ---- join inputs --------------------------------------------------------

  void appendJoinInputs(nodeid_t joinId, std::vector<nodeid_t> &inputs) const {
    const Node *join = dag.getNode(joinId);
    if (join == nullptr) return;
    const std::vector<nodeid_t> ids = join->getInputEdgeNodes();
    for (size_t i = 0; i < ids.size() && i < 2; ++i) inputs.push_back(ids[i]);
  }

  // A name followed by " as" is a join input when a listed input carries
  // that name: the input itself or a grouping node that shares its input's
  // name. The first such input is taken off the list.
  bool takeJoinInput(const std::string &name, std::vector<nodeid_t> &inputs) const {
    for (auto it = inputs.begin(); it != inputs.end(); ++it) {
      if (quotedNameOf(*it) != name) continue;
      inputs.erase(it);
      return true;
    }
    return false;
  }

  std::string quotedNameOf(nodeid_t id) const {
    const Node *node = dag.getNode(id);
    return node ? Utils::quotedName(node->getOutputTable(), node->getOutputSchema()) : "";
  }

  // ---- placeholders, qualifiers and inlined queries ----------------------

  size_t hideName(const Match &m, const std::string &restore) {
    chain.working.hide(m.start, m.end);
    chain.placeholders.push_back(Placeholder{m.start, m.name.size(), restore});
    return chain.placeholders.size() - 1;
  }

  void leaveName(const Match &m) {
    hideName(m, m.name);
    settleQualifiers(m.name, false);
  }

  // "name.*" keeps the columns of the relation that the next occurrence of
  // the name stands for: the subquery's alias when that occurrence is
  // inlined as a subquery, the name itself otherwise. Like any name the
  // scan meets, it takes its turn among the entries of a shared name.
  void holdQualifier(const Match &m) {
    entries.nextOf(m.name);
    chain.pendingQualifiers[m.name].push_back(hideName(m, m.name));
  }

  void settleQualifiers(const std::string &name, bool inlinedAsSubquery) {
    if (chain.pendingQualifiers.empty()) return;
    const auto pending = chain.pendingQualifiers.find(name);
    if (pending == chain.pendingQualifiers.end()) return;
    for (size_t index : pending->second)
      chain.placeholders[index].restore = inlinedAsSubquery ? kSubqueryAlias : name;
    chain.pendingQualifiers.erase(pending);
  }

  // ---- closing statements -------------------------------------------------

  void closeChain() {
    if (chain.accepted.empty()) return;
    ExecQueryEntry entry{cte ? finishedCteText(chain.accepted.statement(chain.working))
                             : finishedText(chain.accepted.statement(chain.working)),
                         chain.rootName,
                         dag.getQueryType(chain.rootId), std::to_string(chain.rootId)};
    closed.push_back(ClosedStatement{std::move(entry), chain.rootName, chain.readsByName});
    chain.accepted.clear();
  }

  // Hidden names written back (from the last to the first, so that a
  // restore of another length moves nothing still to be restored), then the
  // statement read without the wrapper of the chain's first substitution.
  // The text is left as the statement reads.
  std::string finishedText(typename Policy::Text &text) const {
    for (auto p = chain.placeholders.rbegin(); p != chain.placeholders.rend(); ++p) {
      if (p->start + p->length > text.size()) continue;
      if (!text.holdsAt(p->start, std::string(p->length, '*'))) continue;
      text.replace(p->start, p->start + p->length - 1, "", p->restore, "");
    }
    const size_t size = text.size();
    const size_t wrapper = kOpen.size() + kCloseAsSubquery.size();
    if (size >= wrapper && text.holdsAt(0, kOpen) &&
        text.holdsAt(size - kCloseAsSubquery.size(), kCloseAsSubquery))
      return size == wrapper ? std::string() : text.slice(kOpen.size(), size - kCloseAsSubquery.size() - 1);
    return size == 0 ? std::string() : text.slice(0, size - 1);
  }

  // The cte form: the working text holds each node's query once, inlined
  // where the statement first read it, and a reference wherever it read it
  // again. Each inlined query becomes an expression, in the order the scan
  // passed their ends (a query's readers end after it), and the place it
  // stood names it; the chain's first query, when it is the whole text, is
  // the statement's own.
  std::string finishedCteText(typename Policy::Text &text) {
    const std::string whole = text.str();
    const std::string_view view(whole);
    const std::vector<std::pair<size_t, size_t>> ranges = chain.inlined.ranges();
    const size_t regions = std::min(ranges.size(), chain.inlinings.size());
    const auto openOf = [&](size_t r) { return ranges[r].first - chain.inlinings[r].openLength; };
    const auto closeOf = [&](size_t r) { return ranges[r].second + chain.inlinings[r].closeLength; };
    std::vector<size_t> byOpen(regions);
    for (size_t r = 0; r < regions; ++r) byOpen[r] = r;
    std::stable_sort(byOpen.begin(), byOpen.end(),
                     [&](size_t a, size_t b) { return openOf(a) < openOf(b); });
    std::unordered_map<nodeid_t, size_t> regionOf;
    for (size_t r = 0; r < regions; ++r) regionOf.emplace(chain.inlinings[r].id, r);
    std::vector<size_t> hidden;  // placeholders still hidden, by position
    for (size_t p = 0; p < chain.placeholders.size(); ++p) {
      const Placeholder &h = chain.placeholders[p];
      if (h.start + h.length <= whole.size() &&
          whole.compare(h.start, h.length, std::string(h.length, '*')) == 0)
        hidden.push_back(p);
    }
    std::stable_sort(hidden.begin(), hidden.end(), [&](size_t a, size_t b) {
      return chain.placeholders[a].start < chain.placeholders[b].start;
    });

    const bool ownIsFirst = regions > 0 && openOf(0) == 0 && closeOf(0) == whole.size();
    std::vector<std::vector<CtePiece>> bodies(regions);
    std::vector<CtePiece> own;
    std::vector<size_t> open;      // regions around the sweep, innermost last
    std::vector<size_t> finished;  // regions in the order their ends are passed
    size_t cursor = 0;
    if (ownIsFirst) {
      open.push_back(0);
      cursor = ranges[0].first;
    }
    const auto pieces = [&]() -> std::vector<CtePiece> & {
      return open.empty() ? own : bodies[open.back()];
    };
    const auto textUpTo = [&](size_t pos) {
      if (pos > cursor) pieces().push_back(CtePiece{view.substr(cursor, pos - cursor)});
      cursor = std::max(cursor, pos);
    };
    const auto closeUpTo = [&](size_t pos) {
      while (!open.empty() && ranges[open.back()].second <= pos) {
        textUpTo(ranges[open.back()].second);
        cursor = closeOf(open.back());
        finished.push_back(open.back());
        open.pop_back();
      }
    };
    if (ownIsFirst) byOpen.erase(std::find(byOpen.begin(), byOpen.end(), size_t{0}));
    size_t nextRegion = 0;
    size_t nextHidden = 0;
    while (nextRegion < byOpen.size() || nextHidden < hidden.size()) {
      const bool region =
          nextHidden == hidden.size() ||
          (nextRegion < byOpen.size() &&
           openOf(byOpen[nextRegion]) <= chain.placeholders[hidden[nextHidden]].start);
      const size_t pos =
          region ? openOf(byOpen[nextRegion]) : chain.placeholders[hidden[nextHidden]].start;
      closeUpTo(pos);
      if (pos < cursor) {  // inside text already written: left as it stands
        ++(region ? nextRegion : nextHidden);
        continue;
      }
      textUpTo(pos);
      if (region) {
        const size_t r = byOpen[nextRegion++];
        pieces().push_back(CtePiece{{}, r, chain.inlinings[r].asSubquery});
        open.push_back(r);
        cursor = ranges[r].first;
      } else {
        const Placeholder &h = chain.placeholders[hidden[nextHidden++]];
        const auto held = h.reference != 0 ? regionOf.find(h.reference) : regionOf.end();
        if (held != regionOf.end())
          pieces().push_back(CtePiece{{}, held->second, h.asSubquery});
        else
          pieces().push_back(CtePiece{h.restore});
        cursor = h.start + h.length;
      }
    }
    closeUpTo(whole.size());
    textUpTo(whole.size());
    if (ownIsFirst && !finished.empty() && finished.back() == 0) {
      own = std::move(bodies[0]);
      finished.pop_back();
    }

    std::vector<size_t> expressionOf(regions, CtePiece::kText);
    for (size_t i = 0; i < finished.size(); ++i) expressionOf[finished[i]] = i;
    const auto renumbered = [&](std::vector<CtePiece> pieces) {
      for (CtePiece &piece : pieces)
        if (piece.expression != CtePiece::kText) piece.expression = expressionOf[piece.expression];
      return pieces;
    };
    std::vector<CteExpression> expressions;
    expressions.reserve(finished.size() + 1);
    for (size_t r : finished)
      expressions.push_back(
          CteExpression{dag.getNode(chain.inlinings[r].id), renumbered(std::move(bodies[r]))});
    expressions.push_back(CteExpression{nullptr, renumbered(std::move(own))});
    if (dag.dialect() == Dialect::SQLite) {
      std::vector<bool> cut;
      cteCopies(expressions, true, cut);
      for (size_t i = 0; i + 1 < expressions.size(); ++i)
        if (cut[i] && expressions[i].node != nullptr)
          cutsFound.insert(expressions[i].node->getNodeid());
    }
    if (!cutsFound.empty()) return std::string();  // the statements are made again
    return writeCteStatement(dag, expressions);
  }

  // Statements in the order closed, except that a statement which still
  // reads a name comes before the statement defining that name.
  ExecQueryList orderedForHost() {
    const size_t n = closed.size();
    std::map<std::string, std::vector<size_t>> definedBy;
    for (size_t i = 0; i < n; ++i) definedBy[closed[i].defines].push_back(i);
    std::vector<std::vector<size_t>> mustPrecede(n);
    std::vector<size_t> readersWaiting(n, 0);
    for (size_t i = 0; i < n; ++i)
      for (const std::string &name : closed[i].reads) {
        const auto definers = definedBy.find(name);
        if (definers == definedBy.end()) continue;
        for (size_t j : definers->second) {
          if (j == i) continue;
          mustPrecede[i].push_back(j);
          ++readersWaiting[j];
        }
      }
    ExecQueryList ordered;
    std::vector<bool> placed(n, false);
    for (size_t round = 0; round < n; ++round) {
      size_t next = n;
      for (size_t i = 0; i < n && next == n; ++i)
        if (!placed[i] && readersWaiting[i] == 0) next = i;
      for (size_t i = 0; i < n && next == n; ++i)  // a cycle: take the earliest
        if (!placed[i]) next = i;
      placed[next] = true;
      ordered.push_back(std::move(closed[next].entry));
      for (size_t j : mustPrecede[next])
        if (readersWaiting[j] > 0) --readersWaiting[j];
    }
    return ordered;
  }

  DAG &dag;
  typename Policy::Entries entries;
  const size_t limit;
  const bool cte;  // the statement form

 public:
  // The cte form: nodes given statements of their own (see
  // kCopiesInOneStatement), and those the last run found to need one.
  std::unordered_set<nodeid_t> cuts;
  std::unordered_set<nodeid_t> cutsFound;

 private:
  size_t expected = 0;  // see expectedSize()
  Chain<Policy> chain;
  std::vector<nodeid_t> joinInputs;  // inputs of the joins inlined so far
  std::deque<DeferredName> deferred;
  std::set<std::string> deferredNames;
  std::set<nodeid_t> mlNodesHandedOver;
  std::vector<ClosedStatement> closed;
  ResolvedQueries out;
};

bool rootScansLinearly(DAG &dag, nodeid_t nodeid) {
  return quotesFormWholeNames(rootNameOf(dag, nodeid));
}

}  // namespace

bool scansLinearly(DAG &dag, nodeid_t nodeid, const ViewQueryMap &map) {
  return rootScansLinearly(dag, nodeid) && std::all_of(map.begin(), map.end(), [](const auto &e) {
           return quotesFormWholeNames(e.first) && quotesFormWholeNames(e.second.first);
         });
}

bool scansLinearly(DAG &dag, nodeid_t nodeid, const QueryViewList &list, size_t count) {
  const auto end = list.begin() + static_cast<std::ptrdiff_t>(std::min(count, list.size()));
  return rootScansLinearly(dag, nodeid) && std::all_of(list.begin(), end, [](const auto &e) {
           return quotesFormWholeNames(e.name) && quotesFormWholeNames(e.query);
         });
}

namespace {

// The resolver's run. In the cte form, an expression whose copies multiply
// past kCopiesInOneStatement is given a statement of its own, and the
// statements are made again with those nodes read by name; every node so
// given stays given, so the runs end.
template <class Policy, class... Source>
ResolvedQueries runResolver(DAG &dag, nodeid_t nodeid, size_t splitLimit, const Source &...source) {
  std::unordered_set<nodeid_t> cuts;
  for (;;) {
    Resolver<Policy> resolver(dag, splitLimit, source...);
    resolver.cuts = cuts;
    ResolvedQueries resolved = resolver.run(nodeid);
    const size_t before = cuts.size();
    cuts.insert(resolver.cutsFound.begin(), resolver.cutsFound.end());
    if (cuts.size() == before) return resolved;
  }
}

template <class Policy>
ResolvedQueries runResolverOnMap(DAG &dag, nodeid_t nodeid, size_t splitLimit, ViewQueryMap map) {
  if (dag.form() == Form::Cte) return runResolver<Policy>(dag, nodeid, splitLimit, std::as_const(map));
  return Resolver<Policy>(dag, splitLimit, std::move(map)).run(nodeid);
}

}  // namespace

ResolvedQueries literalResolve(DAG &dag, nodeid_t nodeid, ViewQueryMap map, size_t splitLimit) {
  return runResolverOnMap<LiteralPolicy>(dag, nodeid, splitLimit, std::move(map));
}

ResolvedQueries fastResolve(DAG &dag, nodeid_t nodeid, ViewQueryMap map, size_t splitLimit) {
  if (!scansLinearly(dag, nodeid, map)) return literalResolve(dag, nodeid, std::move(map), splitLimit);
  return runResolverOnMap<FastPolicy>(dag, nodeid, splitLimit, std::move(map));
}

std::optional<ResolvedQueries> fastResolve(DAG &dag, nodeid_t nodeid, const QueryViewList &list,
                                           size_t count, size_t splitLimit) {
  if (!scansLinearly(dag, nodeid, list, count)) return std::nullopt;
  return runResolver<FastPolicy>(dag, nodeid, splitLimit, list, count);
}

namespace {

// `"schema"."table"` with a schema that is not empty and does not begin
// with a dot, and no double quote in either part: the scan meets it whole
// wherever it stands beside text without double quotes.
struct PlainName {
  std::string_view schema, table;
  size_t size() const { return schema.size() + table.size() + 5; }
};

std::optional<PlainName> plainName(std::string_view schema, std::string_view table) {
  if (schema.empty() || schema.front() == '.' || schema.find('"') != std::string_view::npos ||
      table.find('"') != std::string_view::npos)
    return std::nullopt;
  return PlainName{schema, table};
}

// The parts of a text that is one plain name.
std::optional<PlainName> plainNameIn(std::string_view text) {
  if (text.size() < 6 || text.front() != '"' || text.back() != '"') return std::nullopt;
  const size_t close = text.find('"', 1);
  if (close + 3 >= text.size() || text[close + 1] != '.' || text[close + 2] != '"')
    return std::nullopt;
  return plainName(text.substr(1, close - 1), text.substr(close + 3, text.size() - close - 4));
}

// Names told apart by their hashes: a hash met twice, of equal names or
// not, counts as a repeat.
class DistinctNames {
 public:
  explicit DistinctNames(size_t count) : slots(std::bit_ceil(2 * count + 2), 0) {}
  bool insert(const PlainName &name) {
    const std::hash<std::string_view> hash;
    const size_t h = (hash(name.schema) * 31 + hash(name.table)) | 1;  // 0 marks a free slot
    for (size_t i = h & (slots.size() - 1);; i = (i + 1) & (slots.size() - 1)) {
      if (slots[i] == h) return false;
      if (slots[i] != 0) continue;
      slots[i] = h;
      return true;
    }
  }

 private:
  std::vector<size_t> slots;
};

// True when the scan finds no name in `text`, nor one that begins in it and
// ends beside it: every double quote belongs to a whole one-part name.
bool holdsNoName(const std::string &text) {
  size_t start = 0, end = 0;
  return quotesFormWholeNames(text) && !Utils::validatePattern(text, 0, &start, &end);
}

// The length of a node's text without its input's, when the scan would
// find the input's name alone in the text, where the input stands: the
// node's own texts before and after the input hold no name (`before` and
// `after` are working memory), the text before does not end with a dot and
// the text after does not begin with one.
std::optional<size_t> ownTextLength(Node &node, std::vector<std::string_view> &pieces,
                                    size_t &input, std::string &before, std::string &after) {
  if (isJoin(DAG::queryTypeOf(node)) || !node.piecesAroundInput(pieces, input)) return std::nullopt;
  size_t length = 0;
  bool quotes = false;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i == input) continue;
    length += pieces[i].size();
    quotes = quotes || pieces[i].find('"') != std::string_view::npos;
  }
  for (size_t i = input + 1; i < pieces.size(); ++i) {
    if (pieces[i].empty()) continue;
    if (pieces[i].front() == '.') return std::nullopt;
    break;
  }
  if (!quotes) return length;
  before.clear();
  after.clear();
  for (size_t i = 0; i < pieces.size(); ++i)
    if (i != input) (i < input ? before : after).append(pieces[i]);
  if ((!before.empty() && before.back() == '.') || !holdsNoName(before) || !holdsNoName(after))
    return std::nullopt;
  return length;
}

// One level of a chain as the scan inlines it.
struct ChainLevel {
  Node &node;
  size_t nameSize;  // of the node's plain name
  size_t ownLength;  // of its text without its input
  size_t inputSize;  // of its input's name or text in its query
  const std::vector<std::string_view> &pieces;  // its text, around its input
  size_t inputPiece;  // where the input stands in `pieces`
};

// Follows `nodeid`'s path (the graph's last walk, `pathSize` nodes) from
// the node inwards, handing each level to `visit`, when the path is a
// chain the scan inlines level by level (see nodeChainOf); false for any
// other path, which `visit` may have been shown a part of.
template <class Visit>
bool walkChain(DAG &dag, nodeid_t nodeid, size_t pathSize, Visit &&visit) {
  Node *node = dag.getNode(nodeid);
  std::optional<PlainName> name;
  if (node != nullptr) name = plainName(node->getOutputSchema(), node->getOutputTable());
  if (!name) return false;
  DistinctNames names(pathSize);
  names.insert(*name);
  size_t listed = 0;
  std::vector<std::string_view> pieces;
  std::string before, after;
  for (;;) {
    if (listed == pathSize || !dag.isListed(*node)) return false;
    size_t inputPiece = 0;
    const std::optional<size_t> own = ownTextLength(*node, pieces, inputPiece, before, after);
    if (!own) return false;
    Node *input = node->firstInput();
    const bool inlined = input != nullptr && dag.isListed(*input);
    std::optional<PlainName> next;
    size_t inputSize = 0;
    if (inlined) {
      next = plainName(input->getOutputSchema(), input->getOutputTable());
      if (!next || !names.insert(*next)) return false;
      inputSize = next->size();
    } else {
      // An input outside the path is written as it is read: a name the
      // scan finds in it must be one that no node of the path bears.
      const std::string text = node->inputName(0);
      if (text.find('"') != std::string::npos) {
        const std::optional<PlainName> outside = plainNameIn(text);
        if (!outside || !names.insert(*outside)) return false;
      }
      inputSize = text.size();
    }
    ++listed;
    visit(ChainLevel{*node, name->size(), *own, inputSize, pieces, inputPiece});
    if (!inlined) break;
    node = input;
    name = next;
  }
  return listed == pathSize;
}

}  // namespace

// As the scan makes the statements: the root's name becomes its query as a
// subquery, whose input's name becomes the input's query, and so on; each
// step grows the working text by the wrapper and the query less the name.
// A step that would take the text from below the limit to the limit or
// beyond is not made, except as a statement's first: the name stays, and
// the next statement starts from it.
std::vector<SplicedStatement> nodeChainOf(DAG &dag, nodeid_t nodeid, size_t pathSize,
                                          size_t splitLimit) {
  std::vector<SplicedStatement> statements;
  std::vector<Node *> levels;
  size_t size = 0;  // of the working text
  const size_t wrapper = kOpen.size() + kCloseAsSubquery.size();
  const bool chain = walkChain(dag, nodeid, pathSize, [&](const ChainLevel &level) {
    if (levels.empty() && statements.empty()) size = level.nameSize;
    const size_t query = level.ownLength + level.inputSize + wrapper;  // as a subquery
    if (!levels.empty() && size < splitLimit && size - level.nameSize + query >= splitLimit) {
      statements.emplace_back(std::move(levels), size - wrapper);
      levels.clear();
      size = level.nameSize;
    }
    levels.push_back(&level.node);
    size = size - level.nameSize + query;
  });
  if (!chain) return {};
  statements.emplace_back(std::move(levels), size - wrapper);
  return statements;
}

namespace {

// The cte form of a chain, made as the chain is followed: each level grows
// the working text by its query as a subquery, and the statement by what
// its expression adds (cteExpressionCost); a level that would take the
// statement to the limit starts the next one. A statement is named and
// sized when its last level is known, from the words of its levels' texts
// that may take a name, found as the levels were met.
class CteChain {
 public:
  // The chain of `nodeid`'s path: the bases of its levels' names, read
  // first, tell which words of the levels' texts may take a name, so each
  // level's texts are read once, when the level is met.
  CteChain(DAG &dag, nodeid_t nodeid, size_t pathSize, size_t splitLimit)
      : splitLimit(splitLimit), opening(cteOpening(dag, 1)) {  // every level is read once
    Node *node = dag.getNode(nodeid);
    for (size_t level = 0; node != nullptr && level < pathSize; ++level) {
      finder.add(node);
      node = node->firstInput();
      if (node != nullptr && !dag.isListed(*node)) break;
    }
  }

  void add(const ChainLevel &level) {
    const size_t candidate = size - (group.empty() ? size : level.nameSize) + wrapper() +
                             level.ownLength + level.inputSize;
    if (group.empty()) {
      startStatement(level);
      size = candidate;
      return;
    }
    const long long extraAfter =
        extra + static_cast<long long>(cteExpressionCost(&level.node, true, group.size() == 1));
    if (total(size, extra) < splitLimit && total(candidate, extraAfter) >= splitLimit) {
      finishStatement();
      size = wrapper() + level.ownLength + level.inputSize;
      extra = 0;
      startStatement(level);
      return;
    }
    extra = extraAfter;
    size = candidate;
    keepLevel(level);
  }

  // The statements, once the last level was added; none when a statement
  // cannot be written from its levels.
  std::vector<SplicedStatement> finish() {
    if (!group.empty()) finishStatement();
    if (failed) statements.clear();
    return std::move(statements);
  }

 private:
  // What the nested form writes around a subquery: "(" and ") as temp_table".
  static size_t wrapper() { return kOpen.size() + kCloseAsSubquery.size(); }

  static size_t total(size_t size, long long extra) {
    const long long t = static_cast<long long>(size) + extra;
    return t < 0 ? size_t{0} : static_cast<size_t>(t);
  }

  void startStatement(const ChainLevel &level) {
    // A select's prefix that is a `with` list joins the statement's: the
    // scan writes it.
    std::string ownStart;
    for (size_t i = 0; i < level.inputPiece; ++i) ownStart.append(level.pieces[i]);
    startsWithList = withListStart(ownStart) != 0;
    keepLevel(level);
  }

  // Keeps a level of the statement: its node, its name's base, the length
  // of its own texts and the words in them that may take a name.
  void keepLevel(const ChainLevel &level) {
    group.push_back(&level.node);
    appendCteBase(&level.node, baseChars);
    baseEnds.push_back(baseChars.size());
    ownLengths += level.ownLength;
    for (size_t i = 0; i < level.pieces.size(); ++i)
      if (i != level.inputPiece) finder.findInPlace(level.pieces[i], words);
  }

  void finishStatement() {
    if (group.size() > 1 && startsWithList) failed = true;
    const std::string innermostInput = group.back()->inputName(0);
    // The expressions are the levels below the outermost, named in the
    // order the statement lists them: from the innermost out.
    const size_t levels = group.size();
    bases.clear();
    for (size_t k = levels - 1; k >= 1; --k)
      bases.emplace_back(baseChars.data() + baseEnds[k - 1], baseEnds[k] - baseEnds[k - 1]);
    finder.find(innermostInput, words);
    std::vector<CteSuffix> suffixes = namer.suffixes(bases, words);
    // The statement keeps them by level, from the outermost in.
    for (CteSuffix &suffix : suffixes)
      suffix.index = static_cast<std::uint32_t>(levels - 1 - suffix.index);
    std::reverse(suffixes.begin(), suffixes.end());
    size_t written = innermostInput.size() + ownLengths;
    auto suffix = suffixes.begin();
    for (size_t k = 1; k < levels; ++k) {
      const std::uint32_t of = suffix != suffixes.end() && suffix->index == k ? (suffix++)->k : 0;
      const size_t name =
          bases[levels - 1 - k].size() + (of == 0 ? 0 : 1 + std::to_string(of).size());
      written += 2 * name + opening.size() + kCloseAsSubquery.size() - 1 + (k > 1 ? 3 : 2);
    }
    if (group.size() > 1) written += 5;  // "with "
    statements.emplace_back(std::move(group), std::move(suffixes), opening, written);
    group.clear();
    words.clear();
    baseChars.clear();
    baseEnds.clear();
    ownLengths = 0;
  }

  const size_t splitLimit;
  const std::string_view opening;
  size_t size = 0;  // of the working text
  long long extra = 0;  // what the statement adds to it
  // The statement being made: its levels, the sum of their own texts'
  // lengths, and the words of those texts that may take a name.
  std::vector<Node *> group;
  size_t ownLengths = 0;
  std::vector<std::string> words;
  // The bases of their expressions' names, side by side, each level's
  // ending where `baseEnds` says; views of them.
  std::string baseChars;
  std::vector<size_t> baseEnds;
  std::vector<std::string_view> bases;
  bool startsWithList = false;
  bool failed = false;
  CteWordFinder finder;
  CteNamer namer;
  std::vector<SplicedStatement> statements;
};

}  // namespace

std::vector<SplicedStatement> cteChainOf(DAG &dag, nodeid_t nodeid, size_t pathSize,
                                         size_t splitLimit) {
  CteChain chain(dag, nodeid, pathSize, splitLimit);
  if (!walkChain(dag, nodeid, pathSize, [&](const ChainLevel &level) { chain.add(level); }))
    return {};
  return chain.finish();
}

bool useLiteralResolver = false;

ResolvedQueries resolve(DAG &dag, nodeid_t nodeid, ViewQueryMap map, size_t splitLimit) {
  return useLiteralResolver ? literalResolve(dag, nodeid, std::move(map), splitLimit)
                            : fastResolve(dag, nodeid, std::move(map), splitLimit);
}

}  // namespace dfq

// Each level's text before its input is written from the front, its text
// after its input from the back (the size is known), the innermost text
// whole where the two meet: every level's pieces are worked out once.
char *SplicedStatement::write(char *out) const {
  char *const end = out + size_;
  char *back = end;
  auto put = [&out](std::string_view piece) {
    if (!piece.empty()) std::memcpy(out, piece.data(), piece.size());
    out += piece.size();
  };
  auto putBack = [&back](std::string_view piece) {
    back -= piece.size();
    if (!piece.empty()) std::memcpy(back, piece.data(), piece.size());
  };
  std::vector<std::string_view> pieces;
  size_t input = 0;
  if (cte_) {
    // From the innermost level out; the suffixes are met from the last.
    auto suffix = suffixes_.rbegin();
    const auto suffixOf = [&](size_t level) -> std::uint32_t {
      while (suffix != suffixes_.rend() && suffix->index > level) ++suffix;
      return suffix != suffixes_.rend() && suffix->index == level ? suffix->k : 0;
    };
    const size_t n = levels_.size();
    std::string_view below;  // the name of the level below, as written
    for (size_t k = n; k-- > 0;) {
      if (k + 1 == n && n > 1) put("with ");
      std::string_view name;
      if (k > 0) {
        char *const start = out;
        out = dfq::writeCteName(levels_[k], suffixOf(k), out);
        name = std::string_view(start, static_cast<size_t>(out - start));
        put(opening_);
      }
      levels_[k]->piecesAroundInput(pieces, input);
      for (size_t i = 0; i < input; ++i) put(pieces[i]);
      if (k + 1 == n) {
        put(levels_[k]->inputName(0));
      } else {
        put(below);
        put(" as temp_table");
      }
      for (size_t i = input + 1; i < pieces.size(); ++i) put(pieces[i]);
      if (k > 0) put(k > 1 ? "),\n" : ")\n");
      below = name;
    }
    return end;
  }
  for (size_t k = 0; k < levels_.size(); ++k) {
    levels_[k]->piecesAroundInput(pieces, input);
    for (size_t i = 0; i < input; ++i) put(pieces[i]);
    if (k + 1 == levels_.size()) {
      put(levels_[k]->inputName(0));
      for (size_t i = input + 1; i < pieces.size(); ++i) put(pieces[i]);
      break;
    }
    put("(");
    for (size_t i = pieces.size(); i-- > input + 1;) putBack(pieces[i]);
    putBack(") as temp_table");
  }
  return end;
}
