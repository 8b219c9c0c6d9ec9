#include "Pipeline.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace dfqrun {

namespace {

// The UTF-8 byte-order mark some editors write at the start of a file.
constexpr const char *kByteOrderMark = "\xEF\xBB\xBF";

struct Line {
  int number;
  std::string text;
};

std::string trim(const std::string &s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  const auto last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::vector<std::string> words(const std::string &s) {
  std::istringstream in(s);
  std::vector<std::string> result;
  for (std::string w; in >> w;) result.push_back(w);
  return result;
}

// Items of a comma-separated list, trimmed; empty text gives no items.
std::vector<std::string> commaList(const std::string &s) {
  std::vector<std::string> result;
  if (trim(s).empty()) return result;
  std::string item;
  std::istringstream in(s);
  while (std::getline(in, item, ',')) result.push_back(trim(item));
  return result;
}

bool isIdentifier(const std::string &s) {
  if (s.empty() || !(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_')) return false;
  return std::all_of(s.begin(), s.end(),
                     [](unsigned char c) { return std::isalnum(c) || c == '_'; });
}

bool isLabel(const std::string &s) {
  const auto dot = s.find('.');
  if (dot == std::string::npos) return isIdentifier(s);
  return isIdentifier(s.substr(0, dot)) && isIdentifier(s.substr(dot + 1));
}

// Physical lines joined where a line ends in a backslash; each logical line
// keeps the number of its first physical line.
std::vector<Line> logicalLines(const std::string &text) {
  std::vector<Line> lines;
  std::istringstream in(text.rfind(kByteOrderMark, 0) == 0 ? text.substr(3) : text);
  std::string physical;
  int number = 0;
  bool continuing = false;
  while (std::getline(in, physical)) {
    ++number;
    if (!physical.empty() && physical.back() == '\r') physical.pop_back();
    const bool continues = !physical.empty() && physical.back() == '\\';
    if (continues) physical.erase(physical.find_last_not_of(" \t\\") + 1);
    if (continuing)
      lines.back().text += " " + trim(physical);
    else
      lines.push_back({number, physical});
    continuing = continues;
  }
  return lines;
}

// What an operation's header takes.
enum class Args { Source, None, OneInput, Join, SetOp, Ml };
enum class Text { Required, Optional, Forbidden };

struct OpRule {
  Args args;
  Text text;
  std::set<std::string> clauses;
};

const std::map<std::string, OpRule> &opRules() {
  static const std::map<std::string, OpRule> rules = {
      {"table", {Args::Source, Text::Forbidden, {}}},
      {"query", {Args::None, Text::Required, {}}},
      {"select", {Args::OneInput, Text::Required, {"prefix"}}},
      {"top", {Args::OneInput, Text::Required, {"by"}}},
      {"filter", {Args::OneInput, Text::Required, {}}},
      {"assign", {Args::OneInput, Text::Required, {"drop"}}},
      {"orderby", {Args::OneInput, Text::Required, {}}},
      {"groupby", {Args::OneInput, Text::Required, {}}},
      {"groupbytime", {Args::OneInput, Text::Required, {"columns", "timecode", "option", "fill"}}},
      {"aggregate", {Args::OneInput, Text::Required, {}}},
      {"join", {Args::Join, Text::Optional, {"columns"}}},
      {"setop", {Args::SetOp, Text::Optional, {}}},
      {"sample",
       {Args::OneInput, Text::Optional, {"columns", "replacement", "randomized", "when", "else"}}},
      {"ml", {Args::Ml, Text::Required, {"outputs", "after"}}},
  };
  return rules;
}

const std::set<std::string> &switchClauses() {
  static const std::set<std::string> keys = {"drop", "replacement", "randomized"};
  return keys;
}

class Parser {
 public:
  explicit Parser(std::string file) { pipeline_.file = std::move(file); }

  Pipeline parse(const std::string &text) {
    for (const auto &line : logicalLines(text)) parseLine(line);
    for (const auto &step : pipeline_.steps)
      if (step.kind == Step::Kind::Node) checkComplete(step);
    return std::move(pipeline_);
  }

 private:
  [[noreturn]] void fail(int line, const std::string &message) const {
    throw PipelineError(pipeline_.file, line, message);
  }

  void parseLine(const Line &line) {
    const std::string content = trim(line.text);
    if (content.empty() || content[0] == '#') return;
    if (std::isspace(static_cast<unsigned char>(line.text[0])))
      parseClause(line.number, content);
    else
      parseStatement(line.number, content);
  }

  void parseStatement(int line, const std::string &content) {
    // A node definition has a single word before its first '='.
    const auto eq = content.find('=');
    if (eq != std::string::npos && words(content.substr(0, eq)).size() == 1)
      return parseNode(line, content);
    const std::string directive = words(content)[0];
    const std::string rest = trim(content.substr(directive.size()));
    if (directive == "load") return parseLoad(line, rest);
    if (directive == "schema") return parseSchema(line, rest);
    if (directive == "run") return parseRequest(line, Step::Kind::Run, rest);
    if (directive == "show") return parseRequest(line, Step::Kind::Show, rest);
    if (directive == "sql") return parseRequest(line, Step::Kind::Sql, rest);
    fail(line, "expected 'label = operation ...' or one of load, schema, run, show, sql; got '" +
                   directive + "'");
  }

  void parseLoad(int line, const std::string &rest) {
    auto w = words(rest);
    Step step{Step::Kind::Load, pipeline_.file, line, {}, {}, "", ""};
    if (w.size() == 1) {
      step.path = w[0];
    } else if (w.size() == 3 && w[1] == "as" && isLabel(w[2])) {
      step.path = w[0];
      step.table = w[2];
    } else {
      fail(line, "usage: load <file> [as <table>]");
    }
    pipeline_.steps.push_back(std::move(step));
  }

  void parseSchema(int line, const std::string &rest) {
    if (!isIdentifier(rest)) fail(line, "usage: schema <name> (letters, digits and _)");
    schema_ = rest;
  }

  void parseRequest(int line, Step::Kind kind, const std::string &rest) {
    std::string spaced = rest;
    std::replace(spaced.begin(), spaced.end(), ',', ' ');
    const auto labels = words(spaced);
    if (labels.empty()) fail(line, "name at least one node");
    for (const auto &label : labels) requireKnown(line, label);
    pipeline_.steps.push_back({kind, pipeline_.file, line, {}, labels, "", ""});
  }

  void parseNode(int line, const std::string &content) {
    const auto eq = content.find('=');
    NodeStep node;
    node.label = trim(content.substr(0, eq));
    node.schema = schema_;
    define(line, node.label);
    std::string header = trim(content.substr(eq + 1));
    const auto colon = header.find(':');
    if (colon != std::string::npos) {
      node.text = trim(header.substr(colon + 1));
      node.hasText = true;
      header = header.substr(0, colon);
    }
    auto w = words(header);
    if (w.empty()) fail(line, "missing operation after '='");
    node.op = w[0];
    const auto rule = opRules().find(node.op);
    if (rule == opRules().end()) fail(line, "unknown operation '" + node.op + "'");
    if (rule->second.text == Text::Required && !node.hasText)
      fail(line, "missing ':' before the text of '" + node.op + "' (usage: " + usage(node.op) + ")");
    parseArgs(line, rule->second.args, trim(header.substr(header.find(node.op) + node.op.size())),
              node);
    checkText(line, rule->second.text, node);
    checkGroupingInputs(line, node);
    ops_[node.label] = node.op;
    pipeline_.steps.push_back({Step::Kind::Node, pipeline_.file, line, std::move(node), {}, "", ""});
  }

  void parseArgs(int line, Args args, const std::string &rest, NodeStep &node) {
    switch (args) {
      case Args::Source: {
        const auto w = words(rest);
        if (w.size() != 1) fail(line, "usage: label = table <table reference>");
        node.source = w[0];
        break;
      }
      case Args::None:
        if (!rest.empty()) fail(line, "'" + node.op + "' takes no inputs, only ': <text>'");
        break;
      case Args::OneInput:
        node.inputs = inputList(line, rest, 1, 1);
        break;
      case Args::Join:
        parseJoinArgs(line, rest, node);
        break;
      case Args::SetOp:
        node.keyword = keyword(line, rest, "usage: label = setop <operator> <input>, <input>, ...");
        node.inputs = inputList(line, rest.substr(node.keyword.size()), 2, 0);
        break;
      case Args::Ml:
        node.keyword = keyword(line, rest, "usage: label = ml <function> <input>, ...: <query>");
        node.inputs = inputList(line, rest.substr(node.keyword.size()), 1, 0);
        break;
    }
  }

  std::string keyword(int line, const std::string &rest, const std::string &usage) {
    const auto w = words(rest);
    if (w.empty()) fail(line, usage);
    return w[0];
  }

  // Comma-separated input labels, at least `min` and (when `max` > 0) at
  // most `max`.
  std::vector<std::string> inputList(int line, const std::string &rest, size_t min, size_t max) {
    auto labels = commaList(rest);
    if (labels.size() < min || (max > 0 && labels.size() > max))
      fail(line, max == 1 ? "expected one input node" :
                 min == 1 ? "expected at least one input node" :
                 "expected at least " + std::to_string(min) + " input nodes");
    for (const auto &label : labels) requireKnown(line, label);
    return labels;
  }

  // "<type> <left> [as] <alias>, <right> [as] <alias>"; an alias defaults
  // to the input's table name.
  void parseJoinArgs(int line, const std::string &rest, NodeStep &node) {
    const std::string usage = "usage: label = join <type> <left> [as] <alias>, <right> [as] <alias>";
    node.keyword = keyword(line, rest, usage);
    const auto sides = commaList(rest.substr(node.keyword.size()));
    if (sides.size() != 2) fail(line, usage);
    for (const auto &side : sides) {
      auto w = words(side);
      if (w.size() == 3 && lower(w[1]) == "as") w.erase(w.begin() + 1);
      if (w.empty() || w.size() > 2) fail(line, usage);
      requireKnown(line, w[0]);
      node.inputs.push_back(w[0]);
      node.aliases.push_back(w.size() == 2 ? w[1] : outputOf(w[0], "").first);
    }
  }

  static std::string usage(const std::string &op) {
    if (op == "query") return "label = query: SQL";
    if (op == "ml") return "label = ml FUNCTION INPUT, ...: QUERY";
    return "label = " + op + " INPUT: TEXT";
  }

  void checkText(int line, Text text, const NodeStep &node) {
    if (node.op == "join") checkJoinCondition(line, node);
    if (text == Text::Required && node.text.empty())
      fail(line, "'" + node.op + "' needs its text after ':'");
    if (text == Text::Forbidden && node.hasText)
      fail(line, "'" + node.op + "' takes no text after ':'");
  }

  // A cross join has no condition; every other join needs one (the type
  // itself is the library's to judge).
  void checkJoinCondition(int line, const NodeStep &node) {
    const std::string type = lower(node.keyword);
    if (type == "cross" && !node.text.empty())
      fail(line, "a cross join takes no condition; drop ': " + node.text +
                     "' or filter the joined rows in a node of its own");
    const bool needsCondition = type == "inner" || type == "left" || type == "right" ||
                                type == "full" || type == "semi" || type == "anti";
    if (needsCondition && node.text.empty())
      fail(line, std::string(type == "inner" || type == "anti" ? "an " : "a ") + type +
                     " join needs its condition after ':' (usage: label = join " + type +
                     " LEFT [as] A, RIGHT [as] B: CONDITION)");
  }

  // A grouping feeds an aggregate (or a time grouping) and nothing else.
  void checkGroupingInputs(int line, const NodeStep &node) const {
    if (node.op == "aggregate" || node.op == "groupbytime") return;
    for (const auto &label : node.inputs) {
      const auto op = ops_.find(label);
      if (op != ops_.end() && (op->second == "groupby" || op->second == "groupbytime"))
        fail(line, "'" + label + "' is a grouping: only aggregate and groupbytime read it; "
                   "aggregate it first and " + node.op + " the aggregate");
    }
  }

  void parseClause(int line, const std::string &content) {
    if (pipeline_.steps.empty() || pipeline_.steps.back().kind != Step::Kind::Node)
      fail(line, "indented clause line without an operation above it");
    NodeStep &node = pipeline_.steps.back().node;
    const auto colon = content.find(':');
    if (colon == std::string::npos) fail(line, "expected '<clause>: <value>'");
    const auto keyWords = words(lower(content.substr(0, colon)));
    const std::string value = trim(content.substr(colon + 1));
    if (keyWords.empty()) fail(line, "missing clause name before ':'");
    if (node.op == "setop" && keyWords[0] == "columns" && keyWords.size() == 2)
      return setInputColumns(line, node, content.substr(0, colon), value);
    const std::string key = keyWords[0];
    const auto &allowed = opRules().at(node.op).clauses;
    if (keyWords.size() != 1 || !allowed.count(key))
      fail(line, "'" + node.op + "' has no clause '" + trim(content.substr(0, colon)) + "'");
    if (key == "when") return addCase(line, node, value);
    if (key == "outputs") return addOutputs(line, node, value);
    if (key == "after") return addDependencies(line, node, value);
    if (node.options.count(key)) fail(line, "clause '" + key + "' given twice");
    node.options[key] = switchClauses().count(key) ? switchValue(line, value) : value;
  }

  void setInputColumns(int line, NodeStep &node, const std::string &key, const std::string &value) {
    const std::string label = words(key)[1];
    if (std::find(node.inputs.begin(), node.inputs.end(), label) == node.inputs.end())
      fail(line, "'" + label + "' is not an input of this set operation");
    node.inputColumns[label] = value;
  }

  std::string switchValue(int line, const std::string &value) {
    const std::string v = lower(value);
    if (v == "yes" || v == "y" || v == "1" || v == "true") return "Y";
    if (v == "no" || v == "n" || v == "0" || v == "false") return "N";
    fail(line, "expected yes or no, got '" + value + "'");
  }

  // "<condition> then <size>", split at the last " then ".
  void addCase(int line, NodeStep &node, const std::string &value) {
    const auto at = lower(value).rfind(" then ");
    if (at == std::string::npos) fail(line, "usage: when: <condition> then <size>");
    node.cases.emplace_back(trim(value.substr(0, at)), trim(value.substr(at + 6)));
  }

  void addOutputs(int line, NodeStep &node, const std::string &value) {
    for (const auto &label : commaList(value)) {
      define(line, label);
      node.extraOutputs.push_back(label);
    }
  }

  void addDependencies(int line, NodeStep &node, const std::string &value) {
    for (const auto &label : commaList(value)) {
      requireKnown(line, label);
      node.dependsOn.push_back(label);
    }
  }

  void checkComplete(const Step &step) {
    const NodeStep &node = step.node;
    if (node.op == "top" && node.options.count("by") && !isRowCount(node.text))
      fail(step.line, "'top' with 'by:' takes a whole number of rows after ':', got '" +
                          node.text + "'");
    if (node.op != "setop") return;
    for (const auto &input : node.inputs)
      if (!node.hasText && !node.inputColumns.count(input))
        fail(step.line, "no column list for input '" + input +
                            "' (write ': <columns>' or a 'columns " + input + ":' clause)");
  }

  void define(int line, const std::string &label) {
    if (!isLabel(label)) fail(line, "invalid node label '" + label + "' (use name or schema.name)");
    if (!labels_.insert(label).second) fail(line, "node '" + label + "' is defined twice");
  }

  void requireKnown(int line, const std::string &label) const {
    if (labels_.count(label)) return;
    const auto w = words(label);
    if (w.size() > 1 && labels_.count(w[0]))
      fail(line, "missing ':' after the input '" + w[0] + "' (unknown node '" + label + "')");
    fail(line, "unknown node '" + label + "'");
  }

  Pipeline pipeline_;
  std::set<std::string> labels_;
  std::map<std::string, std::string> ops_;  // label -> operation
  std::string schema_ = kDefaultSchema;
};

}  // namespace

bool isRowCount(const std::string &text) {
  int value = 0;
  const char *end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  return !text.empty() && error == std::errc() && at == end;
}

bool Pipeline::hasRequests() const {
  return std::any_of(steps.begin(), steps.end(), [](const Step &s) {
    return s.kind == Step::Kind::Run || s.kind == Step::Kind::Show || s.kind == Step::Kind::Sql;
  });
}

std::string Pipeline::lastNode() const {
  for (auto it = steps.rbegin(); it != steps.rend(); ++it)
    if (it->kind == Step::Kind::Node) return it->node.label;
  return "";
}

Pipeline parsePipeline(const std::string &text, const std::string &file) {
  return Parser(file).parse(text);
}

Pipeline readPipeline(const std::string &path) {
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (!std::filesystem::exists(status))
    throw PipelineError(path, "cannot read the pipeline file: no such file");
  if (std::filesystem::is_directory(status))
    throw PipelineError(path, "cannot read the pipeline file: it is a directory");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw PipelineError(path, "cannot read the pipeline file");
  std::ostringstream text;
  text << in.rdbuf();
  Pipeline pipeline = parsePipeline(text.str(), path);
  if (pipeline.steps.empty())
    throw PipelineError(path, "the pipeline is empty: no load, operation, run, show or sql line");
  return pipeline;
}

std::pair<std::string, std::string> outputOf(const std::string &label,
                                             const std::string &defaultSchema) {
  const auto dot = label.find('.');
  if (dot == std::string::npos) return {label, defaultSchema};
  return {label.substr(dot + 1), label.substr(0, dot)};
}

}  // namespace dfqrun
