// The texts of statement_cases.txt, whose statement count depends on an
// engine's quoting rules, with the count each engine sees.
#ifndef DFQ_SQL_TEXT_CASES_H
#define DFQ_SQL_TEXT_CASES_H

#include <fstream>
#include <string>
#include <vector>

namespace sqltext {

struct Case {
  std::string sql;
  bool secondOnSqlite;
  bool secondOnPostgres;
  bool postgresRuns;  // valid PostgreSQL (one or two selects)
};

inline const std::vector<Case> &cases() {
  static const std::vector<Case> all = [] {
    std::vector<Case> read;
    std::ifstream in(DFQ_HOST_TEST_DIR "/statement_cases.txt");
    for (std::string line; std::getline(in, line);) {
      if (line.size() < 7 || line[0] == '#') continue;
      std::string sql = line.substr(6);
      for (size_t at; (at = sql.find("{NL}")) != std::string::npos;) sql.replace(at, 4, "\n");
      read.push_back({sql, line[0] == '1', line[2] == '1', line[4] == '1'});
    }
    return read;
  }();
  return all;
}

}  // namespace sqltext

#endif
