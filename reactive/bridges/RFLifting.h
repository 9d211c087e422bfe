#pragma once

// Lifting: calls a method by name of an object (methods.h), or a block, with the latest values of
// several signals each time any of them sends, once every one of them has sent, and offers the
// results as a signal.
//
// The result is hot: it subscribes now, the method is called once per set of values whatever
// the number of subscribers, and a subscriber that comes later gets the latest result first. It
// completes when the signals do or when the object is about to be deallocated (the object is not
// kept alive, and the method is not called once its deallocation has begun). A method without a
// result (see MethodSignature) gives the unit value; arguments are unboxed by the method's
// declaration (a number for an integer argument, and so on; nil for a number is zero). A tuple
// with too few values passes nil for the missing arguments and surplus values are ignored.
//
// Threads: the method runs on the thread that delivers the value that completes a set.

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "reactive/RFSignal.h"

// The signal's values are RFTuples of arguments.
// "%@ -rf_liftSelector: %s withSignalsOfArguments: %@"
RFSignalPtr rf_liftSelector(platform::Object& object, std::string selector, const RFSignalPtr& signalOfArguments);
// One argument per signal, their latest values combined. "%@ -rf_liftSelector: %s withSignalsFromArray: %@"
RFSignalPtr rf_liftSelector(platform::Object& object, std::string selector, const std::vector<RFSignalPtr>& signals);
// The same with the signals listed. "%@ -rf_liftSelector: %s withSignals: %@"
RFSignalPtr rf_liftSelectorWithSignals(platform::Object& object, std::string selector,
                                       std::initializer_list<RFSignalPtr> signals);

// --- Older entry points: arguments that are signals or plain values ----------------------------------
// Each argument that is a signal gives its values, anything else (nil included) is that one value.
// As many arguments are taken as the selector has; missing ones are nil.
RFSignalPtr rf_liftSelectorWithObjects(platform::Object& object, std::string selector,
                                       std::initializer_list<platform::Value> arguments);
RFSignalPtr rf_liftSelectorWithObjectsFromArray(platform::Object& object, std::string selector,
                                                const platform::ValueArray& arguments);

namespace rf_detail {
// Each argument as a signal: a signal stays, the tuple nil marker is a signal of nil, anything
// else a signal of itself.
std::vector<RFSignalPtr> liftedSignals(const platform::ValueArray& arguments);
// Limits the results to the object's life and makes them hot.
RFSignalPtr finishLift(platform::Object& object, const RFSignalPtr& results);
}  // namespace rf_detail

// The block (1 to 15 value arguments, see RFBlockTrampoline) with the arguments as above.
template <class F>
RFSignalPtr rf_liftBlockWithArgumentsFromArray(platform::Object& object, F block,
                                               const platform::ValueArray& arguments) {
  return rf_detail::finishLift(
      object, RFSignal::combineLatest(rf_detail::liftedSignals(arguments))->reduceEach(std::move(block)));
}
template <class F>
RFSignalPtr rf_liftBlock(platform::Object& object, F block, std::initializer_list<platform::Value> arguments) {
  return rf_liftBlockWithArgumentsFromArray(object, std::move(block), platform::ValueArray(arguments));
}
