// The options of the DAG instance and the dialect: how long a setting
// lives, what is refused and with which code, what each dialect writes for
// the operations it changes, and that the forms an engine lacks are refused
// before any node is added.
#include <gtest/gtest.h>

#include <functional>

#include "Dialect.h"

#include "opsSupport.h"

namespace {

using dfqtest::CStrings;
using opstest::nodeCount;
using opstest::Outcome;
using opstest::sqlOf;

int setOption(const std::string &name, const std::string &value) {
  CStrings n{name}, v{value};
  int rc = -1;
  dfq_set_option(n, v, &rc);
  return rc;
}

struct Read {
  int rc = -1;
  std::string value;
  int size = 0;
};

// dfq_get_option into a buffer of `room` bytes, prefilled with '#'.
Read getOption(const std::string &name, int room = 64) {
  CStrings n{name}, out{std::string(static_cast<size_t>(room > 1 ? room - 1 : 0), '#')};
  Read r;
  r.size = room;
  dfq_get_option(n, out, &r.size, &r.rc);
  r.value = out[0];
  return r;
}

int initDag() {
  CStrings user{"u"}, a2{""}, a3{""};
  int level = 4, rc = -1;
  init_dag(user, a2, &level, a3, &rc);
  return rc;
}

// The host's default log configuration; no instance before or after.
class DialectTest : public ::testing::Test {
 protected:
  void SetUp() override { close_dag(); }
  void TearDown() override { close_dag(); }

  void open(const std::string &dialect) {
    ASSERT_EQ(initDag(), 0);
    ASSERT_EQ(setOption("dialect", dialect), 0) << dfqtest::errorMessage(1602);
  }
};

TEST_F(DialectTest, TheSettingLivesFromInitToCloseAndIsFixedOnceNodesExist) {
  EXPECT_EQ(setOption("dialect", "sqlite"), 1302);
  EXPECT_EQ(getOption("dialect").rc, 1302);
  EXPECT_EQ(dfqtest::errorMessage(1302), "Dag Instance is NOT initialized");

  ASSERT_EQ(initDag(), 0);
  Read r = getOption("dialect");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.value, "default");
  EXPECT_EQ(r.size, 8);
  EXPECT_EQ(setOption("Dialect", "SQLite"), 0);  // any case
  EXPECT_EQ(getOption("DIALECT").value, "sqlite");
  EXPECT_EQ(setOption("dialect", "postgresql"), 0);  // no nodes yet: free to change

  ASSERT_NE(dfqtest::table("s.t"), "");
  EXPECT_EQ(setOption("dialect", "PostgreSQL"), 0) << "the same dialect is no change";
  EXPECT_EQ(setOption("dialect", "sqlite"), 1603);
  EXPECT_EQ(dfqtest::errorMessage(1603),
            "Option dialect cannot change from postgresql to sqlite once the DAG has nodes");
  EXPECT_EQ(getOption("dialect").value, "postgresql");

  close_dag();
  ASSERT_NE(dfqtest::table("s.t"), "");  // the table entry creates a fresh instance
  EXPECT_EQ(getOption("dialect").value, "default");
}

TEST_F(DialectTest, UnknownNamesAndValuesAndSmallBuffersAreRefused) {
  ASSERT_EQ(initDag(), 0);
  EXPECT_EQ(setOption("colour", "sqlite"), 1601);
  EXPECT_EQ(dfqtest::errorMessage(1601), "Unknown option colour");
  EXPECT_EQ(getOption("dialects").rc, 1601);
  for (const char *value : {"mysql", "sqlite ", "postgres", "Default2"}) {
    EXPECT_EQ(setOption("dialect", value), 1602) << value;
    EXPECT_EQ(dfqtest::errorMessage(1602), std::string("Invalid value ") + value +
                                               " for option dialect (default, postgresql or sqlite)");
  }
  EXPECT_EQ(setOption("dialect", ""), 1502);
  EXPECT_EQ(getOption("dialect").value, "default") << "refused values change nothing";

  ASSERT_EQ(setOption("dialect", "postgresql"), 0);
  for (int room : {-1, 0, 1, 10}) {  // "postgresql" needs 11 bytes
    const Read r = getOption("dialect", room);
    EXPECT_EQ(r.rc, 1604) << room;
    EXPECT_EQ(r.size, 11) << room;
    EXPECT_EQ(r.value, std::string(static_cast<size_t>(room > 1 ? room - 1 : 0), '#'))
        << "nothing written into a buffer of " << room;
  }
  EXPECT_EQ(dfqtest::errorMessage(1604),
            "Buffer of 10 bytes is too small for the value of option dialect, 11 needed");
  const Read exact = getOption("dialect", 11);
  EXPECT_EQ(exact.rc, 0);
  EXPECT_EQ(exact.value, "postgresql");
}

// ---- what the dialects write ----------------------------------------------------

Outcome single(opstest::SevenArgEntry entry, const std::string &in,
               const std::vector<std::string> &values, const std::string &out) {
  return opstest::callEntry(entry, {in}, {"tag"}, values, out, "w");
}

Outcome sample(const std::string &in, const std::string &fractions, bool withReplacement = false,
               std::vector<std::string> when = {}, std::vector<std::string> then = {}) {
  CStrings nid{in}, name{"t", "r", "a", "f", "e"};
  CStrings value{"k", withReplacement ? "Y" : "N", "N", fractions, ""};
  const int count = static_cast<int>(when.size());
  if (when.empty()) when = then = {""};
  CStrings w(when), t(then), ot{"smp"}, os{"w"}, out = CStrings::buffers(1);
  int len = count, rc = -1;
  dfq_sample(nid, name, value, ot, os, out, w, t, &len, &rc);
  return opstest::outcome(rc, out[0]);
}

Outcome top(const std::string &in, const std::string &rows, const std::string &name = "top") {
  return opstest::select(in, name, {rows}, 1, "tp", "w");
}

// The node texts of the operations the dialects change, over a filter that
// is read by name ("w"."f") and a second one ("w"."g").
struct Texts {
  std::string top, topn, minus, minusAll, intersectAll, assignKeep, assignDrop, count, fraction;
};

Outcome topn(const std::string &in, const std::string &ordering, int count) {
  CStrings nid{in}, name{""}, value{ordering}, ot{"tn"}, os{"w"}, out = CStrings::buffers(1);
  int rc = -1;
  dfq_topn(nid, name, value, &count, ot, os, out, &rc);
  return opstest::outcome(rc, out[0]);
}

Texts textsOf(const std::string &dialect) {
  EXPECT_EQ(initDag(), 0);
  EXPECT_EQ(setOption("dialect", dialect), 0);
  const std::string t = dfqtest::table("s.t");
  const std::string f = single(dfq_filter, t, {"k > 1"}, "f").id;
  const std::string g = single(dfq_filter, t, {"k < 3"}, "g").id;
  auto id = [](const Outcome &o) { return o.ok() ? o.id : ""; };
  auto text = [](const std::string &node) { return node.empty() ? "refused" : sqlOf(node); };
  Texts x;
  x.top = text(id(opstest::select(f, "top", {"3", "/* p */"}, 2, "tp", "w")));
  x.topn = text(id(topn(f, "k desc, v", 3)));
  x.minus = text(id(opstest::setop("MINUS", {f, g}, {"k", "k"})));
  x.minusAll = text(id(opstest::setop("minusall", {f, g}, {"k", "k"})));
  x.intersectAll = text(id(opstest::setop("intersectall", {f, g}, {"k", "k"})));
  x.assignKeep = text(id(single(dfq_assign, f, {"v + 1 as w", "N"}, "a")));
  x.assignDrop = text(id(single(dfq_assign, f, {"v + 1 as w", "Y"}, "d")));
  x.count = text(id(sample(f, " 2 ")));
  x.fraction = text(id(sample(f, "0.5")));
  close_dag();
  return x;
}

TEST_F(DialectTest, EachDialectWritesItsOwnFormsAndTheDefaultKeepsTheOriginalText) {
  const Texts d = textsOf("default");
  EXPECT_EQ(d.top, "/* p */ select top 3 * from \"w\".\"f\"");
  EXPECT_EQ(d.topn, "select top 3 * from \"w\".\"f\" order by k desc, v");
  EXPECT_EQ(d.minus, "select k from \"w\".\"f\" minus select k from \"w\".\"g\"");
  EXPECT_EQ(d.minusAll, "select k from \"w\".\"f\" minus all select k from \"w\".\"g\"");
  EXPECT_EQ(d.assignKeep, "select \"w\".\"f\".*, v + 1 as w from \"w\".\"f\"");
  EXPECT_EQ(d.count, "select k from \"w\".\"f\" SAMPLE  2 ");

  for (const char *dialect : {"postgresql", "sqlite"}) {
    SCOPED_TRACE(dialect);
    const Texts p = textsOf(dialect);
    EXPECT_EQ(p.top, "/* p */ select * from \"w\".\"f\" limit 3");
    EXPECT_EQ(p.topn, "select * from \"w\".\"f\" order by k desc, v limit 3");
    EXPECT_EQ(p.minus, "select k from \"w\".\"f\" except select k from \"w\".\"g\"");
    EXPECT_EQ(p.assignKeep, "select *, v + 1 as w from \"w\".\"f\"");
    EXPECT_EQ(p.assignDrop, d.assignDrop);
    EXPECT_EQ(p.count, "select k from \"w\".\"f\" order by random() limit 2");
  }
  const Texts pg = textsOf("postgresql");
  EXPECT_EQ(pg.minusAll, "select k from \"w\".\"f\" except all select k from \"w\".\"g\"");
  EXPECT_EQ(pg.intersectAll, "select k from \"w\".\"f\" intersect all select k from \"w\".\"g\"");
  EXPECT_EQ(pg.fraction, "select k from \"w\".\"f\" where random() < 0.5");
  const Texts lite = textsOf("sqlite");
  EXPECT_EQ(lite.minusAll, "refused");
  EXPECT_EQ(lite.intersectAll, "refused");
  EXPECT_EQ(lite.fraction,
            "select k from \"w\".\"f\" where (random() / 18446744073709551616.0 + 0.5) < 0.5");
}

// ---- forms an engine lacks --------------------------------------------------------

struct Refusal {
  const char *what;
  std::function<Outcome(const std::string &input)> add;
  int code;
  const char *form;  // as the message names it
};

const std::vector<Refusal> &refusals() {
  static const std::vector<Refusal> all = {
      {"sample with replacement", [](const std::string &in) { return sample(in, "5", true); },
       1612, "a sample with replacement"},
      {"stratified sample",
       [](const std::string &in) { return sample(in, "", false, {"k > 1"}, {"2"}); }, 1612,
       "a stratified sample (WHEN ... THEN)"},
      {"several fractions", [](const std::string &in) { return sample(in, "0.25, 0.25"); }, 1612,
       "a sample of several fractions or counts: 0.25, 0.25"},
      {"fraction above one", [](const std::string &in) { return sample(in, "1.5"); }, 1612,
       "the sample size 1.5 (one count, or one fraction from 0 to 1)"},
      {"count as an expression", [](const std::string &in) { return sample(in, "2+1"); }, 1612,
       "the sample size 2+1 (one count, or one fraction from 0 to 1)"},
      {"top of a negative count", [](const std::string &in) { return top(in, "-1"); }, 1615,
       "the row count -1 of top (digits only, at most 9223372036854775807)"},
      {"top of a word", [](const std::string &in) { return top(in, "abc"); }, 1615,
       "the row count abc of top (digits only, at most 9223372036854775807)"},
      {"top with a second statement",
       [](const std::string &in) { return top(in, "1; drop table t"); }, 1615,
       "the row count 1; drop table t of top (digits only, at most 9223372036854775807)"},
      {"top of a signed count", [](const std::string &in) { return top(in, "+5"); }, 1615,
       "the row count +5 of top (digits only, at most 9223372036854775807)"},
      {"top beyond 64 bits",
       [](const std::string &in) { return top(in, "9223372036854775808", "TOP"); }, 1615,
       "the row count 9223372036854775808 of top (digits only, at most 9223372036854775807)"},
      {"group by time",
       [](const std::string &in) {
         CStrings nid{in}, name{"g"}, value{"1 hour", "", "", "", ""}, ot{"keep"}, os{"keep"};
         CStrings out = CStrings::buffers(1);
         int rc = -1;
         dfq_groupby_time(nid, name, value, ot, os, out, &rc);
         if (rc != 0) {
           EXPECT_EQ(ot[0], "keep") << "host buffers untouched";
         }
         return opstest::outcome(rc, out[0]);
       },
       1613, "group by time"},
      {"ML call",
       [](const std::string &in) {
         CStrings nid{in}, name{"ml"}, value{"select * from fn(on t)"}, ot{"o"}, os{"w"},
             fn{"fn"};
         CStrings out = CStrings::buffers(1);
         int inputs = 1, outputs = 1, rc = -1;
         dfq_ml_query(nid, name, value, ot, os, fn, &inputs, &outputs, out, &rc, nullptr,
                      nullptr);
         return opstest::outcome(rc, out[0]);
       },
       1614, "ML function calls"},
  };
  return all;
}

TEST_F(DialectTest, FormsAnEngineLacksAreRefusedBeforeANodeIsAdded) {
  for (const char *dialect : {"postgresql", "sqlite"}) {
    open(dialect);
    const std::string t = dfqtest::table("s.t");
    for (const Refusal &r : refusals()) {
      const size_t before = nodeCount();
      const Outcome o = r.add(t);
      EXPECT_EQ(o.rc, r.code) << dialect << ", " << r.what;
      EXPECT_EQ(o.message, std::string("Dialect ") + dialect + " does not support " + r.form);
      EXPECT_EQ(nodeCount(), before) << dialect << ", " << r.what;
    }
    close_dag();
  }
  open("sqlite");
  const std::string t = dfqtest::table("s.t");
  for (const char *op : {"minusall", "INTERSECTALL"}) {
    const Outcome o = opstest::setop(op, {t, t}, {"k", "k"});
    EXPECT_EQ(o.rc, 1611) << op;
    EXPECT_NE(o.message.find("Dialect sqlite does not support "), std::string::npos) << o.message;
  }
  EXPECT_EQ(opstest::setop("minusall", {t, "0"}, {"k", "k"}).rc, 1326) << "ids are checked first";
  close_dag();

  // The default dialect refuses none of them, and writes a row count as given.
  ASSERT_EQ(initDag(), 0);
  const std::string d = dfqtest::table("s.t");
  for (const Refusal &r : refusals()) EXPECT_EQ(r.add(d).rc, 0) << r.what;
  EXPECT_EQ(sqlOf(top(d, "abc").id), "select top abc * from s.t");
}

TEST(DialectRowCount, DigitsUpToTheLargest64BitCountAreTheOnlyPortableRowCounts) {
  for (const char *rows : {"10", " 7 ", "0", "007", "9223372036854775807", "0009223372036854775807"})
    EXPECT_TRUE(dfq::isRowCount(rows)) << rows;
  for (const char *rows : {"", " ", "-1", "+5", "1.0", "1e3", "1 2", "0x10", "9223372036854775808",
                           "10000000000000000000", "3 -- c"})
    EXPECT_FALSE(dfq::isRowCount(rows)) << rows;
}

TEST(DialectSampleSize, CountsAndSingleFractionsAreTheOnlyPortableSizes) {
  using dfq::SampleSize;
  const std::vector<std::pair<std::string, SampleSize::Kind>> cases = {
      {"10", SampleSize::Count},     {" 0 ", SampleSize::Count},    {"0.25", SampleSize::Fraction},
      {".5", SampleSize::Fraction},  {"1.", SampleSize::Fraction},  {"1.000", SampleSize::Fraction},
      {"0", SampleSize::Count},      {"001.0", SampleSize::Fraction},
      {"1.01", SampleSize::None},    {"2.0", SampleSize::None},     {".", SampleSize::None},
      {"", SampleSize::None},        {"-1", SampleSize::None},      {"1e-2", SampleSize::None},
      {"0.1,0.2", SampleSize::None}, {"10 percent", SampleSize::None}, {"0..5", SampleSize::None},
  };
  for (const auto &[text, kind] : cases) EXPECT_EQ(dfq::sampleSizeOf(text).kind, kind) << text;
}

}  // namespace
