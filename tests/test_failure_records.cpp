// Failures that are not the library's own (code 1000): a missing string the
// operation reads, and a failed allocation anywhere in a call. With the log
// as a host leaves it (level 4, ERROR records to standard error) each must
// return 1000 with its text as the record and as the message, and leave the
// library working. This executable replaces the global allocation
// functions so that any one allocation can be made to fail.
#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <regex>
#include <string>
#include <vector>

#include "assemblySupport.h"
#include "opsSupport.h"

namespace {

// Allocations still allowed before the one that fails (-1: none fails).
std::atomic<long> allowedAllocations{-1};
std::atomic<bool> allocationFailed{false};

}  // namespace

void *operator new(std::size_t size) {
  const long left = allowedAllocations.load(std::memory_order_relaxed);
  if (left >= 0) {
    allowedAllocations.store(left - 1, std::memory_order_relaxed);
    if (left == 0) {
      allocationFailed = true;
      throw std::bad_alloc();
    }
  }
  if (void *p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// Out of line, so that the compiler does not pair the inlined free with
// the operator new of a caller.
[[gnu::noinline]] void releaseBlock(void *p) noexcept { std::free(p); }
void operator delete(void *p) noexcept { releaseBlock(p); }
void operator delete(void *p, std::size_t) noexcept { releaseBlock(p); }

namespace {

using dfqtest::CStrings;

// One ERROR record written by the call frame for a failure with `text`: no
// code in front, and the empty line that the message's own newline leaves.
std::regex frameRecord(const std::string &text) {
  return std::regex("\\d\\d:\\d\\d:\\d\\d ERROR \\.\\./src/dfqRequest:\\d+: " + text + "\n\n");
}

class FailureRecordsTest : public dfqtest::DagTest {
 protected:
  void TearDown() override {
    allowedAllocations = -1;
    DagTest::TearDown();
  }
};

TEST_F(FailureRecordsTest, MissingStringIsCode1000WithItsTextAsTheRecordAtTheDefaultLevel) {
  const std::string base = dfqtest::table("db.t");
  CStrings in{base}, name{"a"}, value{"a + 1 as b", ""}, ot{"o"}, os{"s"}, out = CStrings::buffers(1);
  value.setNull(1);
  int rc = -1;
  testing::internal::CaptureStderr();
  dfq_assign(in, name, value, ot, os, out, &rc);
  const std::string records = testing::internal::GetCapturedStderr();
  EXPECT_EQ(rc, 1000);
  const std::string text = "Null pointer value encountered for argument: arg_value[1]";
  EXPECT_EQ(dfqtest::errorMessage(1000), text);
  EXPECT_TRUE(std::regex_match(records, frameRecord("Null pointer value encountered for "
                                                    "argument: arg_value\\[1\\]")))
      << records;

  // Every level, with a log file: the same record, and an ML query whose
  // second output name is missing fails the same way.
  std::FILE *file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  log_set_fp(file);
  for (int level = 0; level <= 5; ++level) {
    log_set_level(level);
    testing::internal::CaptureStderr();
    CStrings mlIn{base}, mlName{"m"}, mlText{"call fit(on t)"}, tables{"o1", "o2"},
        schemas{"s", "s"}, fn{"FIT"}, ids = CStrings::buffers(2);
    tables.setNull(1);
    int inputs = 1, outputs = 2;
    rc = -1;
    dfq_ml_query(mlIn, mlName, mlText, tables, schemas, fn, &inputs, &outputs, ids, &rc, nullptr,
                 nullptr);
    EXPECT_EQ(rc, 1000) << level;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find(" ERROR ") != std::string::npos, level == LOG_ERROR) << err;
  }
  log_set_level(4);
  const std::string logged = dfqtest::readAll(file);
  log_set_fp(nullptr);
  std::fclose(file);
  EXPECT_NE(logged.find(" ERROR ../src/dfqRequest:"), std::string::npos) << logged;
  EXPECT_EQ(logged.find("DFQ-1000"), std::string::npos) << logged;
}

// The host's steps on a small graph, each run with its n-th allocation
// failing for every n until it runs through: each must report 1000 with
// "std::bad_alloc" (or succeed when the failure was absorbed), and the
// graph must still give the same statements afterwards.
TEST_F(FailureRecordsTest, AFailedAllocationAnywhereIsCode1000AndLeavesTheLibraryWorking) {
  const std::string base = dfqtest::table("db.sales");
  const std::string f = opstest::callEntry(dfq_filter, {base}, {"f"}, {"a > 1"}, "f", "s").id;
  const std::string g = opstest::callEntry(dfq_assign, {f}, {"a"}, {"a + 1 as b", "N"}, "g", "s").id;
  ASSERT_FALSE(g.empty());
  const ExecQueryList expected = asmtest::hostStatements(g).list;
  ASSERT_EQ(expected.size(), 1u);

  // Each step prepares the host's arrays, then makes its calls with the
  // allocations counted (`counted` arms the count for the library's calls).
  using Counted = void (*)(const std::function<void()> &);
  using Step = int (*)(const std::string &, Counted);
  const std::vector<std::pair<const char *, Step>> steps = {
      {"table", [](const std::string &, Counted counted) {
         CStrings name{"source"}, value{"db.other"}, ot{""}, os{""}, out = CStrings::buffers(1);
         int rc = -1;
         counted([&] { dfq_table(name, value, ot, os, out, &rc); });
         return rc;
       }},
      {"filter", [](const std::string &in, Counted counted) {
         CStrings id{in}, name{"f"}, value{"b < 3"}, ot{"x"}, os{"s"}, out{"x"};
         int rc = -1;
         counted([&] { dfq_filter(id, name, value, ot, os, out, &rc); });
         return rc;
       }},
      {"join", [](const std::string &in, Counted counted) {
         CStrings ids{in, in}, name{"inner", "c", "l", "r"}, value{"l.a = r.a", "l", "r", "l.a"},
             ot{"j"}, os{"s"}, out{"x"};
         int rc = -1;
         counted([&] { dfq_join(ids, name, value, ot, os, out, &rc); });
         return rc;
       }},
      {"semi join", [](const std::string &in, Counted counted) {
         CStrings ids{in, in}, name{"SEMI", "c", "l", "r"}, value{"l.a = r.a", "l", "r", "l.a"},
             ot{"sj"}, os{"s"}, out{"x"};
         int rc = -1;
         counted([&] { dfq_join(ids, name, value, ot, os, out, &rc); });
         return rc;
       }},
      {"topn", [](const std::string &in, Counted counted) {
         CStrings id{in}, name{"t"}, value{"a desc"}, ot{"tn"}, os{"s"}, out{"x"};
         int count = 3, rc = -1;
         counted([&] { dfq_topn(id, name, value, &count, ot, os, out, &rc); });
         return rc;
       }},
      {"setop", [](const std::string &in, Counted counted) {
         CStrings ids{in, in}, name{"union"}, value{"a", "a"}, ot{"u"}, os{""}, out{"x"};
         int count = 2, rc = -1;
         counted([&] { dfq_setop(ids, name, value, ot, os, &count, out, &rc); });
         return rc;
       }},
      {"statements", [](const std::string &in, Counted counted) {
         CStrings id{in};
         int count = 0, rc = -1;
         counted([&] { dfq_gen_exec_queries(id, &count, &rc); });
         if (rc != 0) return rc;
         std::vector<int> lengths(static_cast<size_t>(count), 0);
         counted([&] { dfq_get_exec_querysize(id, &count, lengths.data(), &rc); });
         if (rc != 0) return rc;
         auto sql = CStrings::buffers(lengths.size(), 4096), names = CStrings::buffers(lengths.size()),
              types = CStrings::buffers(lengths.size()), ids = CStrings::buffers(lengths.size());
         counted([&] { dfq_get_exec_query(id, &count, sql, names, types, ids, &rc); });
         return rc;
       }},
      {"full path and state", [](const std::string &in, Counted counted) {
         CStrings id{in};
         int count = 0, state = 1, rc = -1;
         counted([&] { dfq_gen_full_dagpath(id, &count, &rc); });
         if (rc == 0) counted([&] { dfq_update_node_state_single(id, &state, &rc); });
         return rc;
       }},
  };
  static long allowed = 0;
  const Counted counted = [](const std::function<void()> &call) {
    allowedAllocations = allowed;
    call();
    allowed = std::max(-1L, allowedAllocations.load());
    allowedAllocations = -1;
  };
  testing::internal::CaptureStderr();
  for (const auto &[what, step] : steps) {
    for (long n = 0;; ++n) {
      // A fresh node each time, so that nothing is reused from the last run.
      const std::string input =
          opstest::callEntry(dfq_filter, {g}, {"f"}, {"c = " + std::to_string(n)}, "h", "s").id;
      ASSERT_FALSE(input.empty());
      allocationFailed = false;
      allowed = n;
      const int rc = step(input, counted);
      if (!allocationFailed) {
        EXPECT_EQ(rc, 0) << what;
        break;
      }
      if (rc != 0) {
        EXPECT_EQ(rc, 1000) << what << ", allocation " << n;
        if (rc == 1000) {
          EXPECT_EQ(dfqtest::errorMessage(1000), "std::bad_alloc") << what << n;
        }
      }
      const auto again = asmtest::hostStatements(g);
      ASSERT_EQ(again.rc, 0) << what << ", allocation " << n;
      ASSERT_EQ(again.list, expected) << what << ", allocation " << n;
    }
  }
  const std::string records = testing::internal::GetCapturedStderr();
  EXPECT_NE(records.find(" ERROR ../src/dfqRequest:"), std::string::npos);
  EXPECT_NE(records.find(": std::bad_alloc\n\n"), std::string::npos);
}

}  // namespace
