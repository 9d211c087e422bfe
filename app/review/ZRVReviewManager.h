#pragma once

// The policy for asking the user, now and then, to write a review: when the request panel may be
// shown, the texts and link it shows, and what each answer does to the stored review state.
//
// The review state (the database manager's record for platform 0) is read once, on first use, and
// the same object is kept and handed back to the database manager for every update, so the
// manager's changes to it are seen at once.
//
// Failure: the database manager's writes report failure; the answers pass it on (false) and leave
// the kept state as the manager left it.
// Threads: main thread only (the main view controller and the review panel call it).

#include <memory>
#include <string>

#include "app/database/ZRVDatabaseManager.h"
#include "app/model/ZRVOption.h"
#include "platform/runtime/object.h"

class ZRVReviewManager : public platform::Object {
  ZORVEL_CLASS(ZRVReviewManager, platform::Object)

 public:
  using Ptr = std::shared_ptr<ZRVReviewManager>;

  // Stored review states.
  static constexpr std::uint64_t kStatusNotReviewed = 0;  // not asked yet, or postponed
  static constexpr std::uint64_t kStatusReviewed = 1;
  static constexpr std::uint64_t kStatusDeclined = 2;
  // Whole days that must have passed since the last request, and since the first launch before the
  // first request: the counts must be greater than these.
  static constexpr std::int64_t kDaysAfterLastRequest = 5;
  static constexpr std::int64_t kDaysAfterFirstLaunch = 10;

  // The process-wide manager, over the shared database manager; made on the first call.
  static const Ptr& sharedInstance();
  // A manager over the given database manager (the shared one uses the shared database manager).
  static Ptr create(ZRVDatabaseManager::Ptr databaseManager);

  // When set, the conditions always hold.
  bool isDebugMode() const { return debugMode_; }
  void setDebugMode(bool debugMode) { debugMode_ = debugMode; }

  // The review state for platform 0, read on first use and kept.
  const std::shared_ptr<ZRVOptionReview>& currentReviewState();

  // The request panel's texts, translated where a translation exists (else the English text).
  static std::string reviewRequestTitle();
  static std::string reviewRequestMessage();
  static std::string reviewButtonTitle();
  static std::string delayButtonTitle();
  static std::string declineButtonTitle();
  // The application's page in the desktop's software centre.
  static std::string reviewURL();

  // Whether the request may be shown now: never again after a written or declined review, only
  // once enough significant events have happened, and only when the time conditions hold.
  bool reviewRequestConditionsHaveBeenMet();
  // More than 5 whole days since the last request or, before any request, more than 10 whole days
  // since the first launch. A count below zero (the clock was set back) does not pass.
  bool timeIntervalConditionsHaveBeenMet();

  // The user did something worth counting (an active event moved in the list): one fewer
  // significant event remains, never below zero.
  [[nodiscard]] bool userDidSignificantEvent();
  // The user's answers to the request panel.
  [[nodiscard]] bool userCompletedReview();
  [[nodiscard]] bool userDelayedReview();
  [[nodiscard]] bool userDeclinedReview();

 private:
  // Only create() makes managers; platform::make reaches the constructor through this key.
  struct Key {
    explicit Key() = default;
  };

 public:
  ZRVReviewManager(Key, ZRVDatabaseManager::Ptr databaseManager);

 private:
  [[nodiscard]] bool answer(std::string_view operation, std::uint64_t status);

  ZRVDatabaseManager::Ptr databaseManager_;
  std::shared_ptr<ZRVOptionReview> currentReviewState_;
  bool debugMode_ = false;
};
