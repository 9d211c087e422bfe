// Signals that start work shared by all their subscribers, and signals that log their events.

#include "platform/system/console.h"
#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"

// --- Starting ------------------------------------------------------------------------------------

RFSignalPtr RFSignal::startLazilyWithScheduler(const RFSchedulerPtr& scheduler,
                                               std::function<void(const RFSubscriberPtr& subscriber)> block) {
  RFSignalPtr source = createSignal([block](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    block(subscriber);
    return nullptr;
  });
  RFMulticastConnectionPtr connection = source->multicast(RFReplaySubject::subject());
  RFSignalPtr result = createSignal([connection](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
                         // Disposing a subscription stops delivery to it; the work goes on.
                         connection->signal()->subscribe(subscriber);
                         connection->connect();
                         return nullptr;
                       })->subscribeOn(scheduler);
  result->setNameWithFormat("+startLazilyWithScheduler: %@ block:", scheduler);
  return result;
}

RFSignalPtr RFSignal::startEagerlyWithScheduler(const RFSchedulerPtr& scheduler,
                                                std::function<void(const RFSubscriberPtr& subscriber)> block) {
  RFSignalPtr signal = startLazilyWithScheduler(scheduler, std::move(block));
  signal->publish()->connect();
  signal->setNameWithFormat("+startEagerlyWithScheduler: %@ block:", scheduler);
  return signal;
}

RFReplaySubjectPtr RFSignal::startWithSchedulerSubjectBlock(const RFSchedulerPtr& scheduler,
                                                            std::function<void(const RFSubjectPtr& subject)> block) {
  RFReplaySubjectPtr subject = RFReplaySubject::subject();
  subject->setNameWithFormat("+startWithScheduler:subjectBlock:");
  scheduler->schedule([block, subject] { block(subject); });
  return subject;
}

RFReplaySubjectPtr RFSignal::startWithScheduler(
    const RFSchedulerPtr& scheduler, std::function<platform::Value(bool* success, platform::ErrorPtr* error)> block) {
  RFReplaySubjectPtr subject = startWithSchedulerSubjectBlock(scheduler, [block](const RFSubjectPtr& subject) {
    bool success = true;
    platform::ErrorPtr error;
    platform::Value value = block(&success, &error);
    if (!success) {
      subject->sendError(error);
      return;
    }
    subject->sendNext(value);
    subject->sendCompleted();
  });
  subject->setNameWithFormat("+startWithScheduler:block:");
  return subject;
}

RFReplaySubjectPtr RFSignal::start(std::function<platform::Value(bool* success, platform::ErrorPtr* error)> block) {
  RFReplaySubjectPtr subject = startWithScheduler(RFScheduler::scheduler(), std::move(block));
  subject->setNameWithFormat("+start:");
  return subject;
}

// --- Logging -------------------------------------------------------------------------------------

void rf_writeLogLine(std::string_view line) { platform::consoleLog(line); }

RFSignalPtr RFSignal::logNext() {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result =
      doNext([self](const platform::Value& value) { rf_writeLogLine(platform::format("%@ next: %@", self, value)); });
  result->setNameWithFormat("%@", name());
  return result;
}

RFSignalPtr RFSignal::logError() {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = doError(
      [self](const platform::ErrorPtr& error) { rf_writeLogLine(platform::format("%@ error: %@", self, error)); });
  result->setNameWithFormat("%@", name());
  return result;
}

RFSignalPtr RFSignal::logCompleted() {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = doCompleted([self] { rf_writeLogLine(platform::format("%@ completed", self)); });
  result->setNameWithFormat("%@", name());
  return result;
}

RFSignalPtr RFSignal::logAll() { return logNext()->logError()->logCompleted(); }
