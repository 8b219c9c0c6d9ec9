#include "Output.h"

#include <algorithm>
#include <string>
#include <vector>

#include "Csv.h"

namespace dfqrun {

namespace {

std::string shown(const Cell &cell) { return cell.text ? *cell.text : "NULL"; }

// Display width in characters (UTF-8 continuation bytes take no room).
size_t width(const std::string &s) {
  return static_cast<size_t>(std::count_if(
      s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string padded(const std::string &s, size_t to, bool right) {
  const std::string room(to > width(s) ? to - width(s) : 0, ' ');
  return right ? room + s : s + room;
}

std::string withoutTrailingBlanks(std::string s) {
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

std::vector<size_t> columnWidths(const ResultSet &result) {
  std::vector<size_t> widths;
  for (const auto &name : result.columns) widths.push_back(width(name));
  for (const auto &row : result.rows)
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], width(shown(row[c])));
  return widths;
}

}  // namespace

void printTable(std::ostream &out, const ResultSet &result) {
  const auto widths = columnWidths(result);
  std::string line;
  for (size_t c = 0; c < widths.size(); ++c)
    line += (c ? " | " : "") + padded(result.columns[c], widths[c], false);
  out << withoutTrailingBlanks(line) << '\n';
  line.clear();
  for (size_t c = 0; c < widths.size(); ++c) line += (c ? "-+-" : "") + std::string(widths[c], '-');
  out << line << '\n';
  for (const auto &row : result.rows) {
    line.clear();
    for (size_t c = 0; c < row.size(); ++c)
      line += (c ? " | " : "") + padded(shown(row[c]), widths[c], row[c].numeric);
    out << withoutTrailingBlanks(line) << '\n';
  }
  out << "(" << result.rows.size() << (result.rows.size() == 1 ? " row)" : " rows)") << '\n';
}

void printCsv(std::ostream &out, const ResultSet &result) {
  for (size_t c = 0; c < result.columns.size(); ++c)
    out << (c ? "," : "") << csvQuote(result.columns[c]);
  out << '\n';
  for (const auto &row : result.rows) {
    for (size_t c = 0; c < row.size(); ++c)
      out << (c ? "," : "") << (row[c].text ? csvQuote(*row[c].text) : "");
    out << '\n';
  }
}

}  // namespace dfqrun
