// The flat hash map behind the node index and the resolver's name index:
// lookups after growth, after clearing (which keeps the slots) and when
// every key hashes alike.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <string_view>

#include "FlatMap.h"

namespace {

// Every key in one probe run: only the key comparison tells them apart.
struct SameHash {
  std::size_t operator()(std::string_view) const { return 42; }
};

template <class Map>
void expectSameContents(Map &map, const std::map<long, int> &model, long probeFrom, long probeTo) {
  EXPECT_EQ(map.size(), model.size());
  for (long k = probeFrom; k < probeTo; ++k) {
    const int *value = map.find(k);
    const auto it = model.find(k);
    if (it == model.end())
      EXPECT_EQ(value, nullptr) << k;
    else
      ASSERT_TRUE(value != nullptr && *value == it->second) << k;
  }
}

}  // namespace

TEST(FlatMap, AgreesWithAModelAcrossGrowthAndClears) {
  dfq::FlatMap<long, int, dfq::MixHash> map;
  std::mt19937 random(7);
  for (int round = 0; round < 5; ++round) {
    std::map<long, int> model;
    const int inserts = 50 + 400 * round;
    for (int i = 0; i < inserts; ++i) {
      const long key = static_cast<long>(random() % 3000);
      map.insert(key, i);  // a key already there keeps its value
      model.emplace(key, i);
    }
    expectSameContents(map, model, -5, 3005);
    const std::size_t bytes = map.bytes();
    map.clear();
    EXPECT_EQ(map.size(), 0u);
    EXPECT_EQ(map.find(static_cast<long>(random() % 3000)), nullptr);
    EXPECT_EQ(map.bytes(), bytes) << "clearing keeps the slots";
  }
}

TEST(FlatMap, KeysWithOneHashAreToldApartAndClearedTogether) {
  dfq::FlatMap<std::string_view, int, SameHash> map;
  const std::string keys[] = {"\"s\".\"a\"", "\"s\".\"b\"", "\"s\".\"c\"", "x"};
  for (int i = 0; i < 4; ++i) map.insert(keys[i], i);
  for (int i = 0; i < 4; ++i) ASSERT_NE(map.find(keys[i]), nullptr);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(*map.find(keys[i]), i);
  EXPECT_EQ(map.find("\"s\".\"d\""), nullptr);
  map.clear();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(map.find(keys[i]), nullptr);
  map.insert(keys[2], 7);
  EXPECT_EQ(*map.find(keys[2]), 7);
  EXPECT_EQ(map.find(keys[0]), nullptr);
  EXPECT_EQ(map.size(), 1u);
}
