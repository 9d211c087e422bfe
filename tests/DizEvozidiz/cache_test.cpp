#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DizEvozidiz/DizCache.h"
#include "DizEvozidiz/DizCollectionKey.h"
#include "platform/dispatch/dispatch.h"

namespace {

using StringCache = DizCache<std::string, int>;

std::vector<std::string> byRecency(const StringCache& cache) {
  std::vector<std::string> keys;
  cache.enumerateKeysByRecency([&](const std::string& k) { keys.push_back(k); });
  return keys;
}

TEST(DizCache, EvictsTheLeastRecentlyUsedEntryOverTheLimit) {
  StringCache cache(3);
  cache.setObject(1, "a");
  cache.setObject(2, "b");
  cache.setObject(3, "c");
  ASSERT_NE(cache.objectForKey("a"), nullptr);  // a becomes most recent
  cache.setObject(4, "d");                      // evicts b
  EXPECT_EQ(byRecency(cache), (std::vector<std::string>{"d", "a", "c"}));
  EXPECT_FALSE(cache.containsKey("b"));
  EXPECT_EQ(cache.count(), 3u);
}

TEST(DizCache, ContainsDoesNotRefreshButLookupDoes) {
  struct Case {
    bool lookUp;
    bool oldestSurvives;
  };
  for (Case c : {Case{false, false}, Case{true, true}}) {
    StringCache cache(2);
    cache.setObject(1, "old");
    cache.setObject(2, "new");
    if (c.lookUp)
      cache.objectForKey("old");
    else
      EXPECT_TRUE(cache.containsKey("old"));
    cache.setObject(3, "newest");
    EXPECT_EQ(cache.containsKey("old"), c.oldestSurvives) << c.lookUp;
    EXPECT_EQ(cache.count(), 2u);
  }
}

TEST(DizCache, UpdatingAKeyAtTheLimitRefreshesWithoutEvicting) {
  StringCache cache(2);
  cache.setObject(1, "a");
  cache.setObject(2, "b");
  cache.setObject(10, "a");
  EXPECT_EQ(cache.count(), 2u);
  EXPECT_EQ(byRecency(cache), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(*cache.objectForKey("a"), 10);
}

TEST(DizCache, LimitZeroIsUnlimitedAndLimitOneKeepsTheLatest) {
  StringCache unlimited(0);
  for (int i = 0; i < 1000; ++i) unlimited.setObject(i, std::to_string(i));
  EXPECT_EQ(unlimited.count(), 1000u);

  StringCache single(1);
  for (int i = 0; i < 5; ++i) {
    single.setObject(i, std::to_string(i));
    EXPECT_EQ(single.count(), 1u);
    EXPECT_EQ(*single.objectForKey(std::to_string(i)), i);
  }
}

TEST(DizCache, LoweringTheLimitKeepsTheMostRecentEntries) {
  StringCache cache(10);
  for (int i = 0; i < 10; ++i) cache.setObject(i, std::to_string(i));
  cache.objectForKey("2");
  cache.setCountLimit(3);
  EXPECT_EQ(byRecency(cache), (std::vector<std::string>{"2", "9", "8"}));
  // After evictions the cache still works, reusing the spare node.
  cache.setObject(100, "x");
  EXPECT_EQ(byRecency(cache), (std::vector<std::string>{"x", "2", "9"}));
}

TEST(DizCache, RemovalsKeepTheRecencyListConsistent) {
  StringCache cache(4);
  for (const char* k : {"a", "b", "c", "d"}) cache.setObject(1, k);
  cache.removeObjectForKey("d");  // head
  cache.removeObjectForKey("a");  // tail
  cache.removeObjectsForKeys(std::vector<std::string>{"zzz"});
  EXPECT_EQ(byRecency(cache), (std::vector<std::string>{"c", "b"}));
  cache.removeAllObjects();
  EXPECT_EQ(cache.count(), 0u);
  cache.setObject(5, "e");
  EXPECT_EQ(byRecency(cache), (std::vector<std::string>{"e"}));

  int seen = 0;
  for (const char* k : {"f", "g", "h"}) cache.setObject(1, k);
  cache.enumerateKeysWithBlock([&](const std::string&, bool& stop) {
    ++seen;
    stop = seen == 2;
  });
  EXPECT_EQ(seen, 2);
}

TEST(DizCache, DescriptionListsEntriesFromMostRecent) {
  StringCache cache(5);
  cache.setObject(1, "a");
  cache.setObject(2, "b");
  const std::string text = cache.description();
  EXPECT_EQ(text.rfind("DizCache, count=2, keys=\n", 0), 0u) << text;
  EXPECT_LT(text.find("  0: <DizCacheItem["), text.find("key(b)>"));
  EXPECT_LT(text.find("key(b)>"), text.find("  1: <DizCacheItem["));
  EXPECT_NE(text.find("key(a)>\n"), std::string::npos);
}

TEST(DizCache, KeysByCollectionKeyUseItsEquality) {
  DizCache<DizCollectionKeyPtr, int, DizCollectionKey::Hasher, DizCollectionKey::Equal> cache(2);
  cache.setObject(1, DizCollectionKey::make("c", "k"));
  ASSERT_NE(cache.objectForKey(DizCollectionKey::make("c", "k")), nullptr);
  EXPECT_EQ(cache.objectForKey(DizCollectionKey::make("d", "k")), nullptr);
}

// Lookups with borrowed strings find exactly what lookups with made keys find.
TEST(DizCache, ABorrowedViewFindsWhatTheKeyFinds) {
  DizCache<DizCollectionKeyPtr, int, DizCollectionKey::Hasher, DizCollectionKey::Equal> cache(0);
  cache.setObject(1, DizCollectionKey::make("c", "k"));
  cache.setObject(2, DizCollectionKey::make(std::nullopt, "k"));  // no collection: the empty one
  struct Case {
    const char* collection;
    const char* key;
    int expected;  // 0: absent
  };
  for (Case c : {Case{"c", "k", 1}, Case{"", "k", 2}, Case{"c", "K", 0}, Case{"ck", "", 0}, Case{"d", "k", 0}}) {
    SCOPED_TRACE(std::string(c.collection) + "/" + c.key);
    const int* found = cache.objectForKey(DizCollectionKeyView(c.collection, c.key));
    const int* byKey = cache.objectForKey(DizCollectionKey::make(c.collection, c.key));
    EXPECT_EQ(found, byKey);
    EXPECT_EQ(found ? *found : 0, c.expected);
    EXPECT_EQ(cache.containsKey(DizCollectionKeyView(c.collection, c.key)), c.expected != 0);
  }
}

using KeyCache = DizBidirectionalCache<std::int64_t, DizCollectionKeyPtr, std::hash<std::int64_t>,
                                       std::equal_to<std::int64_t>, DizCollectionKey::Hasher, DizCollectionKey::Equal>;

TEST(DizBidirectionalCache, MapsBothWaysAndEvictsLeastRecent) {
  KeyCache cache(2);
  cache.setObject(DizCollectionKey::make("c", "one"), 1);
  cache.setObject(DizCollectionKey::make("c", "two"), 2);
  const std::int64_t* rowid = cache.keyForObject(DizCollectionKey::make("c", "one"));  // refreshes 1
  ASSERT_NE(rowid, nullptr);
  EXPECT_EQ(*rowid, 1);
  cache.setObject(DizCollectionKey::make("c", "three"), 3);  // evicts 2
  EXPECT_FALSE(cache.containsKey(2));
  EXPECT_FALSE(cache.containsObject(DizCollectionKey::make("c", "two")));
  EXPECT_EQ((*cache.objectForKey(1))->key(), "one");
  EXPECT_EQ(cache.count(), 2u);
}

TEST(DizBidirectionalCache, EqualObjectKeepsTheStoredOneAndADifferentOneUnmapsTheOld) {
  KeyCache cache(5);
  auto original = DizCollectionKey::make("c", "k");
  cache.setObject(original, 1);
  cache.setObject(DizCollectionKey::make("c", "k"), 1);
  EXPECT_EQ(cache.objectForKey(1)->get(), original.get());

  cache.setObject(DizCollectionKey::make("c", "other"), 1);
  EXPECT_EQ(cache.keyForObject(original), nullptr);
  EXPECT_EQ(*cache.keyForObject(DizCollectionKey::make("c", "other")), 1);
  EXPECT_EQ(cache.count(), 1u);
}

TEST(DizBidirectionalCache, RemovalByEitherSideAndTwoKeysWithOneObject) {
  KeyCache cache(0);
  auto shared = DizCollectionKey::make("c", "k");
  cache.setObject(shared, 1);
  cache.setObject(shared, 2);  // the object now maps back to the latest key
  EXPECT_EQ(*cache.keyForObject(shared), 2);
  cache.removeObjectForKey(2);
  EXPECT_EQ(cache.keyForObject(shared), nullptr);  // never points into the removed entry
  EXPECT_TRUE(cache.containsKey(1));
  cache.setObject(DizCollectionKey::make("c", "x"), 3);
  cache.removeKeyForObject(DizCollectionKey::make("c", "x"));
  EXPECT_FALSE(cache.containsKey(3));
  cache.removeAllObjects();
  EXPECT_EQ(cache.count(), 0u);
  EXPECT_FALSE(cache.containsObject(shared));
}

// The object index reuses its entries across evictions; through heavy churn a borrowed view keeps
// answering the cache's own key for each entry that is in, and nothing for those evicted.
TEST(DizBidirectionalCache, ViewLookupsStayRightThroughChurn) {
  KeyCache cache(3);
  std::vector<DizCollectionKeyPtr> made;
  for (int i = 0; i < 100; ++i) {
    made.push_back(DizCollectionKey::make("c", "k" + std::to_string(i)));
    cache.setObject(made.back(), i);
    for (int j = 0; j <= i; ++j) {
      const DizCollectionKeyPtr* stored = nullptr;
      const std::int64_t* rowid = cache.keyForObject(DizCollectionKeyView("c", "k" + std::to_string(j)), &stored);
      if (j + 3 > i) {
        ASSERT_NE(rowid, nullptr) << j;
        EXPECT_EQ(*rowid, j);
        EXPECT_EQ(stored->get(), made[static_cast<std::size_t>(j)].get());
      } else {
        ASSERT_EQ(rowid, nullptr) << j;
      }
    }
  }
  EXPECT_EQ(cache.count(), 3u);
}

// The cache's keys from most to least recent are the model's (a list of (key, value), most
// recent first).
template <class Cache, class Model>
void expectRecencyAsModel(const Cache& cache, const Model& model) {
  std::vector<std::int64_t> order, expected;
  cache.enumerateKeysByRecency([&](std::int64_t k) { order.push_back(k); });
  for (const auto& e : model) expected.push_back(e.first);
  EXPECT_EQ(order, expected);
}

// Random insertions, lookups, removals and limit changes, checked step by step against a plain
// model of a least-recently-used cache: keys that cluster (rowids in runs, multiples of a power of
// two) make the index's probe runs long, so removals from the middle of runs are exercised too.
TEST(DizCache, AgreesWithAPlainModelThroughRandomUse) {
  std::mt19937 random(12345);
  for (std::int64_t stride : {1, 1024}) {
    SCOPED_TRACE("stride " + std::to_string(stride));
    DizCache<std::int64_t, int> cache(0);
    std::list<std::pair<std::int64_t, int>> model;  // most recent first
    std::uint64_t limit = 0;
    auto inModel = [&](std::int64_t key) {
      return std::find_if(model.begin(), model.end(), [&](const auto& e) { return e.first == key; });
    };
    auto trimModel = [&] {
      while (limit != 0 && model.size() > limit) model.pop_back();
    };
    for (int step = 0; step < 20000; ++step) {
      const std::int64_t key = (static_cast<std::int64_t>(random() % 300)) * stride;
      switch (random() % 8) {
        case 0:
        case 1:
        case 2: {
          const int value = static_cast<int>(random());
          cache.setObject(value, key);
          auto it = inModel(key);
          if (it != model.end()) model.erase(it);
          model.emplace_front(key, value);
          trimModel();
          break;
        }
        case 3:
        case 4: {
          const int* found = cache.objectForKey(key);
          auto it = inModel(key);
          ASSERT_EQ(found != nullptr, it != model.end()) << step;
          if (found) {
            ASSERT_EQ(*found, it->second) << step;
            model.splice(model.begin(), model, it);
          }
          break;
        }
        case 5:
          ASSERT_EQ(cache.containsKey(key), inModel(key) != model.end()) << step;
          break;
        case 6: {
          cache.removeObjectForKey(key);
          auto it = inModel(key);
          if (it != model.end()) model.erase(it);
          break;
        }
        case 7:
          if (random() % 50 == 0) {
            limit = random() % 4 == 0 ? 0 : 1 + random() % 250;
            cache.setCountLimit(limit);
            trimModel();
          }
          break;
      }
      ASSERT_EQ(cache.count(), model.size()) << step;
    }
    expectRecencyAsModel(cache, model);
    std::size_t enumerated = 0;
    cache.enumerateKeysAndObjectsWithBlock([&](std::int64_t k, int v, bool&) {
      ++enumerated;
      auto it = inModel(k);
      ASSERT_NE(it, model.end());
      EXPECT_EQ(v, it->second);
    });
    EXPECT_EQ(enumerated, model.size());
  }
}

// The same for the rowid <-> key cache, in both directions.
TEST(DizBidirectionalCache, AgreesWithAPlainModelThroughRandomUse) {
  std::mt19937 random(777);
  KeyCache cache(64);
  std::list<std::pair<std::int64_t, std::string>> model;  // most recent first; keys are unique
  auto byRowid = [&](std::int64_t rowid) {
    return std::find_if(model.begin(), model.end(), [&](const auto& e) { return e.first == rowid; });
  };
  auto byKey = [&](const std::string& key) {
    return std::find_if(model.begin(), model.end(), [&](const auto& e) { return e.second == key; });
  };
  for (int step = 0; step < 20000; ++step) {
    const std::int64_t rowid = 1 + static_cast<std::int64_t>(random() % 200);
    const std::string key = "k" + std::to_string(rowid);  // one key per rowid, as rows have
    switch (random() % 6) {
      case 0:
      case 1: {
        cache.setObject(DizCollectionKey::make("c", key), rowid);
        auto it = byRowid(rowid);
        if (it != model.end()) model.erase(it);
        model.emplace_front(rowid, key);
        if (model.size() > 64) model.pop_back();
        break;
      }
      case 2: {
        const DizCollectionKeyPtr* found = cache.objectForKey(rowid);
        auto it = byRowid(rowid);
        ASSERT_EQ(found != nullptr, it != model.end()) << step;
        if (found) {
          ASSERT_EQ((*found)->key(), key);
          model.splice(model.begin(), model, it);
        }
        break;
      }
      case 3: {
        const std::int64_t* found = cache.keyForObject(DizCollectionKeyView("c", key), nullptr);
        auto it = byKey(key);
        ASSERT_EQ(found != nullptr, it != model.end()) << step;
        if (found) {
          ASSERT_EQ(*found, rowid);
          model.splice(model.begin(), model, it);
        }
        break;
      }
      case 4: {
        cache.removeObjectForKey(rowid);
        auto it = byRowid(rowid);
        if (it != model.end()) model.erase(it);
        break;
      }
      case 5: {
        cache.removeKeyForObject(DizCollectionKey::make("c", key));
        auto it = byKey(key);
        if (it != model.end()) model.erase(it);
        break;
      }
    }
    ASSERT_EQ(cache.count(), model.size()) << step;
  }
  expectRecencyAsModel(cache, model);
}

// A connection's cache is used from many threads, one block at a time, through its serial queue.
TEST(DizCacheConcurrency, SerialQueueOwnerSerialisesAccessFromManyThreads) {
  auto queue = platform::DispatchQueue::createSerial("cache-owner");
  StringCache cache(50);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        queue->sync([&] {
          cache.setObject(i, std::to_string(t * 1000 + i));
          cache.objectForKey(std::to_string(i));
        });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  queue->sync([&] { EXPECT_EQ(cache.count(), 50u); });
}

}  // namespace
