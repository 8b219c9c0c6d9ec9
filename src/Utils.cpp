#define DFQ_LOG_UNIT "../src/Utils"
#include "Utils.h"

#include <sys/time.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "DagException.h"

void Utils::checkCharCharPtr(const char *argName, char **value, bool nullCheckOnly) {
  // An array whose first string is itself null fails like a null array.
  if (value == nullptr || value[0] == nullptr)
    throw DagException(std::string("Char Char Null Pointer value encountered for argument: ") +
                           argName,
                       1501);
  if (!nullCheckOnly && value[0][0] == '\0')
    throw DagException(
        std::string("Argument ") + argName + " is required, should NOT be an empty string", 1502);
}

void Utils::checkIntPtr(const char *argName, int *value, bool nullCheckOnly) {
  if (value == nullptr)
    throw DagException(std::string("Integer Null Pointer value encountered: ") + argName, 1503);
  if (!nullCheckOnly && *value <= 0)
    throw DagException(
        std::string("Argument ") + argName + " is required, should be greater than zero(0)", 1504);
}

nodeid_t Utils::generateID() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  const auto usec = static_cast<std::uint32_t>(tv.tv_usec);
  const auto r = static_cast<std::uint64_t>(rand());
  return static_cast<nodeid_t>(std::uint64_t{usec} * 10000 + usec / 100 + r % 10000);
}

std::string Utils::toLower(std::string text) {
  for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Utils::qualifiedName(std::string_view table, std::string_view schema) {
  if (schema.empty()) return std::string(table);
  return quotedName(table, schema);
}

std::string Utils::quotedName(std::string_view table, std::string_view schema) {
  std::string name;
  name.reserve(table.size() + schema.size() + 5);
  name += '"';
  name += schema;
  name += "\".\"";
  name += table;
  name += '"';
  return name;
}

void Utils::copyToBuffer(const std::string &text, char *buffer) {
  if (buffer != nullptr) std::memcpy(buffer, text.c_str(), text.size() + 1);
}
