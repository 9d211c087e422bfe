// Operators that group values by key, answer yes-or-no questions about values, compute with
// booleans and tuples, and bind values to a key path of an object.

#include <atomic>
#include <unordered_map>

#include "platform/system/locks.h"
#include "reactive/RFDeallocating.h"
#include "reactive/RFEvent.h"
#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"
#include "reactive/RFTuple.h"

// --- Grouping ------------------------------------------------------------------------------------

RFSignalPtr RFSignal::groupBy(std::function<platform::Value(const platform::Value& value)> key,
                              std::function<platform::Value(const platform::Value& value)> transform) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self, key, transform](const RFSubscriberPtr& subscriber) {
    struct Groups {
      platform::RecursiveLock lock;
      std::unordered_map<platform::Value, RFGroupedSignalPtr, RFValueHash> byKey ZORVEL_GUARDED_BY(lock);
      std::vector<RFGroupedSignalPtr> inOrder ZORVEL_GUARDED_BY(lock);
      std::vector<RFGroupedSignalPtr> all() {
        platform::MutexLock guard(lock);
        return inOrder;
      }
    };
    auto groups = std::make_shared<Groups>();
    return self->subscribeNext(
        [groups, key, transform, subscriber](const platform::Value& value) {
          platform::Value groupKey = key(value);
          RFGroupedSignalPtr group;
          {
            platform::MutexLock guard(groups->lock);
            auto it = groups->byKey.find(groupKey);
            if (it != groups->byKey.end()) {
              group = it->second;
            } else {
              group = RFGroupedSignal::signalWithKey(groupKey);
              groups->byKey.emplace(groupKey, group);
              groups->inOrder.push_back(group);
              subscriber->sendNext(platform::Value(group));
            }
          }
          group->sendNext(transform ? transform(value) : value);
        },
        [groups, subscriber](const platform::ErrorPtr& error) {
          subscriber->sendError(error);
          for (const RFGroupedSignalPtr& group : groups->all()) group->sendError(error);
        },
        [groups, subscriber] {
          subscriber->sendCompleted();
          for (const RFGroupedSignalPtr& group : groups->all()) group->sendCompleted();
        });
  });
  result->setNameWithFormat("[%@] -groupBy:transform:", name());
  return result;
}

RFSignalPtr RFSignal::groupBy(std::function<platform::Value(const platform::Value& value)> key) {
  RFSignalPtr result = groupBy(std::move(key), nullptr);
  result->setNameWithFormat("[%@] -groupBy:", name());
  return result;
}

// --- Booleans ------------------------------------------------------------------------------------

RFSignalPtr RFSignal::any(Predicate predicate) {
  RFSignalPtr result = materialize()->bind([predicate] {
    return [predicate](const platform::Value& value, bool& stop) -> RFBindStep {
      RFEventPtr event = value.as<RFEvent>();
      if (!event || event->isFinished()) {
        stop = true;
        return RFBindStep::value(platform::Value(false));
      }
      if (predicate(event->value())) {
        stop = true;
        return RFBindStep::value(platform::Value(true));
      }
      return RFBindStep::empty();
    };
  });
  result->setNameWithFormat("[%@] -any:", name());
  return result;
}

RFSignalPtr RFSignal::any() {
  RFSignalPtr result = any([](const platform::Value&) { return true; });
  result->setNameWithFormat("[%@] -any", name());
  return result;
}

RFSignalPtr RFSignal::all(Predicate predicate) {
  RFSignalPtr result = materialize()->bind([predicate] {
    return [predicate](const platform::Value& value, bool& stop) -> RFBindStep {
      RFEventPtr event = value.as<RFEvent>();
      if (!event || event->eventType() == RFEventType::Error) {
        stop = true;
        return RFBindStep::value(platform::Value(false));
      }
      if (event->eventType() == RFEventType::Completed) {
        stop = true;
        return RFBindStep::value(platform::Value(true));
      }
      if (!predicate(event->value())) {
        stop = true;
        return RFBindStep::value(platform::Value(false));
      }
      return RFBindStep::empty();
    };
  });
  result->setNameWithFormat("[%@] -all:", name());
  return result;
}

RFSignalPtr RFSignal::logicalNot() {
  RFSignalPtr result = map([](const platform::Value& value) { return platform::Value(value.asBool() ? 0 : 1); });
  result->setNameWithFormat("[%@] -not", name());
  return result;
}

namespace {
// The boolean of each item of a tuple value (the nil marker counts as false).
std::vector<bool> booleansOf(const platform::Value& value) {
  std::vector<bool> out;
  if (RFTuplePtr tuple = value.as<RFTuple>())
    for (const platform::Value& item : tuple->allObjects()) out.push_back(item.asBool());
  return out;
}
}  // namespace

RFSignalPtr RFSignal::logicalAnd() {
  RFSignalPtr result = map([](const platform::Value& value) {
    for (bool b : booleansOf(value))
      if (!b) return platform::Value(false);
    return platform::Value(true);
  });
  result->setNameWithFormat("[%@] -and", name());
  return result;
}

RFSignalPtr RFSignal::logicalOr() {
  RFSignalPtr result = map([](const platform::Value& value) {
    for (bool b : booleansOf(value))
      if (b) return platform::Value(true);
    return platform::Value(false);
  });
  result->setNameWithFormat("[%@] -or", name());
  return result;
}

RFSignalPtr RFSignal::reduceApply() {
  RFSignalPtr result = map([](const platform::Value& value) {
    RFTuplePtr tuple = value.as<RFTuple>();
    std::shared_ptr<RFBlock> block = tuple ? tuple->first().as<RFBlock>() : nullptr;
    if (!block)
      platform::Exception::raise(platform::kInvalidArgumentException,
                                 "reduceApply needs tuples whose first item is a block");
    platform::ValueArray rest(tuple->backingArray().begin() + 1, tuple->backingArray().end());
    return block->invokeWithArguments(RFTuple::tupleWithObjectsFromArray(rest));
  });
  result->setNameWithFormat("[%@] -reduceApply", name());
  return result;
}

// --- Binding -------------------------------------------------------------------------------------

RFDisposablePtr RFSignal::setKeyPath(std::string keyPath, const platform::ObjectPtr& target, platform::Value nilValue) {
  auto compound = RFCompoundDisposable::compoundDisposable();
  // Not owning: cleared when the binding ends, and read as gone once the target is.
  struct Target {
    std::weak_ptr<platform::Object> object;
    std::atomic<bool> cleared{false};
    platform::ObjectPtr get() const { return cleared.load(std::memory_order_acquire) ? nullptr : object.lock(); }
  };
  auto weakTarget = std::make_shared<Target>();
  weakTarget->object = target;
  std::string description = target ? target->description() : std::string("(null)");
  std::weak_ptr<RFSignal> weakSelf = selfSignal();  // for the log line only
  RFDisposablePtr subscription = subscribeNext(
      [weakTarget, keyPath, nilValue](const platform::Value& value) {
        if (platform::ObjectPtr object = weakTarget->get())
          object->setValueForKeyPath(value.isNil() ? nilValue : value, keyPath);
      },
      [compound, weakSelf, keyPath, description](const platform::ErrorPtr& error) {
        rf_writeLogLine(platform::format("Received error from %@ in binding for key path \"%@\" on %@: %@",
                                         weakSelf.lock(), keyPath, description, error));
        compound->dispose();
      },
      [compound] { compound->dispose(); });
  compound->addDisposable(subscription);
  compound->addDisposable(
      RFDisposable::disposableWithBlock([weakTarget] { weakTarget->cleared.store(true, std::memory_order_release); }));
  if (!target) return compound;
  // The binding ends with the target.
  RFCompoundDisposablePtr deallocDisposable = rf_deallocDisposable(*target);
  deallocDisposable->addDisposable(compound);
  std::weak_ptr<RFCompoundDisposable> weakDealloc = deallocDisposable;
  return RFDisposable::disposableWithBlock([weakDealloc, compound] {
    if (auto d = weakDealloc.lock()) d->removeDisposable(compound.get());
    compound->dispose();
  });
}

RFDisposablePtr RFSignal::toProperty(std::string keyPath, const platform::ObjectPtr& target) {
  return setKeyPath(std::move(keyPath), target);
}

std::optional<RFSubscriptingAssignmentTrampoline> RFSubscriptingAssignmentTrampoline::create(platform::ObjectPtr target,
                                                                                             platform::Value nilValue) {
  if (!target) return std::nullopt;
  return RFSubscriptingAssignmentTrampoline(std::move(target), std::move(nilValue));
}

void RFSubscriptingAssignmentTrampoline::setObject(const RFSignalPtr& signal, std::string keyPath) const {
  signal->setKeyPath(std::move(keyPath), target_, nilValue_);
}
