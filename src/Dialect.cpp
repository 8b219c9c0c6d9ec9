#define DFQ_LOG_UNIT "../src/Dialect"
#include "Dialect.h"

#include <algorithm>
#include <cctype>

#include "DagException.h"
#include "Utils.h"

namespace dfq {

namespace {

struct NamedDialect {
  const char *name;
  Dialect dialect;
};
constexpr NamedDialect kDialects[] = {
    {"default", Dialect::Default},
    {"postgresql", Dialect::PostgreSQL},
    {"sqlite", Dialect::SQLite},
};

std::string_view trimmed(std::string_view text) {
  const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool allDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// "0.25", ".5", "1.0": digits around one point, at most 1 in value.
bool isFraction(std::string_view text) {
  const size_t point = text.find('.');
  if (point == std::string_view::npos) return false;
  const std::string_view whole = text.substr(0, point), part = text.substr(point + 1);
  if (!(whole.empty() || allDigits(whole)) || !(part.empty() || allDigits(part))) return false;
  if (whole.empty() && part.empty()) return false;
  const size_t leading = whole.find_first_not_of('0');
  if (leading == std::string_view::npos) return true;               // below 1
  if (whole.substr(leading) != "1") return false;                   // 2 or more
  return part.find_first_not_of('0') == std::string_view::npos;     // exactly 1
}

[[noreturn]] void refuse(Dialect dialect, const std::string &form, int code) {
  throw DagException(std::string("Dialect ") + dialectName(dialect) + " does not support " + form,
                     code);
}

}  // namespace

const char *dialectName(Dialect dialect) {
  for (const NamedDialect &entry : kDialects)
    if (entry.dialect == dialect) return entry.name;
  return "default";
}

bool dialectNamed(std::string_view value, Dialect &dialect) {
  const std::string lower = Utils::toLower(std::string(value));
  for (const NamedDialect &entry : kDialects)
    if (lower == entry.name) {
      dialect = entry.dialect;
      return true;
    }
  return false;
}

SampleSize sampleSizeOf(const std::string &fractions) {
  const std::string_view size = trimmed(fractions);
  if (allDigits(size)) return {SampleSize::Count, std::string(size)};
  if (isFraction(size)) return {SampleSize::Fraction, std::string(size)};
  return {SampleSize::None, std::string(size)};
}

void requireSetopInDialect(Dialect dialect, const std::string &operation) {
  if (dialect != Dialect::SQLite) return;
  const std::string key = Utils::toLower(operation);
  if (key == "minusall") refuse(dialect, "except all (minusall)", 1611);
  if (key == "intersectall") refuse(dialect, "intersect all (intersectall)", 1611);
}

void requireSampleInDialect(Dialect dialect, bool withReplacement, int caseCount,
                            const std::string &fractions) {
  if (dialect == Dialect::Default) return;
  if (caseCount > 0) refuse(dialect, "a stratified sample (WHEN ... THEN)", 1612);
  if (withReplacement) refuse(dialect, "a sample with replacement", 1612);
  const SampleSize size = sampleSizeOf(fractions);
  if (size.kind != SampleSize::None) return;
  if (size.text.find(',') != std::string::npos)
    refuse(dialect, "a sample of several fractions or counts: " + size.text, 1612);
  refuse(dialect, "the sample size " + size.text + " (one count, or one fraction from 0 to 1)",
         1612);
}

bool isRowCount(const std::string &rows) {
  const std::string_view count = trimmed(rows);
  if (!allDigits(count)) return false;
  // At most 9223372036854775807, the largest count either engine takes.
  constexpr std::string_view largest = "9223372036854775807";
  const size_t first = std::min(count.find_first_not_of('0'), count.size());
  const std::string_view digits = count.substr(first);
  return digits.size() < largest.size() || (digits.size() == largest.size() && digits <= largest);
}

void requireTopInDialect(Dialect dialect, const std::string &rows) {
  if (dialect == Dialect::Default || isRowCount(rows)) return;
  refuse(dialect, "the row count " + rows + " of top (digits only, at most 9223372036854775807)", 1615);
}

void requireGroupbyTimeInDialect(Dialect dialect) {
  if (dialect != Dialect::Default) refuse(dialect, "group by time", 1613);
}

void requireMlQueryInDialect(Dialect dialect) {
  if (dialect != Dialect::Default) refuse(dialect, "ML function calls", 1614);
}

}  // namespace dfq
