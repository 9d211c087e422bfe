#pragma once

// Signals of an object's key path, through key-value observing (RFKVOWrapper.h).
//
// Each subscription observes the key path afresh; the signals complete when the observed object
// or the observer (when one is given) is about to be deallocated, whichever comes first, and at
// once when the observed object is already gone. Neither object is kept alive by the signals.
// They never fail. Values arrive on the thread that made the change.
//
// The older entry points below register the whole key path with the platform in one go.

#include <memory>
#include <string>
#include <string_view>

#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "reactive/RFDisposable.h"
#include "reactive/RFSignal.h"

// Tuples of the key path's value and the platform's change dictionary (a nil value as the tuple
// nil marker), for every change, with the options given (platform::KeyValueObservingOptions).
// "%@ -rf_valueAndChangesForKeyPath: %@ options: %lu observer: %@"
RFSignalPtr rf_valuesAndChangesForKeyPath(platform::Object& receiver, std::string keyPath, unsigned options,
                                          platform::Object* observer);
// The key path's values, starting with the current one. "RFObserve(%@, %@)"
RFSignalPtr rf_valuesForKeyPath(platform::Object& receiver, std::string keyPath, platform::Object* observer);

// --- Older entry points -----------------------------------------------------------------------------
// The change dictionaries of one registration of the whole key path on the target; completes
// when the target or the observer is deallocated. "RFAble(%@, %@)"
RFSignalPtr rf_signalWithChangesFor(platform::Object& target, std::string keyPath, unsigned options,
                                    platform::Object* observer);
// The target's value of the key path at each change.
RFSignalPtr rf_signalFor(platform::Object& target, std::string keyPath, platform::Object* observer);
// The same, starting with the current value.
RFSignalPtr rf_signalWithStartingValueFor(platform::Object& target, std::string keyPath, platform::Object* observer);
// Binds the signal's values to the receiver's key path (RFSignal::setKeyPath) and returns what
// ends the binding.
RFDisposablePtr rf_deriveProperty(platform::Object& receiver, std::string keyPath, const RFSignalPtr& signal);
