// The review-request policy over a real database manager: significant events, the days since the
// first launch or the last request, the three answers, debug mode and a clock set back.

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "app/database/database_test_support.h"
#include "app/review/ZRVReviewManager.h"

namespace zorvel::test {
namespace {

constexpr double kDay = 86400;

class ReviewPolicy : public DatabaseTest {
 public:
  // What the scenarios' steps do.
  void advanceDays(double days) { clock.advance(days * kDay); }
  void significantEvents(int count) {
    for (int i = 0; i < count; ++i) ASSERT_TRUE(reviews->userDidSignificantEvent());
  }
  ZRVReviewManager& reviewManager() { return *reviews; }

 protected:
  void SetUp() override {
    const Value catalogue(ValueArray{collectionEntry("C1", "Nature", {skinEntry("S1", "forest")})});
    databaseManager = open(writeBundle(dir.path(), catalogue, Value(ValueDictionary{})));
    ASSERT_TRUE(databaseManager);
    ASSERT_TRUE(databaseManager->syncSkins());  // the collection's creation is the first launch
    ASSERT_TRUE(flushMainQueue());
    reviews = ZRVReviewManager::create(databaseManager);
  }
  void TearDown() override {
    reviews.reset();
    if (databaseManager) close(databaseManager);
  }

  ZRVDatabaseManager::Ptr databaseManager;
  ZRVReviewManager::Ptr reviews;
};

// Each step acts, then says whether the request may be shown.
struct Step {
  const char* label;
  std::function<void(ReviewPolicy&)> act;
  bool conditionsMet;
};

struct Scenario {
  const char* name;
  std::vector<Step> steps;
};

std::vector<Scenario> scenarios() {
  const auto advanceDays = [](double days) { return [days](ReviewPolicy& t) { t.advanceDays(days); }; };
  const auto events = [](int count) { return [count](ReviewPolicy& t) { t.significantEvents(count); }; };
  const auto nothing = [](ReviewPolicy&) {};
  return {
      {"first request: ten significant events and more than ten whole days",
       {{"a new installation", nothing, false},
        {"ten significant events on the first day", events(10), false},
        {"exactly ten whole days after the first launch", advanceDays(10), false},
        {"eleven whole days after the first launch", advanceDays(1), true}}},
      {"days before events: the count still has to reach zero",
       {{"twelve days, nine events", [](ReviewPolicy& t) { t.advanceDays(12), t.significantEvents(9); }, false},
        {"the tenth event", events(1), true}}},
      {"remind me later: five more events and more than five whole days",
       {{"conditions met", [](ReviewPolicy& t) { t.significantEvents(10), t.advanceDays(11); }, true},
        {"the user postpones", [](ReviewPolicy& t) { ASSERT_TRUE(t.reviewManager().userDelayedReview()); }, false},
        {"five events on the same day", events(5), false},
        {"exactly five whole days later", advanceDays(5), false},
        {"six whole days later", advanceDays(1), true}}},
      {"no, thanks: never again",
       {{"conditions met", [](ReviewPolicy& t) { t.significantEvents(10), t.advanceDays(11); }, true},
        {"the user declines", [](ReviewPolicy& t) { ASSERT_TRUE(t.reviewManager().userDeclinedReview()); }, false},
        {"a year and many events later", [](ReviewPolicy& t) { t.significantEvents(20), t.advanceDays(365); }, false},
        {"debug mode still asks", [](ReviewPolicy& t) { t.reviewManager().setDebugMode(true); }, true}}},
      {"review written: never again",
       {{"conditions met", [](ReviewPolicy& t) { t.significantEvents(10), t.advanceDays(11); }, true},
        {"the user reviews", [](ReviewPolicy& t) { ASSERT_TRUE(t.reviewManager().userCompletedReview()); }, false},
        {"a year later", advanceDays(365), false}}},
      {"debug mode: whatever the state says",
       {{"a new installation in debug mode", [](ReviewPolicy& t) { t.reviewManager().setDebugMode(true); }, true}}},
      {"the clock set back before the first launch",
       {{"ten events, then the clock twenty days back",
         [](ReviewPolicy& t) { t.significantEvents(10), t.advanceDays(-20); }, false}}},
      {"the clock set back before the last request",
       {{"postponed with the count at zero",
         [](ReviewPolicy& t) {
           t.significantEvents(10), t.advanceDays(11);
           ASSERT_TRUE(t.reviewManager().userDelayedReview());
           t.significantEvents(5);
         },
         false},
        {"the clock thirty days back", advanceDays(-30), false},
        {"back to six whole days after the request", advanceDays(36), true}}},
  };
}

class ReviewScenario : public ReviewPolicy, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(ReviewScenario, AsksOnlyWhenThePolicyAllows) {
  const Scenario scenario = scenarios().at(GetParam());
  SCOPED_TRACE(scenario.name);
  for (const Step& step : scenario.steps) {
    SCOPED_TRACE(step.label);
    step.act(*this);
    EXPECT_EQ(reviews->reviewRequestConditionsHaveBeenMet(), step.conditionsMet);
  }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ReviewScenario, ::testing::Range<std::size_t>(0, scenarios().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                           std::string name;
                           for (char c : std::string(scenarios().at(info.param).name)) {
                             if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                           }
                           return name;
                         });

TEST_F(ReviewPolicy, SignificantEventsStopAtZeroAndTheStateIsKeptAndStored) {
  const auto state = reviews->currentReviewState();
  ASSERT_TRUE(state);
  EXPECT_EQ(state->significantEventsRemain(), 10);
  significantEvents(12);
  EXPECT_EQ(state->significantEventsRemain(), 0);
  // The manager keeps the object it read first; the database has the same values.
  EXPECT_EQ(reviews->currentReviewState(), state);
  ASSERT_TRUE(flushMainQueue());
  EXPECT_EQ(databaseManager->getCurrentReviewState()->significantEventsRemain(), 0);

  clock.advance(60);
  ASSERT_TRUE(reviews->userDelayedReview());
  EXPECT_EQ(state->significantEventsRemain(), 5);
  EXPECT_EQ(state->numberOfRequests(), 1);
  EXPECT_EQ(state->lastRequestDate(), clock.now());
  EXPECT_EQ(state->status(), ZRVReviewManager::kStatusNotReviewed);
  ASSERT_TRUE(reviews->userDeclinedReview());
  EXPECT_EQ(state->status(), ZRVReviewManager::kStatusDeclined);
  EXPECT_EQ(state->numberOfRequests(), 2);
}

TEST(ReviewTexts, AreTheEnglishTextsWithoutATranslation) {
  EXPECT_EQ(ZRVReviewManager::reviewRequestTitle(), "We need your opinion!");
  EXPECT_EQ(ZRVReviewManager::reviewRequestMessage(), "Just a couple of minutes of your time to:");
  EXPECT_EQ(ZRVReviewManager::reviewButtonTitle(), "Write a review");
  EXPECT_EQ(ZRVReviewManager::delayButtonTitle(), "Remind me later");
  EXPECT_EQ(ZRVReviewManager::declineButtonTitle(), "No, thanks");
  EXPECT_FALSE(ZRVReviewManager::reviewURL().empty());
}

}  // namespace
}  // namespace zorvel::test
