// The pipeline format of dfq-run: what each line becomes, and that every
// mistake is reported with its file and line before anything runs.
#include <gtest/gtest.h>

#include "Pipeline.h"

using dfqrun::NodeStep;
using dfqrun::parsePipeline;
using dfqrun::PipelineError;
using dfqrun::Step;

namespace {

const NodeStep &node(const dfqrun::Pipeline &p, size_t i) { return p.steps.at(i).node; }

// The message of the PipelineError that parsing `text` throws.
std::string errorOf(const std::string &text) {
  try {
    parsePipeline(text, "p.dfq");
  } catch (const PipelineError &e) {
    return e.what();
  }
  return "no error";
}

TEST(PipelineFormat, SingleInputOperationsTakeTheirTextAfterTheColon) {
  const auto p = parsePipeline(
      "t = table db.sales\n"
      "f = filter t: a > 1 and b = 'x: y'\n"
      "a = assign f: a * 2 as d\n"
      "  drop: yes\n"
      "s = select a: d\n"
      "  prefix: with x as (select 1)\n",
      "p.dfq");
  ASSERT_EQ(p.steps.size(), 4u);
  EXPECT_EQ(node(p, 0).source, "db.sales");
  EXPECT_EQ(node(p, 1).op, "filter");
  EXPECT_EQ(node(p, 1).inputs, std::vector<std::string>{"t"});
  EXPECT_EQ(node(p, 1).text, "a > 1 and b = 'x: y'");  // only the first colon splits
  EXPECT_EQ(node(p, 2).options.at("drop"), "Y");
  EXPECT_EQ(node(p, 3).options.at("prefix"), "with x as (select 1)");
  EXPECT_EQ(p.lastNode(), "s");
  EXPECT_FALSE(p.hasRequests());
}

TEST(PipelineFormat, SchemaLinesSetTheOutputSchemaOfLaterNodes) {
  const auto p = parsePipeline(
      "t = table s\n"
      "a = filter t: x\n"
      "schema work\n"
      "b = filter a: x\n"
      "other.c = filter b: x\n",
      "p.dfq");
  EXPECT_EQ(node(p, 1).schema, "main");
  EXPECT_EQ(node(p, 2).schema, "work");
  EXPECT_EQ(dfqrun::outputOf(node(p, 2).label, node(p, 2).schema),
            (std::pair<std::string, std::string>{"b", "work"}));
  EXPECT_EQ(dfqrun::outputOf(node(p, 3).label, node(p, 3).schema),
            (std::pair<std::string, std::string>{"c", "other"}));
}

TEST(PipelineFormat, JoinTakesTypeInputsAndAliases) {
  const auto p = parsePipeline(
      "l = table a\nr = table b\n"
      "j = join LEFT l as x, r y: x.id = y.id\n"
      "  columns: x.id, y.v\n"
      "c = join cross l, r\n",
      "p.dfq");
  const NodeStep &j = node(p, 2);
  EXPECT_EQ(j.keyword, "LEFT");
  EXPECT_EQ(j.inputs, (std::vector<std::string>{"l", "r"}));
  EXPECT_EQ(j.aliases, (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(j.text, "x.id = y.id");
  EXPECT_EQ(j.options.at("columns"), "x.id, y.v");
  EXPECT_EQ(node(p, 3).aliases, (std::vector<std::string>{"l", "r"}));
  EXPECT_FALSE(node(p, 3).hasText);
}

TEST(PipelineFormat, SetOperationColumnsPerInput) {
  const auto p = parsePipeline(
      "a = table x\nb = table y\n"
      "u = setop union a, b: k, v\n"
      "  columns b: k, w\n",
      "p.dfq");
  EXPECT_EQ(node(p, 2).keyword, "union");
  EXPECT_EQ(node(p, 2).inputColumns.at("b"), "k, w");
  EXPECT_EQ(errorOf("a = table x\nb = table y\nu = setop union a, b\n  columns a: k\n"),
            "p.dfq:3: no column list for input 'b' (write ': <columns>' or a 'columns b:' clause)");
  EXPECT_EQ(errorOf("a = table x\nb = table y\nu = setop union a, b: k\n  columns c: k\n"),
            "p.dfq:4: 'c' is not an input of this set operation");
}

TEST(PipelineFormat, SampleCasesAndSwitches) {
  const auto p = parsePipeline(
      "t = table x\n"
      "s = sample t\n"
      "  when: a > 1 then 10\n"
      "  WHEN: case when b then 1 end = 1 THEN 20\n"
      "  else: 5\n"
      "  replacement: Y\n"
      "  randomized: no\n",
      "p.dfq");
  const NodeStep &s = node(p, 1);
  ASSERT_EQ(s.cases.size(), 2u);
  EXPECT_EQ(s.cases[0], (std::pair<std::string, std::string>{"a > 1", "10"}));
  // The last " then " separates condition and size.
  EXPECT_EQ(s.cases[1].first, "case when b then 1 end = 1");
  EXPECT_EQ(s.cases[1].second, "20");
  EXPECT_EQ(s.options.at("else"), "5");
  EXPECT_EQ(s.options.at("replacement"), "Y");
  EXPECT_EQ(s.options.at("randomized"), "N");
  EXPECT_EQ(errorOf("t = table x\ns = sample t: 0.5\n  replacement: maybe\n"),
            "p.dfq:3: expected yes or no, got 'maybe'");
}

TEST(PipelineFormat, MlOutputsBecomeNodesAndDependenciesMustExist) {
  const auto p = parsePipeline(
      "t = table x\n"
      "f = filter t: a\n"
      "m = ml kmeans t, f: call kmeans(...)\n"
      "  outputs: m_centers, stats.m_sizes\n"
      "  after: f\n"
      "g = filter m_centers: b\n"
      "run g, m\n",
      "p.dfq");
  EXPECT_EQ(node(p, 2).keyword, "kmeans");
  EXPECT_EQ(node(p, 2).extraOutputs, (std::vector<std::string>{"m_centers", "stats.m_sizes"}));
  EXPECT_EQ(node(p, 2).dependsOn, std::vector<std::string>{"f"});
  EXPECT_EQ(p.steps.back().kind, Step::Kind::Run);
  EXPECT_EQ(p.steps.back().labels, (std::vector<std::string>{"g", "m"}));
}

TEST(PipelineFormat, BackslashContinuesALineAndCommentsAreSkipped) {
  const auto p = parsePipeline(
      "# a comment\n"
      "\n"
      "q = query: select a, \\\n"
      "           b from t\n"
      "f = filter q: a\n",
      "p.dfq");
  EXPECT_EQ(node(p, 0).text, "select a, b from t");
  EXPECT_EQ(p.steps.at(1).line, 5);  // numbering counts the continued line
}

TEST(PipelineFormat, LoadLines) {
  const auto p = parsePipeline("load data/a.csv\nload b.csv as s.b\n", "p.dfq");
  EXPECT_EQ(p.steps[0].path, "data/a.csv");
  EXPECT_EQ(p.steps[0].table, "");
  EXPECT_EQ(p.steps[1].table, "s.b");
}

TEST(PipelineFormat, MistakesNameFileAndLine) {
  EXPECT_EQ(errorOf("t = table x\nf = filtr t: a\n"), "p.dfq:2: unknown operation 'filtr'");
  EXPECT_EQ(errorOf("f = filter nowhere: a\n"), "p.dfq:1: unknown node 'nowhere'");
  EXPECT_EQ(errorOf("t = table x\nt = table y\n"), "p.dfq:2: node 't' is defined twice");
  EXPECT_EQ(errorOf("t = table x\nf = filter t\n"),
            "p.dfq:2: missing ':' before the text of 'filter' (usage: label = filter INPUT: TEXT)");
  EXPECT_EQ(errorOf("t = table x\nf = filter t:\n"), "p.dfq:2: 'filter' needs its text after ':'");
  EXPECT_EQ(errorOf("t = table x\nf = filter t, t: a\n"), "p.dfq:2: expected one input node");
  EXPECT_EQ(errorOf("t = table x\nu = setop union t: a\n"), "p.dfq:2: expected at least 2 input nodes");
  EXPECT_EQ(errorOf("t = table x\nf = filter t: a\n  drop: yes\n"), "p.dfq:3: 'filter' has no clause 'drop'");
  EXPECT_EQ(errorOf("  columns: a\n"), "p.dfq:1: indented clause line without an operation above it");
  EXPECT_EQ(errorOf("run x\n"), "p.dfq:1: unknown node 'x'");
  EXPECT_EQ(errorOf("frobnicate\n"),
            "p.dfq:1: expected 'label = operation ...' or one of load, schema, run, show, sql; got "
            "'frobnicate'");
  EXPECT_EQ(errorOf("a-b = table x\n"), "p.dfq:1: invalid node label 'a-b' (use name or schema.name)");
  EXPECT_EQ(errorOf("q = query x: select 1\n"), "p.dfq:1: 'query' takes no inputs, only ': <text>'");
  EXPECT_EQ(errorOf("t = table x\nj = join inner t\n"),
            "p.dfq:2: usage: label = join <type> <left> [as] <alias>, <right> [as] <alias>");
  EXPECT_EQ(errorOf("schema 1x\n"), "p.dfq:1: usage: schema <name> (letters, digits and _)");
}

// Mistakes that the library would otherwise report in its own terms, or
// not at all (a cross join's condition was dropped without a word).
TEST(PipelineFormat, MistakesAreNamedInThePipelinesTerms) {
  const std::string two = "a = table x\nb = table y\n";
  EXPECT_EQ(errorOf(two + "f = filter a qty > 1\n"),
            "p.dfq:3: missing ':' before the text of 'filter' (usage: label = filter INPUT: TEXT)");
  EXPECT_EQ(errorOf(two + "u = setop union a, b k\n"),
            "p.dfq:3: missing ':' after the input 'b' (unknown node 'b k')");
  EXPECT_EQ(errorOf(two + "j = join cross a, b: a.k = b.k\n"),
            "p.dfq:3: a cross join takes no condition; drop ': a.k = b.k' or filter the joined rows "
            "in a node of its own");
  EXPECT_EQ(errorOf(two + "j = join CROSS a, b: a.k = b.k\n").substr(0, 32), "p.dfq:3: a cross join takes no c");
  EXPECT_EQ(errorOf(two + "j = join inner a, b\n"),
            "p.dfq:3: an inner join needs its condition after ':' (usage: label = join inner LEFT "
            "[as] A, RIGHT [as] B: CONDITION)");
  EXPECT_EQ(errorOf(two + "j = join left a, b:\n").substr(0, 39), "p.dfq:3: a left join needs its conditio");
  EXPECT_EQ(errorOf(two + "m = ml kmeans: call kmeans()\n"), "p.dfq:3: expected at least one input node");
  EXPECT_EQ(errorOf(two + "q = query\n"),
            "p.dfq:3: missing ':' before the text of 'query' (usage: label = query: SQL)");
  // Still accepted: a cross join without a condition, a byte-order mark.
  EXPECT_EQ(errorOf(two + "j = join cross a, b\n"), "no error");
  EXPECT_EQ(parsePipeline("\xEF\xBB\xBFt = table x\n", "p.dfq").steps.at(0).node.label, "t");
}

TEST(PipelineFormat, UnreadableDirectoryOrEmptyFilesAreReported) {
  auto error = [](const std::string &path) -> std::string {
    try {
      dfqrun::readPipeline(path);
    } catch (const PipelineError &e) {
      return e.what();
    }
    return "no error";
  };
  EXPECT_EQ(error("/nonexistent/p.dfq"), "/nonexistent/p.dfq: cannot read the pipeline file: no such file");
  EXPECT_EQ(error(DFQ_HOST_TEST_DIR), std::string(DFQ_HOST_TEST_DIR) +
                                          ": cannot read the pipeline file: it is a directory");
  EXPECT_EQ(error(DFQ_HOST_TEST_DIR "/cli/empty.dfq"),
            DFQ_HOST_TEST_DIR "/cli/empty.dfq: the pipeline is empty: no load, operation, run, "
            "show or sql line");
}

}  // namespace
