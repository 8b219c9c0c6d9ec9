// Helpers for the operation tests: calling the operation entries the way a
// host does, reading back a node's own SQL and the error of a failed call.
#ifndef DFQ_OPS_SUPPORT_H
#define DFQ_OPS_SUPPORT_H

#include <cstdio>
#include <string>
#include <vector>

#include "DAG.h"
#include "DagBuilder.h"
#include "testSupport.h"

namespace opstest {

using dfqtest::CStrings;

// What an entry reported: the return code, the id written (empty on
// failure) and the message recorded for a failure.
struct Outcome {
  int rc = -1;
  std::string id;
  std::string message;
  bool ok() const { return rc == 0; }
};

inline Outcome outcome(int rc, const std::string &id) {
  return Outcome{rc, rc == 0 ? id : "", rc == 0 ? "" : dfqtest::errorMessage(rc)};
}

inline Node *nodeOf(const std::string &id) { return dagInstance()->getNode(std::stoll(id)); }

inline size_t nodeCount() { return dagInstance() ? dagInstance()->nodeCount() : 0; }

// The node's own SQL text (not resolved against its inputs).
inline std::string sqlOf(const std::string &id, bool mlAsTable = false) {
  std::string name;
  return dagInstance()->getExecQuery(std::stoll(id), name, mlAsTable);
}

// The seven-argument entries (filter, assign, order by, grouping, aggregate,
// join).
using SevenArgEntry = void (*)(char **, char **, char **, char **, char **, char **, int *);

inline Outcome callEntry(SevenArgEntry entry, const std::vector<std::string> &inputs,
                         const std::vector<std::string> &names,
                         const std::vector<std::string> &values,
                         const std::string &outTable = "out", const std::string &outSchema = "") {
  CStrings in(inputs), name(names), value(values), ot{outTable}, os{outSchema};
  CStrings out{"x"};  // the join refuses an output buffer that starts empty
  int rc = -1;
  entry(in, name, value, ot, os, out, &rc);
  return outcome(rc, out[0]);
}

inline Outcome select(const std::string &input, const std::string &name,
                      const std::vector<std::string> &values, int length = 1,
                      const std::string &outTable = "out", const std::string &outSchema = "") {
  CStrings in{input}, n{name}, value(values), ot{outTable}, os{outSchema};
  CStrings out = CStrings::buffers(1);
  int rc = -1;
  dfq_select(in, n, value, ot, os, out, &length, &rc);
  return outcome(rc, out[0]);
}

// A set operation over `inputs`, one column list per input.
inline Outcome setop(const std::string &op, const std::vector<std::string> &inputs,
                     const std::vector<std::string> &columns, const std::string &outTable = "u") {
  CStrings in(inputs), name{op}, value(columns), ot{outTable}, os{""}, out{"x"};
  int count = static_cast<int>(inputs.size());
  int rc = -1;
  dfq_setop(in, name, value, ot, os, &count, out, &rc);
  return outcome(rc, out[0]);
}

// Every record logged while `work` runs, at TRACE level, into one text.
template <class Work>
std::string logDuring(Work &&work) {
  FILE *f = std::tmpfile();
  log_set_fp(f);
  work();
  log_set_fp(nullptr);
  std::string text;
  std::rewind(f);
  for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) text += static_cast<char>(c);
  std::fclose(f);
  return text;
}

}  // namespace opstest

#endif
