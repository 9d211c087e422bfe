#pragma once

#ifndef ZORVEL_INTERNAL_reactive
#error "reactive/RFForwardingInternal.h is internal to the reactive framework"
#endif

// Internal: the blocks operators subscribe with to pass an event on to their subscriber as it is.

#include "reactive/RFSubscriber.h"

namespace rf_detail {

inline RFNextBlock sendNextTo(const RFSubscriberPtr& subscriber) {
  return [subscriber](const platform::Value& value) { subscriber->sendNext(value); };
}
inline RFErrorBlock sendErrorTo(const RFSubscriberPtr& subscriber) {
  return [subscriber](const platform::ErrorPtr& error) { subscriber->sendError(error); };
}
inline RFCompletedBlock sendCompletedTo(const RFSubscriberPtr& subscriber) {
  return [subscriber] { subscriber->sendCompleted(); };
}

}  // namespace rf_detail
