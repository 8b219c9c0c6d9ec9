// The pipeline file of dfq-run: one operation or directive per line, with
// indented clause lines for the details of an operation. Parsing checks the
// whole file (syntax, known operations, known node labels) before anything
// is handed to the library.
#ifndef DFQ_RUN_PIPELINE_H
#define DFQ_RUN_PIPELINE_H

#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace dfqrun {

// A mistake in the pipeline file, located by file and line.
class PipelineError : public std::runtime_error {
 public:
  PipelineError(const std::string &file, int line, const std::string &message)
      : std::runtime_error(file + ":" + std::to_string(line) + ": " + message) {}
  // A mistake of the whole file (unreadable, empty).
  PipelineError(const std::string &file, const std::string &message)
      : std::runtime_error(file + ": " + message) {}
};

// One node of the pipeline, as written.
struct NodeStep {
  std::string label;               // the pipeline's name for the node
  std::string op;                  // table, query, select, top, filter, ...
  std::string keyword;             // join type, set operator or ML function
  std::vector<std::string> inputs; // labels of the input nodes, in order
  std::vector<std::string> aliases;  // join: one alias per input
  std::string source;              // table: the table reference
  std::string text;                // the text after the colon
  bool hasText = false;
  std::map<std::string, std::string> options;                 // single clauses
  std::vector<std::pair<std::string, std::string>> cases;     // sample WHEN/THEN
  std::map<std::string, std::string> inputColumns;            // setop, per input label
  std::vector<std::string> extraOutputs;                      // ml: labels of outputs 2..n
  std::vector<std::string> dependsOn;                         // ml: labels
  std::string schema;              // output schema in force at this line
};

struct Step {
  enum class Kind { Load, Node, Run, Show, Sql };
  Kind kind;
  std::string file;
  int line = 0;
  NodeStep node;                   // Kind::Node
  std::vector<std::string> labels; // Run, Show, Sql
  std::string path;                // Load: path as written, relative to the file
  std::string table;               // Load: target table (empty: from the file name)
};

struct Pipeline {
  std::string file;
  std::vector<Step> steps;
  // True when the file names nodes to run, show or print.
  bool hasRequests() const;
  // The label of the last node defined (empty when there is none).
  std::string lastNode() const;
};

// Output schema of nodes defined before any "schema" line.
inline constexpr const char *kDefaultSchema = "main";

// Whether `text` is a row count as `top ... by:` takes it: a whole number
// that fits an int (a negative one is the library's to refuse).
bool isRowCount(const std::string &text);

// Parses pipeline text; `file` only names it in errors. Throws PipelineError.
Pipeline parsePipeline(const std::string &text, const std::string &file);

// Reads and parses a pipeline file. Throws PipelineError, also when the
// file cannot be read or holds no line to act on.
Pipeline readPipeline(const std::string &path);

// The output table and schema a node label stands for: "schema.table" or
// "table" in `defaultSchema`.
std::pair<std::string, std::string> outputOf(const std::string &label,
                                             const std::string &defaultSchema);

}  // namespace dfqrun

#endif
