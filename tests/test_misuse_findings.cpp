// Inputs the fuzz targets found, kept as regression tests. A test that
// shows a fault not mended yet is DISABLED_ with a comment saying what it
// shows; it is enabled with the fix.
#include <gtest/gtest.h>

#include <string>

#include "ResolverText.h"

namespace {

// A start further back whose next quote sits just before an edit can be
// completed by the edit: here the edit writes `.""` right after `""`, which
// makes a name start at index 0. (The resolver's own edits begin with "("
// or '*' and cannot do this; the gap-buffer text handles any such edit.)
TEST(GapTextFinding, FindsANameThatAnEditCompletesBeforeIt) {
  const std::string initial = "\"\"\"s\".\"t\"\"";
  dfq::PlainText plain(initial);
  dfq::GapText gap(initial);
  size_t ps = 0, pe = 0, gs = 0, ge = 0;
  ASSERT_TRUE(plain.findName(ps, pe));
  ASSERT_TRUE(gap.findName(gs, ge));
  ASSERT_EQ(ps, 2u);
  ASSERT_EQ(pe, 8u);
  plain.replace(2, 8, "", ".\"\"", "");
  gap.replace(2, 8, "", ".\"\"", "");
  ASSERT_EQ(plain.str(), "\"\".\"\"\"");
  ASSERT_EQ(gap.str(), plain.str());
  ASSERT_TRUE(plain.findName(ps, pe));
  EXPECT_EQ(ps, 0u);
  EXPECT_EQ(pe, 4u);
  EXPECT_TRUE(gap.findName(gs, ge));
  EXPECT_EQ(gs, ps);
  EXPECT_EQ(ge, pe);
}

}  // namespace
