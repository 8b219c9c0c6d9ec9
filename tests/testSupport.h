// Helpers for driving the C API from tests: owned string arrays that look
// like the host's `char **` arguments, and a fixture that starts every test
// without a DAG instance.
#ifndef DFQ_TEST_SUPPORT_H
#define DFQ_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "dfq.h"

namespace dfqtest {

// An array of writable C strings, each with room to spare.
class CStrings {
 public:
  CStrings(std::initializer_list<std::string> values, size_t room = 256) {
    for (const auto &v : values) add(v, room);
  }
  explicit CStrings(const std::vector<std::string> &values, size_t room = 256) {
    for (const auto &v : values) add(v, room);
  }
  // `count` empty buffers of `room` bytes.
  static CStrings buffers(size_t count, size_t room = 256) {
    CStrings s({});
    for (size_t i = 0; i < count; ++i) s.add("", room);
    return s;
  }
  char **get() { return ptrs_.data(); }
  operator char **() { return ptrs_.data(); }
  std::string operator[](size_t i) const { return std::string(storage_[i].data()); }
  size_t size() const { return storage_.size(); }
  void setNull(size_t i) { ptrs_[i] = nullptr; }

 private:
  void add(const std::string &v, size_t room) {
    std::vector<char> buf(std::max(room, v.size() + 1), '\0');
    std::copy(v.begin(), v.end(), buf.begin());
    storage_.push_back(std::move(buf));
    ptrs_.clear();
    for (auto &b : storage_) ptrs_.push_back(b.data());
    ptrs_.push_back(nullptr);  // a sentinel, never counted
  }
  std::vector<std::vector<char>> storage_;
  std::vector<char *> ptrs_;
};

// Everything written to `f` so far.
inline std::string readAll(FILE *f) {
  fflush(f);
  rewind(f);
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  return out;
}

// The message recorded for `code`.
inline std::string errorMessage(int code) {
  CStrings out = CStrings::buffers(1, 4096);
  dfq_get_error_message(&code, out);
  return out[0];
}

// Adds a base table reading `source`; returns its id ("" on failure).
inline std::string table(const std::string &source, const std::string &outTable = "",
                         const std::string &outSchema = "", const std::string &argName = "source") {
  CStrings name{argName}, value{source}, ot{outTable}, os{outSchema}, out = CStrings::buffers(1);
  int rc = -1;
  dfq_table(name, value, ot, os, out, &rc);
  return rc == 0 ? out[0] : "";
}

// Every test starts and ends without a DAG instance and with the log as a
// host finds it: level 4, ERROR records to standard error, no file. A test
// that asserts on records captures standard error or sets a file.
class DagTest : public ::testing::Test {
 protected:
  void SetUp() override {
    close_dag();
    log_set_quiet(0);
    log_set_fp(nullptr);
    log_set_level(4);
  }
  void TearDown() override {
    close_dag();
    log_set_quiet(0);
    log_set_fp(nullptr);
    log_set_level(4);
  }
};

}  // namespace dfqtest

#endif
