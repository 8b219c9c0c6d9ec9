#include "Csv.h"

#include <cctype>
#include <cerrno>
#include <set>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace dfqrun {

namespace {

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A character-by-character reader of one CSV text.
class CsvReader {
 public:
  CsvReader(const std::string &text, const std::string &source) : text_(text), source_(source) {
    // A UTF-8 byte-order mark is no part of the first column's name.
    if (text_.rfind("\xEF\xBB\xBF", 0) == 0) pos_ = 3;
  }

  CsvTable read() {
    CsvTable table;
    std::vector<CsvField> record;
    while (nextRecord(record)) {
      if (!haveHeader_) {
        takeHeader(record, table);
        continue;
      }
      if (record.size() != table.columns.size())
        fail(recordLine_, "expected " + std::to_string(table.columns.size()) + " fields, found " +
                              std::to_string(record.size()));
      table.rows.push_back(record);
    }
    if (!haveHeader_) fail(1, "empty file: a header row is required");
    return table;
  }

 private:
  [[noreturn]] void fail(int line, const std::string &message) const {
    throw CsvError(source_ + ":" + std::to_string(line) + ": " + message);
  }

  void takeHeader(const std::vector<CsvField> &record, CsvTable &table) {
    std::set<std::string> seen;
    for (const auto &field : record) {
      if (!field || field->empty()) fail(recordLine_, "empty column name in the header");
      // Column names compare without case in SQL (SQLite even when quoted).
      if (!seen.insert(lower(*field)).second)
        fail(recordLine_, "column '" + *field + "' appears twice in the header");
      table.columns.push_back(*field);
    }
    haveHeader_ = true;
  }

  // Reads one record into `record`; false at the end of the text. Blank
  // lines are skipped.
  bool nextRecord(std::vector<CsvField> &record) {
    record.clear();
    while (pos_ < text_.size() && (text_[pos_] == '\n' || text_[pos_] == '\r')) skipLineEnd();
    if (pos_ >= text_.size()) return false;
    recordLine_ = line_;
    for (;;) {
      record.push_back(nextField());
      if (pos_ >= text_.size()) return true;
      if (text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      skipLineEnd();
      return true;
    }
  }

  CsvField nextField() {
    if (pos_ < text_.size() && text_[pos_] == '"') return quotedField();
    const size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] != ',' && text_[pos_] != '\n' && text_[pos_] != '\r') {
      if (text_[pos_] == '"') fail(line_, "a quote inside an unquoted field");
      ++pos_;
    }
    if (pos_ == start) return std::nullopt;
    return text_.substr(start, pos_ - start);
  }

  CsvField quotedField() {
    const int startLine = line_;
    std::string value;
    ++pos_;
    for (;;) {
      if (pos_ >= text_.size()) fail(startLine, "unterminated quoted field");
      const char c = text_[pos_++];
      if (c == '"') {
        if (pos_ < text_.size() && text_[pos_] == '"') {
          value += '"';
          ++pos_;
          continue;
        }
        break;
      }
      if (c == '\n') ++line_;
      value += c;
    }
    if (pos_ < text_.size() && text_[pos_] != ',' && text_[pos_] != '\n' && text_[pos_] != '\r')
      fail(line_, "text after a closing quote");
    return value;
  }

  void skipLineEnd() {
    if (text_[pos_] == '\r') ++pos_;
    if (pos_ < text_.size() && text_[pos_] == '\n') ++pos_;
    ++line_;
  }

  const std::string &text_;
  const std::string &source_;
  size_t pos_ = 0;
  int line_ = 1;
  int recordLine_ = 1;
  bool haveHeader_ = false;
};

bool isInteger(const std::string &s) {
  if (s.empty()) return false;
  errno = 0;
  char *end = nullptr;
  std::strtoll(s.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && s.find_first_of(" \t") == std::string::npos;
}

bool isNumber(const std::string &s) {
  if (s.empty() || s.find_first_of(" \t") != std::string::npos) return false;
  char *end = nullptr;
  std::strtod(s.c_str(), &end);
  // Words that strtod accepts but SQL does not read as numbers.
  const bool word = s.find_first_of("iInN") != std::string::npos;
  return *end == '\0' && !word;
}

}  // namespace

CsvTable parseCsv(const std::string &text, const std::string &source) {
  return CsvReader(text, source).read();
}

CsvTable readCsv(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw CsvError(path + ": cannot read the file");
  std::ostringstream text;
  text << in.rdbuf();
  return parseCsv(text.str(), path);
}

ColumnType columnType(const CsvTable &table, size_t column) {
  bool any = false, integers = true, numbers = true;
  for (const auto &row : table.rows) {
    const CsvField &field = row[column];
    if (!field) continue;
    any = true;
    integers = integers && isInteger(*field);
    numbers = numbers && isNumber(*field);
  }
  if (!any || !numbers) return ColumnType::Text;
  return integers ? ColumnType::Integer : ColumnType::Real;
}

const char *sqlTypeName(ColumnType type) {
  switch (type) {
    case ColumnType::Integer: return "INTEGER";
    case ColumnType::Real: return "REAL";
    case ColumnType::Text: return "TEXT";
  }
  return "TEXT";
}

std::string csvQuote(const std::string &field) {
  if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
  std::string quoted = "\"";
  for (char c : field) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace dfqrun
