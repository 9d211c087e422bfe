#pragma once

// URL sources as signals, on the URL layer (platform/net/url_contents.h). A target of its own
// (reactive_net), so that the reactive framework itself does not link libcurl.
//
// - rf_readContentsOfURL / rf_readStringContentsOfURL: the URL is read once, on the scheduler,
//   when the call is made; the result is a replay subject that sends the data (or the string)
//   and completes, or fails with the reading error. Late subscribers get the same outcome;
//   disposing a subscription does not stop the read. The detected encoding is stored into
//   `usedEncoding` (when given) before the string is sent: read it once the signal has sent.
// - rf_sendAsynchronousRequest: a cold signal; each subscription sends the request on a new
//   operation queue of its own ("com.zorvel.reactive.NSURLConnectionRFSupport") and sends one
//   tuple (response, data) then completes, or fails with the request's error. An HTTP error
//   status is a response. Disposing the subscription before the end suspends the queue, cancels
//   its operations and the transfer, so nothing is sent afterwards.
//
// Threads: the readers send on their scheduler; a request's values come on its private queue.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/net/url_contents.h"
#include "platform/net/url_request.h"
#include "reactive/RFScheduler.h"
#include "reactive/RFSignal.h"

// "+rf_readContentsOfURL: %@ options: %lu scheduler: %@"
RFSignalPtr rf_readContentsOfURL(const std::string& url, std::uint64_t options, const RFSchedulerPtr& scheduler);
// "+rf_readContentsOfURL: %@ usedEncoding:scheduler: %@"
RFSignalPtr rf_readStringContentsOfURL(const std::string& url,
                                       const std::shared_ptr<std::atomic<platform::StringEncoding>>& usedEncoding,
                                       const RFSchedulerPtr& scheduler);
// "+rf_sendAsynchronousRequest: %@"
RFSignalPtr rf_sendAsynchronousRequest(const platform::URLRequest& request);
