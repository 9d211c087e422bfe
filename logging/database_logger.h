#pragma once

// The base of loggers that write messages into a store in batches. A subclass supplies the four
// storage operations (db_log, db_save, db_delete, db_saveAndDelete); this class counts the
// entries accepted but not saved, asks for a save when saveThreshold of them have gathered
// (0: never by count) or when the first has waited saveInterval seconds (0 or less: never by
// time), on flush and on removal from the hub, and asks every deleteInterval seconds (0 or less:
// never) for the deletion of entries older than maxAge seconds (0 or less: nothing is deleted).
// Defaults: 500 entries, 60 s, 7 days, 300 s, no deletion on each save.
//
// Threads: every field and every db_ call is on the logger's queue (deliveries, timers, settings).
// The getters wait for the global logging queue and then the logger's queue, so they must not be
// called from either; a setter called on the logger's queue applies at once, from elsewhere it
// passes through the global logging queue (between two messages, in issue order).

#include <cstdint>
#include <memory>

#include "logging/logger.h"
#include "platform/dispatch/dispatch.h"

class LGAbstractDatabaseLogger : public LGAbstractLogger {
  ZORVEL_CLASS(LGAbstractDatabaseLogger, LGAbstractLogger)

 public:
  ~LGAbstractDatabaseLogger() override;

  bool respondsTo(LGLoggerMethod method) const override;
  void logMessage(const LGLogMessagePtr& message) override;
  void didAddLogger() override;
  void willRemoveLogger() override;
  void flush() override;

  std::uint64_t saveThreshold();
  void setSaveThreshold(std::uint64_t threshold);
  double saveInterval();
  void setSaveInterval(double seconds);
  double maxAge();
  void setMaxAge(double seconds);
  double deleteInterval();
  void setDeleteInterval(double seconds);
  bool deleteOnEverySave();
  void setDeleteOnEverySave(bool value);

  // Saves what is pending / deletes old entries, on the logger's queue (at once when called there).
  void savePendingLogEntries();
  void deleteOldLogEntries();

 protected:
  // The storage operations, called on the logger's queue. db_log keeps the entry and answers
  // whether it took it (the base takes nothing); the others do nothing in the base.
  virtual bool db_log(const LGLogMessagePtr& message);
  virtual void db_save();
  virtual void db_delete();
  // Instead of db_save when deleteOnEverySave is on.
  virtual void db_saveAndDelete();

 private:
  void performSaveAndSuspendSaveTimer();
  void performDelete();
  void createSuspendedSaveTimer();
  void updateAndResumeSaveTimer();
  void destroySaveTimer();
  void createAndStartDeleteTimer();
  void updateDeleteTimer();
  void destroyDeleteTimer();
  std::weak_ptr<LGAbstractDatabaseLogger> weakSelf();

  // Touched only on the logger's queue.
  std::uint64_t saveThreshold_ = 500;
  double saveInterval_ = 60.0;
  double maxAge_ = 7 * 24 * 60 * 60.0;
  double deleteInterval_ = 300.0;
  bool deleteOnEverySave_ = false;
  bool saveTimerSuspended_ = false;
  std::uint64_t unsavedCount_ = 0;
  std::uint64_t unsavedTime_ = 0;  // monotonic nanoseconds of the first unsaved entry; 0: none
  std::shared_ptr<platform::DispatchTimerSource> saveTimer_;
  std::uint64_t lastDeleteTime_ = 0;  // monotonic nanoseconds; 0 before the first delete
  std::shared_ptr<platform::DispatchTimerSource> deleteTimer_;
};
