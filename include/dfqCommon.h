// Shared by every unit of the library: the node id type and the keyword
// tables of joins and set operations. Each unit gets its own copy of the
// tables, filled when the library is loaded.
#ifndef DFQ_COMMON_H
#define DFQ_COMMON_H

#include <cstdint>
#include <map>
#include <string>

using nodeid_t = std::int64_t;

// Join type as the host names it (lower case) -> SQL words before " join ",
// or for semi and anti joins the words before the subquery that tests for a
// matching row of the second input.
static const std::map<std::string, std::string> joinTypeMap = {
    {"anti", "not exists"},  {"cross", "cross"},       {"full", "full outer"},
    {"inner", "inner"},      {"left", "left outer"},   {"right", "right outer"},
    {"semi", "exists"},
};

// Semi and anti joins keep rows of the first input only.
inline bool isFilteringJoin(const std::string &lowerType) {
  return lowerType == "semi" || lowerType == "anti";
}

// Set operator as the host names it (lower case) -> SQL words.
static const std::map<std::string, std::string> setopTypeMap = {
    {"intersect", "intersect"}, {"intersectall", "intersect all"},
    {"minus", "minus"},         {"minusall", "minus all"},
    {"union", "union"},         {"unionall", "union all"},
};

#endif
