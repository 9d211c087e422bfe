#include "platform/runtime/error.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace platform {

namespace {
std::optional<std::string> stringForKey(const Value& userInfo, std::string_view key) {
  const Value& v = userInfo[key];
  if (v.isNil() || v.isNull()) return std::nullopt;
  return v.isString() ? v.asString() : v.description();
}
}  // namespace

Error::Error(std::string domain, std::int64_t code, Value userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(userInfo.isDictionary() ? std::move(userInfo) : Value()) {}

ErrorPtr Error::make(std::string domain, std::int64_t code, Value userInfo) {
  return makePlain<Error>(std::move(domain), code, std::move(userInfo));
}

ErrorPtr Error::withDescription(std::string domain, std::int64_t code, std::string description) {
  return make(std::move(domain), code,
              Value::dictionary({{std::string(kLocalizedDescriptionKey), Value(std::move(description))}}));
}

const Class& Error::staticClass() {
  static const Class* cls = new Class("Error", &Object::staticClass(), nullptr);
  return *cls;
}

const Class& Error::objectClass() const { return staticClass(); }

std::string Error::localizedDescription() const {
  if (auto description = stringForKey(userInfo_, kLocalizedDescriptionKey)) return *description;
  if (auto reason = stringForKey(userInfo_, kLocalizedFailureReasonErrorKey))
    return "The operation couldn\u2019t be completed. " + *reason;
  return "The operation couldn\u2019t be completed. (" + domain_ + " error " + std::to_string(code_) + ".)";
}

std::optional<std::string> Error::localizedFailureReason() const {
  return stringForKey(userInfo_, kLocalizedFailureReasonErrorKey);
}

std::optional<std::string> Error::localizedRecoverySuggestion() const {
  return stringForKey(userInfo_, kLocalizedRecoverySuggestionErrorKey);
}

ErrorPtr Error::underlyingError() const { return userInfo_[kUnderlyingErrorKey].as<Error>(); }

std::string Error::description() const {
  std::string out =
      "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" + localizedDescription() + "\"";
  if (userInfo_.count() == 0) return out;
  std::vector<const ValueDictionary::Entry*> entries;
  for (const auto& e : userInfo_.asDictionary()) entries.push_back(&e);
  std::sort(entries.begin(), entries.end(), [](auto* a, auto* b) { return a->first < b->first; });
  out += " UserInfo={";
  bool first = true;
  for (const auto* e : entries) {
    if (!first) out += ", ";
    first = false;
    out += e->first + "=";
    if (e->second.as<Error>())
      out += "{" + e->second.description() + "}";
    else
      out += e->second.description();
  }
  return out + "}";
}

bool Error::isEqual(const Object& other) const {
  if (this == &other) return true;
  auto* e = dynamic_cast<const Error*>(&other);
  return e && e->domain_ == domain_ && e->code_ == code_ && e->userInfo_ == userInfo_;
}

std::size_t Error::hash() const { return std::hash<std::string>{}(domain_) ^ static_cast<std::size_t>(code_); }

Exception::Exception(std::string name, std::string reason, Value userInfo)
    : name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)) {}

void Exception::raise(std::string_view name, std::string reason, Value userInfo) {
  throw Exception(std::string(name), std::move(reason), std::move(userInfo));
}

ErrorPtr posixError(int code, std::string_view operation, std::string_view path) {
  std::string description(operation);
  if (!path.empty()) description += " \"" + std::string(path) + "\"";
  description += std::string(": ") + std::strerror(code);
  Value userInfo;
  if (!path.empty()) userInfo.set(std::string(kFilePathErrorKey), Value(path));
  userInfo.set(std::string(kLocalizedDescriptionKey), Value(description));
  return Error::make(std::string(kPOSIXErrorDomain), code, std::move(userInfo));
}

}  // namespace platform
