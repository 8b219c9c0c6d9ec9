// The lists that query assembly passes around and caches on nodes.
#ifndef DFQ_QUERY_LISTS_H
#define DFQ_QUERY_LISTS_H

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

// Name -> (query, node id); equal names keep their insertion order.
using ViewQueryMap = std::multimap<std::string, std::pair<std::string, nodeid_t>>;

#endif
