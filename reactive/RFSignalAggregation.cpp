// Operators that reduce a signal to what it sent when it ends, and the blocking operators that
// wait for a signal's first value or its end.

#include <deque>
#include <memory>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/run_loop.h"
#include "platform/runtime/thread.h"
#include "platform/system/locks.h"
#include "reactive/RFForwardingInternal.h"
#include "reactive/RFSignal.h"
#include "reactive/RFTuple.h"

// --- Aggregation ---------------------------------------------------------------------------------

RFSignalPtr RFSignal::aggregateWithStartReduceWithIndex(
    platform::Value start, std::function<platform::Value(const platform::Value& accumulator,
                                                         const platform::Value& value, std::uint64_t index)>
                               reduce) {
  RFSignalPtr result = scanWithStartReduceWithIndex(start, std::move(reduce))->startWith(start)->takeLast(1);
  result->setNameWithFormat("[%@] -aggregateWithStart: %@ reduceWithIndex:", name(), rf_description(start));
  return result;
}

RFSignalPtr RFSignal::aggregateWithStart(platform::Value start, Reduce reduce) {
  RFSignalPtr result = aggregateWithStartReduceWithIndex(
      start, [reduce](const platform::Value& accumulator, const platform::Value& value, std::uint64_t) {
        return reduce(accumulator, value);
      });
  result->setNameWithFormat("[%@] -aggregateWithStart: %@ reduce:", name(), rf_description(start));
  return result;
}

RFSignalPtr RFSignal::aggregateWithStartCombine(platform::Value start, Reduce combine) {
  return aggregateWithStart(std::move(start), std::move(combine));
}

RFSignalPtr RFSignal::aggregateWithStartFactory(std::function<platform::Value()> factory, Reduce reduce) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = defer([self, factory, reduce] { return self->aggregateWithStart(factory(), reduce); });
  result->setNameWithFormat("[%@] -aggregateWithStartFactory:reduce:", name());
  return result;
}

RFSignalPtr RFSignal::aggregateWithStartFactoryCombine(std::function<platform::Value()> factory, Reduce combine) {
  return aggregateWithStartFactory(std::move(factory), std::move(combine));
}

namespace {
// The array collect fills: one object per subscription that the reduce block appends to and
// hands on, so values are not copied again for every value.
class RFCollectedValues final : public platform::Object {
  ZORVEL_CLASS(RFCollectedValues, platform::Object)

 public:
  platform::ValueArray values;
};
}  // namespace

RFSignalPtr RFSignal::collect() {
  RFSignalPtr result = aggregateWithStartFactory([] { return platform::Value(platform::make<RFCollectedValues>()); },
                                                 [](const platform::Value& accumulator, const platform::Value& value) {
                                                   accumulator.as<RFCollectedValues>()->values.push_back(
                                                       value.isNil() ? platform::Value::null() : value);
                                                   return accumulator;
                                                 })
                           ->map([](const platform::Value& accumulator) {
                             return platform::Value(accumulator.as<RFCollectedValues>()->values);
                           });
  result->setNameWithFormat("[%@] -collect", name());
  return result;
}

RFSignalPtr RFSignal::takeLast(std::uint64_t count) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self, count](const RFSubscriberPtr& subscriber) {
    // The receiver's events of one subscription arrive one at a time.
    auto values = std::make_shared<std::deque<platform::Value>>();
    return self->subscribeNext(
        [values, count](const platform::Value& value) {
          values->push_back(value.isNil() ? RFTupleNil::tupleNilValue() : value);
          while (values->size() > count) values->pop_front();
        },
        rf_detail::sendErrorTo(subscriber),
        [values, subscriber] {
          for (const platform::Value& value : *values)
            subscriber->sendNext(RFTupleNil::isTupleNil(value) ? platform::Value() : value);
          subscriber->sendCompleted();
        });
  });
  result->setNameWithFormat("[%@] -takeLast: %lu", name(), count);
  return result;
}

// --- Blocking ------------------------------------------------------------------------------------

namespace {

// What a blocking wait has received so far; changed and read under its lock.
struct Wait {
  explicit Wait(platform::Value initial) : result(std::move(initial)) {}

  platform::Mutex lock;
  platform::ConditionVariable changed;
  platform::Value result ZORVEL_GUARDED_BY(lock);
  bool done ZORVEL_GUARDED_BY(lock) = false;
  bool success ZORVEL_GUARDED_BY(lock) = true;
  platform::ErrorPtr error ZORVEL_GUARDED_BY(lock);
  const bool onMainThread = platform::isMainThread();

  void value(const platform::Value& value) {
    platform::MutexLock guard(lock);
    result = value;
    success = true;
    finishLocked();
  }
  void failed(const platform::ErrorPtr& e) {
    platform::MutexLock guard(lock);
    if (done) return;
    success = false;
    error = e;
    finishLocked();
  }
  void completed() {
    platform::MutexLock guard(lock);
    success = true;
    finishLocked();
  }
  void finishLocked() ZORVEL_REQUIRES(lock) {
    done = true;
    changed.notifyAll();
    // A main-thread waiter sleeps in its run loop: an empty block on the main queue wakes it.
    if (onMainThread && !platform::isMainThread()) platform::DispatchQueue::main()->async([] {});
  }
  bool isDone() {
    platform::MutexLock guard(lock);
    return done;
  }

  // On the main thread the main run loop keeps running (in turns of at most `turn` seconds), so
  // that events delivered through the main queue arrive; elsewhere the thread sleeps.
  void waitUntilDone(double turn) {
    if (onMainThread) {
      while (!isDone()) platform::RunLoop::main().runOnce(platform::Date::now().addingTimeInterval(turn));
      return;
    }
    platform::MutexLock guard(lock);
    while (!done) changed.wait(lock);
  }

  platform::Value finish(bool* successOut, platform::ErrorPtr* errorOut) {
    platform::MutexLock guard(lock);
    if (successOut) *successOut = success;
    if (errorOut) *errorOut = error;
    return result;
  }
};

RFDisposablePtr subscribeWait(const RFSignalPtr& signal, const std::shared_ptr<Wait>& wait) {
  return signal->subscribeNext([wait](const platform::Value& value) { wait->value(value); },
                               [wait](const platform::ErrorPtr& error) { wait->failed(error); },
                               [wait] { wait->completed(); });
}

}  // namespace

platform::Value RFSignal::firstOrDefault(platform::Value defaultValue, bool* success, platform::ErrorPtr* error) {
  auto wait = std::make_shared<Wait>(std::move(defaultValue));
  subscribeWait(take(1), wait);
  wait->waitUntilDone(0.1);
  return wait->finish(success, error);
}

platform::Value RFSignal::first() { return firstOrDefault(platform::Value()); }

bool RFSignal::waitUntilCompleted(platform::ErrorPtr* error) {
  RFSignalPtr values = ignoreValues();
  values->setNameWithFormat("[%@] -waitUntilCompleted:", name());
  bool success = false;
  values->firstOrDefault(platform::Value(), &success, error);
  return success;
}

std::optional<platform::ValueArray> RFSignal::toArray() {
  bool success = false;
  platform::Value array = collect()->firstOrDefault(platform::Value(), &success, nullptr);
  if (!success || !array.isArray()) return std::nullopt;
  return array.asArray();
}

platform::Value RFSignal::asynchronousFirstOrDefault(platform::Value defaultValue, bool* success,
                                                     platform::ErrorPtr* error) {
  auto wait = std::make_shared<Wait>(std::move(defaultValue));
  RFSignalPtr first = take(1)->timeout(10.0, RFScheduler::scheduler());
  // Events come to the main thread, which runs its run loop meanwhile. Another thread has no run
  // loop to run: it takes the events where they arrive.
  if (platform::isMainThread()) first = first->deliverOn(RFScheduler::mainThreadScheduler());
  subscribeWait(first, wait);
  wait->waitUntilDone(0.1);
  return wait->finish(success, error);
}

bool RFSignal::asynchronouslyWaitUntilCompleted(platform::ErrorPtr* error) {
  bool success = false;
  ignoreValues()->asynchronousFirstOrDefault(platform::Value(), &success, error);
  return success;
}
