// Operators that combine signals: latest values, merging, flattening with a limit, one after
// another, cut short by another, and the latest of a signal of signals.

#include <algorithm>
#include <deque>

#include "platform/system/locks.h"
#include "reactive/RFForwardingInternal.h"
#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"
#include "reactive/RFTuple.h"

namespace {
const platform::Value& stored(const platform::Value& value) {
  return value.isNil() ? RFTupleNil::tupleNilValue() : value;
}
}  // namespace

// --- combineLatest -------------------------------------------------------------------------------

RFSignalPtr RFSignal::combineLatestWith(const RFSignalPtr& signal) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self, signal](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    struct Side {
      platform::Value latest;  // nil until the side sends; a nil value is kept as RFTupleNil
      bool completed = false;
    };
    struct State {
      platform::RecursiveLock lock;
      Side sides[2] ZORVEL_GUARDED_BY(lock);
    };
    auto state = std::make_shared<State>();
    auto compound = RFCompoundDisposable::compoundDisposable();
    auto subscribeSide = [&](const RFSignalPtr& input, int me) {
      return input->subscribeNext(
          [state, subscriber, me](const platform::Value& value) {
            platform::MutexLock lock(state->lock);
            state->sides[me].latest = stored(value);
            if (state->sides[0].latest.isNil() || state->sides[1].latest.isNil()) return;
            subscriber->sendNext(
                platform::Value(RFTuple::tupleWithValues({state->sides[0].latest, state->sides[1].latest})));
          },
          rf_detail::sendErrorTo(subscriber),
          [state, subscriber, me] {
            platform::MutexLock lock(state->lock);
            state->sides[me].completed = true;
            if (state->sides[1 - me].completed) subscriber->sendCompleted();
          });
    };
    compound->addDisposable(subscribeSide(self, 0));
    compound->addDisposable(subscribeSide(signal, 1));
    return compound;
  });
  result->setNameWithFormat("[%@] -combineLatestWith: %@", name(), signal);
  return result;
}

RFSignalPtr RFSignal::combineLatest(const std::vector<RFSignalPtr>& signals) {
  RFSignalPtr result =
      join(signals, [](const RFSignalPtr& joined, const RFSignalPtr& next) { return joined->combineLatestWith(next); });
  result->setNameWithFormat("+combineLatest: %@", rf_describeStreams(signals));
  return result;
}

// --- merge and flatten ---------------------------------------------------------------------------

RFSignalPtr RFSignal::merge(const RFSignalPtr& signal) {
  RFSignalPtr result = merge(std::vector<RFSignalPtr>{selfSignal(), signal});
  result->setNameWithFormat("[%@] -merge: %@", name(), signal);
  return result;
}

RFSignalPtr RFSignal::merge(const std::vector<RFSignalPtr>& signals) {
  std::vector<RFSignalPtr> copied = signals;
  RFSignalPtr result = createSignal([copied](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
                         for (const RFSignalPtr& signal : copied) subscriber->sendNext(platform::Value(signal));
                         subscriber->sendCompleted();
                         return nullptr;
                       })->flatten();
  result->setNameWithFormat("+merge: %@", rf_describeStreams(copied));
  return result;
}

namespace {

// One subscription of flatten(maxConcurrent).
struct FlattenState {
  platform::RecursiveLock lock;
  RFSubscriberPtr subscriber;
  std::uint64_t limit = 0;
  RFCompoundDisposablePtr compound = RFCompoundDisposable::compoundDisposable();
  std::vector<RFSerialDisposablePtr> active ZORVEL_GUARDED_BY(lock);
  std::deque<RFSignalPtr> waiting ZORVEL_GUARDED_BY(lock);
  bool receiverCompleted ZORVEL_GUARDED_BY(lock) = false;

  void completeIfAllowed() ZORVEL_REQUIRES(lock) {
    if (receiverCompleted && active.empty()) subscriber->sendCompleted();
  }

  static void subscribeTo(const std::shared_ptr<FlattenState>& state, const RFSignalPtr& signal) {
    auto serial = RFSerialDisposable::serialDisposable();
    {
      platform::MutexLock guard(state->lock);
      state->compound->addDisposable(serial);
      state->active.push_back(serial);
    }
    std::weak_ptr<RFSerialDisposable> weakSerial = serial;
    serial->setDisposable(
        signal->subscribeNext([state](const platform::Value& value) { state->subscriber->sendNext(value); },
                              [state](const platform::ErrorPtr& error) { state->subscriber->sendError(error); },
                              [state, weakSerial] {
                                RFSignalPtr next;
                                {
                                  platform::MutexLock guard(state->lock);
                                  if (auto serial = weakSerial.lock()) {
                                    state->compound->removeDisposable(serial.get());
                                    auto it = std::find(state->active.begin(), state->active.end(), serial);
                                    if (it != state->active.end()) state->active.erase(it);
                                  }
                                  if (state->waiting.empty()) {
                                    state->completeIfAllowed();
                                  } else {
                                    next = std::move(state->waiting.front());
                                    state->waiting.pop_front();
                                  }
                                }
                                if (next) subscribeTo(state, next);
                              }));
  }
};

}  // namespace

RFSignalPtr RFSignal::flatten(std::uint64_t maxConcurrent) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self, maxConcurrent](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    auto state = std::make_shared<FlattenState>();
    state->subscriber = subscriber;
    state->limit = maxConcurrent;
    state->compound->addDisposable(self->subscribeNext(
        [state](const platform::Value& value) {
          RFSignalPtr signal = value.as<RFSignal>();
          if (!signal) return;
          {
            platform::MutexLock guard(state->lock);
            if (state->limit > 0 && state->active.size() >= state->limit) {
              state->waiting.push_back(std::move(signal));
              return;
            }
          }
          FlattenState::subscribeTo(state, signal);
        },
        [state](const platform::ErrorPtr& error) { state->subscriber->sendError(error); },
        [state] {
          platform::MutexLock guard(state->lock);
          state->receiverCompleted = true;
          state->completeIfAllowed();
        }));
    return state->compound;
  });
  result->setNameWithFormat("[%@] -flatten: %lu", name(), maxConcurrent);
  return result;
}

RFSignalPtr RFSignal::concat() {
  RFSignalPtr result = flatten(std::uint64_t{1});
  result->setNameWithFormat("[%@] -concat", name());
  return result;
}

RFSignalPtr RFSignal::then(std::function<RFSignalPtr()> block) {
  RFSignalPtr result = ignoreValues()->concat(defer(std::move(block)));
  result->setNameWithFormat("[%@] -then:", name());
  return result;
}

RFSignalPtr RFSignal::sequenceNext(std::function<RFSignalPtr()> block) { return then(std::move(block)); }

// --- takeUntil -----------------------------------------------------------------------------------

RFSignalPtr RFSignal::takeUntil(const RFSignalPtr& trigger) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self, trigger](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    auto compound = RFCompoundDisposable::compoundDisposable();
    auto triggered = [compound, subscriber] {
      compound->dispose();
      subscriber->sendCompleted();
    };
    // The trigger's error is not handled: it ends nothing.
    compound->addDisposable(
        trigger->subscribeNextCompleted([triggered](const platform::Value&) { triggered(); }, triggered));
    // The trigger may have fired while being subscribed.
    if (!compound->isDisposed()) {
      compound->addDisposable(self->subscribeNext(rf_detail::sendNextTo(subscriber), rf_detail::sendErrorTo(subscriber),
                                                  [compound, subscriber] {
                                                    compound->dispose();
                                                    subscriber->sendCompleted();
                                                  }));
    }
    return compound;
  });
  result->setNameWithFormat("[%@] -takeUntil: %@", name(), trigger);
  return result;
}

RFSignalPtr RFSignal::takeUntilReplacement(const RFSignalPtr& replacement) {
  RFSignalPtr self = selfSignal();
  return createSignal([self, replacement](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    auto receiverDisposable = RFSerialDisposable::serialDisposable();
    RFDisposablePtr replacementDisposable = replacement->subscribeNext(
        [receiverDisposable, subscriber](const platform::Value& value) {
          receiverDisposable->dispose();
          subscriber->sendNext(value);
        },
        [receiverDisposable, subscriber](const platform::ErrorPtr& error) {
          receiverDisposable->dispose();
          subscriber->sendError(error);
        },
        [receiverDisposable, subscriber] {
          receiverDisposable->dispose();
          subscriber->sendCompleted();
        });
    // Its completion is swallowed: only the replacement ends the result.
    if (!receiverDisposable->isDisposed())
      receiverDisposable->setDisposable(self->concat(never())->subscribe(subscriber));
    return RFDisposable::disposableWithBlock([receiverDisposable, replacementDisposable] {
      receiverDisposable->dispose();
      if (replacementDisposable) replacementDisposable->dispose();
    });
  });
}

// --- switching -----------------------------------------------------------------------------------

RFSignalPtr RFSignal::switchToLatest() {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    RFMulticastConnectionPtr connection = self->publish();
    RFSignalPtr signals = connection->signal();
    // The next signal from the receiver ends the current one; the receiver's completion does not.
    RFSignalPtr untilNext = signals->concat(never());
    RFDisposablePtr subscription = signals
                                       ->flattenMap([untilNext](const platform::Value& value) -> RFSignalPtr {
                                         RFSignalPtr inner = value.as<RFSignal>();
                                         return inner ? inner->takeUntil(untilNext) : nullptr;
                                       })
                                       ->subscribe(subscriber);
    RFDisposablePtr connectionDisposable = connection->connect();
    return RFDisposable::disposableWithBlock([subscription, connectionDisposable] {
      if (subscription) subscription->dispose();
      connectionDisposable->dispose();
    });
  });
  result->setNameWithFormat("[%@] -switchToLatest", name());
  return result;
}

namespace {
platform::Value describeCases(const RFSignalCases& cases) {
  std::string text = "{";
  for (const auto& [key, signal] : cases) text += platform::format("\n    %@ = %@;", key, signal);
  text += cases.empty() ? "}" : "\n}";
  return platform::Value(text);
}
}  // namespace

RFSignalPtr RFSignal::switchCases(const RFSignalPtr& keySignal, RFSignalCases cases, RFSignalPtr defaultSignal) {
  auto copied = std::make_shared<const RFSignalCases>(std::move(cases));
  RFSignalPtr result =
      keySignal
          ->map([copied, defaultSignal](const platform::Value& key) {
            auto it = copied->find(stored(key));
            if (it != copied->end()) return platform::Value(it->second);
            if (defaultSignal) return platform::Value(defaultSignal);
            std::string description = platform::format("No matching signal found for value %@", key);
            return platform::Value(RFSignal::error(platform::Error::withDescription(
                std::string(kRFSignalErrorDomain), kRFSignalErrorNoMatchingCase, std::move(description))));
          })
          ->switchToLatest();
  result->setNameWithFormat("+switch: %@ cases: %@ default: %@", keySignal, describeCases(*copied), defaultSignal);
  return result;
}

RFSignalPtr RFSignal::ifThenElse(const RFSignalPtr& condition, RFSignalPtr trueSignal, RFSignalPtr falseSignal) {
  RFSignalPtr result = condition
                           ->map([trueSignal, falseSignal](const platform::Value& value) {
                             return platform::Value(value.asBool() ? trueSignal : falseSignal);
                           })
                           ->switchToLatest();
  result->setNameWithFormat("+if: %@ then: %@ else: %@", condition, trueSignal, falseSignal);
  return result;
}
