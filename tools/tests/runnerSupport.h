// What the tests of dfq-run's runner share: the outcome of one run and a
// scratch directory per test case.
#ifndef DFQ_RUNNER_SUPPORT_H
#define DFQ_RUNNER_SUPPORT_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "Runner.h"

namespace runnertest {

struct Outcome {
  int code;
  std::string out;
  std::string err;
};

// Runs the pipeline file `path` as dfq-run does, with its exit code.
inline Outcome runPipelineFile(const std::string &path, const dfqrun::RunOptions &options) {
  std::ostringstream out, err;
  int code;
  try {
    dfqrun::Runner runner(options, out, err);
    code = runner.run(dfqrun::readPipeline(path));
  } catch (const dfqrun::PipelineError &e) {
    err << e.what();
    code = dfqrun::kExitInput;
  }
  return {code, out.str(), err.str()};
}

// A fresh directory named after the running test, removed at the end.
class ScratchDir {
 public:
  ScratchDir()
      : path_(std::filesystem::temp_directory_path() /
              ("dfq-run-test-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() { std::filesystem::remove_all(path_); }
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;

  void write(const std::string &name, const std::string &text) const {
    std::ofstream(path_ / name) << text;
  }
  std::string file(const std::string &name) const { return (path_ / name).string(); }
  const std::filesystem::path &path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A host text with `;` and a second statement after it, on `database`
// (file or server): refused before the run creates or drops anything, with
// the statement, its node and the reason; nothing is marked executed. A
// `;` inside a quoted text or a quoted name still runs.
inline void expectOneStatementPerStatement(const std::string &database, const ScratchDir &dir) {
  dfqrun::RunOptions options;
  options.database = database;
  options.replace = true;
  options.csv = true;
  dir.write("t.csv", "k,v\n1,x\n2,a;b\n");
  const std::string head = "load t.csv\nschema inj\nt = table t\n";
  dir.write("first.dfq", head + "y = filter t: k > 1\nrun y\n");
  const Outcome first = runPipelineFile(dir.file("first.dfq"), options);
  ASSERT_EQ(first.code, dfqrun::kExitOk) << first.err;
  // The same node again, with --replace, now carrying a second statement.
  dir.write("inject.dfq", head + "y = filter t: k > 1; drop table t\nrun y\n");
  const Outcome injected = runPipelineFile(dir.file("inject.dfq"), options);
  EXPECT_EQ(injected.code, dfqrun::kExitDatabase) << injected.out;
  EXPECT_NE(injected.err.find("inject.dfq:5: statement \"inj\".\"y\" (node "), std::string::npos)
      << injected.err;
  EXPECT_NE(injected.err.find(") is not one SQL statement: a second statement follows the ';' at "
                              "character "),
            std::string::npos)
      << injected.err;
  EXPECT_NE(injected.err.find(": drop table t\n"), std::string::npos) << injected.err;
  EXPECT_EQ(injected.out.find("created"), std::string::npos) << injected.out;
  EXPECT_EQ(injected.out.find("marked executed"), std::string::npos) << injected.out;
  {
    const auto db = dfqrun::openDatabase(database);
    db->useSchema("inj");
    EXPECT_EQ(db->relationKind({"main", "t"}), "table") << "the second statement did not run";
    EXPECT_EQ(db->relationKind({"inj", "y"}), "table") << "--replace dropped nothing";
    // The database's own guard, below the runner's check.
    EXPECT_THROW(db->exec("create table inj.z as select 1 as k; drop table main.t"),
                 dfqrun::DatabaseError);
    EXPECT_EQ(db->relationKind({"main", "t"}), "table");
    EXPECT_EQ(db->relationKind({"inj", "z"}), "");
  }
  // A ';' in a quoted text and in a quoted name is part of one statement.
  dir.write("quoted.dfq", head + "q = filter t: v = 'a;b'\ns = select q: k as \"k;1\"\nrun s\n");
  const Outcome quoted = runPipelineFile(dir.file("quoted.dfq"), options);
  ASSERT_EQ(quoted.code, dfqrun::kExitOk) << quoted.err;
  EXPECT_NE(quoted.out.find("k;1\n2\n"), std::string::npos) << quoted.out;
}

}  // namespace runnertest

#endif
