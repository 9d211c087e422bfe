#include "reactive/bridges/RFCommand.h"

#include <algorithm>
#include <atomic>

#include "platform/runtime/error.h"
#include "platform/runtime/kvo.h"
#include "platform/system/locks.h"
#include "reactive/RFDeallocating.h"
#include "reactive/RFSubject.h"
#include "reactive/bridges/RFPropertySubscribing.h"
#include "reactive/bridges/RFSequence.h"

namespace {
constexpr const char* kActiveKey = "activeExecutionSignals";
constexpr const char* kConcurrentKey = "allowsConcurrentExecution";
}  // namespace

RFCommandPtr RFCommand::commandWithSignalBlock(SignalBlock signalBlock) {
  return commandWithEnabled(nullptr, std::move(signalBlock));
}

RFCommandPtr RFCommand::commandWithEnabled(RFSignalPtr enabledSignal, SignalBlock signalBlock) {
  if (!signalBlock) return nullptr;
  auto command = platform::make<RFCommand>();
  command->signalBlock_ = std::move(signalBlock);
  command->build(std::move(enabledSignal));
  return command;
}

void RFCommand::build(RFSignalPtr enabledSignal) {
  const RFSchedulerPtr& main = RFScheduler::mainThreadScheduler();

  // The executions as they are listed, shared by every subscriber while anyone listens.
  RFSignalPtr newActiveExecutionSignals =
      rf_valuesAndChangesForKeyPath(*this, kActiveKey, platform::ObserveNew, nullptr)
          ->map([](const platform::Value& valueAndChange) {
            platform::Value added = valueAndChange.as<RFTuple>()->second()[platform::kKeyValueChangeNewKey];
            if (!added.isArray()) return platform::Value(RFSignal::empty());  // a removal
            return platform::Value(rf_sequence(added)->signalWithScheduler(RFScheduler::immediateScheduler()));
          })
          ->concat()
          ->publish()
          ->autoconnect();

  executionSignals_ = newActiveExecutionSignals
                          ->map([](const platform::Value& execution) {
                            return platform::Value(execution.as<RFSignal>()->catchTo(RFSignal::empty()));
                          })
                          ->deliverOn(main);
  executionSignals_->setNameWithFormat("%@ -executionSignals", rf_description(*this));

  // Connected now, so errors of executions that start before anyone listens are kept for nobody
  // but still go to whoever listens later.
  RFMulticastConnectionPtr errorsConnection =
      newActiveExecutionSignals
          ->flattenMap([](const platform::Value& execution) {
            return execution.as<RFSignal>()->ignoreValues()->catchError(
                [](const platform::ErrorPtr& error) { return RFSignal::returnValue(platform::Value(error)); });
          })
          ->deliverOn(main)
          ->publish();
  errors_ = errorsConnection->signal();
  errors_->setNameWithFormat("%@ -errors", rf_description(*this));
  errorsConnection->connect();

  RFSignalPtr immediateExecuting = rf_valuesForKeyPath(*this, kActiveKey, this)->map([](const platform::Value& active) {
    return platform::Value(active.count() > 0);
  });

  executing_ =
      immediateExecuting->deliverOn(main)->startWith(platform::Value(false))->distinctUntilChanged()->replayLast();
  executing_->setNameWithFormat("%@ -executing", rf_description(*this));

  RFSignalPtr moreExecutionsAllowed =
      RFSignal::ifThenElse(rf_valuesForKeyPath(*this, kConcurrentKey, this),
                           RFSignal::returnValue(platform::Value(true)), immediateExecuting->logicalNot());

  RFSignalPtr enabledInput =
      enabledSignal
          ? enabledSignal->startWith(platform::Value(true))->takeUntil(rf_willDeallocSignal(*this))->replayLast()
          : RFSignal::returnValue(platform::Value(true));

  immediateEnabled_ = RFSignal::combineLatest({enabledInput, moreExecutionsAllowed})->logicalAnd();

  // The first value at once, the rest on the main thread. One subscription serves both: a second
  // one made when the first value arrives would be made while the combination above holds its
  // lock, and so would nest that lock with the enabled input's.
  RFSignalPtr immediate = immediateEnabled_;
  RFSignalPtr firstAtOnce = RFSignal::createSignal([immediate, main](const RFSubscriberPtr& subscriber) {
    auto first = std::make_shared<std::atomic<bool>>(true);
    return immediate->subscribeNext(
        [subscriber, first, main](const platform::Value& value) {
          if (first->exchange(false))
            subscriber->sendNext(value);
          else
            main->schedule([subscriber, value] { subscriber->sendNext(value); });
        },
        [subscriber, main](const platform::ErrorPtr& error) {
          main->schedule([subscriber, error] { subscriber->sendError(error); });
        },
        [subscriber, main] { main->schedule([subscriber] { subscriber->sendCompleted(); }); });
  });
  enabled_ = firstAtOnce->distinctUntilChanged()->replayLast();
  enabled_->setNameWithFormat("%@ -enabled", rf_description(*this));
}

RFSignalPtr RFCommand::notEnabled() {
  platform::Value userInfo =
      platform::Value::dictionary({{std::string(platform::kLocalizedDescriptionKey),
                                    platform::Value("The command is disabled and cannot be executed")},
                                   {std::string(kRFUnderlyingCommandErrorKey),
                                    platform::Value(std::static_pointer_cast<RFCommand>(shared_from_this()))}});
  return RFSignal::error(
      platform::Error::make(std::string(kRFCommandErrorDomain), kRFCommandErrorNotEnabled, userInfo));
}

RFSignalPtr RFCommand::execute(const platform::Value& input) {
  if (!immediateEnabled_->first().asBool()) return notEnabled();
  // The enabled state above may be a moment old: the check that decides, and the listing that
  // makes the next check fail, happen under one lock.
  {
    platform::MutexLock lock(monitor());
    if (!allowsConcurrentExecution() && (!active_.empty() || starting_ > 0)) return notEnabled();
    ++starting_;
  }
  struct Starting {
    RFCommand& command;
    bool listed = false;
    ~Starting() {
      if (listed) return;
      platform::MutexLock lock(command.monitor());
      --command.starting_;
    }
  } starting{*this};

  RFSignalPtr work = signalBlock_(input);
  if (!work) work = RFSignal::empty();
  RFMulticastConnectionPtr connection =
      work->subscribeOn(RFScheduler::mainThreadScheduler())->multicast(RFReplaySubject::subject());
  RFSignalPtr execution = connection->signal();
  {
    platform::MutexLock lock(monitor());
    --starting_;
    starting.listed = true;
    addActiveExecutionSignal(execution);
  }

  std::weak_ptr<RFCommand> weakSelf = std::static_pointer_cast<RFCommand>(shared_from_this());
  const RFSignal* identity = execution.get();
  auto finished = [weakSelf, identity] {
    if (auto self = weakSelf.lock()) self->removeActiveExecutionSignal(identity);
  };
  execution->subscribeError([finished](const platform::ErrorPtr&) { finished(); }, finished);
  connection->connect();
  execution->setNameWithFormat("%@ -execute: %@", rf_description(*this), rf_description(input));
  return execution;
}

void RFCommand::setAllowsConcurrentExecution(bool allows) {
  willChangeValueForKey(kConcurrentKey);
  allowsConcurrentExecution_.store(allows, std::memory_order_release);
  didChangeValueForKey(kConcurrentKey);
}

platform::ValueArray RFCommand::activeExecutionSignals() const {
  platform::MutexLock lock(monitor());
  platform::ValueArray signals;
  signals.reserve(active_.size());
  for (const RFSignalPtr& signal : active_) signals.emplace_back(signal);
  return signals;
}

void RFCommand::addActiveExecutionSignal(const RFSignalPtr& signal) {
  platform::MutexLock lock(monitor());
  platform::IndexSet at{active_.size()};
  willChange(platform::KeyValueChangeKind::Insertion, at, kActiveKey);
  active_.push_back(signal);
  didChange(platform::KeyValueChangeKind::Insertion, at, kActiveKey);
}

void RFCommand::removeActiveExecutionSignal(const RFSignal* signal) {
  platform::MutexLock lock(monitor());
  platform::IndexSet at;
  for (std::size_t i = 0; i < active_.size(); ++i)
    if (active_[i].get() == signal) at.push_back(i);
  if (at.empty()) return;
  willChange(platform::KeyValueChangeKind::Removal, at, kActiveKey);
  for (auto it = at.rbegin(); it != at.rend(); ++it) active_.erase(active_.begin() + static_cast<std::ptrdiff_t>(*it));
  didChange(platform::KeyValueChangeKind::Removal, at, kActiveKey);
}

RFDisposablePtr RFSignal::executeCommand(const RFCommandPtr& command) {
  return subscribeNext([command](const platform::Value& value) { command->execute(value); });
}
