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

}  // namespace runnertest

#endif
