// The common table expression form of a statement. The resolver makes a
// statement as in the nested form, except that a node's query is inlined
// only where the statement first reads the node; every later place reads
// it by reference. The statement is then written from those pieces: each
// inlined query becomes an expression of the statement's `with` list,
// before the first expression that reads it, and every place that read it
// names it.
#ifndef DFQ_RESOLVER_CTE_H
#define DFQ_RESOLVER_CTE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "DAG.h"
#include "QueryLists.h"
#include "dfqCommon.h"

namespace dfq {

// A piece of an expression's text: text as written, or a place that reads
// expression `expression` (an index into the statement's expressions),
// written as its name and, where the nested form wrote a subquery alias,
// " as temp_table".
struct CtePiece {
  std::string_view text;
  std::size_t expression = kText;
  bool asSubquery = false;
  static constexpr std::size_t kText = static_cast<std::size_t>(-1);
};

// The query of one node, in pieces; the statement's own query is the last
// expression, whose node is not read.
struct CteExpression {
  const Node *node = nullptr;
  std::vector<CtePiece> pieces;
};

// Copies of a query that the nested form would write, up to which the
// portable dialects leave an expression to the planner (`not
// materialized`); an expression whose copies would be more is
// `materialized`. On PostgreSQL a base read six times by aggregates joined
// back to it runs faster inlined (0.96 s against 1.72 s materialised over
// 500,000 rows), while a ladder of self-joins, whose copies double at every
// level, needs its lower levels materialised.
inline constexpr std::size_t kCopiesLeftToPlanner = 8;

// Copies beyond which, in the sqlite dialect, an expression is not written
// in the statement that reads it but gets a statement of its own, which the
// statement reads by its name: SQLite writes out a copy of an expression's
// query for every place that reads it before it plans the statement, so the
// nested form's copies would come back (a 16-level ladder of self-joins
// fails with "too many references").
inline constexpr std::size_t kCopiesInOneStatement = 16;

// The copies of each expression's query that the nested form would write,
// counted from the statement's own query (the last expression) down. With
// `cutting`, an expression whose copies pass kCopiesInOneStatement is set in
// `cut` and counts once for the expressions it reads, as the root of a
// statement of its own would.
std::vector<std::size_t> cteCopies(const std::vector<CteExpression> &expressions, bool cutting,
                                   std::vector<bool> &cut);

// The statement: `with NAME as [not] materialized (QUERY),` one expression
// a line, then the statement's own query on a line of its own; the own
// query alone when no expression is read. `expressions` lists each
// expression after every expression it reads (the own query last). Names
// come from the nodes' output names, are unique within the statement and
// differ from every word the statement's text holds besides them.
std::string writeCteStatement(DAG &dag, const std::vector<CteExpression> &expressions);

// Hands every text of a statement but its expressions' names, one by one,
// to the function it is given.
using CteTexts = std::function<void(const std::function<void(std::string_view)> &)>;

// The names of the expressions of `nodes` in one statement, in the
// statement's order, whose other texts `texts` hands over. An expression is
// named by its node's output name as an unquoted name (lower case, letters,
// digits and '_', "t_" in front of one that does not begin with a letter),
// or, where that is taken, by it and "_<k>" with the least k from 2 that is
// not: a name is taken when it is reserved, names an earlier expression or
// is a word of the texts. Only the suffixed names are listed.
using CteSuffix = SplicedStatement::Suffix;
std::vector<CteSuffix> cteSuffixes(std::span<const Node *const> nodes, const CteTexts &texts);
// Names the expressions of one statement after another (as cteSuffixes),
// keeping its working memory from one to the next.
class CteNamer {
 public:
  CteNamer();
  ~CteNamer();
  CteNamer(const CteNamer &) = delete;
  CteNamer &operator=(const CteNamer &) = delete;
  // As cteSuffixes, for expressions of these bases (see appendCteBase).
  std::vector<CteSuffix> suffixes(std::span<const std::string_view> bases, const CteTexts &texts);
  // The same, the statement's words that may take a name being `words`
  // (found by a CteWordFinder that was given these bases, or more).
  std::vector<CteSuffix> suffixes(std::span<const std::string_view> bases,
                                  std::span<const std::string> words);

 private:
  std::vector<CteSuffix> settle(std::span<const std::string_view> bases);
  struct Memory;
  std::unique_ptr<Memory> memory;
};
// Finds in texts the words that may be a base it was given, or one with a
// suffix: a superset of the words that take names of those bases, which
// reading them as texts of the statement (cteSuffixes) sorts out.
class CteWordFinder {
 public:
  CteWordFinder();
  ~CteWordFinder();
  CteWordFinder(const CteWordFinder &) = delete;
  CteWordFinder &operator=(const CteWordFinder &) = delete;
  // Finds the words that may take the name of `node`'s expression too.
  void add(const Node *node);
  // Appends the words of `text` found, in lower case, to `found`.
  void find(std::string_view text, std::vector<std::string> &found);
  // The same for a text that stays where it is, with the same characters,
  // as long as the finder lives (a node's, or one the library writes):
  // what was found in a short one is kept by its place.
  void findInPlace(std::string_view text, std::vector<std::string> &found);

 private:
  struct Filter;
  std::unique_ptr<Filter> filter;
};

// Appends the base of the name of `node`'s expression to `to`.
void appendCteBase(const Node *node, std::string &to);
// The same names, whole.
std::vector<std::string> cteNames(const std::vector<const Node *> &nodes, const CteTexts &texts);
// The name of `node`'s expression with suffix `k` (0: none), written to
// `out`; returns past it.
char *writeCteName(const Node *node, std::uint32_t k, char *out);

// What follows an expression's name up to its query: " as (" in the
// default dialect, else " as materialized (" or " as not materialized ("
// by the copies of its query the nested form would write.
std::string_view cteOpening(DAG &dag, std::size_t copies);

// Where the first expression of a query's own `with` list begins ("with "
// or "with recursive " in any case, after blanks); 0 when it has none.
std::size_t withListStart(std::string_view query);

// Bytes a statement may gain over its nested text, bounded above, when an
// expression for `node` is added: its name twice, the wrapper of an
// expression instead of a subquery's, and `with` for the first.
std::size_t cteExpressionCost(const Node *node, bool asSubquery, bool first);
// Bytes a reference to `node` takes, bounded above.
std::size_t cteReferenceCost(const Node *node, bool asSubquery);

}  // namespace dfq

#endif
