#pragma once

// Error: a recoverable failure (domain, code, user info), handed back through an error
// out-parameter or a stream. Exception: misuse answered by raising a named exception.
// Both are immutable once made and may be shared between threads.

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime/format.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

namespace platform {

// User info keys.
inline constexpr std::string_view kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr std::string_view kLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
inline constexpr std::string_view kLocalizedRecoverySuggestionErrorKey = "NSLocalizedRecoverySuggestion";
inline constexpr std::string_view kUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr std::string_view kFilePathErrorKey = "NSFilePath";
inline constexpr std::string_view kURLErrorFailingURLErrorKey = "NSErrorFailingURLKey";
inline constexpr std::string_view kURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";
inline constexpr std::string_view kDebugDescriptionErrorKey = "NSDebugDescription";

// Platform error domains.
inline constexpr std::string_view kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr std::string_view kPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr std::string_view kURLErrorDomain = "NSURLErrorDomain";

// Codes of kCocoaErrorDomain used by this layer.
inline constexpr std::int64_t kPropertyListReadCorruptError = 3840;  // also malformed JSON
inline constexpr std::int64_t kPropertyListWriteInvalidError = 3851;
inline constexpr std::int64_t kFileNoSuchFileError = 4;
inline constexpr std::int64_t kFileReadUnknownError = 256;
inline constexpr std::int64_t kFileWriteUnknownError = 512;

class Error;
using ErrorPtr = std::shared_ptr<Error>;

class Error : public Object {
  ZORVEL_PLAIN_OBJECT

 public:
  Error(std::string domain, std::int64_t code, Value userInfo = {});
  static ErrorPtr make(std::string domain, std::int64_t code, Value userInfo = {});
  // An error whose user info holds just a localized description.
  static ErrorPtr withDescription(std::string domain, std::int64_t code, std::string description);

  static const Class& staticClass();
  const Class& objectClass() const override;

  const std::string& domain() const { return domain_; }
  std::int64_t code() const { return code_; }
  // A dictionary, or nil when the error has none.
  const Value& userInfo() const { return userInfo_; }

  // The user info's description, else "The operation couldn’t be completed. (<domain> error <code>.)".
  std::string localizedDescription() const;
  std::optional<std::string> localizedFailureReason() const;
  std::optional<std::string> localizedRecoverySuggestion() const;
  // The error under kUnderlyingErrorKey, or nullptr.
  ErrorPtr underlyingError() const;

  // Error Domain=<domain> Code=<code> "<localized description>" UserInfo={key=value, ...}
  std::string description() const override;
  // Same domain, code and equal user info.
  bool isEqual(const Object& other) const override;
  std::size_t hash() const override;

 private:
  std::string domain_;
  std::int64_t code_;
  Value userInfo_;
};

// An error of kPOSIXErrorDomain with the errno as its code: "<operation> \"<path>\": <the system's
// text>" as its description (without the quoted path when there is none), and the path under
// kFilePathErrorKey when there is one.
ErrorPtr posixError(int code, std::string_view operation, std::string_view path = {});

// Exception names.
inline constexpr std::string_view kGenericException = "NSGenericException";
inline constexpr std::string_view kInvalidArgumentException = "NSInvalidArgumentException";
inline constexpr std::string_view kInternalInconsistencyException = "NSInternalInconsistencyException";
inline constexpr std::string_view kRangeException = "NSRangeException";
inline constexpr std::string_view kMallocException = "NSMallocException";
inline constexpr std::string_view kObjectInaccessibleException = "NSObjectInaccessibleException";
inline constexpr std::string_view kDestinationInvalidException = "NSDestinationInvalidException";
inline constexpr std::string_view kInvalidArchiveOperationException = "NSInvalidArchiveOperationException";
inline constexpr std::string_view kInvalidUnarchiveOperationException = "NSInvalidUnarchiveOperationException";
inline constexpr std::string_view kUndefinedKeyException = "NSUnknownKeyException";

// A named exception: what() is the reason.
class Exception : public std::exception {
 public:
  Exception(std::string name, std::string reason, Value userInfo = {});

  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const Value& userInfo() const { return userInfo_; }
  const char* what() const noexcept override { return reason_.c_str(); }
  // The reason, as "%@" prints an exception.
  std::string description() const { return reason_; }

  [[noreturn]] static void raise(std::string_view name, std::string reason, Value userInfo = {});
  // Raises with a reason made by format().
  template <class... Args>
  [[noreturn]] static void raiseFormat(std::string_view name, std::string_view fmt, const Args&... args) {
    raise(name, format(fmt, args...));
  }

 private:
  std::string name_;
  std::string reason_;
  Value userInfo_;
};

}  // namespace platform
