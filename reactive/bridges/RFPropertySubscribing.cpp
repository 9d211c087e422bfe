#include "reactive/bridges/RFPropertySubscribing.h"

#include "platform/runtime/kvo.h"
#include "platform/system/locks.h"
#include "reactive/RFDeallocating.h"
#include "reactive/RFTuple.h"
#include "reactive/bridges/RFKVOWrapper.h"

RFSignalPtr rf_valuesAndChangesForKeyPath(platform::Object& receiver, std::string keyPath, unsigned options,
                                          platform::Object* observer) {
  std::weak_ptr<platform::Object> weakReceiver = receiver.weak_from_this();
  if (weakReceiver.expired()) return RFSignal::empty();  // not an object that can go away observably
  std::weak_ptr<platform::Object> weakObserver =
      observer ? observer->weak_from_this() : std::weak_ptr<platform::Object>();
  // Held for the whole set-up of a subscription, and by a deallocation on its way: an object
  // whose deallocation starts on another thread waits until the set-up is done.
  auto lock = std::make_shared<platform::RecursiveLock>();
  RFSignalPtr deallocation =
      RFSignal::zip({rf_willDeallocSignal(receiver), observer ? rf_willDeallocSignal(*observer) : RFSignal::never()})
          ->doCompleted([lock] { platform::MutexLock guard(*lock); });

  RFSignalPtr values = RFSignal::createSignal(
      [lock, weakReceiver, weakObserver, keyPath, options](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
        platform::MutexLock guard(*lock);
        platform::ObjectPtr target = weakReceiver.lock();
        platform::ObjectPtr observer = weakObserver.lock();
        if (!target) {
          subscriber->sendCompleted();
          return nullptr;
        }
        return rf_observeKeyPath(*target, keyPath, options, observer.get(),
                                 [subscriber](const platform::Value& value, const platform::Value& change, bool, bool) {
                                   subscriber->sendNext(platform::Value(RFTuple::tupleWithValues({value, change})));
                                 });
      });
  RFSignalPtr result = values->takeUntil(deallocation);
  result->setNameWithFormat("%@ -rf_valueAndChangesForKeyPath: %@ options: %lu observer: %@", rf_description(receiver),
                            keyPath, static_cast<unsigned long>(options),
                            observer ? rf_description(*observer) : std::string("(null)"));
  return result;
}

RFSignalPtr rf_valuesForKeyPath(platform::Object& receiver, std::string keyPath, platform::Object* observer) {
  RFSignalPtr result = rf_valuesAndChangesForKeyPath(receiver, keyPath, platform::ObserveInitial, observer)
                           ->map([](const platform::Value& tuple) {
                             RFTuplePtr pair = tuple.as<RFTuple>();
                             return pair ? pair->first() : platform::Value();
                           });
  result->setNameWithFormat("RFObserve(%@, %@)", rf_description(receiver), keyPath);
  return result;
}

RFSignalPtr rf_signalWithChangesFor(platform::Object& target, std::string keyPath, unsigned options,
                                    platform::Object* observer) {
  std::weak_ptr<platform::Object> weakTarget = target.weak_from_this();
  std::weak_ptr<platform::Object> weakObserver =
      observer ? observer->weak_from_this() : std::weak_ptr<platform::Object>();
  bool hasObserver = observer != nullptr;
  RFSignalPtr result = RFSignal::createSignal(
      [weakTarget, weakObserver, hasObserver, keyPath, options](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
        platform::ObjectPtr target = weakTarget.lock();
        platform::ObjectPtr observer = weakObserver.lock();
        if (!target || (hasObserver && !observer)) {
          subscriber->sendCompleted();
          return nullptr;
        }
        RFKVOTrampolinePtr trampoline =
            rf_addObserver(*target, observer.get(), keyPath, options,
                           [subscriber](const platform::ObjectPtr&, const platform::ObjectPtr&,
                                        const platform::Value& change) { subscriber->sendNext(change); });
        // The deallocation of either ends the registration and completes. This holds the
        // subscriber: the trampoline, which holds it too, may be disposed first. Disposing the
        // subscription lets go of both.
        RFDisposablePtr ending = RFDisposable::disposableWithBlock([trampoline, subscriber] {
          trampoline->dispose();
          subscriber->sendCompleted();
        });
        std::weak_ptr<RFCompoundDisposable> targetDealloc = rf_deallocDisposable(*target);
        std::weak_ptr<RFCompoundDisposable> observerDealloc;
        rf_addDeallocDisposable(*target, ending);
        if (observer) {
          observerDealloc = rf_deallocDisposable(*observer);
          rf_addDeallocDisposable(*observer, ending);
        }
        return RFDisposable::disposableWithBlock([trampoline, ending, targetDealloc, observerDealloc] {
          if (auto d = observerDealloc.lock()) d->removeDisposable(ending.get());
          if (auto d = targetDealloc.lock()) d->removeDisposable(ending.get());
          trampoline->dispose();
        });
      });
  result->setNameWithFormat("RFAble(%@, %@)", rf_description(target), keyPath);
  return result;
}

namespace {
RFSignalPtr currentValues(platform::Object& target, std::string keyPath, unsigned options, platform::Object* observer) {
  std::weak_ptr<platform::Object> weakTarget = target.weak_from_this();
  return rf_signalWithChangesFor(target, keyPath, options, observer)
      ->map([weakTarget, keyPath](const platform::Value&) {
        platform::ObjectPtr target = weakTarget.lock();
        return target ? target->valueForKeyPath(keyPath) : platform::Value();
      });
}
}  // namespace

RFSignalPtr rf_signalFor(platform::Object& target, std::string keyPath, platform::Object* observer) {
  return currentValues(target, std::move(keyPath), 0, observer);
}

RFSignalPtr rf_signalWithStartingValueFor(platform::Object& target, std::string keyPath, platform::Object* observer) {
  return currentValues(target, std::move(keyPath), platform::ObserveInitial, observer);
}

RFDisposablePtr rf_deriveProperty(platform::Object& receiver, std::string keyPath, const RFSignalPtr& signal) {
  return signal->setKeyPath(std::move(keyPath), receiver.weak_from_this().lock());
}
