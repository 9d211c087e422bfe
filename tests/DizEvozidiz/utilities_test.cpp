#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizConnectionStateInternal.h"
#include "DizEvozidiz/DizEvozidizManagerInternal.h"
#include "DizEvozidiz/DizEvozidizOptions.h"
#include "DizEvozidiz/DizEvozidizSerializers.h"
#include "DizEvozidiz/Utilities/DizMarkers.h"
#include "DizEvozidiz/Utilities/DizMutationStack.h"
#include "DizEvozidiz/Utilities/DizProxyObject.h"
#include "DizEvozidiz/Utilities/DizRowidSet.h"
#include "DizEvozidiz/Utilities/DizSet.h"
#include "DizEvozidiz/Utilities/DizWhitelistBlacklist.h"
#include "platform/dispatch/dispatch.h"

namespace {

TEST(DizMarkers, AreProcessWideSingletons) {
  EXPECT_EQ(DizNull::null(), DizNull::null());
  EXPECT_EQ(DizTouch::touch(), DizTouch::touch());
  EXPECT_TRUE(DizNull::isNull(DizNull::value()));
  EXPECT_FALSE(DizNull::isNull(DizTouch::value()));
  EXPECT_TRUE(DizTouch::isTouch(DizTouch::value()));
  EXPECT_FALSE(DizTouch::isTouch(platform::Value(platform::makePlain<DizTouch>())));  // only the singleton counts
  EXPECT_EQ(DizNull::null()->objectClass().name(), "DizNull");
}

TEST(DizSet, AnswersForSetMembersOrDictionaryKeysOnly) {
  auto overSet = DizSet::withSet(platform::ValueSet{platform::Value("a"), platform::Value(2)});
  auto overDictionary = DizSet::withDictionary(platform::ValueDictionary{{"k", platform::Value("v")}});
  EXPECT_EQ(overSet->count(), 2u);
  EXPECT_TRUE(overSet->containsObject(platform::Value(2)));
  EXPECT_TRUE(overDictionary->containsObject(platform::Value("k")));
  EXPECT_FALSE(overDictionary->containsObject(platform::Value("v")));
  EXPECT_TRUE(overDictionary->intersectsSet(platform::ValueSet{platform::Value("x"), platform::Value("k")}));
  EXPECT_FALSE(overDictionary->intersectsSet(platform::ValueSet{platform::Value("v")}));
  std::vector<std::string> seen;
  overDictionary->enumerateObjectsUsingBlock([&](const platform::Value& v, bool&) { seen.push_back(v.asString()); });
  EXPECT_EQ(seen, std::vector<std::string>{"k"});
  overSet->enumerateObjectsUsingBlock(nullptr);  // nothing happens
  EXPECT_EQ(platform::Value(overSet).as<DizSet>(), overSet) << "a facade is an object values can hold";
}

TEST(DizWhitelistBlacklist, AllowsByListOrBlock) {
  auto allowNone = DizWhitelistBlacklist::withWhitelist({});
  auto allowAll = DizWhitelistBlacklist::withBlacklist({});
  auto allowEvents = DizWhitelistBlacklist::withWhitelist({"Events"});
  auto denyEvents = DizWhitelistBlacklist::withBlacklist({"Events"});
  auto block = DizWhitelistBlacklist::withFilterBlock([](std::string_view c) { return c.starts_with("E"); });
  struct Case {
    const DizWhitelistBlacklist* test;
    const char* item;
    bool allowed;
  };
  for (Case c : {Case{allowNone.get(), "Events", false}, Case{allowAll.get(), "Events", true},
                 Case{allowEvents.get(), "Events", true}, Case{allowEvents.get(), "Skins", false},
                 Case{denyEvents.get(), "Events", false}, Case{denyEvents.get(), "Skins", true},
                 Case{block.get(), "Extra", true}, Case{block.get(), "Skins", false}})
    EXPECT_EQ(c.test->isAllowed(c.item), c.allowed) << c.item;
  EXPECT_EQ(DizWhitelistBlacklist::withFilterBlock(nullptr), nullptr);
}

TEST(DizMutationStack, MarksLiveItemsFromTheTopDown) {
  DizMutationStack_Bool stack;
  auto older = stack.push();
  auto newer = stack.push();
  stack.markAsMutated();
  EXPECT_TRUE(older->isMutated());
  EXPECT_TRUE(newer->isMutated());

  auto a = stack.push();
  auto b = stack.push();
  b.reset();  // the top goes away: a is the top again
  stack.markAsMutated();
  EXPECT_TRUE(a->isMutated());

  auto c = stack.push();
  auto d = stack.push();
  c.reset();  // not the top: still held by d, still marked through it
  stack.markAsMutated();
  EXPECT_TRUE(d->isMutated());

  auto e = stack.push();
  stack.clear();
  stack.markAsMutated();
  EXPECT_FALSE(e->isMutated());
}

TEST(DizMutationStack, SetStackRecordsWhatChanged) {
  DizMutationStack_Set stack;
  auto outer = stack.push();
  stack.markAsMutated(platform::Value("first"));
  auto inner = stack.push();
  stack.markAsMutated(platform::Value("second"));
  EXPECT_TRUE(outer->isMutated(platform::Value("first")));
  EXPECT_TRUE(outer->isMutated(platform::Value("second")));
  EXPECT_FALSE(inner->isMutated(platform::Value("first")));
  EXPECT_TRUE(inner->isMutated(platform::Value("second")));
}

TEST(DizRowidSet, KeepsUniqueRowidsAndStopsEnumerating) {
  DizRowidSet* set = DizRowidSetCreate(16);
  DizRowidSetAdd(set, 7);
  DizRowidSetAdd(set, 7);
  DizRowidSetAdd(set, -3);
  DizRowidSetAdd(set, 1LL << 40);
  DizRowidSetRemove(set, 99);
  EXPECT_EQ(DizRowidSetCount(set), 3u);
  EXPECT_TRUE(DizRowidSetContains(set, -3));
  DizRowidSet* copy = DizRowidSetCopy(set);
  DizRowidSetRemove(set, 7);
  EXPECT_FALSE(DizRowidSetContains(set, 7));
  EXPECT_TRUE(DizRowidSetContains(copy, 7));
  int calls = 0;
  DizRowidSetEnumerate(copy, [&](std::int64_t, bool& stop) {
    ++calls;
    stop = true;
  });
  EXPECT_EQ(calls, 1);
  DizRowidSetRemoveAll(copy);
  EXPECT_EQ(DizRowidSetCount(copy), 0u);
  EXPECT_EQ(DizRowidSetCopy(nullptr), nullptr);
  DizRowidSetRelease(copy);
  DizRowidSetRelease(set);
  DizRowidSetRelease(nullptr);
}

class CountingSource : public DizProxyObjectSource {
 public:
  platform::Value objectForCollectionKey(const DizCollectionKeyPtr& key, std::int64_t rowid) override {
    ++objectReads;
    return platform::Value(key->key() + "#" + std::to_string(rowid));
  }
  platform::Value metadataForCollectionKey(const DizCollectionKeyPtr&, std::int64_t) override {
    ++metadataReads;
    return platform::Value();
  }
  int objectReads = 0;
  int metadataReads = 0;
};

TEST(DizProxyObject, LoadsOncePerResetAndNeverForARealObject) {
  auto source = std::make_shared<CountingSource>();
  DizProxyObject proxy;
  proxy.resetWithRowid(4, DizCollectionKey::make("c", "k"), false, source);
  EXPECT_FALSE(proxy.isRealObjectLoaded());
  EXPECT_EQ(proxy.realObject().asString(), "k#4");
  EXPECT_EQ(proxy.realObject().asString(), "k#4");
  EXPECT_EQ(source->objectReads, 1);

  proxy.resetWithRowid(5, DizCollectionKey::make("c", "m"), true, source);
  EXPECT_TRUE(proxy.realObject().isNil());
  EXPECT_TRUE(proxy.realObject().isNil());
  EXPECT_EQ(source->metadataReads, 1);

  proxy.resetWithRealObject(platform::Value(42));
  EXPECT_EQ(proxy.realObject().asInt64(), 42);
  EXPECT_EQ(source->objectReads, 1);
  proxy.reset();
  EXPECT_TRUE(proxy.realObject().isNil());
}

TEST(DizEvozidizConfigurationRecords, HaveTheirDefaultsAndClampPolicies) {
  DizEvozidizOptions options;
  EXPECT_EQ(options.corruptAction, 1);
  EXPECT_EQ(options.pragmaSynchronous, 2);
  EXPECT_EQ(options.pragmaJournalSizeLimit, 0);
  EXPECT_EQ(options.pragmaPageSize, 0);
  EXPECT_EQ(options.pragmaMMapSize, 0);
  EXPECT_EQ(options.aggressiveWALTruncationSize, 1048576u);
  EXPECT_FALSE(options.enableMultiProcessSupport);

  DizEvozidizConnectionDefaults defaults;
  EXPECT_TRUE(defaults.objectCacheEnabled() && defaults.metadataCacheEnabled());
  EXPECT_EQ(defaults.objectCacheLimit(), 250u);
  EXPECT_EQ(defaults.metadataCacheLimit(), 250u);
  for (auto [given, stored] : {std::pair{0, 0}, {1, 1}, {2, 2}, {3, 0}, {-1, 0}}) {
    defaults.setObjectPolicy(given);
    defaults.setMetadataPolicy(given);
    EXPECT_EQ(defaults.objectPolicy(), stored) << given;
    EXPECT_EQ(defaults.metadataPolicy(), stored) << given;
  }
}

TEST(DizEvozidizManager, RegistersEachStandardizedPathOnce) {
  EXPECT_FALSE(DizEvozidizManager::registerDatabaseForPath(""));
  EXPECT_TRUE(DizEvozidizManager::registerDatabaseForPath("/tmp/diz-manager/a.sqlite"));
  EXPECT_FALSE(DizEvozidizManager::registerDatabaseForPath("/tmp/diz-manager/a.sqlite"));
  DizEvozidizManager::deregisterDatabaseForPath("/tmp/diz-manager/sub/../a.sqlite");
  EXPECT_TRUE(DizEvozidizManager::registerDatabaseForPath("/tmp/diz-manager/a.sqlite"));
  DizEvozidizManager::deregisterDatabaseForPath("/tmp/diz-manager/a.sqlite");
  EXPECT_EQ(DizEvozidizManager::standardizedPath("/a//b/./c/../d/"), "/a/b/d");
}

TEST(DizEvozidizManager, ExactlyOneOfManyThreadsWinsAPath) {
  constexpr int kThreads = 8;
  for (int round = 0; round < 50; ++round) {
    const std::string path = "/tmp/diz-manager/race-" + std::to_string(round);
    std::atomic<int> winners{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&] {
        if (DizEvozidizManager::registerDatabaseForPath(path)) ++winners;
      });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(winners.load(), 1);
    DizEvozidizManager::deregisterDatabaseForPath(path);
  }
}

TEST(DizEvozidizConnectionState, WriteLockWaitsForTheSignal) {
  auto state = std::make_shared<DizEvozidizConnectionState>(std::shared_ptr<DizEvozidizConnectionHooks>());
  state->waitForWriteLock();  // no semaphore yet: returns at once
  state->signalWriteLock();   // nothing to signal
  state->prepareWriteLock();
  state->prepareWriteLock();  // keeps the one it has
  std::atomic<bool> signalled{false};
  std::thread reader([&] {
    signalled = true;
    state->signalWriteLock();
  });
  state->waitForWriteLock();
  EXPECT_TRUE(signalled.load());
  reader.join();
}

TEST(DizEvozidizSerializers, PropertyListPairRoundTripsPlainValuesAndRefusesTheRest) {
  const auto& serialize = DizEvozidizSerializers::propertyListSerializer();
  const auto& deserialize = DizEvozidizSerializers::propertyListDeserializer();
  EXPECT_EQ(&serialize, &DizEvozidizSerializers::propertyListSerializer());
  const platform::Value value(platform::ValueDictionary{
      {"name", platform::Value("Launch")},
      {"count", platform::Value(3)},
      {"items", platform::Value(platform::ValueArray{platform::Value(1.5), platform::Value(true)})}});
  const platform::Bytes bytes = serialize("c", "k", value);
  ASSERT_GE(bytes.size(), 8u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "bplist00");
  EXPECT_EQ(deserialize("c", "k", bytes), value);

  EXPECT_TRUE(serialize("c", "k", platform::Value::null()).empty());
  EXPECT_TRUE(deserialize("c", "k", {}).isNil());
  const platform::Bytes garbage{'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xff, 0x01};
  EXPECT_TRUE(deserialize("c", "k", garbage).isNil());
}

TEST(DizEvozidizSerializers, TimestampUsesEightBytesForDatesAndArchivesTheRest) {
  const auto& serialize = DizEvozidizSerializers::timestampSerializer();
  const auto& deserialize = DizEvozidizSerializers::timestampDeserializer();
  const platform::Date date(123456.75);
  const platform::Bytes bytes = serialize("c", "k", platform::Value(date));
  ASSERT_EQ(bytes.size(), 8u);
  double seconds;
  std::memcpy(&seconds, bytes.data(), 8);
  EXPECT_EQ(seconds, 123456.75);
  EXPECT_EQ(deserialize("c", "k", bytes).asDate(), date);

  const platform::Bytes archived = serialize("c", "k", platform::Value("text"));
  EXPECT_GT(archived.size(), 8u);
  EXPECT_EQ(deserialize("c", "k", archived).asString(), "text");
  EXPECT_TRUE(deserialize("c", "k", {}).isNil());

  const auto& plain = DizEvozidizSerializers::defaultSerializer();
  EXPECT_EQ(&plain, &DizEvozidizSerializers::defaultSerializer());
  const platform::Value dictionary(platform::ValueDictionary{{"a", platform::Value(1)}});
  EXPECT_EQ(DizEvozidizSerializers::defaultDeserializer()("", "k", plain("", "k", dictionary)), dictionary);
  EXPECT_TRUE(DizEvozidizSerializers::defaultDeserializer()("", "k", {}).isNil());

  EXPECT_TRUE(DizDateIsBeforeOrEqual(date, date) && DizDateIsAfterOrEqual(date, date));
  EXPECT_FALSE(DizDateIsBefore(date, date) || DizDateIsAfter(date, date));
}

}  // namespace
