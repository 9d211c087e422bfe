#include "reactive/RFDeallocating.h"

#include "platform/system/locks.h"

namespace {
const char kDeallocDisposableKey = 0;
const char kWillDeallocSignalKey = 0;
}  // namespace

RFCompoundDisposablePtr rf_deallocDisposable(platform::Object& object) {
  platform::MutexLock lock(object.monitor());
  if (auto existing = object.associatedObject(&kDeallocDisposableKey).as<RFCompoundDisposable>()) return existing;
  auto disposable = RFCompoundDisposable::compoundDisposable();
  // The hook owns the disposable too: associations may be gone by the time hooks run.
  object.addDeallocHook([disposable](platform::Object&) { disposable->dispose(); });
  object.setAssociatedObject(&kDeallocDisposableKey, platform::Value(disposable));
  return disposable;
}

void rf_addDeallocDisposable(platform::Object& object, const RFDisposablePtr& disposable) {
  rf_deallocDisposable(object)->addDisposable(disposable);
}

RFSignalPtr rf_willDeallocSignal(platform::Object& object) {
  platform::MutexLock lock(object.monitor());
  if (auto existing = object.associatedObject(&kWillDeallocSignalKey).as<RFReplaySubject>()) return existing;
  RFReplaySubjectPtr subject = RFReplaySubject::subject();
  rf_deallocDisposable(object)->addDisposable(
      RFDisposable::disposableWithBlock([subject] { subject->sendCompleted(); }));
  object.setAssociatedObject(&kWillDeallocSignalKey, platform::Value(subject));
  return subject;
}

RFSignalPtr rf_didDeallocSignal(platform::Object& object) {
  RFSubjectPtr subject = RFSubject::subject();
  RFScopedDisposablePtr scoped =
      RFDisposable::disposableWithBlock([subject] { subject->sendCompleted(); })->asScopedDisposable();
  // Keyed by its own address; completes when the association lets it go.
  object.setAssociatedObject(scoped.get(), platform::Value(scoped));
  return subject;
}
