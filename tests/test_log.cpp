// The log facility: destinations, level filter, record layout, quiet, lock.
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "log.h"
#include "testSupport.h"

namespace {

using dfqtest::readAll;

std::vector<int> lockCalls;
void recordLock(void *udata, int lock) {
  EXPECT_EQ(udata, &lockCalls);
  lockCalls.push_back(lock);
}

class LogTest : public dfqtest::DagTest {
 protected:
  void SetUp() override {
    DagTest::SetUp();
    lockCalls.clear();
  }
  void TearDown() override {
    log_set_lock(nullptr);
    log_set_udata(nullptr);
    DagTest::TearDown();
  }
};

}  // namespace

TEST_F(LogTest, StandardErrorGetsOnlyTheConfiguredLevelWithShortTime) {
  testing::internal::CaptureStderr();
  log_log(LOG_TRACE, "../src/DAG", 10, "trace %d", 1);
  log_log(LOG_ERROR, "../src/DAG", 11, "error %s", "x");
  log_log(LOG_FATAL, "../src/DAG", 12, "fatal");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::regex_match(err, std::regex("\\d\\d:\\d\\d:\\d\\d ERROR \\.\\./src/DAG:11: error x\n")))
      << err;
  log_set_level(LOG_TRACE);
  testing::internal::CaptureStderr();
  log_log(LOG_TRACE, "f", 1, "t");
  log_log(LOG_ERROR, "f", 2, "e");
  EXPECT_TRUE(std::regex_match(testing::internal::GetCapturedStderr(),
                               std::regex("\\d\\d:\\d\\d:\\d\\d TRACE f:1: t\n")));
}

TEST_F(LogTest, FileStreamGetsEveryRecordWithLongTimeEvenWhenQuiet) {
  FILE *f = tmpfile();
  ASSERT_NE(f, nullptr);
  log_set_fp(f);
  log_set_quiet(1);
  testing::internal::CaptureStderr();
  log_log(LOG_INFO, "u", 3, "info");
  log_log(LOG_WARN, "u", 4, "warn");
  log_log(LOG_ERROR, "u", 5, "msg\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  const std::string text = readAll(f);
  log_set_fp(nullptr);
  fclose(f);
  const std::string stamp = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ";
  EXPECT_TRUE(std::regex_match(text, std::regex(stamp + "INFO  u:3: info\n" + stamp +
                                                "WARN  u:4: warn\n" + stamp +
                                                "ERROR u:5: msg\n\n")))
      << text;
}

TEST_F(LogTest, QuietStillCallsTheLockAroundMatchingRecordsOnly) {
  log_set_udata(&lockCalls);
  log_set_lock(recordLock);
  log_set_quiet(7);
  testing::internal::CaptureStderr();
  log_log(LOG_ERROR, "u", 1, "e");
  log_log(LOG_DEBUG, "u", 2, "d");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(lockCalls, (std::vector<int>{1, 0}));
}

TEST_F(LogTest, LevelsOutsideTheTableAreStoredAndNeverOverrun) {
  log_set_level(9);
  EXPECT_EQ(log_get_level(), 9);
  FILE *f = tmpfile();
  log_set_fp(f);
  testing::internal::CaptureStderr();
  log_log(9, "u", 1, "odd level");
  log_log(-3, "u", 2, "negative level");
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string text = readAll(f);
  log_set_fp(nullptr);
  fclose(f);
  EXPECT_NE(err.find("odd level"), std::string::npos);
  EXPECT_NE(text.find("negative level"), std::string::npos);
  char *name = getFilename(nullptr);
  EXPECT_STREQ(name, "dfq.log");
}

TEST_F(LogTest, LibraryWritesEntryAndExitTracesAtLevelZero) {
  int level = 0, rc = -1;
  set_log_level(&level, &rc);
  testing::internal::CaptureStderr();
  dfqtest::table("t");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("TRACE ../src/dfqRequest:"), std::string::npos);
  EXPECT_NE(err.find("Entering dfq_table.............."), std::string::npos);
  EXPECT_NE(err.find("Initializing DAG from dfq_table.............."), std::string::npos);
  EXPECT_NE(err.find("Checking  input Arguments.............."), std::string::npos);
  EXPECT_NE(err.find("Calling  dfqTable  from dagBuilder.............."), std::string::npos);
  EXPECT_NE(err.find("Entering dfqTable of DagBuilder......."), std::string::npos);
  EXPECT_NE(err.find("Exiting dfqTable of dagBuilder......."), std::string::npos);
  EXPECT_NE(err.find("Exiting dfq_table.............."), std::string::npos);
  EXPECT_EQ(err.find("ERROR"), std::string::npos);
}
