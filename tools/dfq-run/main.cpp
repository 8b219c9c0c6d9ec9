// dfq-run: runs a pipeline file through libdfq on SQLite or PostgreSQL,
// the way a dataframe package drives the library.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "Pipeline.h"
#include "Runner.h"

namespace {

const char *kUsage =
    "usage: dfq-run [options] PIPELINE [DATA...]\n"
    "\n"
    "Adds the pipeline's nodes through libdfq, prints the statements of the\n"
    "nodes it runs, runs them on SQLite or PostgreSQL and prints the result rows.\n"
    "\n"
    "  DATA             .csv files (a table named after the file) or .sql\n"
    "                   files, loaded before the pipeline\n"
    "  --db TARGET      SQLite database file (default: in memory; schemas other\n"
    "                   than main go to FILE-STEM.SCHEMA.db beside it), or a\n"
    "                   PostgreSQL connection string (postgresql://... or\n"
    "                   'host=... dbname=...')\n"
    "  --dialect D      the library's SQL dialect: default, sqlite or postgresql\n"
    "                   (default: the database's own)\n"
    "  --replace        drop tables and views of the same name before creating\n"
    "                   them (PostgreSQL: with the views that depend on them),\n"
    "                   so that a pipeline can run again on the same database\n"
    "  --csv            print result rows as CSV\n"
    "  --show           also print the three show-query forms of each node run\n"
    "  --views          create views instead of tables (SQLite: schema main only)\n"
    "  --dry-run        print the statements without running them\n"
    "  -q, --quiet      do not print the statements\n"
    "  --log-level N    show the library's log records of exactly level N\n"
    "                   (0 TRACE, 1 DEBUG, 2 INFO, 3 WARN, 4 ERROR, 5 FATAL;\n"
    "                   one level only, not N and above)\n"
    "  --version        the version of libdfq\n"
    "  -h, --help       this text\n"
    "\n"
    "Exit codes: 0 success, 1 usage, 2 bad pipeline or data file,\n"
    "3 operation refused by the library, 4 database error (a statement\n"
    "rejected, or refused before the run as more than one SQL statement; a\n"
    "SQLite file that cannot be opened), 5 no connection to the PostgreSQL\n"
    "server.\n";

struct CommandLine {
  dfqrun::RunOptions options;
  std::string pipeline;
};

bool missingValue(const std::string &option) {
  std::cerr << "dfq-run: " << option << " needs a value\n";
  return false;
}

// Fills `cl` from the arguments; false (after a message) on a usage error.
bool parseArguments(int argc, char **argv, CommandLine &cl, bool &help, bool &version) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "-h" || arg == "--help") {
      help = true;
    } else if (arg == "--version") {
      version = true;
    } else if (arg == "--db") {
      const char *path = value();
      if (!path) return missingValue(arg);
      cl.options.database = path;
    } else if (arg == "--dialect") {
      const char *dialect = value();
      if (!dialect) return missingValue(arg);
      if (!dfqrun::isDialect(dialect)) {
        std::cerr << "dfq-run: --dialect takes default, sqlite or postgresql, not '" << dialect
                  << "'\n";
        return false;
      }
      cl.options.dialect = dialect;
    } else if (arg == "--log-level") {
      const char *level = value();
      if (!level) return missingValue(arg);
      const std::string text = level;
      if (text.size() != 1 || text[0] < '0' || text[0] > '5') {
        std::cerr << "dfq-run: --log-level takes a level from 0 to 5, not '" << text << "'\n";
        return false;
      }
      cl.options.logLevel = text[0] - '0';
    } else if (arg == "--replace") {
      cl.options.replace = true;
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
  return help || version || !cl.pipeline.empty();
}

}  // namespace

int main(int argc, char **argv) {
  CommandLine cl;
  bool help = false, version = false;
  if (!parseArguments(argc, argv, cl, help, version)) {
    std::cerr << kUsage;
    return dfqrun::kExitUsage;
  }
  if (help) {
    std::cout << kUsage;
    return dfqrun::kExitOk;
  }
  if (version) {
    std::cout << "dfq-run (libdfq) " DFQ_VERSION "\n";
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
