#include "logging/database_logger.h"

#include <cmath>

namespace {

std::uint64_t nanoseconds(double seconds) {
  double ns = seconds * 1e9;
  if (!(ns > 0)) return 0;
  if (ns >= 1.8e19) return UINT64_MAX / 2;
  return static_cast<std::uint64_t>(ns);
}

}  // namespace

LGAbstractDatabaseLogger::~LGAbstractDatabaseLogger() {
  destroySaveTimer();
  destroyDeleteTimer();
}

bool LGAbstractDatabaseLogger::respondsTo(LGLoggerMethod method) const {
  return method == LGLoggerMethod::DidAddLogger || method == LGLoggerMethod::WillRemoveLogger ||
         method == LGLoggerMethod::Flush || LGAbstractLogger::respondsTo(method);
}

std::weak_ptr<LGAbstractDatabaseLogger> LGAbstractDatabaseLogger::weakSelf() {
  return std::static_pointer_cast<LGAbstractDatabaseLogger>(shared_from_this());
}

bool LGAbstractDatabaseLogger::db_log(const LGLogMessagePtr&) { return false; }
void LGAbstractDatabaseLogger::db_save() {}
void LGAbstractDatabaseLogger::db_delete() {}
void LGAbstractDatabaseLogger::db_saveAndDelete() {}

// --- Deliveries and hooks ------------------------------------------------------------------------

void LGAbstractDatabaseLogger::logMessage(const LGLogMessagePtr& message) {
  if (!db_log(message)) return;
  ++unsavedCount_;
  if (saveThreshold_ != 0 && unsavedCount_ >= saveThreshold_) {
    performSaveAndSuspendSaveTimer();
  } else if (unsavedCount_ == 1) {
    unsavedTime_ = platform::monotonicNanoseconds();
    updateAndResumeSaveTimer();
  }
}

void LGAbstractDatabaseLogger::didAddLogger() {
  createSuspendedSaveTimer();
  createAndStartDeleteTimer();
}

void LGAbstractDatabaseLogger::willRemoveLogger() {
  performSaveAndSuspendSaveTimer();
  destroySaveTimer();
  destroyDeleteTimer();
}

void LGAbstractDatabaseLogger::flush() { performSaveAndSuspendSaveTimer(); }

void LGAbstractDatabaseLogger::savePendingLogEntries() {
  onLoggerQueue([this] { performSaveAndSuspendSaveTimer(); });
}

void LGAbstractDatabaseLogger::deleteOldLogEntries() {
  onLoggerQueue([this] { performDelete(); });
}

// --- Saving and deleting -------------------------------------------------------------------------

void LGAbstractDatabaseLogger::performSaveAndSuspendSaveTimer() {
  if (unsavedCount_ > 0) {
    if (deleteOnEverySave_)
      db_saveAndDelete();
    else
      db_save();
  }
  unsavedCount_ = 0;
  unsavedTime_ = 0;
  if (saveTimer_ && !saveTimerSuspended_) {
    saveTimer_->suspend();
    saveTimerSuspended_ = true;
  }
}

void LGAbstractDatabaseLogger::performDelete() {
  if (!(maxAge_ > 0)) return;
  db_delete();
  lastDeleteTime_ = platform::monotonicNanoseconds();
}

// --- Timers --------------------------------------------------------------------------------------

void LGAbstractDatabaseLogger::createSuspendedSaveTimer() {
  if (saveTimer_ || !(saveInterval_ > 0)) return;
  saveTimer_ = platform::DispatchTimerSource::create(loggerQueue());
  saveTimer_->setEventHandler([weak = weakSelf()] {
    if (auto self = weak.lock()) self->performSaveAndSuspendSaveTimer();
  });
  saveTimerSuspended_ = true;  // sources start suspended
}

void LGAbstractDatabaseLogger::updateAndResumeSaveTimer() {
  if (!saveTimer_ || !(saveInterval_ > 0) || unsavedTime_ == 0) return;
  // Measured from the first unsaved entry: an interval set late fires at once.
  saveTimer_->setTimer(unsavedTime_ + nanoseconds(saveInterval_), saveInterval_, 1e-9);
  if (saveTimerSuspended_) {
    saveTimer_->resume();
    saveTimerSuspended_ = false;
  }
}

void LGAbstractDatabaseLogger::destroySaveTimer() {
  if (!saveTimer_) return;
  saveTimer_->cancel();
  if (saveTimerSuspended_) {
    saveTimer_->resume();
    saveTimerSuspended_ = false;
  }
  saveTimer_.reset();
}

void LGAbstractDatabaseLogger::createAndStartDeleteTimer() {
  if (deleteTimer_ || !(deleteInterval_ > 0) || !(maxAge_ > 0)) return;
  deleteTimer_ = platform::DispatchTimerSource::create(loggerQueue());
  deleteTimer_->setEventHandler([weak = weakSelf()] {
    if (auto self = weak.lock()) self->performDelete();
  });
  updateDeleteTimer();
  deleteTimer_->resume();
}

void LGAbstractDatabaseLogger::updateDeleteTimer() {
  if (!deleteTimer_ || !(deleteInterval_ > 0) || !(maxAge_ > 0)) return;
  std::uint64_t from = lastDeleteTime_ != 0 ? lastDeleteTime_ : platform::monotonicNanoseconds();
  deleteTimer_->setTimer(from + nanoseconds(deleteInterval_), deleteInterval_, 1e-9);
}

void LGAbstractDatabaseLogger::destroyDeleteTimer() {
  if (!deleteTimer_) return;
  deleteTimer_->cancel();
  deleteTimer_.reset();
}

// --- Settings ------------------------------------------------------------------------------------

std::uint64_t LGAbstractDatabaseLogger::saveThreshold() {
  return syncThroughLoggingQueue([this] { return saveThreshold_; });
}

void LGAbstractDatabaseLogger::setSaveThreshold(std::uint64_t threshold) {
  onLoggerQueue([this, threshold] {
    if (threshold == saveThreshold_) return;
    saveThreshold_ = threshold;
    if (saveThreshold_ != 0 && unsavedCount_ >= saveThreshold_) performSaveAndSuspendSaveTimer();
  });
}

double LGAbstractDatabaseLogger::saveInterval() {
  return syncThroughLoggingQueue([this] { return saveInterval_; });
}

void LGAbstractDatabaseLogger::setSaveInterval(double seconds) {
  onLoggerQueue([this, seconds] {
    if (!(seconds < saveInterval_) && !(seconds > saveInterval_)) return;
    saveInterval_ = seconds;
    if (saveInterval_ > 0) {
      if (!saveTimer_) createSuspendedSaveTimer();
      updateAndResumeSaveTimer();
    } else if (saveTimer_) {
      destroySaveTimer();
    }
  });
}

double LGAbstractDatabaseLogger::maxAge() {
  return syncThroughLoggingQueue([this] { return maxAge_; });
}

void LGAbstractDatabaseLogger::setMaxAge(double seconds) {
  onLoggerQueue([this, seconds] {
    if (!(seconds < maxAge_) && !(seconds > maxAge_)) return;
    const double old = maxAge_;
    maxAge_ = seconds;
    if (old > 0 && !(seconds > 0)) {
      destroyDeleteTimer();
    } else if ((old > 0 && seconds < old) || (!(old > 0) && seconds > 0)) {
      performDelete();
      if (deleteTimer_)
        updateDeleteTimer();
      else
        createAndStartDeleteTimer();
    }
  });
}

double LGAbstractDatabaseLogger::deleteInterval() {
  return syncThroughLoggingQueue([this] { return deleteInterval_; });
}

void LGAbstractDatabaseLogger::setDeleteInterval(double seconds) {
  onLoggerQueue([this, seconds] {
    if (!(seconds < deleteInterval_) && !(seconds > deleteInterval_)) return;
    deleteInterval_ = seconds;
    if (deleteInterval_ > 0) {
      if (deleteTimer_)
        updateDeleteTimer();
      else
        createAndStartDeleteTimer();
    } else if (deleteTimer_) {
      destroyDeleteTimer();
    }
  });
}

bool LGAbstractDatabaseLogger::deleteOnEverySave() {
  return syncThroughLoggingQueue([this] { return deleteOnEverySave_; });
}

void LGAbstractDatabaseLogger::setDeleteOnEverySave(bool value) {
  onLoggerQueue([this, value] { deleteOnEverySave_ = value; });
}
