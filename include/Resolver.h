// The literal resolver: turns the queries of a node's path into
// self-contained statements by inlining every quoted name of the path as a
// subquery, gives a name its own statement where inlining it would make a
// statement too large, and hands ML queries over as statements of their own.
// It is the reference against which any faster resolver is compared.
#ifndef DFQ_RESOLVER_H
#define DFQ_RESOLVER_H

#include <cstddef>
#include <optional>
#include <vector>

#include "DAG.h"
#include "QueryLists.h"
#include "dfqCommon.h"

namespace dfq {

// A substitution that would take a statement from below this many
// characters to this many or more is not made.
inline constexpr std::size_t kSplitLimit = 921600;

// An ML query met by the scan (an ML node with several outputs, or a
// reference output of one): its text, handed over unchanged, the node whose
// dependency list the caller merges, and the ML node whose inputs it merges.
struct MlHandOver {
  ExecQueryEntry statement;
  nodeid_t rootId = 0;
  nodeid_t mlNode = 0;
  bool operator==(const MlHandOver &) const = default;
};

// One run of the resolver, before the ML queries' dependencies and inputs
// are merged.
struct ResolvedQueries {
  // Every statement precedes the statements that define the names it still
  // reads, so a host creating them from the last to the first succeeds.
  // The output names of ML queries stay in them as written.
  ExecQueryList statements;
  // One per ML node whose outputs the statements read, in the order met.
  std::vector<MlHandOver> handOvers;
};

// Resolves `nodeid` against `map` (name -> query and node id of the path's
// nodes; equal names are used in insertion order). Reads the graph, changes
// nothing in it. Fails with 1211 or 1214 for ids not in the graph.
ResolvedQueries literalResolve(DAG &dag, nodeid_t nodeid, ViewQueryMap map,
                               std::size_t splitLimit = kSplitLimit);

// The same statements as literalResolve, byte for byte, in time linear in
// the text it produces: the working text is a gap buffer whose scan resumes
// where an edit can have changed its outcome. Texts with stray double
// quotes, whose scan can move backwards, are resolved by literalResolve.
ResolvedQueries fastResolve(DAG &dag, nodeid_t nodeid, ViewQueryMap map,
                            std::size_t splitLimit = kSplitLimit);

// True when fastResolve resolves `map` itself rather than through the
// literal resolver: every text's double quotes belong to whole quoted names.
bool scansLinearly(DAG &dag, nodeid_t nodeid, const ViewQueryMap &map);
bool scansLinearly(DAG &dag, nodeid_t nodeid, const QueryViewList &list, std::size_t count);

// fastResolve over the first `count` entries of a path's list of queries
// and views (distinct node ids), as if they had been laid out as a map.
// Nothing when the statements need the literal resolver (scansLinearly
// does not hold). The list must outlive the call.
std::optional<ResolvedQueries> fastResolve(DAG &dag, nodeid_t nodeid, const QueryViewList &list,
                                           std::size_t count,
                                           std::size_t splitLimit = kSplitLimit);

// The statements the resolvers make of `nodeid`'s path (the graph's last
// walk, `pathSize` nodes) when the path is a nested chain they inline level
// by level, kept as their nodes and written without composing a text:
// every node has one input, which is the next level, read by a plain quoted
// name (`"schema"."table"`) that no other node of the path bears, and the
// node's own texts hold no other name; the innermost level reads a base
// table or a node outside the path. Where inlining a level would take a
// statement to `splitLimit`, its name stays and it starts the next
// statement, which the statements before it precede. Empty for any other
// path.
std::vector<SplicedStatement> nodeChainOf(DAG &dag, nodeid_t nodeid, std::size_t pathSize,
                                          std::size_t splitLimit = kSplitLimit);

// The same statements in the cte form, as the resolvers make them of such
// a chain, written from the nodes' pieces without a scan. Empty for any
// other path.
std::vector<SplicedStatement> cteChainOf(DAG &dag, nodeid_t nodeid, std::size_t pathSize,
                                         std::size_t splitLimit = kSplitLimit);

// What query assembly uses: fastResolve, or literalResolve while
// `useLiteralResolver` is set (for measurements against the reference).
ResolvedQueries resolve(DAG &dag, nodeid_t nodeid, ViewQueryMap map,
                        std::size_t splitLimit = kSplitLimit);
extern bool useLiteralResolver;

}  // namespace dfq

#endif
