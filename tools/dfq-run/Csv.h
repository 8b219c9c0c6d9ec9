// Reading CSV files (RFC 4180: comma-separated, double-quoted fields with
// doubled quotes inside, a header row) and guessing column types.
#ifndef DFQ_RUN_CSV_H
#define DFQ_RUN_CSV_H

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace dfqrun {

class CsvError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An empty unquoted field is a missing value (SQL NULL).
using CsvField = std::optional<std::string>;

struct CsvTable {
  std::vector<std::string> columns;
  std::vector<std::vector<CsvField>> rows;
};

enum class ColumnType { Integer, Real, Text };

// Parses CSV text; `source` only names it in errors ("<source>:<line>: ...").
CsvTable parseCsv(const std::string &text, const std::string &source);

// Reads and parses a CSV file. Throws CsvError.
CsvTable readCsv(const std::string &path);

// INTEGER when every present value is an integer, REAL when every one is a
// number, else TEXT (also for a column without values).
ColumnType columnType(const CsvTable &table, size_t column);

const char *sqlTypeName(ColumnType type);

// Writes one field, quoted when it holds a comma, quote or line break.
std::string csvQuote(const std::string &field);

}  // namespace dfqrun

#endif
