// The operation entries called the way a host calls them, for the tests
// that run the statements on a database: every node goes to one output
// schema, and a refused call fails the test with the library's message.
#ifndef DFQ_HOST_CALLS_H
#define DFQ_HOST_CALLS_H

#include <string>
#include <vector>

#include "testSupport.h"

namespace hosttest {

using dfqtest::CStrings;

// The id, after checking that the call succeeded ("" when it did not).
inline std::string check(int rc, const std::string &id) {
  EXPECT_EQ(rc, 0) << dfqtest::errorMessage(rc);
  return rc == 0 ? id : "";
}

class HostCalls {
 public:
  explicit HostCalls(std::string schema) : schema(std::move(schema)) {}

  using SingleEntry = void (*)(char **, char **, char **, char **, char **, char **, int *);
  std::string single(SingleEntry entry, const std::string &in,
                     const std::vector<std::string> &values, const std::string &out) {
    CStrings nid{in}, name{"op"}, value(values, 1 << 20), ot{out}, os{schema};
    CStrings id = CStrings::buffers(1);
    int rc = -1;
    entry(nid, name, value, ot, os, id, &rc);
    return check(rc, id[0]);
  }
  std::string filter(const std::string &in, const std::string &condition, const std::string &out) {
    return single(dfq_filter, in, {condition}, out);
  }
  std::string orderby(const std::string &in, const std::string &order, const std::string &out) {
    return single(dfq_orderby, in, {order}, out);
  }
  std::string aggregate(const std::string &in, const std::string &values, const std::string &out) {
    return single(dfq_aggregate, in, {values}, out);
  }
  // Drops the input's columns when `drop` is "1" or "Y".
  std::string assign(const std::string &in, const std::string &columns, const std::string &out,
                     const std::string &drop = "N") {
    return single(dfq_assign, in, {columns, drop}, out);
  }
  std::string select(const std::string &in, const std::string &columns, const std::string &out) {
    return select(in, "cols", columns, "", out);
  }
  // `kind` "top" makes `value` a row count; a non-empty `prefix` is written
  // in front of the query.
  std::string select(const std::string &in, const std::string &kind, const std::string &value,
                     const std::string &prefix, const std::string &out) {
    CStrings nid{in}, name{kind}, values{value, prefix}, ot{out}, os{schema};
    CStrings id = CStrings::buffers(1);
    int length = prefix.empty() ? 1 : 2, rc = -1;
    dfq_select(nid, name, values, ot, os, id, &length, &rc);
    return check(rc, id[0]);
  }
  std::string groupby(const std::string &in, const std::string &expression) {
    CStrings nid{in}, name{"g"}, value{expression}, ot{"x"}, os{"x"}, id = CStrings::buffers(1);
    int rc = -1;
    dfq_groupby(nid, name, value, ot, os, id, &rc);
    return check(rc, id[0]);
  }
  // Inputs aliased l and r.
  std::string join(const std::string &left, const std::string &right, const std::string &type,
                   const std::string &condition, const std::string &columns,
                   const std::string &out) {
    CStrings nid{left, right}, name{type, "l", "r", "c"}, value{condition, "l", "r", columns},
        ot{out}, os{schema}, id{"x"};
    int rc = -1;
    dfq_join(nid, name, value, ot, os, id, &rc);
    return check(rc, id[0]);
  }
  // The first `count` rows of `in` under `ordering`.
  std::string topn(const std::string &in, const std::string &ordering, int count,
                   const std::string &out) {
    CStrings nid{in}, name{"topn"}, value{ordering}, ot{out}, os{schema};
    CStrings id = CStrings::buffers(1);
    int rc = -1;
    dfq_topn(nid, name, value, &count, ot, os, id, &rc);
    return check(rc, id[0]);
  }
  // The code of the call; the new node's id goes to `*node` ("" on failure).
  int trySetop(const std::string &op, const std::vector<std::string> &inputs,
               const std::string &columns, const std::string &out, std::string *node) {
    CStrings nid(inputs), name{op}, value(std::vector<std::string>(inputs.size(), columns)),
        ot{out}, os{schema}, id{"x"};
    int count = static_cast<int>(inputs.size()), rc = -1;
    dfq_setop(nid, name, value, ot, os, &count, id, &rc);
    *node = rc == 0 ? id[0] : "";
    return rc;
  }
  std::string setop(const std::string &op, const std::vector<std::string> &inputs,
                    const std::string &columns, const std::string &out) {
    std::string node;
    const int rc = trySetop(op, inputs, columns, out, &node);
    return check(rc, node);
  }

  std::string schema;
};

}  // namespace hosttest

#endif
