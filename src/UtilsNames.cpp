// The scanner of quoted two-part names and the multimaps that query assembly
// builds from parallel arrays of names, queries and node ids.
#define DFQ_LOG_UNIT "../src/Utils"
#include "Utils.h"

#include <climits>

#include "DagException.h"

namespace {

constexpr char kQuote = '"';

bool holds(const std::string &text, size_t pos, char c) {
  return pos < text.size() && text[pos] == c;
}

std::string textOrEmpty(const char *text) { return text ? std::string(text) : std::string(); }

void requireArrays(char **keys, char **values) {
  if (keys == nullptr) throw DagException("Null pointer/empty keys", 1507);
  if (values == nullptr) throw DagException("Null pointer/empty keys", 1508);
}

}  // namespace

// Every double quote is tried as the start of `"a"."b"`: its next quote must
// be followed by `."`, and a further quote must close the second part. The
// scan resumes at the character after each failed start, so the closing
// quote of a failed candidate is tried as a start in turn.
bool Utils::validatePattern(const std::string &text, size_t from, size_t *start, size_t *end) {
  for (size_t i = text.find(kQuote, from); i != std::string::npos; i = text.find(kQuote, i + 1)) {
    if (start) *start = i;
    const size_t firstClose = text.find(kQuote, i + 1);
    if (firstClose == std::string::npos) return false;  // no later start can close either
    if (!holds(text, firstClose + 1, '.') || !holds(text, firstClose + 2, kQuote)) continue;
    const size_t secondClose = text.find(kQuote, firstClose + 3);
    if (secondClose == std::string::npos) continue;
    if (end) *end = secondClose;
    return true;
  }
  return false;
}

bool Utils::validatePattern(const std::string &text, int *start, int *end) {
  size_t first = 0, last = 0;
  if (!validatePattern(text, 0, &first, &last)) {
    if (start && first <= INT_MAX) *start = static_cast<int>(first);
    return false;
  }
  if (first > INT_MAX || last > INT_MAX) return false;  // positions an int cannot hold
  if (start) *start = static_cast<int>(first);
  if (end) *end = static_cast<int>(last);
  return true;
}

ViewQueryMap Utils::make_view_queryMultiMap(char **names, char **queries, long *nodeids,
                                            int count) {
  requireArrays(names, queries);
  if (count <= 0) throw DagException("Number of queries or views provided are zero", 1509);
  ViewQueryMap map;
  for (int i = 0; i < count; ++i) {
    const nodeid_t id = nodeids ? static_cast<nodeid_t>(nodeids[i]) : 0;
    map.emplace(textOrEmpty(names[i]), std::make_pair(textOrEmpty(queries[i]), id));
  }
  return map;
}

std::multimap<std::string, std::string> Utils::makeMultiMap(char **keys, char **values, int count) {
  requireArrays(keys, values);
  if (count <= 0) throw DagException("Zero count provided ", 1509);
  std::multimap<std::string, std::string> map;
  for (int i = 0; i < count; ++i) map.emplace(textOrEmpty(keys[i]), textOrEmpty(values[i]));
  return map;
}
