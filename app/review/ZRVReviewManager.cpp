#include "app/review/ZRVReviewManager.h"

#include <libintl.h>

#include <mutex>
#include <utility>

#include "app/DateUtilities.h"
#include "app/ZRVClock.h"
#include "app/ZRVLogManager.h"

namespace {

constexpr std::string_view kClassName = "ZRVReviewManager";

// The translation of an English text, or the text itself when there is none.
std::string localized(const char* english) { return dgettext("zorvel", english); }

void traceOperation(std::string_view operation) {
  ZRVLogHandlePtr log = ZRVLogManager::sharedInstance()->review_log();
  if (log && log->isEnabled(ZRVLogType::Info))
    log->log(ZRVLogType::Info, "%{public}@ - %{public}@", kClassName, operation);
}

}  // namespace

ZRVReviewManager::ZRVReviewManager(Key, ZRVDatabaseManager::Ptr databaseManager)
    : databaseManager_(std::move(databaseManager)) {}

const ZRVReviewManager::Ptr& ZRVReviewManager::sharedInstance() {
  static const Ptr shared = create(ZRVDatabaseManager::sharedInstance());
  return shared;
}

ZRVReviewManager::Ptr ZRVReviewManager::create(ZRVDatabaseManager::Ptr databaseManager) {
  return platform::make<ZRVReviewManager>(Key(), std::move(databaseManager));
}

const std::shared_ptr<ZRVOptionReview>& ZRVReviewManager::currentReviewState() {
  if (!currentReviewState_) currentReviewState_ = databaseManager_->getCurrentReviewState();
  return currentReviewState_;
}

std::string ZRVReviewManager::reviewRequestTitle() { return localized("We need your opinion!"); }
std::string ZRVReviewManager::reviewRequestMessage() { return localized("Just a couple of minutes of your time to:"); }
std::string ZRVReviewManager::reviewButtonTitle() { return localized("Write a review"); }
std::string ZRVReviewManager::delayButtonTitle() { return localized("Remind me later"); }
std::string ZRVReviewManager::declineButtonTitle() { return localized("No, thanks"); }
std::string ZRVReviewManager::reviewURL() { return "appstream://org.zorvel.Zorvel"; }

bool ZRVReviewManager::reviewRequestConditionsHaveBeenMet() {
  if (debugMode_) return true;
  const auto& state = currentReviewState();
  if (!state) return false;
  if (state->status() != kStatusNotReviewed) return false;
  if (state->significantEventsRemain() > 0) return false;
  return timeIntervalConditionsHaveBeenMet();
}

bool ZRVReviewManager::timeIntervalConditionsHaveBeenMet() {
  const auto& state = currentReviewState();
  if (state && state->lastRequestDate()) {
    // A last request dated in the future (the clock was set back) counts as recent.
    const std::int64_t days = DateUtilities::daysBeforeDate(*state->lastRequestDate(), ZRVClock::now());
    return days > kDaysAfterLastRequest;
  }
  return databaseManager_->daysSinceFirstLaunch() > kDaysAfterFirstLaunch;
}

bool ZRVReviewManager::userDidSignificantEvent() {
  traceOperation("userDidSignificantEvent");
  const auto& state = currentReviewState();
  return state && databaseManager_->decreaseSignificantEventsRemainForReview(*state);
}

bool ZRVReviewManager::answer(std::string_view operation, std::uint64_t status) {
  traceOperation(operation);
  const auto& state = currentReviewState();
  return state && databaseManager_->updateReview(*state, status);
}

bool ZRVReviewManager::userCompletedReview() { return answer("userCompletedReview", kStatusReviewed); }
bool ZRVReviewManager::userDelayedReview() { return answer("userDelayedReview", kStatusNotReviewed); }
bool ZRVReviewManager::userDeclinedReview() { return answer("userDeclinedReview", kStatusDeclined); }
