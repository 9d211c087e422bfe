#pragma once

// Deallocation hooks for any object made by platform::make: a compound disposable disposed when
// the object goes away (while it is still whole), and a signal that completes at that moment.
// Both are made on first request and kept as associated objects. Objects not made by
// platform::make have no deallocation hooks: asking for these raises
// NSInternalInconsistencyException.

#include <memory>

#include "platform/runtime/object.h"
#include "reactive/RFDisposable.h"
#include "reactive/RFSubject.h"

// Disposed on the thread that drops the object's last reference; disposables added after that
// has begun are disposed at once.
RFCompoundDisposablePtr rf_deallocDisposable(platform::Object& object);
// Adds the disposable to rf_deallocDisposable.
void rf_addDeallocDisposable(platform::Object& object, const RFDisposablePtr& disposable);
// A replay subject that completes when the object is deallocated, so late subscribers still see
// the completion.
RFSignalPtr rf_willDeallocSignal(platform::Object& object);
// A new subject that completes once the object's associated objects have been released.
RFSignalPtr rf_didDeallocSignal(platform::Object& object);
