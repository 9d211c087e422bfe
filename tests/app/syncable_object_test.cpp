// The stored model base: immutability, change records, original cloud values, cloud-field
// mappings and the archive with its version migration.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/model/ZRVEvent.h"
#include "app/model/ZRVModelObject.h"
#include "app/model/ZRVSkin.h"
#include "app/model/ZRVSyncableObject.h"
#include "app_test_support.h"
#include "platform/codecs/keyed_archiver.h"
#include "platform/codecs/property_list.h"
#include "platform/runtime/kvo.h"

namespace {

using platform::Date;
using platform::Value;
using platform::ValueDictionary;
using testing::ElementsAre;
using zorvel::test::localDate;
using zorvel::test::ScopedClock;
using NameSet = ZRVSyncableObject::NameSet;

std::shared_ptr<ZRVEvent> storedEvent() {
  auto event = platform::make<ZRVEvent>();
  event->setName("Launch");
  event->setState(ZRVEventStateActive);
  event->clearChangedProperties();
  event->makeImmutable();
  return event;
}

TEST(SyncableObject, AStoredObjectRefusesChangesWithTheExactReason) {
  auto event = storedEvent();
  try {
    event->setName("Changed");
    FAIL() << "expected a raise";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "STDatabaseObjectException");
    EXPECT_EQ(e.reason(), "Attempting to mutate immutable object. Class = ZRVEvent, property = name");
    EXPECT_EQ(e.userInfo()["NSLocalizedRecoverySuggestion"],
              Value("To make modifications you should create a copy via [object copy]. You may then make changes "
                    "to the copy before saving it back to the database."));
  }
  EXPECT_EQ(event->name(), "Launch");
  EXPECT_FALSE(event->hasChangedProperties());

  // Every way in is closed: key-value coding, inherited properties, cloud values.
  EXPECT_THROW(event->setValueForKey(Value(3), "state"), platform::Exception);
  EXPECT_THROW(event->setUpdatedAt(Date()), platform::Exception);
  EXPECT_THROW(event->setLocalValueFromCloudValue(Value("x"), "skinId"), platform::Exception);
  EXPECT_EQ(event->state(), ZRVEventStateActive);
  EXPECT_EQ(event->immutableExceptionForKey(std::nullopt).reason(),
            "Attempting to mutate immutable object. Class = ZRVEvent");
}

TEST(SyncableObject, ACopyIsMutableWithTheSameValuesAndRecords) {
  auto event = platform::make<ZRVEvent>();
  event->setName("Before");
  event->clearChangedProperties();
  event->setName("After");
  event->setSkinId("skin-1");
  event->makeImmutable();

  auto copy = std::static_pointer_cast<ZRVEvent>(event->copy());
  EXPECT_FALSE(copy->isImmutable());
  EXPECT_TRUE(event->isImmutable());
  EXPECT_EQ(copy->dictionaryValue(), event->dictionaryValue());
  EXPECT_EQ(copy->changedProperties(), event->changedProperties());
  EXPECT_EQ(copy->originalCloudValues(), event->originalCloudValues());
  EXPECT_THAT(*copy->changedProperties(), ElementsAre("name", "skinId"));

  copy->setName("Changed in the copy");
  EXPECT_EQ(copy->name(), "Changed in the copy");
  EXPECT_EQ(event->name(), "After");
  // The copy's records grew; the source's did not.
  EXPECT_THAT(*event->changedProperties(), ElementsAre("name", "skinId"));
}

TEST(SyncableObject, ChangeRecordsAndOriginalCloudValues) {
  ScopedClock clock(localDate(2024, 5, 1, 12));
  auto event = platform::make<ZRVEvent>();
  // A new event's initialiser already ran setters: they count.
  EXPECT_THAT(*event->changedProperties(), ElementsAre("createdAt", "date", "state", "updatedAt", "uuid"));
  // Only non-empty values before the first change are kept: uuid, dates and name were nil.
  EXPECT_EQ(*event->originalCloudValues(), (ValueDictionary{{"state", Value(std::uint64_t{0})}}));

  event->clearChangedProperties();
  EXPECT_EQ(event->changedProperties(), std::nullopt);
  EXPECT_EQ(event->changedCloudProperties(), std::nullopt);
  EXPECT_FALSE(event->hasChangedProperties());
  EXPECT_FALSE(event->hasChangedCloudProperties());
  EXPECT_EQ(event->originalCloudValues(), ValueDictionary());  // emptied, still there

  event->setName("First");   // empty before: no original value...
  event->setName("Second");  // ...and "First" was never the cloud's value
  event->setState(ZRVEventStateActive);
  event->setState(ZRVEventStateComplete);  // the value before the first change stays
  event->setCreatedAt(localDate(2020, 1, 1));
  event->setLink(std::nullopt);  // setting the same (nil) value counts too
  EXPECT_THAT(*event->changedProperties(), ElementsAre("createdAt", "link", "name", "state"));
  EXPECT_THAT(*event->changedCloudProperties(), ElementsAre("created", "link", "name", "state"));
  EXPECT_TRUE(event->hasChangedCloudProperties());
  EXPECT_EQ(*event->originalCloudValues(),
            (ValueDictionary{{"state", Value(std::uint64_t{0})}, {"created", Value(localDate(2024, 5, 1, 12))}}));

  // Classes that do not ask for original values never keep them.
  auto skin = platform::make<ZRVSkin>();
  skin->setName("Stars");
  EXPECT_EQ(skin->originalCloudValues(), std::nullopt);
  EXPECT_THAT(*skin->changedProperties(), ElementsAre("createdAt", "name", "updatedAt", "uuid"));
}

TEST(SyncableObject, MonitoredPropertiesAndCloudFieldMappings) {
  auto event = platform::make<ZRVEvent>();
  EXPECT_THAT(event->monitoredProperties(),
              ElementsAre("createdAt", "date", "link", "name", "skinId", "state", "updatedAt", "uuid"));
  EXPECT_THAT(event->allCloudProperties(),
              ElementsAre("created", "date", "link", "name", "skinId", "state", "updated", "uuid"));
  EXPECT_EQ(event->cloudKeyForLocalKey("createdAt"), "created");
  EXPECT_EQ(event->localKeyForCloudKey("updated"), "updatedAt");
  EXPECT_EQ(event->cloudKeyForLocalKey("isImmutable"), std::nullopt);
  EXPECT_EQ(event->localKeyForCloudKey("createdAt"), std::nullopt);

  // A skin's computed image is monitored too; the base class monitors nothing.
  EXPECT_THAT(ZRVSyncableObject::monitoredPropertiesOfClass(ZRVSkin::staticClass()),
              ElementsAre("collectionId", "createdAt", "image", "name", "updatedAt", "uuid"));
  EXPECT_TRUE(ZRVSyncableObject::monitoredPropertiesOfClass(ZRVSyncableObject::staticClass()).empty());

  event->setSkinId("skin-7");
  EXPECT_EQ(event->cloudValueForLocalKey("skinId"), Value("skin-7"));
  EXPECT_EQ(event->localValueForCloudKey("updated"), Value(*event->updatedAt()));
  EXPECT_EQ(event->cloudValueForCloudKey("no such field"), Value());
  event->setLocalValueFromCloudValue(Value("Party"), "name");
  event->setLocalValueFromCloudValue(Value("ignored"), "no such field");
  event->setLocalValueFromCloudValue(Value::null(), "skinId");  // the null marker clears
  event->setLocalValueFromCloudValue(Value(), "state");         // a number keeps its value
  EXPECT_EQ(event->name(), "Party");
  EXPECT_EQ(event->skinId(), std::nullopt);
  EXPECT_EQ(event->state(), ZRVEventStateAdding);
  EXPECT_THROW(event->setLocalValueFromCloudValue(Value(5), "date"), platform::Exception);
}

// The model object's constructor sets its values while the instance is still of that class; the
// event's constructor then sets the event's own: each constructor's changes are recorded against
// the class it reached, and the finished event answers with the event's values.
TEST(SyncableObject, ANewObjectRecordsTheChangesOfEveryConstructorOfItsClasses) {
  auto event = platform::make<ZRVEvent>();
  EXPECT_THAT(*event->changedProperties(), ElementsAre("createdAt", "date", "state", "updatedAt", "uuid"));
  EXPECT_THAT(event->monitoredProperties(),
              ElementsAre("createdAt", "date", "link", "name", "skinId", "state", "updatedAt", "uuid"));
  auto skin = platform::make<ZRVSkin>();
  EXPECT_THAT(skin->monitoredProperties(),
              ElementsAre("collectionId", "createdAt", "image", "name", "updatedAt", "uuid"));
  EXPECT_EQ(event->cloudKeyForLocalKey("createdAt"), "created");
}

class ImmutabilityWatcher : public platform::KeyValueObserver {
 public:
  void observeValueForKeyPath(std::string_view keyPath, platform::Object&, const platform::KeyValueChange&,
                              void*) override {
    heard.emplace_back(keyPath);
  }
  std::vector<std::string> heard;
};

TEST(SyncableObject, ObserversOfImmutabilityHearEveryMonitoredChange) {
  auto event = platform::make<ZRVEvent>();
  auto watcher = std::make_shared<ImmutabilityWatcher>();
  event->addObserver(watcher, "isImmutable", 0);
  event->setName("a");
  event->setDate(localDate(2030, 1, 1));
  event->makeImmutable();
  EXPECT_THROW(event->setName("b"), platform::Exception);  // refused before anyone hears of it
  EXPECT_THAT(watcher->heard, ElementsAre("isImmutable", "isImmutable", "isImmutable"));
  event->removeObserver(watcher.get(), "isImmutable");
}

// A stored object is shared between threads: each reads it and changes only its own copy.
TEST(SyncableObject, StoredObjectsAreReadAndCopiedFromManyThreadsAtOnce) {
  auto event = storedEvent();
  std::vector<std::thread> threads;
  std::atomic<int> refused{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(event->cloudValueForCloudKey("name"), Value("Launch"));
        EXPECT_EQ(event->changedProperties(), std::nullopt);
        auto copy = std::static_pointer_cast<ZRVEvent>(event->copy());
        copy->setName("thread " + std::to_string(t));
        EXPECT_THAT(*copy->changedProperties(), testing::Contains("name"));
        try {
          event->setSkinId("no");
        } catch (const platform::Exception&) {
          ++refused;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(refused.load(), 800);
  EXPECT_EQ(event->name(), "Launch");
}

// The archive entry of the first object of the class.
ValueDictionary archivedEntry(const platform::Bytes& archive, const std::string& className) {
  Value plist = platform::propertyListWithData(archive);
  for (const Value& entry : plist["$objects"].asArray()) {
    if (entry.type() == Value::Type::Dictionary && entry["$c"] == Value(className)) return entry.asDictionary();
  }
  return {};
}

std::vector<std::string> keysOf(const ValueDictionary& entry) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : entry)
    if (key != "$c") keys.push_back(key);
  std::sort(keys.begin(), keys.end());
  return keys;
}

// An archive whose root object is of class `cls` and holds exactly `keys`.
class RawArchiveObject : public platform::Object {
 public:
  RawArchiveObject(const platform::Class& cls, ValueDictionary keys) : cls_(cls), keys_(std::move(keys)) {}
  const platform::Class& objectClass() const override { return cls_; }
  bool supportsCoding() const override { return true; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    for (const auto& [key, value] : keys_) coder.encodeValue(value, key);
  }

 private:
  const platform::Class& cls_;
  ValueDictionary keys_;
};

std::shared_ptr<ZRVEvent> unarchiveEvent(ValueDictionary keys) {
  platform::Bytes bytes = platform::KeyedArchiver::archivedData(
      Value(platform::make<RawArchiveObject>(ZRVEvent::staticClass(), std::move(keys))));
  return platform::KeyedUnarchiver::unarchivedObject(bytes).as<ZRVEvent>();
}

TEST(SyncableObject, ArchivesCarryVersion110WithoutTheFlagAndMigrateOldUpdateDates) {
  auto event = platform::make<ZRVEvent>();
  event->setName("Trip");
  event->setDate(localDate(2031, 7, 1, 9));
  event->makeImmutable();
  platform::Bytes bytes = platform::KeyedArchiver::archivedData(Value(event));
  // An empty link is left out; the flag is never archived nor part of the dictionary value.
  ValueDictionary entry = archivedEntry(bytes, "ZRVEvent");
  EXPECT_EQ(*entry.find("MFModelVersion"), Value(std::uint64_t{110}));
  EXPECT_THAT(keysOf(entry), ElementsAre("MFModelVersion", "createdAt", "date", "name", "state", "updatedAt", "uuid"));
  EXPECT_FALSE(event->dictionaryValue().contains("isImmutable"));

  auto back = platform::KeyedUnarchiver::unarchivedObject(bytes).as<ZRVEvent>();
  ASSERT_TRUE(back);
  EXPECT_EQ(back->dictionaryValue(), event->dictionaryValue());
  EXPECT_FALSE(back->isImmutable());
  EXPECT_EQ(back->changedProperties(), std::nullopt);  // decoding leaves no records

  Date created = localDate(2019, 3, 3, 3);
  Date updated = localDate(2020, 4, 4, 4);
  struct Case {
    const char* what;
    Value version;
    Date expectedUpdatedAt;
  };
  const Case cases[] = {
      {"version 109 takes createdAt", Value(std::uint64_t{109}), created},
      {"a missing version counts as 0", Value(), created},
      {"version 110 keeps its own", Value(std::uint64_t{110}), updated},
  };
  for (const Case& c : cases) {
    ValueDictionary keys{{"uuid", Value("U1")}, {"createdAt", Value(created)}, {"updatedAt", Value(updated)}};
    if (!c.version.isNil()) keys.set("MFModelVersion", c.version);
    testing::internal::CaptureStderr();  // the missing version is reported on the console
    auto old = unarchiveEvent(std::move(keys));
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(old) << c.what;
    EXPECT_EQ(old->updatedAt(), c.expectedUpdatedAt) << c.what;
    EXPECT_EQ(old->uuid(), "U1") << c.what;
  }
  EXPECT_FALSE(unarchiveEvent({{"MFModelVersion", Value(std::uint64_t{111})}, {"uuid", Value("U2")}}));
}

}  // namespace
