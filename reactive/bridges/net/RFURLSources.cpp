#include "reactive/bridges/net/RFURLSources.h"

#include "platform/runtime/format.h"
#include "platform/services/operation_queue.h"
#include "reactive/RFSubject.h"
#include "reactive/RFTuple.h"

namespace {

// Runs `read` on the scheduler and sends its outcome through a replay subject.
template <class Read>
RFSignalPtr readOnScheduler(const RFSchedulerPtr& scheduler, Read read) {
  RFReplaySubjectPtr subject = RFReplaySubject::subject();
  scheduler->schedule([subject, read = std::move(read)] {
    platform::ErrorPtr error;
    platform::Value value = read(&error);
    if (value.isNil()) {
      subject->sendError(error);
      return;
    }
    subject->sendNext(value);
    subject->sendCompleted();
  });
  return subject;
}

}  // namespace

RFSignalPtr rf_readContentsOfURL(const std::string& url, std::uint64_t options, const RFSchedulerPtr& scheduler) {
  RFSignalPtr result = readOnScheduler(scheduler, [url, options](platform::ErrorPtr* error) {
    std::optional<platform::Bytes> data = platform::dataWithContentsOfURL(url, options, error);
    return data ? platform::Value(std::move(*data)) : platform::Value();
  });
  result->setNameWithFormat("+rf_readContentsOfURL: %@ options: %lu scheduler: %@", url, options, scheduler);
  return result;
}

RFSignalPtr rf_readStringContentsOfURL(const std::string& url,
                                       const std::shared_ptr<std::atomic<platform::StringEncoding>>& usedEncoding,
                                       const RFSchedulerPtr& scheduler) {
  RFSignalPtr result = readOnScheduler(scheduler, [url, usedEncoding](platform::ErrorPtr* error) {
    platform::StringEncoding encoding = platform::StringEncoding::Other;
    std::optional<std::string> text = platform::stringWithContentsOfURL(url, &encoding, error);
    if (!text) return platform::Value();
    if (usedEncoding) usedEncoding->store(encoding);
    return platform::Value(std::move(*text));
  });
  result->setNameWithFormat("+rf_readContentsOfURL: %@ usedEncoding:scheduler: %@", url, scheduler);
  return result;
}

RFSignalPtr rf_sendAsynchronousRequest(const platform::URLRequest& request) {
  RFSignalPtr result = RFSignal::createSignal([request](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    platform::OperationQueuePtr queue =
        platform::OperationQueue::create("com.zorvel.reactive.NSURLConnectionRFSupport");
    platform::AsynchronousURLRequestPtr sent = platform::sendAsynchronousRequest(
        request, queue,
        [subscriber, url = request.URL()](const platform::URLResponsePtr& response,
                                          const std::optional<platform::Bytes>& data, const platform::ErrorPtr& error) {
          if (response && data) {
            subscriber->sendNext(platform::Value(RFTuple::tupleWithObjects(
                {platform::Value(std::const_pointer_cast<platform::URLResponse>(response)), platform::Value(*data)})));
            subscriber->sendCompleted();
            return;
          }
          // A failure always carries an error, also when the transfer gave none.
          subscriber->sendError(error ? error : platform::makeURLError(platform::kURLErrorUnknown, url));
        });
    return RFDisposable::disposableWithBlock([queue, sent] {
      queue->setSuspended(true);
      queue->cancelAllOperations();
      sent->cancel();
      // Cancelled operations finish without running; a suspended queue would keep them, and
      // itself, for ever.
      queue->setSuspended(false);
    });
  });
  result->setNameWithFormat("+rf_sendAsynchronousRequest: %@", request.URL());
  return result;
}
