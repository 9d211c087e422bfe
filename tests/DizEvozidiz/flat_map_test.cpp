#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DizEvozidiz/DizCollectionKey.h"
#include "DizEvozidiz/DizFlatMap.h"

namespace {

// A hash that sends every key to a handful of slots: long probe runs that wrap around the table,
// where removal has to move the right entries back.
struct CrowdedHash {
  std::size_t operator()(std::int64_t key) const { return static_cast<std::size_t>(key % 3); }
};

template <class Map>
std::map<std::int64_t, int> contentOf(const Map& map) {
  std::map<std::int64_t, int> content;
  for (const auto& [key, value] : map) EXPECT_TRUE(content.emplace(key, value).second) << "key listed twice: " << key;
  return content;
}

// Random inserts, updates, touches and removals against std::map, with an ordinary hash and with
// one that crowds everything together.
template <class Hash>
void runAgainstStdMap(unsigned seed) {
  DizFlatMap<std::int64_t, int, Hash> flat;
  std::map<std::int64_t, int> expected;
  std::mt19937 random(seed);
  for (int step = 0; step < 20000; ++step) {
    const std::int64_t key = static_cast<std::int64_t>(random() % 300) - 100;
    const int value = static_cast<int>(random() % 1000);
    switch (random() % 6) {
      case 5:
        flat.assignLater(key, value);
        expected[key] = value;
        if (random() % 4) continue;  // sometimes several pending before the next look
        break;
      case 0:
      case 1: {
        const bool added = flat.insert_or_assign(key, value).second;
        EXPECT_EQ(added, !expected.contains(key));
        expected[key] = value;
        break;
      }
      case 2:
        flat.try_emplace(key, value);
        expected.try_emplace(key, value);
        break;
      case 3:
        EXPECT_EQ(flat.erase(key), expected.erase(key));
        break;
      case 4:
        if (step % 1000 == 0) {
          flat.eraseIf([&](const auto& entry) { return entry.second % 2 == 0; });
          std::erase_if(expected, [](const auto& entry) { return entry.second % 2 == 0; });
        }
        break;
    }
    ASSERT_EQ(flat.size(), expected.size()) << "step " << step;
    const auto found = flat.find(key);
    ASSERT_EQ(found != flat.end(), expected.contains(key)) << "step " << step;
    if (found != flat.end()) {
      ASSERT_EQ(found->second, expected.at(key));
    }
  }
  EXPECT_EQ(contentOf(flat), expected);
  for (const auto& [key, value] : expected) EXPECT_EQ(flat.at(key), value);
  EXPECT_THROW(flat.at(100000), std::out_of_range);
  flat.clear();
  EXPECT_TRUE(flat.empty());
  EXPECT_EQ(flat.find(1), flat.end());
}

TEST(DizFlatMap, BehavesAsAMapThroughInsertsUpdatesAndRemovals) {
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    runAgainstStdMap<std::hash<std::int64_t>>(seed);
    runAgainstStdMap<CrowdedHash>(seed);
  }
}

TEST(DizFlatMap, LooksUpCollectionKeysByViewAndHoldsSetsOfThem) {
  DizFlatMap<DizCollectionKeyPtr, std::string, DizCollectionKey::Hasher, DizCollectionKey::Equal> map;
  DizFlatSet<DizCollectionKeyPtr, DizCollectionKey::Hasher, DizCollectionKey::Equal> set;
  for (int i = 0; i < 1000; ++i) {
    auto key = DizCollectionKey::make("c" + std::to_string(i % 3), "k" + std::to_string(i));
    map.insert_or_assign(key, "v" + std::to_string(i));
    EXPECT_TRUE(set.insert(key).second);
    EXPECT_FALSE(set.insert(DizCollectionKey::make(key->collection(), key->key())).second) << "equal, not identical";
  }
  EXPECT_EQ(map.at(DizCollectionKeyView("c1", "k1")), "v1");
  EXPECT_FALSE(map.contains(DizCollectionKeyView("c2", "k1")));
  const std::size_t removed = map.eraseIf([](const auto& entry) { return entry.first->collection() == "c0"; });
  EXPECT_EQ(removed, 334u);
  EXPECT_EQ(map.size(), 666u);
  EXPECT_TRUE(set.contains(DizCollectionKey::make("c0", "k0")));
  EXPECT_EQ(set.erase(DizCollectionKey::make("c0", "k0")), 1u);
  EXPECT_EQ(set.size(), 999u);
}

// Large tables take their arrays from the recycled blocks and give them back, from any thread.
TEST(DizFlatMap, LargeTablesRecycleTheirArraysAcrossThreads) {
  auto fill = [] {
    DizFlatMap<std::int64_t, std::int64_t> map;
    for (std::int64_t i = 0; i < 50000; ++i) map.insert_or_assign(i, i);
    return map.size();
  };
  EXPECT_EQ(fill(), 50000u);
  EXPECT_GT(diz_detail::recycledBytes(), 0u);
  EXPECT_LE(diz_detail::recycledBytes(), diz_detail::kRecycledBytesLimit);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back([&] { EXPECT_EQ(fill(), 50000u); });
  for (auto& thread : threads) thread.join();
  EXPECT_LE(diz_detail::recycledBytes(), diz_detail::kRecycledBytesLimit);
}

}  // namespace
