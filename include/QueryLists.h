// The lists that query assembly passes around and caches on nodes.
#ifndef DFQ_QUERY_LISTS_H
#define DFQ_QUERY_LISTS_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dfqCommon.h"

class Node;

// One node of a path: its qualified output name, its own SQL text, its id.
struct QueryViewEntry {
  std::string name;
  std::string query;
  nodeid_t nodeid = 0;
  bool operator==(const QueryViewEntry &) const = default;
};
using QueryViewList = std::vector<QueryViewEntry>;

// One statement handed to the host.
struct ExecQueryEntry {
  std::string query;
  std::string name;
  std::string queryType;
  std::string nodeid;  // decimal
  bool operator==(const ExecQueryEntry &) const = default;
};
using ExecQueryList = std::vector<ExecQueryEntry>;

// The statement of a nested chain kept as the nodes it is written from
// rather than as one text: each level's node reads the next level's by its
// quoted name, which the statement replaces with the next level's text as a
// subquery; the innermost level's text is written whole. So the statement is
// each level's text before its input followed by "(", the innermost text,
// then each level's text after its input preceded by ") as temp_table",
// from the innermost level out. It is written where it is read (the host's
// buffer) at its exact size, worked out when the chain was followed.
class SplicedStatement {
 public:
  SplicedStatement() = default;
  SplicedStatement(std::vector<Node *> levels, std::size_t size)
      : levels_(std::move(levels)), size_(size) {}
  // The same chain in the cte form: each level below the outermost is an
  // expression named by its node's output name (with the suffix `suffixes`
  // give it, if any), written from the innermost out as `NAME` + `opening`
  // + its text + "),\n", the first after "with " and the last closed by
  // ")\n"; a level reads the next level as `NAME as temp_table`; the
  // outermost level's text follows.
  struct Suffix {
    std::uint32_t index;  // of the level whose expression's name "_<k>" ends
    std::uint32_t k;
  };
  SplicedStatement(std::vector<Node *> levels, std::vector<Suffix> suffixes,
                   std::string_view opening, std::size_t size)
      : levels_(std::move(levels)),
        suffixes_(std::move(suffixes)),
        opening_(opening),
        size_(size),
        cte_(true) {}

  bool empty() const { return levels_.empty(); }
  std::size_t size() const { return size_; }
  // The node whose name the statement stands for.
  Node *root() const { return levels_.front(); }
  const std::vector<Node *> &levels() const { return levels_; }
  // Writes the statement's `size()` characters to `out`; returns past them.
  char *write(char *out) const;
  std::string str() const {
    std::string text(size_, '\0');
    if (size_ != 0) write(text.data());
    return text;
  }

 private:
  std::vector<Node *> levels_;    // outermost first
  std::vector<Suffix> suffixes_;  // the cte form's, by level
  std::string_view opening_;
  std::size_t size_ = 0;
  bool cte_ = false;
};

// Name -> (query, node id); equal names keep their insertion order.
using ViewQueryMap = std::multimap<std::string, std::pair<std::string, nodeid_t>>;

#endif
