// The application's model objects: events, collections, skins, triggers and review options.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <unordered_set>

#include "app/DateUtilities.h"
#include "app/model/ZRVCollection.h"
#include "app/model/ZRVEvent.h"
#include "app/model/ZRVEventsSummary.h"
#include "app/model/ZRVOption.h"
#include "app/model/ZRVSkin.h"
#include "app_test_support.h"
#include "model/MFJSONAdapter.h"
#include "platform/codecs/keyed_archiver.h"
#include "platform/codecs/property_list.h"

namespace {

using platform::Date;
using platform::Value;
using platform::ValueDictionary;
using testing::ElementsAre;
using zorvel::test::localDate;
using zorvel::test::ScopedClock;

template <class T>
std::shared_ptr<T> roundTrip(const std::shared_ptr<T>& object) {
  platform::Bytes bytes = platform::KeyedArchiver::archivedData(Value(object));
  return platform::KeyedUnarchiver::unarchivedObject(bytes).as<T>();
}

TEST(ModelObjects, ANewEventStartsBeingAddedTodayAtMidnightWithTheSecondsKept) {
  ScopedClock clock(localDate(2024, 3, 31, 14, 35, 27));  // the spring-forward day
  auto event = platform::make<ZRVEvent>();
  EXPECT_EQ(event->state(), ZRVEventStateAdding);
  EXPECT_EQ(event->date(), localDate(2024, 3, 31, 0, 0, 27));
  EXPECT_EQ(event->createdAt(), clock.now());
  EXPECT_EQ(event->updatedAt(), event->createdAt());
  ASSERT_TRUE(event->uuid());
  EXPECT_THAT(
      *event->uuid(),
      testing::MatchesRegex("[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-4[0-9A-Fa-f]{3}-[89ABab][0-9A-Fa-f]{3}-[0-9A-Fa-f]{12}"));
  EXPECT_NE(platform::make<ZRVEvent>()->uuid(), event->uuid());
  EXPECT_EQ(event->modelVersion(), 110u);
}

TEST(ModelObjects, EventsFromCloudRecords) {
  std::map<std::string, Value, std::less<>> fields{{"uuid", Value("ignored-field")},
                                                   {"name", Value("Concert")},
                                                   {"date", Value(localDate(2030, 6, 1, 20))},
                                                   {"state", Value(std::uint64_t{2})},
                                                   {"skinId", Value("skin-3")},
                                                   {"link", Value("https://example.org/tickets")},
                                                   {"created", Value(localDate(2024, 1, 1))},
                                                   {"updated", Value(localDate(2024, 2, 2))}};
  auto lookup = [&](std::string_view field) {
    auto it = fields.find(field);
    return it == fields.end() ? Value() : it->second;
  };
  EXPECT_EQ(ZRVEvent::eventWithRecord("Skins", "R1", lookup), nullptr);

  auto event = ZRVEvent::eventWithRecord("Events", "R1", lookup);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->uuid(), "R1");  // the record name, not the "uuid" field
  EXPECT_EQ(event->name(), "Concert");
  EXPECT_EQ(event->state(), ZRVEventStateActive);
  EXPECT_EQ(event->link(), "https://example.org/tickets");
  EXPECT_EQ(event->createdAt(), localDate(2024, 1, 1));
  EXPECT_EQ(event->updatedAt(), localDate(2024, 2, 2));
  EXPECT_EQ(event->cloudValueForCloudKey("link"), Value("https://example.org/tickets"));
  // Every field went through the setters.
  EXPECT_THAT(*event->changedProperties(),
              ElementsAre("createdAt", "date", "link", "name", "skinId", "state", "updatedAt", "uuid"));

  // A record lacking fields: numbers keep their start value, the rest stays empty.
  auto sparse = ZRVEvent::eventWithRecord("Events", "R2", [](std::string_view) { return Value(); });
  ASSERT_TRUE(sparse);
  EXPECT_EQ(sparse->state(), 0u);
  EXPECT_EQ(sparse->date(), std::nullopt);
  EXPECT_EQ(sparse->link(), std::nullopt);
  EXPECT_EQ(sparse->cloudValueForCloudKey("link"), Value());

  // A field of the wrong kind refuses the record instead of making half an event.
  fields["date"] = Value("next Tuesday");
  platform::ErrorPtr error;
  EXPECT_EQ(ZRVEvent::eventWithRecord("Events", "R3", lookup, &error), nullptr);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "MFModelErrorDomain");
}

TEST(ModelObjects, EventsSkinsAndCollectionsAreEqualByUuidAndHashAlike) {
  auto a = platform::make<ZRVEvent>();
  a->setName("one");
  auto b = std::static_pointer_cast<ZRVEvent>(a->copy());
  b->setName("two");
  auto other = platform::make<ZRVEvent>();
  EXPECT_TRUE(a->isEqual(*b));
  EXPECT_EQ(a->hash(), b->hash());
  EXPECT_FALSE(a->isEqual(*other));

  auto skin = platform::make<ZRVSkin>();
  auto collection = platform::make<ZRVCollection>();
  collection->setUuid(*skin->uuid());
  EXPECT_FALSE(skin->isEqual(*collection));  // same uuid, unrelated classes
  auto skinCopy = std::static_pointer_cast<ZRVSkin>(skin->copy());
  skinCopy->setName("renamed");
  EXPECT_TRUE(skin->isEqual(*skinCopy));
  EXPECT_EQ(skin->hash(), skinCopy->hash());

  auto noId = platform::make<ZRVEvent>();
  noId->setUuid(std::nullopt);
  auto noId2 = platform::make<ZRVEvent>();
  noId2->setUuid(std::nullopt);
  EXPECT_FALSE(noId->isEqual(*noId2));
  EXPECT_TRUE(noId->isEqual(*noId));

  // Options compare by value: the same uuid with another value differs.
  auto trigger = ZRVOptionTrigger::triggerWithUnit(16, 3, 0, true);
  auto changed = std::static_pointer_cast<ZRVOptionTrigger>(trigger->copy());
  EXPECT_TRUE(trigger->isEqual(*changed));
  changed->setValue(4);
  EXPECT_FALSE(trigger->isEqual(*changed));
}

TEST(ModelObjects, SkinsAndCollectionsFromTheCatalogue) {
  Value json = Value::dictionary({{"id", Value("C1")}, {"name", Value("Space")}, {"unknown", Value(1)}});
  platform::ErrorPtr error;
  auto collection = MFJSONAdapter::modelOfClass<ZRVCollection>(json, &error);
  ASSERT_TRUE(collection) << (error ? error->description() : "");
  EXPECT_EQ(collection->uuid(), "C1");
  EXPECT_EQ(collection->name(), "Space");

  auto skin = MFJSONAdapter::modelOfClass<ZRVSkin>(Value::dictionary({{"id", Value("S1")}, {"name", Value("Nebula")}}));
  ASSERT_TRUE(skin);
  skin->setCollectionId("C1");
  EXPECT_EQ(skin->image(), Value());  // no lookup installed
  std::string asked;
  ZRVSkin::setImageLookup([&](std::string_view name) {
    asked = name;
    return Value(std::string("image:") + std::string(name));
  });
  EXPECT_EQ(skin->image(), Value("image:Nebula"));
  EXPECT_EQ(skin->valueForKey("image"), Value("image:Nebula"));
  ZRVSkin::setImageLookup(nullptr);

  EXPECT_EQ(skin->encodingBehaviorsByPropertyKey().at("image"), MFModelEncodingBehaviorExcluded);
  auto back = roundTrip(skin);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->name(), "Nebula");
  EXPECT_EQ(back->collectionId(), "C1");
  EXPECT_EQ(back->uuid(), "S1");
  EXPECT_FALSE(back->dictionaryValue().contains("image"));
}

TEST(ModelObjects, OptionsRoundTripThroughTheArchive) {
  auto trigger = ZRVOptionTrigger::triggerWithUnit(platform::CalendarUnitHour, 5, ZRVOptionTriggerTypeUser, true);
  auto triggerBack = roundTrip(trigger);
  ASSERT_TRUE(triggerBack);
  EXPECT_TRUE(triggerBack->isEqual(*trigger));
  EXPECT_EQ(triggerBack->unit(), 32u);
  EXPECT_EQ(triggerBack->type(), 1u);
  EXPECT_TRUE(triggerBack->active());

  auto review = platform::make<ZRVOptionReview>();
  review->setPlatform(0);
  review->setStatus(2);
  review->setLastRequestDate(localDate(2024, 4, 1, 9));
  review->setNumberOfRequests(3);
  review->setSignificantEventsRemain(-1);
  auto reviewBack = roundTrip(review);
  ASSERT_TRUE(reviewBack);
  EXPECT_TRUE(reviewBack->isEqual(*review));
  EXPECT_EQ(reviewBack->significantEventsRemain(), -1);

  auto summary = platform::make<ZRVEventsSummary>();
  summary->setActiveEventsCount(4);
  EXPECT_EQ(summary->valueForKey("activeEventsCount"), Value(std::int64_t{4}));
}

TEST(ModelObjects, TriggerTexts) {
  struct Case {
    std::uint64_t unit;
    std::uint64_t value;
    const char* expected;
  };
  const Case cases[] = {
      {16, 3, "less than three days"}, {64, 5, "less than five minutes"}, {4, 21, "less than twenty-one years"},
      {128, 0, "event has occurred"},  {32, 1, "less than a hour"},       {16, 0, "less than a day"},
      {8, 1, "less than a month"},     {4, 1, "less than a year"},        {128, 1, "less than a second"},
      {1, 2, "less than two units"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ZRVOptionTrigger::triggerWithUnit(c.unit, c.value, 0, true)->stringDescription(), c.expected)
        << c.unit << " x " << c.value;
  }
  EXPECT_THAT(ZRVOptionTrigger::availableUnits(), ElementsAre(4, 8, 16, 32, 64, 128));
  EXPECT_EQ(ZRVOptionTrigger::nameForUnit(8), "months");
  EXPECT_EQ(ZRVOptionTrigger::nameForUnit(2), std::nullopt);
}

TEST(ModelObjects, TriggerDeliveryDatesAcrossMonthEndsAndDaylightSaving) {
  struct Case {
    const char* what;
    Date event;
    std::uint64_t unit;
    std::uint64_t value;
    std::optional<Date> expected;
  };
  const Case cases[] = {
      {"two days before 10 March", localDate(2024, 3, 10, 9), 16, 2, localDate(2024, 3, 8, 9)},
      {"not a unit flag", localDate(2024, 3, 10, 9), 1, 2, std::nullopt},
      {"a month before 31 March, leap year", localDate(2024, 3, 31, 9), 8, 1, localDate(2024, 2, 29, 9)},
      {"a month before 31 March, common year", localDate(2023, 3, 31, 9), 8, 1, localDate(2023, 2, 28, 9)},
      {"a year before 29 February", localDate(2024, 2, 29, 18), 4, 1, localDate(2023, 2, 28, 18)},
      {"a day before, across spring-forward", localDate(2024, 3, 31, 10), 16, 1, localDate(2024, 3, 30, 10)},
      {"24 hours before, across spring-forward", localDate(2024, 3, 31, 10), 32, 24, localDate(2024, 3, 30, 9)},
      {"a day before, across fall-back", localDate(2024, 10, 27, 10), 16, 1, localDate(2024, 10, 26, 10)},
      {"24 hours before, across fall-back", localDate(2024, 10, 27, 10), 32, 24, localDate(2024, 10, 26, 11)},
      {"90 minutes", localDate(2024, 1, 1, 0, 30), 64, 90, localDate(2023, 12, 31, 23)},
      {"zero seconds", localDate(2024, 1, 1), 128, 0, localDate(2024, 1, 1)},
      {"beyond any calendar", localDate(2024, 1, 1), 4, UINT64_MAX, std::nullopt},
  };
  for (const Case& c : cases) {
    auto event = platform::make<ZRVEvent>();
    event->setDate(c.event);
    auto trigger = ZRVOptionTrigger::triggerWithUnit(c.unit, c.value, 0, true);
    EXPECT_EQ(trigger->deliveryDateForEvent(*event), c.expected) << c.what;
  }
  auto dateless = platform::make<ZRVEvent>();
  dateless->setDate(std::nullopt);
  EXPECT_EQ(ZRVOptionTrigger::triggerWithUnit(16, 1, 0, true)->deliveryDateForEvent(*dateless), std::nullopt);
}

}  // namespace
