// Windows opened and closed by other signals, buffers of a count of values, and one shared
// subscription handed to a block.

#include "reactive/RFEvent.h"
#include "reactive/RFForwardingInternal.h"
#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"
#include "reactive/RFTuple.h"

RFSignalPtr RFSignal::windowWithStart(const RFSignalPtr& openSignal,
                                      std::function<RFSignalPtr(const RFSignalPtr& window)> closeSignal) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self, openSignal, closeSignal](const RFSubscriberPtr& subscriber) {
    // No lock: the inputs deliver one at a time.
    struct Window {
      RFSubjectPtr current;
      RFDisposablePtr closing;
      void close() {
        if (current) current->sendCompleted();
        current = nullptr;
        if (RFDisposablePtr d = std::move(closing)) d->dispose();
        closing = nullptr;
      }
    };
    auto window = std::make_shared<Window>();
    RFDisposablePtr openDisposable =
        openSignal->subscribeNext([window, subscriber, closeSignal](const platform::Value&) {
          if (window->current) return;
          RFSubjectPtr opened = RFSubject::subject();
          window->current = opened;
          subscriber->sendNext(platform::Value(opened));
          RFSignalPtr closing = closeSignal(opened);
          if (!closing) return;
          auto close = [window] { window->close(); };
          RFDisposablePtr d = closing->subscribeNext([close](const platform::Value&) { close(); },
                                                     [close](const platform::ErrorPtr&) { close(); }, close);
          // It may have closed the window while being subscribed.
          if (window->current == opened)
            window->closing = std::move(d);
          else if (d)
            d->dispose();
        });
    RFDisposablePtr receiverDisposable = self->subscribeNext(
        [window](const platform::Value& value) {
          if (window->current) window->current->sendNext(value);
        },
        rf_detail::sendErrorTo(subscriber), rf_detail::sendCompletedTo(subscriber));
    return RFDisposable::disposableWithBlock([window, openDisposable, receiverDisposable] {
      if (RFDisposablePtr d = window->closing) d->dispose();
      if (openDisposable) openDisposable->dispose();
      if (receiverDisposable) receiverDisposable->dispose();
    });
  });
  result->setNameWithFormat("[%@] -windowWithStart: %@ close:", name(), openSignal);
  return result;
}

RFSignalPtr RFSignal::buffer(std::uint64_t count) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self, count](const RFSubscriberPtr& subscriber) {
    // No lock: touched only from the receiver's deliveries.
    struct Buffer {
      platform::ValueArray values;
      RFSubjectPtr closeTrigger = RFSubject::subject();
      RFDisposablePtr windowDisposable;
    };
    auto buffer = std::make_shared<Buffer>();
    buffer->values.reserve(count);
    // Subscribed before any window's closing subscription: a full buffer is sent and emptied
    // before its window is completed.
    RFDisposablePtr triggerDisposable =
        buffer->closeTrigger->subscribeNext([buffer, subscriber](const platform::Value&) {
          RFTuplePtr tuple = RFTuple::tupleWithObjectsFromArray(buffer->values);
          buffer->values.clear();
          subscriber->sendNext(platform::Value(tuple));
        });
    RFSubjectPtr trigger = buffer->closeTrigger;
    RFDisposablePtr windowsDisposable =
        self->windowWithStart(self, [trigger](const RFSignalPtr&) -> RFSignalPtr { return trigger; })
            ->subscribeNext(
                [buffer, count](const platform::Value& value) {
                  RFSignalPtr window = value.as<RFSignal>();
                  if (!window) return;
                  // The one before is replaced, not disposed.
                  std::weak_ptr<Buffer> weakBuffer = buffer;
                  buffer->windowDisposable = window->subscribeNext([weakBuffer, count](const platform::Value& v) {
                    auto b = weakBuffer.lock();
                    if (!b) return;
                    b->values.push_back(v.isNil() ? RFTupleNil::tupleNilValue() : v);
                    if (b->values.size() % count == 0) b->closeTrigger->sendNext(RFUnit::unitValue());
                  });
                },
                rf_detail::sendErrorTo(subscriber), rf_detail::sendCompletedTo(subscriber));
    return RFDisposable::disposableWithBlock([buffer, windowsDisposable, triggerDisposable] {
      if (RFDisposablePtr d = buffer->windowDisposable) d->dispose();
      if (windowsDisposable) windowsDisposable->dispose();
      if (triggerDisposable) triggerDisposable->dispose();
    });
  });
  result->setNameWithFormat("[%@] -buffer: %lu", name(), count);
  return result;
}

RFSignalPtr RFSignal::let(std::function<RFSignalPtr(const RFSignalPtr& shared)> block) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self, block](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    RFMulticastConnectionPtr connection = self->publish();
    RFSignalPtr signal = block(connection->signal());
    RFDisposablePtr subscription;
    if (signal)
      subscription = signal->subscribeNext(rf_detail::sendNextTo(subscriber), rf_detail::sendErrorTo(subscriber),
                                           rf_detail::sendCompletedTo(subscriber));
    RFDisposablePtr connectionDisposable = connection->connect();
    return RFDisposable::disposableWithBlock([connectionDisposable, subscription] {
      connectionDisposable->dispose();
      if (subscription) subscription->dispose();
    });
  });
  result->setNameWithFormat("[%@] -let:", name());
  return result;
}
