// The gap-buffer working text must find the same names and hold the same
// text as the plain one after any sequence of scans and edits.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "ResolverText.h"

using dfq::GapText;
using dfq::PlainText;

namespace {

// Texts made of the characters that matter to the scanner.
std::string randomText(std::mt19937 &rng, int maxLength) {
  static const char alphabet[] = "\"\"\"\"..ab *( )";
  std::uniform_int_distribution<int> length(0, maxLength);
  std::uniform_int_distribution<int> pick(0, sizeof alphabet - 2);
  std::string text;
  for (int n = length(rng); n > 0; --n) text += alphabet[pick(rng)];
  if (rng() % 2) text += "\"s\".\"t\"";
  return text;
}

}  // namespace

TEST(ResolverTextTest, FindsTheSameFirstNameAsTheScanner) {
  for (const std::string text :
       {"select * from \"s\".\"t\" where 1=1", "\"s\".t", "\"s\" . \"t\"", "s.t", "\"\".\"t\"",
        "\"a\".\"b", "\"a\" \"b\".\"c\"", ""}) {
    PlainText plain(text);
    GapText gap(text);
    std::size_t ps = 0, pe = 0, gs = 0, ge = 0;
    const bool found = plain.findName(ps, pe);
    ASSERT_EQ(gap.findName(gs, ge), found) << text;
    if (found) {
      EXPECT_EQ(gs, ps) << text;
      EXPECT_EQ(ge, pe) << text;
    }
  }
}

TEST(ResolverTextTest, AgreesWithThePlainTextUnderRandomEdits) {
  std::mt19937 rng(20261207);
  for (int round = 0; round < 3000; ++round) {
    const std::string initial = randomText(rng, 40);
    PlainText plain(initial);
    GapText gap(initial);
    for (int step = 0; step < 30; ++step) {
      std::size_t ps = 0, pe = 0, gs = 0, ge = 0;
      const bool found = plain.findName(ps, pe);
      ASSERT_EQ(gap.findName(gs, ge), found) << "round " << round << " text " << plain.str();
      if (!found) break;
      ASSERT_EQ(gs, ps);
      ASSERT_EQ(ge, pe);
      ASSERT_EQ(gap.slice(gs, ge), plain.slice(ps, pe));
      ASSERT_EQ(gap.holdsAt(pe + 1, " as"), plain.holdsAt(pe + 1, " as"));
      if (rng() % 3 == 0) {
        plain.hide(ps, pe);
        gap.hide(gs, ge);
      } else {
        // Any text may be written where the name was, also text that
        // completes a name starting before it.
        static const char *heads[] = {"(", "", ".\"", "\"", "*"};
        const char *head = heads[rng() % 5];
        const std::string body = randomText(rng, 30);
        const char *tail = rng() % 2 ? ") as temp_table" : ")";
        plain.replace(ps, pe, head, body, tail);
        gap.replace(gs, ge, head, body, tail);
      }
      ASSERT_EQ(gap.size(), plain.size());
      ASSERT_EQ(gap.str(), plain.str());
    }
  }
}

TEST(ResolverTextTest, LongChainOfEditsStaysLinear) {
  // Ten thousand nested substitutions: each name is replaced by a text that
  // holds the next name in its middle.
  GapText gap("\"s\".\"n0\"");
  std::size_t start = 0, end = 0, expected = gap.size();
  for (int i = 1; i <= 10000; ++i) {
    ASSERT_TRUE(gap.findName(start, end));
    const std::string body = "select * from \"s\".\"n" + std::to_string(i) + "\" where x > 1";
    gap.replace(start, end, "(", body, ") as temp_table");
    expected += body.size() + 16 - (end - start + 1);
  }
  EXPECT_EQ(gap.size(), expected);
  EXPECT_EQ(gap.str().size(), expected);
}
