#pragma once

// The base of the SDK host's network operations: an asynchronous operation with the API key that
// builds requests carrying the host's default headers ("User-Agent" "<host bundle id>/1.6.11
// (60)", "Accept-Charset" "utf-8", the locale in "Accept-Language" and "Content-Language", and
// the "X-Blackbox-..." identification headers), ignoring locally cached data.
//
// Threads: as HBRAsyncOperation; the request builders may be called from any thread.

#include <memory>
#include <optional>
#include <string>

#include "platform/net/url_request.h"
#include "sdkhost/HBRAsyncOperation.h"

class HBRNetworkOperation : public HBRAsyncOperation {
  ZORVEL_CLASS(HBRNetworkOperation, HBRAsyncOperation)

 public:
  // Null for a missing key.
  static std::shared_ptr<HBRNetworkOperation> make(const std::optional<std::string>& APIKey);

  const std::string& APIKey() const { return apiKey_; }

  platform::URLRequest mutableRequestWithDefaultHTTPHeadersForURL(const std::string& url, double timeout) const;
  // The same with a time-out of 10 seconds.
  platform::URLRequest mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(const std::string& url) const {
    return mutableRequestWithDefaultHTTPHeadersForURL(url, 10);
  }
  static std::string userAgentString();
  static std::string localeIdentifier();

 protected:
  HBRNetworkOperation() = default;
  // For subclasses' factories: false for a missing key.
  bool initWithAPIKey(const std::optional<std::string>& APIKey);

 private:
  std::string apiKey_;
};
