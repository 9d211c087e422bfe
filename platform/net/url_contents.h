#pragma once

// Reading a URL's contents at once, and the one-shot asynchronous request: the URL loading that
// callers use without a session of their own (url_session.h underneath).
//
// - dataWithContentsOfURL: the whole resource of a file, http or https URL, read synchronously
//   (the calling thread waits). A file URL is read from the file system ("file:///a%20b" is the
//   path "/a b"; only an empty or "localhost" host). An HTTP answer with a status of 400 or more
//   is a failure, not contents: kFileReadNoSuchFileError for 404 and 410, kFileReadUnknownError
//   otherwise, with the status under kHTTPStatusCodeErrorKey. Transport failures keep their
//   kURLErrorDomain error.
// - stringWithContentsOfURL: the same, decoded to UTF-8 with the encoding detected in this
//   order: a byte-order mark (UTF-8, UTF-16 or UTF-32); the charset the server named; UTF-8 when
//   the bytes are valid UTF-8. Anything else fails with kFileReadUnknownStringEncodingError;
//   bytes the named charset cannot decode fail with kFileReadInapplicableStringEncodingError.
//   Charsets are decoded with ICU.
// - sendAsynchronousRequest: loads the request in the background; when it has finished, the
//   handler is added to `queue` as one operation and called there with the response and data
//   (an HTTP error status is a response, not a failure) or with the error (then no data). The
//   returned request may be cancelled: once cancel() has returned, the handler is not added to
//   the queue any more and the transfer stops.
//
// Limits: the whole resource is held in memory. Requests follow redirects and time out as a
// session's do (60 seconds without progress unless the request says otherwise).
//
// Threads: every function may be called from any thread except, for the synchronous readers, a
// thread they would wait for: the URL layer's own delegate queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/net/url_request.h"
#include "platform/net/url_session.h"
#include "platform/runtime/error.h"
#include "platform/runtime/value.h"
#include "platform/services/operation_queue.h"

namespace platform {

// Codes of kCocoaErrorDomain for reading (the platform's numbers).
inline constexpr std::int64_t kFileReadNoSuchFileError = 260;
inline constexpr std::int64_t kFileReadInapplicableStringEncodingError = 261;
inline constexpr std::int64_t kFileReadNoPermissionError = 257;
inline constexpr std::int64_t kFileReadUnknownStringEncodingError = 264;
// The HTTP status of a failed read, in the error's user info.
inline constexpr std::string_view kHTTPStatusCodeErrorKey = "HTTPStatusCode";

// The platform's numbers.
enum class StringEncoding : std::uint64_t {
  ASCII = 1,
  UTF8 = 4,
  ISOLatin1 = 5,
  UTF16 = 10,
  WindowsCP1252 = 12,
  UTF16BigEndian = 0x90000100,
  UTF16LittleEndian = 0x94000100,
  UTF32 = 0x8c000100,
  UTF32BigEndian = 0x98000100,
  UTF32LittleEndian = 0x9c000100,
  // A charset the server named that has no number of its own here.
  Other = 0,
};

// Reading options (the platform's bits); recorded for callers, every read here is uncached.
enum DataReadingOptions : std::uint64_t {
  DataReadingMappedIfSafe = 1,
  DataReadingUncached = 2,
  DataReadingMappedAlways = 8,
};

std::optional<Bytes> dataWithContentsOfURL(const std::string& url, std::uint64_t options, ErrorPtr* error = nullptr);
std::optional<std::string> stringWithContentsOfURL(const std::string& url, StringEncoding* usedEncoding = nullptr,
                                                   ErrorPtr* error = nullptr);
// The text of `bytes` by the detection rules above; `charset` is the server's, if any.
std::optional<std::string> decodeText(const Bytes& bytes, const std::optional<std::string>& charset,
                                      StringEncoding* usedEncoding, ErrorPtr* error);

class AsynchronousURLRequest;
using AsynchronousURLRequestPtr = std::shared_ptr<AsynchronousURLRequest>;
using AsynchronousURLRequestHandler =
    std::function<void(const URLResponsePtr& response, const std::optional<Bytes>& data, const ErrorPtr& error)>;

AsynchronousURLRequestPtr sendAsynchronousRequest(const URLRequest& request, const OperationQueuePtr& queue,
                                                  AsynchronousURLRequestHandler handler);

class AsynchronousURLRequest {
 public:
  AsynchronousURLRequest();

  // Stops the transfer; the handler is not queued after this returns (one already queued or
  // running is not recalled: cancel the queue's operations for that).
  void cancel();
  bool isCancelled() const;

 private:
  friend AsynchronousURLRequestPtr sendAsynchronousRequest(const URLRequest&, const OperationQueuePtr&,
                                                           AsynchronousURLRequestHandler);
  struct State;
  std::shared_ptr<State> state_;
  URLSessionDataTaskPtr task_;
};

}  // namespace platform
