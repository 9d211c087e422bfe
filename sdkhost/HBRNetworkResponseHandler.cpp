#include "sdkhost/HBRNetworkResponseHandler.h"

#include <cstdlib>

#include "platform/net/url_session.h"

using namespace platform;

namespace {

bool equalIgnoringCase(std::string_view a, std::string_view b) { return headerNamesEqual(a, b); }

}  // namespace

std::optional<std::string> HBRNetworkResponseHandler::headerForResponse(const URLResponsePtr& response,
                                                                        std::string_view key) {
  if (!response || !response->isHTTPResponse()) return std::nullopt;
  return response->valueForHTTPHeaderField(key);
}

double HBRNetworkResponseHandler::retryValueForResponse(const URLResponsePtr& response) {
  auto header = headerForResponse(response, "Retry-After");
  if (!header) return 2;
  double value = std::strtod(header->c_str(), nullptr);
  return value < 0 ? 2 : value;
}

std::optional<std::string> HBRNetworkResponseHandler::requestIdForResponse(const URLResponsePtr& response) {
  return headerForResponse(response, "X-Request-Id");
}

bool HBRNetworkResponseHandler::contentTypeForResponse(const URLResponsePtr& response, const URLRequest& request) {
  auto accept = request.valueForHTTPHeaderField("Accept");
  if (!accept) return true;
  auto contentType = headerForResponse(response, "Content-Type");
  if (!contentType) return false;
  constexpr std::string_view kSeparator = "; charset=";
  std::size_t at = contentType->find(kSeparator);
  std::string type = contentType->substr(0, at);
  if (!equalIgnoringCase(type, *accept)) return false;
  auto charset = request.valueForHTTPHeaderField("Accept-Charset");
  if (charset && at != std::string::npos)
    return equalIgnoringCase(contentType->substr(at + kSeparator.size()), *charset);
  return true;
}

ErrorPtr HBRNetworkResponseHandler::errorForCode(std::int64_t code, Value userInfo) {
  return Error::make(std::string(kHBRNetworkErrorDomain), code, std::move(userInfo));
}

ErrorPtr HBRNetworkResponseHandler::errorForResponse(const URLResponsePtr& response, int type, long status) {
  if (type == 0) return nullptr;
  Value info;
  info.set("type", Value(type));
  info.set("status_code", Value(static_cast<std::int64_t>(status)));
  info.set("request_id", Value(requestIdForResponse(response).value_or("")));
  info.set("content_type", Value(headerForResponse(response, "Content-Type").value_or("")));
  std::int64_t code = type == 1   ? kHBRNetworkErrorUnexpectedResponse
                      : type == 2 ? kHBRNetworkErrorClientError
                                  : kHBRNetworkErrorRetry;
  return errorForCode(code, std::move(info));
}

void HBRNetworkResponseHandler::clientResponseType(const URLResponsePtr& response,
                                                   const std::function<void(int type, long status)>& handler) {
  if (!response || !response->isHTTPResponse()) {
    handler(1, 0);
    return;
  }
  long status = response->statusCode();
  int type = 1;
  switch (status) {
    case 400:
    case 401:
    case 403:
    case 404:
    case 406:
    case 410:
    case 411:
    case 413:
    case 419:
    case 422:
    case 431:
      type = 2;
      break;
    case 420:
    case 429:
      type = 4;
      break;
    case 408:
      type = 3;
      break;
    case 200:
    case 201:
    case 202:
    case 204:
    case 304:
      type = 0;
      break;
    default:
      if (status >= 500 && status <= 599) type = 3;
  }
  handler(type, status);
}

bool HBRNetworkResponseHandler::isRetryableTransportError(const ErrorPtr& error) {
  if (!error || error->domain() != kURLErrorDomain) return false;
  switch (error->code()) {
    case kURLErrorTimedOut:
    case kURLErrorCannotFindHost:
    case kURLErrorCannotConnectToHost:
    case kURLErrorNetworkConnectionLost:
    case kURLErrorDNSLookupFailed:
    case kURLErrorNotConnectedToInternet:
    case kURLErrorSecureConnectionFailed:
      return true;
    default:
      return false;
  }
}

void HBRNetworkResponseHandler::handleCompletedResponse(const URLResponsePtr& response,
                                                        const URLRequest& originalRequest, const ErrorPtr& error,
                                                        const std::function<void(bool, const ErrorPtr&)>& block) {
  if (error) {
    block(isRetryableTransportError(error), error);
    return;
  }
  clientResponseType(response, [&](int type, long status) {
    switch (type) {
      case 0:
        if (contentTypeForResponse(response, originalRequest))
          block(false, nullptr);
        else
          block(false, errorForResponse(response, 1, status));
        break;
      case 1:
      case 2:
        block(false, errorForResponse(response, type, status));
        break;
      default:
        block(true, errorForResponse(response, type, status));
    }
  });
}
