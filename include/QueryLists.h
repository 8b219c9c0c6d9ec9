// The lists that query assembly passes around and caches on nodes.
#ifndef DFQ_QUERY_LISTS_H
#define DFQ_QUERY_LISTS_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "SharedText.h"
#include "dfqCommon.h"

// One node of a path: its qualified output name and its own SQL text (both
// shared with the node that composed them), its id.
struct QueryViewEntry {
  dfq::SharedText name;
  dfq::SharedText query;
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

// A statement kept as the pieces it is written from rather than as one
// text: each level's query, the text before the name of the next level
// followed by "(", the innermost query, then each level's text after that
// name preceded by ") as temp_table", from the innermost level out. It is
// written where it is read (the host's buffer) at its exact size.
class SplicedStatement {
 public:
  struct Level {
    dfq::SharedText query;
    std::uint32_t nameStart = 0;  // of the next level's name; unused in the innermost
    std::uint32_t nameEnd = 0;
  };
  SplicedStatement() = default;
  SplicedStatement(std::vector<Level> levels, std::size_t size)
      : levels_(std::move(levels)), size_(size) {}

  bool empty() const { return levels_.empty(); }
  std::size_t size() const { return size_; }
  // Writes the statement's `size()` characters to `out`; returns past them.
  char *write(char *out) const;
  std::string str() const {
    std::string text(size_, '\0');
    if (size_ != 0) write(text.data());
    return text;
  }

 private:
  std::vector<Level> levels_;  // outermost first
  std::size_t size_ = 0;
};

// Name -> (query, node id); equal names keep their insertion order.
using ViewQueryMap = std::multimap<std::string, std::pair<std::string, nodeid_t>>;

#endif
