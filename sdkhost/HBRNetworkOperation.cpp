#include "sdkhost/HBRNetworkOperation.h"

#include "sdkhost/HBRConstants.h"
#include "sdkhost/HBRHost.h"

using namespace platform;

std::shared_ptr<HBRNetworkOperation> HBRNetworkOperation::make(const std::optional<std::string>& APIKey) {
  auto operation = platform::make<HBRNetworkOperation>();
  if (!operation->initWithAPIKey(APIKey)) return nullptr;
  return operation;
}

bool HBRNetworkOperation::initWithAPIKey(const std::optional<std::string>& APIKey) {
  if (!APIKey) return false;
  apiKey_ = *APIKey;
  return true;
}

std::string HBRNetworkOperation::userAgentString() {
  return std::string(kHBRBundleIdentifier) + "/" + std::string(kHBRVersion) + " (" + std::string(kHBRBuildVersion) +
         ")";
}

std::string HBRNetworkOperation::localeIdentifier() { return HBRHostGetLocaleIdentifier(); }

URLRequest HBRNetworkOperation::mutableRequestWithDefaultHTTPHeadersForURL(const std::string& url,
                                                                           double timeout) const {
  URLRequest request(url, URLRequestCachePolicy::ReloadIgnoringLocalCacheData, timeout);
  std::string locale = localeIdentifier();
  request.setValue(userAgentString(), "User-Agent");
  request.setValue("utf-8", "Accept-Charset");
  request.setValue(locale, "Accept-Language");
  request.setValue(locale, "Content-Language");
  request.setValue(std::string(kHBRDeveloperToken), "X-Blackbox-Developer-Token");
  request.setValue(std::string(kHBRBundleIdentifier), "X-Blackbox-API-Client-Id");
  request.setValue(std::string(kHBRVersion), "X-Blackbox-API-Client-Display-Version");
  request.setValue(std::string(kHBRBuildVersion), "X-Blackbox-API-Client-Build-Version");
  request.setValue(apiKey_, "X-Blackbox-API-Key");
  return request;
}
