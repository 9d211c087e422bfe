#pragma once

// URL requests and responses: what a URL session (url_session.h) sends and what it hands back.
//
// URLRequest is a value: the URL (http, https or file), the method, header fields, a body held
// in memory or named as a file that is streamed when the request is sent, a time-out and a
// cache policy. Header names compare without regard to case; setting a header replaces it,
// adding one joins the values with ",", as the platform does.
//
// URLResponse is immutable once made (a session makes it when the headers have arrived) and may
// be read from any thread. A response to a file URL is not an HTTP response: it has no status
// code and no header fields.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

namespace platform {

// Header fields in the order set; names compared without regard to ASCII case.
class HTTPHeaderFields {
 public:
  using Field = std::pair<std::string, std::string>;

  std::optional<std::string> value(std::string_view name) const;
  // Replaces the field (keeping its place) or appends it; nullopt removes it.
  void set(std::string_view name, std::optional<std::string> value);
  // Appends to an existing field as "old,new", or adds it.
  void add(std::string_view name, std::string_view value);
  bool contains(std::string_view name) const { return find(name) != fields_.end(); }
  const std::vector<Field>& fields() const { return fields_; }
  bool empty() const { return fields_.empty(); }
  // A dictionary of the fields (name as set -> value).
  Value dictionary() const;

 private:
  std::vector<Field>::const_iterator find(std::string_view name) const;
  std::vector<Field> fields_;
};

// The platform's numbers.
enum class URLRequestCachePolicy {
  UseProtocolCachePolicy = 0,
  ReloadIgnoringLocalCacheData = 1,
  ReturnCacheDataElseLoad = 2,
  ReturnCacheDataDontLoad = 3,
};

class URLRequest {
 public:
  URLRequest() = default;
  // A GET request with the given time-out (seconds without any progress before it fails with
  // the time-out error; the platform's default is 60).
  explicit URLRequest(std::string url,
                      URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy,
                      double timeoutInterval = 60)
      : url_(std::move(url)), cachePolicy_(cachePolicy), timeoutInterval_(timeoutInterval) {}

  const std::string& URL() const { return url_; }
  void setURL(std::string url) { url_ = std::move(url); }
  // "GET" unless set.
  const std::string& HTTPMethod() const { return method_; }
  void setHTTPMethod(std::string method) { method_ = std::move(method); }
  double timeoutInterval() const { return timeoutInterval_; }
  void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
  // Recorded for callers; this layer keeps no cache, so every policy loads from the network.
  URLRequestCachePolicy cachePolicy() const { return cachePolicy_; }
  void setCachePolicy(URLRequestCachePolicy policy) { cachePolicy_ = policy; }

  std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const { return headers_.value(field); }
  void setValue(std::optional<std::string> value, std::string_view field) { headers_.set(field, std::move(value)); }
  void addValue(std::string_view value, std::string_view field) { headers_.add(field, value); }
  const HTTPHeaderFields& allHTTPHeaderFields() const { return headers_; }

  // The body in memory; setting it drops a body file.
  const std::optional<Bytes>& HTTPBody() const { return body_; }
  void setHTTPBody(std::optional<Bytes> body);
  // A file sent as the body, read piece by piece when the request goes out (the platform's body
  // stream over a file); setting it drops a body in memory.
  const std::optional<std::string>& HTTPBodyFile() const { return bodyFile_; }
  void setHTTPBodyFile(std::optional<std::string> path);

 private:
  std::string url_;
  std::string method_ = "GET";
  URLRequestCachePolicy cachePolicy_ = URLRequestCachePolicy::UseProtocolCachePolicy;
  double timeoutInterval_ = 60;
  HTTPHeaderFields headers_;
  std::optional<Bytes> body_;
  std::optional<std::string> bodyFile_;
};

class URLResponse : public Object {
  ZORVEL_CLASS(URLResponse, Object)

 public:
  // An HTTP response.
  static std::shared_ptr<const URLResponse> httpResponse(std::string url, long statusCode, HTTPHeaderFields headers);
  // A response without status (file URLs).
  static std::shared_ptr<const URLResponse> plainResponse(std::string url, std::int64_t expectedContentLength);

  const std::string& URL() const { return url_; }
  bool isHTTPResponse() const { return isHTTP_; }
  // 0 when not an HTTP response.
  long statusCode() const { return statusCode_; }
  const HTTPHeaderFields& allHeaderFields() const { return headers_; }
  std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const { return headers_.value(field); }
  // From "Content-Type": the media type before any ";" (lower case), and its "charset".
  std::string MIMEType() const;
  std::optional<std::string> textEncodingName() const;
  // From "Content-Length"; -1 when unknown.
  std::int64_t expectedContentLength() const { return expectedContentLength_; }

  std::string description() const override;

 private:
  URLResponse() = default;

  std::string url_;
  bool isHTTP_ = false;
  long statusCode_ = 0;
  HTTPHeaderFields headers_;
  std::int64_t expectedContentLength_ = -1;
};

using URLResponsePtr = std::shared_ptr<const URLResponse>;

// Whether two header names are the same (ASCII case ignored).
bool headerNamesEqual(std::string_view a, std::string_view b);

}  // namespace platform
