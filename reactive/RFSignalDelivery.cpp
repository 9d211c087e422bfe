// Operators that move events between threads, and defer.

#include <atomic>

#include "platform/dispatch/dispatch.h"
#include "platform/runtime/thread.h"
#include "reactive/RFForwardingInternal.h"
#include "reactive/RFSignal.h"

namespace {

// One subscription's deliveries to the main thread. `pending` counts deliveries queued or
// running; an event runs inline only when it is the only one and arrives on the main thread, so
// an inline event never overtakes a queued one.
struct MainThreadDelivery {
  std::atomic<std::int32_t> pending{0};
  RFSubscriberPtr subscriber;

  template <class Action>
  static void deliver(const std::shared_ptr<MainThreadDelivery>& self, Action&& action) {
    std::int32_t now = self->pending.fetch_add(1, std::memory_order_acq_rel) + 1;
    if (now == 1 && platform::isMainThread()) {
      action(*self->subscriber);
      self->pending.fetch_sub(1, std::memory_order_acq_rel);
      return;
    }
    platform::DispatchQueue::main()->async([self, action = std::forward<Action>(action)] {
      action(*self->subscriber);
      self->pending.fetch_sub(1, std::memory_order_acq_rel);
    });
  }
};

}  // namespace

RFSignalPtr RFSignal::deliverOnMainThread() {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    auto delivery = std::make_shared<MainThreadDelivery>();
    delivery->subscriber = subscriber;
    return self->subscribeNext(
        [delivery](const platform::Value& value) {
          MainThreadDelivery::deliver(delivery, [value](RFSubscriber& s) { s.sendNext(value); });
        },
        [delivery](const platform::ErrorPtr& error) {
          MainThreadDelivery::deliver(delivery, [error](RFSubscriber& s) { s.sendError(error); });
        },
        [delivery] { MainThreadDelivery::deliver(delivery, [](RFSubscriber& s) { s.sendCompleted(); }); });
  });
  result->setNameWithFormat("[%@] -deliverOnMainThread", name());
  return result;
}

RFSignalPtr RFSignal::deliverOn(const RFSchedulerPtr& scheduler) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self, scheduler](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    // The scheduling disposables are not kept: disposal of the subscription makes the
    // subscriber ignore deliveries still queued.
    return self->subscribeNext(
        [scheduler, subscriber](const platform::Value& value) {
          scheduler->schedule([subscriber, value] { subscriber->sendNext(value); });
        },
        [scheduler, subscriber](const platform::ErrorPtr& error) {
          scheduler->schedule([subscriber, error] { subscriber->sendError(error); });
        },
        [scheduler, subscriber] { scheduler->schedule(rf_detail::sendCompletedTo(subscriber)); });
  });
  result->setNameWithFormat("[%@] -deliverOn: %@", name(), scheduler);
  return result;
}

RFSignalPtr RFSignal::subscribeOn(const RFSchedulerPtr& scheduler) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self, scheduler](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    auto compound = RFCompoundDisposable::compoundDisposable();
    RFDisposablePtr scheduled =
        scheduler->schedule([self, subscriber, compound] { compound->addDisposable(self->subscribe(subscriber)); });
    compound->addDisposable(scheduled);
    return compound;
  });
  result->setNameWithFormat("[%@] -subscribeOn: %@", name(), scheduler);
  return result;
}

RFSignalPtr RFSignal::defer(std::function<RFSignalPtr()> block) {
  RFSignalPtr result = createSignal([block](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    RFSignalPtr signal = block();
    return signal ? signal->subscribe(subscriber) : nullptr;
  });
  result->setNameWithFormat("+defer:");
  return result;
}
