#pragma once

// Subscribers receive a signal's events: any number of values, then at most one error or
// completion.
//
// RFSubscriber is the interface every receiver implements; subscriberWithNext makes one that calls
// three blocks. Its events are serialised by its own re-entrant lock, and the blocks are called
// while holding it. The first error or completion (or disposal of its disposable, or its
// destruction) releases all three blocks and disposes every subscription it was told about, before
// the error or completion block runs; from then on it ignores every event. (The framework's own
// subscribers, the block subscriber and the passthrough a signal puts in front of each
// subscription, are in RFSubscriberInternal.h.)

#include <functional>
#include <memory>

#include "platform/runtime/error.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "reactive/RFDisposable.h"

class RFSignal;
class RFSubscriber;
using RFSubscriberPtr = std::shared_ptr<RFSubscriber>;

using RFNextBlock = std::function<void(const platform::Value& value)>;
using RFErrorBlock = std::function<void(const platform::ErrorPtr& error)>;
using RFCompletedBlock = std::function<void()>;

class RFSubscriber {
 public:
  virtual ~RFSubscriber() = default;

  // A block subscriber (RFBlockSubscriber); any block may be empty, and that kind of event is
  // then dropped.
  static RFSubscriberPtr subscriberWithNext(RFNextBlock next, RFErrorBlock error, RFCompletedBlock completed);

  virtual void sendNext(const platform::Value& value) = 0;
  virtual void sendError(const platform::ErrorPtr& error) = 0;
  virtual void sendCompleted() = 0;
  // Tells the subscriber the disposable of a subscription it has just been given to, so that
  // it can end that subscription itself.
  virtual void didSubscribeWithDisposable(const RFCompoundDisposablePtr& disposable) = 0;
};
