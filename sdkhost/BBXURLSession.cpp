#include "sdkhost/BBXURLSession.h"

using namespace platform;

URLSessionPtr BBXURLSession::sessionWithConfiguration(const std::optional<URLSessionConfiguration>& configuration,
                                                      std::shared_ptr<URLSessionDelegate> delegate,
                                                      OperationQueuePtr delegateQueue) {
  if (!configuration) return nullptr;
  return URLSession::sessionWithConfiguration(*configuration, std::move(delegate), std::move(delegateQueue));
}

std::optional<URLSessionConfiguration> BBXURLSessionConfiguration::defaultSessionConfiguration() {
  return URLSessionConfiguration::defaultSessionConfiguration();
}

std::optional<URLSessionConfiguration> BBXURLSessionConfiguration::ephemeralSessionConfiguration() {
  return URLSessionConfiguration::ephemeralSessionConfiguration();
}

std::optional<URLSessionConfiguration> BBXURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(
    const std::string& identifier) {
  if (!BBXURLSession::NSURLSessionShouldBeUsed()) return std::nullopt;
  return URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(identifier);
}
