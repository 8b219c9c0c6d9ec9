#include "testSupport.h"

using namespace dfqtest;

TEST_F(DagTest, TableCreatesInstanceAndReturnsPositiveId) {
  const std::string id = table("db1.sales");
  ASSERT_FALSE(id.empty());
  EXPECT_GT(std::stoll(id), 0);
}
