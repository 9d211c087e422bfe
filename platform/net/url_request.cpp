#include "platform/net/url_request.h"

#include <algorithm>
#include <cstdlib>

#include "platform/runtime/format.h"
#include "platform/system/text.h"

namespace platform {

namespace {

char lowerASCII(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool headerNamesEqual(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lowerASCII(x) == lowerASCII(y); });
}

// --- HTTPHeaderFields ------------------------------------------------------------------------------

std::vector<HTTPHeaderFields::Field>::const_iterator HTTPHeaderFields::find(std::string_view name) const {
  return std::find_if(fields_.begin(), fields_.end(), [&](const Field& f) { return headerNamesEqual(f.first, name); });
}

std::optional<std::string> HTTPHeaderFields::value(std::string_view name) const {
  auto it = find(name);
  if (it == fields_.end()) return std::nullopt;
  return it->second;
}

void HTTPHeaderFields::set(std::string_view name, std::optional<std::string> value) {
  auto it = fields_.begin() + (find(name) - fields_.begin());
  if (!value) {
    if (it != fields_.end()) fields_.erase(it);
  } else if (it != fields_.end()) {
    it->second = std::move(*value);
  } else {
    fields_.emplace_back(std::string(name), std::move(*value));
  }
}

void HTTPHeaderFields::add(std::string_view name, std::string_view value) {
  auto it = fields_.begin() + (find(name) - fields_.begin());
  if (it != fields_.end()) {
    it->second += ",";
    it->second += value;
  } else {
    fields_.emplace_back(std::string(name), std::string(value));
  }
}

Value HTTPHeaderFields::dictionary() const {
  ValueDictionary dictionary;
  for (const auto& [name, value] : fields_) dictionary.set(name, Value(value));
  return Value(std::move(dictionary));
}

// --- URLRequest ------------------------------------------------------------------------------------

void URLRequest::setHTTPBody(std::optional<Bytes> body) {
  body_ = std::move(body);
  if (body_) bodyFile_.reset();
}

void URLRequest::setHTTPBodyFile(std::optional<std::string> path) {
  bodyFile_ = std::move(path);
  if (bodyFile_) body_.reset();
}

// --- URLResponse -----------------------------------------------------------------------------------

std::shared_ptr<const URLResponse> URLResponse::httpResponse(std::string url, long statusCode,
                                                             HTTPHeaderFields headers) {
  auto response = platform::make<URLResponse>();
  response->url_ = std::move(url);
  response->isHTTP_ = true;
  response->statusCode_ = statusCode;
  if (auto length = headers.value("Content-Length")) {
    char* end = nullptr;
    long long n = std::strtoll(length->c_str(), &end, 10);
    if (end != length->c_str() && n >= 0) response->expectedContentLength_ = n;
  }
  response->headers_ = std::move(headers);
  return response;
}

std::shared_ptr<const URLResponse> URLResponse::plainResponse(std::string url, std::int64_t expectedContentLength) {
  auto response = platform::make<URLResponse>();
  response->url_ = std::move(url);
  response->expectedContentLength_ = expectedContentLength;
  return response;
}

std::string URLResponse::MIMEType() const {
  std::string type = headers_.value("Content-Type").value_or("");
  type = trimmingWhitespace(type.substr(0, type.find(';')));
  std::transform(type.begin(), type.end(), type.begin(), lowerASCII);
  return type;
}

std::optional<std::string> URLResponse::textEncodingName() const {
  std::string type = headers_.value("Content-Type").value_or("");
  std::size_t at = type.find(';');
  while (at != std::string::npos) {
    std::size_t next = type.find(';', at + 1);
    std::string parameter = trimmingWhitespace(
        std::string_view(type).substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1));
    if (parameter.size() > 8 && headerNamesEqual(std::string_view(parameter).substr(0, 8), "charset=")) {
      std::string value = parameter.substr(8);
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
      return value;
    }
    at = next;
  }
  return std::nullopt;
}

std::string URLResponse::description() const {
  return format("<%s %p> { URL: %s } { Status Code: %ld }", objectClass().name(), static_cast<const void*>(this), url_,
                statusCode_);
}

}  // namespace platform
