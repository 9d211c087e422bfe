#pragma once

// The response rules shared by the SDK host and both kits: classify a finished request as
// success, failure or retry, make the errors, and read the retry delay.
//
// Classification of an HTTP answer (type): 0 success (200, 201, 202, 204, 304); 1 unexpected
// (no status, any status not listed); 2 client error, final (400, 401, 403, 404, 406, 410, 411,
// 413, 419, 422, 431); 3 retry (408, 500-599); 4 throttled, retry (420, 429).
//
// Errors in "HBRNetworkError": -1 retry, -3 no task, -4 unexpected answer (also a success whose
// content type does not match the request), -5 client error, -6 retry limit reached. Errors made
// from a response carry "type", "status_code", "request_id" ("X-Request-Id" or "") and
// "content_type" ("Content-Type" or "").
//
// A transport failure (no answer at all) is retried when it may pass: time-outs, hosts that
// cannot be found or reached, lost connections, no network, failed TLS handshakes
// (isRetryableTransportError). Cancellation, refused certificates, bad URLs and unreadable bodies
// are final.
//
// Threads: stateless; any thread.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/net/url_request.h"
#include "platform/runtime/error.h"

inline constexpr std::string_view kHBRNetworkErrorDomain = "HBRNetworkError";
inline constexpr std::int64_t kHBRNetworkErrorRetry = -1;
inline constexpr std::int64_t kHBRNetworkErrorNoTask = -3;
inline constexpr std::int64_t kHBRNetworkErrorUnexpectedResponse = -4;
inline constexpr std::int64_t kHBRNetworkErrorClientError = -5;
inline constexpr std::int64_t kHBRNetworkErrorRetryLimit = -6;

class HBRNetworkResponseHandler {
 public:
  HBRNetworkResponseHandler() = delete;

  // The header when the response has header fields (an HTTP response), else nullopt.
  static std::optional<std::string> headerForResponse(const platform::URLResponsePtr& response, std::string_view key);
  // "Retry-After" as a number; 2 when it is missing or negative.
  static double retryValueForResponse(const platform::URLResponsePtr& response);
  static std::optional<std::string> requestIdForResponse(const platform::URLResponsePtr& response);
  // A request without "Accept" matches anything; else the response's "Content-Type", split at
  // "; charset=", must name the accepted type (case ignored) and, when the request has an
  // "Accept-Charset" and the response names a charset, that charset.
  static bool contentTypeForResponse(const platform::URLResponsePtr& response, const platform::URLRequest& request);
  static platform::ErrorPtr errorForCode(std::int64_t code, platform::Value userInfo = {});
  // Null for type 0; -4 for type 1, -5 for type 2, -1 for the others.
  static platform::ErrorPtr errorForResponse(const platform::URLResponsePtr& response, int type, long status);
  static void clientResponseType(const platform::URLResponsePtr& response,
                                 const std::function<void(int type, long status)>& handler);
  // Calls the block once with the retry flag and the error.
  static void handleCompletedResponse(const platform::URLResponsePtr& response,
                                      const platform::URLRequest& originalRequest, const platform::ErrorPtr& error,
                                      const std::function<void(bool retry, const platform::ErrorPtr& error)>& block);
  static bool isRetryableTransportError(const platform::ErrorPtr& error);
};
