// dfq-run: runs a pipeline file through libdfq and SQLite, the way a
// dataframe package drives the library.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "Pipeline.h"
#include "Runner.h"

namespace {

const char *kUsage =
    "usage: dfq-run [options] PIPELINE [DATA...]\n"
    "\n"
    "Adds the pipeline's nodes through libdfq, prints the statements of the\n"
    "nodes it runs, runs them on SQLite and prints the result rows.\n"
    "\n"
    "  DATA             .csv files (a table named after the file) or .sql\n"
    "                   files, loaded before the pipeline\n"
    "  --db PATH        SQLite database file (default: in memory)\n"
    "  --csv            print result rows as CSV\n"
    "  --show           also print the three show-query forms of each node run\n"
    "  --views          create views instead of tables (one schema only)\n"
    "  --dry-run        print the statements without running them\n"
    "  -q, --quiet      do not print the statements\n"
    "  --log-level N    show the library's log records of level N (0..5)\n"
    "  -h, --help       this text\n"
    "\n"
    "Exit codes: 0 success, 1 usage, 2 bad pipeline or data file,\n"
    "3 operation refused by the library, 4 database error.\n";

struct CommandLine {
  dfqrun::RunOptions options;
  std::string pipeline;
};

// Fills `cl` from the arguments; false (after a message) on a usage error.
bool parseArguments(int argc, char **argv, CommandLine &cl, bool &help) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "-h" || arg == "--help") {
      help = true;
    } else if (arg == "--db") {
      const char *path = value();
      if (!path) return false;
      cl.options.database = path;
    } else if (arg == "--log-level") {
      const char *level = value();
      if (!level) return false;
      cl.options.logLevel = std::atoi(level);
    } else if (arg == "--csv") {
      cl.options.csv = true;
    } else if (arg == "--show") {
      cl.options.showQueries = true;
    } else if (arg == "--views") {
      cl.options.views = true;
    } else if (arg == "--dry-run") {
      cl.options.execute = false;
    } else if (arg == "-q" || arg == "--quiet") {
      cl.options.printSql = false;
    } else if (!arg.empty() && arg[0] == '-') {
      std::cerr << "dfq-run: unknown option " << arg << "\n";
      return false;
    } else if (cl.pipeline.empty()) {
      cl.pipeline = arg;
    } else {
      cl.options.dataFiles.push_back(arg);
    }
  }
  return help || !cl.pipeline.empty();
}

}  // namespace

int main(int argc, char **argv) {
  CommandLine cl;
  bool help = false;
  if (!parseArguments(argc, argv, cl, help)) {
    std::cerr << kUsage;
    return dfqrun::kExitUsage;
  }
  if (help) {
    std::cout << kUsage;
    return dfqrun::kExitOk;
  }
  cl.options.progress = isatty(fileno(stderr)) != 0;
  try {
    const dfqrun::Pipeline pipeline = dfqrun::readPipeline(cl.pipeline);
    dfqrun::Runner runner(cl.options, std::cout, std::cerr);
    return runner.run(pipeline);
  } catch (const dfqrun::PipelineError &e) {
    std::cerr << "dfq-run: " << e.what() << "\n";
    return dfqrun::kExitInput;
  } catch (const dfq::Error &e) {
    std::cerr << "dfq-run: the library refused to start: " << e.what() << "\n";
    return dfqrun::kExitRefused;
  } catch (const std::exception &e) {
    std::cerr << "dfq-run: " << e.what() << "\n";
    return dfqrun::kExitUsage;
  }
}
