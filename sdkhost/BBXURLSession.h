#pragma once

// The HTTP transport of the SDK host and both kits: sessions, configurations, data, upload and
// download tasks, a delegate and a delegate queue, shaped like the platform's URL session. The
// platform's URL session (platform/net/url_session.h, on libcurl) is always available here, so
// the shim hands out the platform's session and configuration objects unchanged; everything the
// kits rely on (task descriptions, live-task listing, background-style upload sessions,
// invalidation) is the platform session's behaviour and documented there.

#include <memory>
#include <optional>
#include <string>

#include "platform/net/url_session.h"

class BBXURLSession {
 public:
  BBXURLSession() = delete;

  // Whether the platform's URL session should be used: always, since it is built in.
  static bool NSURLSessionShouldBeUsed() { return true; }
  // The platform session; null for a missing configuration. With a delegate and no queue the
  // session gets a queue of its own running one operation at a time.
  static platform::URLSessionPtr sessionWithConfiguration(
      const std::optional<platform::URLSessionConfiguration>& configuration,
      std::shared_ptr<platform::URLSessionDelegate> delegate, platform::OperationQueuePtr delegateQueue);
  static platform::URLSessionPtr sessionWithConfiguration(
      const std::optional<platform::URLSessionConfiguration>& configuration) {
    return sessionWithConfiguration(configuration, nullptr, nullptr);
  }
};

class BBXURLSessionConfiguration {
 public:
  BBXURLSessionConfiguration() = delete;

  static std::optional<platform::URLSessionConfiguration> defaultSessionConfiguration();
  static std::optional<platform::URLSessionConfiguration> ephemeralSessionConfiguration();
  // The platform's background configuration (nullopt where the platform session is not used).
  static std::optional<platform::URLSessionConfiguration> backgroundSessionConfigurationWithIdentifier(
      const std::string& identifier);
  static std::optional<platform::URLSessionConfiguration> backgroundSessionConfiguration(
      const std::string& identifier) {
    return backgroundSessionConfigurationWithIdentifier(identifier);
  }
};
