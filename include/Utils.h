// Argument checks, node id generation, the multimaps of query assembly and
// the scanner of quoted two-part names.
#ifndef DFQ_UTILS_H
#define DFQ_UTILS_H

#include <map>
#include <string>
#include <string_view>

#include "QueryLists.h"
#include "dfqCommon.h"

class Utils {
 public:
  // 1501 when `value` (or its first string) is null; 1502 when the first
  // string is empty and `nullCheckOnly` is false.
  static void checkCharCharPtr(const char *argName, char **value, bool nullCheckOnly);
  // 1503 when `value` is null; 1504 when `*value` <= 0 and `nullCheckOnly`
  // is false.
  static void checkIntPtr(const char *argName, int *value, bool nullCheckOnly);

  // A node id from the clock's microseconds and rand(); 0 is possible.
  static nodeid_t generateID();

  // Finds the first `"a"."b"` in `text` at or after `from`: `*start` and
  // `*end` receive the indexes of its first and last double quote.
  static bool validatePattern(const std::string &text, int *start, int *end);
  static bool validatePattern(const std::string &text, size_t from, size_t *start, size_t *end);

  static ViewQueryMap make_view_queryMultiMap(char **names, char **queries, long *nodeids,
                                              int count);
  static std::multimap<std::string, std::string> makeMultiMap(char **keys, char **values,
                                                              int count);

  // Copies `text` with its terminating zero into a host buffer; a null
  // buffer receives nothing.
  static void copyToBuffer(const std::string &text, char *buffer);

  // Lower-cases with the C locale's tolower, character by character.
  static std::string toLower(std::string text);
  // `"schema"."table"` or the bare table when the schema is empty.
  static std::string qualifiedName(std::string_view table, std::string_view schema);
  // `"schema"."table"`, always quoted (the resolver's form).
  static std::string quotedName(std::string_view table, std::string_view schema);
};

#endif
