// A table-driven harness for misusing the C API the way a careless host
// might: each exported function is one row that lists its pointer
// parameters (with well-formed values) and calls the function from a `Call`.
// The parameterised tests then null every pointer in turn, null the strings
// inside every array, feed malformed and unknown node ids, and call without
// a DAG instance; every call must return normally with the expected code.
// Every check runs with a log file (which formats every record of every
// level) at each log level 0 to 5 (whose records also go to standard
// error), so that no record the misuse provokes can break the host.
#ifndef DFQ_MISUSE_MATRIX_H
#define DFQ_MISUSE_MATRIX_H

#include <cstdio>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "DAG.h"
#include "DagBuilder.h"
#include "testSupport.h"

namespace misuse {

using dfqtest::CStrings;

// Expected codes beyond the literal ones.
constexpr int kAnyFailure = -1;  // some non-zero code
constexpr int kAnyOutcome = -2;  // only: returns normally

// A well-formed id that no graph ever holds (generated ids stay far below).
inline const char *const kUnknownId = "123456789012345678";

enum class Kind { Strings, Int, RetCode };

// One pointer parameter of an exported function.
struct Param {
  std::string name;
  Kind kind = Kind::Strings;
  std::vector<std::string> strings;  // Strings: the values; "$X" names a graph node
  int value = 0;                     // Int: the value pointed to
  bool isId = false;                 // Strings holding node ids
  int nullCode = 1501;               // the pointer itself is null
  int firstElementNullCode = 1501;   // its first string is null
  int laterElementNullCode = kAnyOutcome;  // one of the later strings is null
  int laterEmptyIdCode = kAnyFailure;      // isId: a later id is ""
  size_t room = 4096;                      // buffer size of each string
};

// Parameter builders, in the words of the header.
inline Param param(std::string name, Kind kind) {
  Param p;
  p.name = std::move(name);
  p.kind = kind;
  return p;
}
inline Param ids(std::string name, std::vector<std::string> values) {
  Param p = param(std::move(name), Kind::Strings);
  p.strings = std::move(values);
  p.isId = true;
  return p;
}
inline Param id(std::string name, std::string value) { return ids(std::move(name), {value}); }
inline Param text(std::string name, std::vector<std::string> values) {
  Param p = param(std::move(name), Kind::Strings);
  p.strings = std::move(values);
  return p;
}
inline Param out(std::string name, size_t count = 1, std::string initial = "x") {
  return text(std::move(name), std::vector<std::string>(count, initial));
}
inline Param num(std::string name, int value) {
  Param p = param(std::move(name), Kind::Int);
  p.value = value;
  p.nullCode = 1503;
  return p;
}
inline Param ret() {
  Param p = param("ret_code", Kind::RetCode);
  p.nullCode = kAnyOutcome;
  return p;
}
// Adjusters for the parameters that differ from the defaults.
inline Param nullGives(Param p, int code) {
  p.nullCode = code;
  p.firstElementNullCode = code == 0 ? kAnyOutcome : code;
  return p;
}
inline Param laterNullGives(Param p, int code, int emptyIdCode = kAnyFailure) {
  p.laterElementNullCode = code;
  p.laterEmptyIdCode = emptyIdCode;
  return p;
}

// The host's side of one call: owned arrays and integers built from the
// parameters, any of which can be replaced by a null pointer.
class Call {
 public:
  Call(const std::vector<Param> &params, const std::map<std::string, std::string> &nodes)
      : params_(params), null_(params.size(), false), ints_(params.size(), 0) {
    for (size_t k = 0; k < params.size(); ++k) {
      std::vector<std::string> values;
      for (const auto &s : params[k].strings) values.push_back(resolve(s, nodes));
      strings_.push_back(std::make_unique<CStrings>(values, params[k].room));
      ints_[k] = params[k].kind == Kind::RetCode ? kUnwritten : params[k].value;
    }
  }
  char **s(size_t k) { return null_[k] ? nullptr : strings_[k]->get(); }
  int *i(size_t k) { return null_[k] ? nullptr : &ints_[k]; }
  void setNull(size_t k) { null_[k] = true; }
  void setElementNull(size_t k, size_t j) { strings_[k]->setNull(j); }
  std::string string(size_t k, size_t j) const { return (*strings_[k])[j]; }
  int integer(size_t k) const { return ints_[k]; }

  // The code written to ret_code (kUnwritten when there is none or nothing
  // was written).
  int code() const {
    for (size_t k = 0; k < params_.size(); ++k)
      if (params_[k].kind == Kind::RetCode) return null_[k] ? kUnwritten : ints_[k];
    return kUnwritten;
  }
  static constexpr int kUnwritten = -777;

 private:
  static std::string resolve(const std::string &s, const std::map<std::string, std::string> &n) {
    const auto it = n.find(s);
    return it == n.end() ? s : it->second;
  }
  std::vector<Param> params_;
  std::vector<bool> null_;
  std::vector<int> ints_;
  std::vector<std::unique_ptr<CStrings>> strings_;
};

// One exported function.
struct Row {
  const char *function;
  std::vector<Param> params;
  void (*invoke)(Call &);
  int badIdCode = kAnyFailure;      // ids "0", "-5", "abc"
  int unknownIdCode = kAnyFailure;  // a well-formed id that is not in the graph
  int emptyIdCode = 1502;           // the first id is ""
  int noDagCode = 1302;             // no DAG instance (also: after close_dag)
  // Brings the graph into the state the call needs (statements generated,
  // lengths asked for, ...); null when none is needed.
  void (*prepare)(const std::map<std::string, std::string> &nodes) = nullptr;
  bool hasRetCode() const {
    for (const auto &p : params)
      if (p.kind == Kind::RetCode) return true;
    return false;
  }
};

inline std::ostream &operator<<(std::ostream &os, const Row &row) { return os << row.function; }

// Whether `actual` meets `expected` (a code, kAnyFailure or kAnyOutcome).
inline bool meets(int actual, int expected) {
  if (expected == kAnyOutcome) return true;
  if (expected == kAnyFailure) return actual != 0 && actual != Call::kUnwritten;
  return actual == expected;
}

inline std::string describe(int expected) {
  if (expected == kAnyFailure) return "any failure";
  if (expected == kAnyOutcome) return "any outcome";
  return std::to_string(expected);
}

// The log levels every misuse check runs at.
constexpr int kLogLevels = 6;

// A log file receiving every record while a misuse check runs.
class LogFile {
 public:
  LogFile() : file_(std::tmpfile()) { log_set_fp(file_); }
  ~LogFile() {
    log_set_fp(nullptr);
    log_set_level(4);
    if (file_) std::fclose(file_);
  }
  LogFile(const LogFile &) = delete;
  LogFile &operator=(const LogFile &) = delete;
  bool open() const { return file_ != nullptr; }

 private:
  std::FILE *file_;
};

// The misuse sequences: one test per log level, with a log file.
class LoggedMisuse : public dfqtest::DagTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    DagTest::SetUp();
    ASSERT_TRUE(log_.open());
    log_set_level(GetParam());
  }
  LogFile log_;
};

inline std::string levelName(const ::testing::TestParamInfo<int> &info) {
  return "level" + std::to_string(info.param);
}

// Every test starts from a small graph: a base table T, a select S on T and
// a filter F on S (both with an output schema), so well-formed calls have
// something to work on. Each test runs its checks at every log level.
class MisuseMatrix : public dfqtest::DagTest, public ::testing::WithParamInterface<Row> {
 protected:
  void SetUp() override {
    DagTest::SetUp();
    ASSERT_TRUE(log_.open());
  }

  // `check` at each log level, each time from a fresh graph.
  template <class Check>
  void atEveryLogLevel(Check &&check) {
    for (int level = 0; level < kLogLevels; ++level) {
      SCOPED_TRACE("log level " + std::to_string(level));
      log_set_level(level);
      fresh();
      check();
    }
  }

  // A new DAG instance with T, S and F, prepared for the row's call.
  void fresh() {
    close_dag();
    nodes_.clear();
    nodes_["$T"] = dfqtest::table("db.sales");
    nodes_["$S"] = addSelect(nodes_["$T"], "s1");
    nodes_["$F"] = addFilter(nodes_["$S"], "f1");
    if (GetParam().prepare) GetParam().prepare(nodes_);
  }

  Call call(const std::vector<Param> &params) const { return Call(params, nodes_); }
  Call call() const { return call(GetParam().params); }
  int run(Call &c) const {
    GetParam().invoke(c);
    return c.code();
  }
  static size_t nodeCount() { return dagInstance() ? dagInstance()->nodeCount() : 0; }

  std::map<std::string, std::string> nodes_;

 private:
  LogFile log_;

  static std::string addSelect(const std::string &input, const std::string &table) {
    CStrings in{input}, name{"proj"}, value{"a, b"}, ot{table}, os{"w"};
    CStrings outId = CStrings::buffers(1);
    int length = 1, rc = -1;
    dfq_select(in, name, value, ot, os, outId, &length, &rc);
    return rc == 0 ? outId[0] : "";
  }
  static std::string addFilter(const std::string &input, const std::string &table) {
    CStrings in{input}, name{"cond"}, value{"a > 1"}, ot{table}, os{"w"};
    CStrings outId = CStrings::buffers(1);
    int rc = -1;
    dfq_filter(in, name, value, ot, os, outId, &rc);
    return rc == 0 ? outId[0] : "";
  }
};

// Checks the code of a call of `row` (nothing to check without ret_code)
// and that a failure's message can be read.
inline void expectCode(const Row &row, int actual, int expected, const std::string &what) {
  if (!row.hasRetCode()) return;
  EXPECT_TRUE(meets(actual, expected)) << row.function << ", " << what << ": got " << actual
                                       << ", expected " << describe(expected);
  // Every reported failure leaves its message for the host.
  if (actual != 0 && actual != Call::kUnwritten) {
    EXPECT_NE(dfqtest::errorMessage(actual), "") << row.function << ", " << what;
  }
}

// The row itself is sound: with its well-formed arguments the call succeeds.
TEST_P(MisuseMatrix, SucceedsWithWellFormedArguments) {
  atEveryLogLevel([&] {
    ASSERT_FALSE(nodes_["$F"].empty());
    Call c = call();
    const int code = run(c);
    expectCode(GetParam(), code, 0, "well-formed call");
  });
}

TEST_P(MisuseMatrix, RefusesEachNullPointer) {
  atEveryLogLevel([&] {
    const Row &row = GetParam();
    for (size_t k = 0; k < row.params.size(); ++k) {
      fresh();
      Call c = call();
      c.setNull(k);
      const int code = run(c);
      expectCode(GetParam(), code, row.params[k].nullCode, row.params[k].name + " null");
    }
  });
}

TEST_P(MisuseMatrix, RefusesNullStringsInsideArrays) {
  atEveryLogLevel([&] {
    const Row &row = GetParam();
    for (size_t k = 0; k < row.params.size(); ++k) {
      const Param &p = row.params[k];
      for (size_t j = 0; j < p.strings.size(); ++j) {
        fresh();
        Call c = call();
        c.setElementNull(k, j);
        const int code = run(c);
        const int expected = j == 0 ? p.firstElementNullCode : p.laterElementNullCode;
        expectCode(GetParam(), code, expected, p.name + "[" + std::to_string(j) + "] null");
      }
    }
  });
}

// Ids that atoll turns into 0 or a negative number, an empty id, and
// well-formed ids of no node: refused with the row's codes, no node added.
TEST_P(MisuseMatrix, RefusesMalformedAndUnknownNodeIds) {
  atEveryLogLevel([&] {
    const Row &row = GetParam();
    const std::vector<std::string> malformed = {"0", "-5", "abc", " ", "-9223372036854775808"};
    const std::vector<std::string> unknown = {kUnknownId, "99999999999999999999", "7abc"};
    for (size_t k = 0; k < row.params.size(); ++k) {
      if (!row.params[k].isId) continue;
      for (size_t j = 0; j < row.params[k].strings.size(); ++j) {
        auto tryId = [&](const std::string &bad, int expected) {
          fresh();
          std::vector<Param> params = row.params;
          params[k].strings[j] = bad;
          Call c = call(params);
          const size_t before = nodeCount();
          const int code = run(c);
          const std::string what = row.params[k].name + "[" + std::to_string(j) + "] = \"" + bad + "\"";
          expectCode(GetParam(), code, expected, what);
          EXPECT_EQ(nodeCount(), before) << row.function << ", " << what;
        };
        for (const auto &bad : malformed) tryId(bad, row.badIdCode);
        for (const auto &bad : unknown) tryId(bad, row.unknownIdCode);
        tryId("", j == 0 ? row.emptyIdCode : row.params[k].laterEmptyIdCode);
      }
    }
  });
}

// Without a DAG instance (here: after close_dag, with the closed graph's
// ids) a call either creates one (table, query, init) or is refused; with a
// null pointer as well it is refused by the check or for the missing graph.
TEST_P(MisuseMatrix, HandlesMissingDagInstance) {
  atEveryLogLevel([&] {
    const Row &row = GetParam();
    close_dag();
    {
      Call c = call();
      const int code = run(c);
      expectCode(GetParam(), code, row.noDagCode, "no DAG instance");
    }
    for (size_t k = 0; k < row.params.size(); ++k) {
      close_dag();
      Call c = call();
      c.setNull(k);
      const int code = run(c);
      const int nullCode = row.params[k].nullCode;
      int expected = kAnyFailure;
      if (row.noDagCode == 0 || nullCode == kAnyOutcome) expected = nullCode;
      else if (nullCode == 0) expected = row.noDagCode;
      expectCode(GetParam(), code, expected, row.params[k].name + " null, no DAG");
    }
  });
}

inline std::string rowName(const ::testing::TestParamInfo<Row> &info) {
  return info.param.function;
}

}  // namespace misuse

#endif
