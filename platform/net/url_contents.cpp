#include "platform/net/url_contents.h"

#include <curl/curl.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>

#include <cerrno>
#include <future>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/net/url_session.h"
#include "platform/services/files.h"
#include "platform/system/text.h"

namespace platform {

namespace {

// One session for the readers and the one-shot requests, made on first use.
const URLSessionPtr& contentsSession() {
  static const URLSessionPtr session =
      URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration());
  return session;
}

ErrorPtr readError(std::int64_t code, const std::string& url, std::string description, Value extra = {}) {
  ValueDictionary info{{std::string(kLocalizedDescriptionKey), Value(std::move(description))},
                       {std::string(kURLErrorFailingURLStringErrorKey), Value(url)}};
  if (extra.isDictionary())
    for (const auto& [key, value] : extra.asDictionary()) info.set(key, value);
  return Error::make(std::string(kCocoaErrorDomain), code, Value(std::move(info)));
}

bool startsWithCaseless(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalsCaseInsensitive(text.substr(0, prefix.size()), prefix);
}

// The path of a file URL, or nullopt when the URL names another host or does not decode.
std::optional<std::string> filePath(const std::string& url) {
  std::string_view rest = std::string_view(url).substr(5);  // after "file:"
  if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    std::string_view host = rest.substr(0, slash);
    if (!host.empty() && !equalsCaseInsensitive(host, "localhost")) return std::nullopt;
    rest.remove_prefix(slash);
  }
  if (rest.empty() || rest[0] != '/') return std::nullopt;
  rest = rest.substr(0, rest.find_first_of("?#"));
  int length = 0;
  char* decoded = curl_easy_unescape(nullptr, rest.data(), static_cast<int>(rest.size()), &length);
  if (!decoded) return std::nullopt;
  std::string path(decoded, static_cast<std::size_t>(length));
  curl_free(decoded);
  if (path.find('\0') != std::string::npos) return std::nullopt;
  return path;
}

std::optional<Bytes> readFileURL(const std::string& url, ErrorPtr* error) {
  std::optional<std::string> path = filePath(url);
  if (!path) {
    if (error) *error = readError(kFileReadUnknownError, url, "The file URL \"" + url + "\" names no local file.");
    return std::nullopt;
  }
  ErrorPtr posix;
  std::optional<Bytes> bytes = FileManager::defaultManager().readFile(*path, &posix);
  if (bytes) return bytes;
  if (error) {
    std::int64_t code = kFileReadUnknownError;
    if (posix && posix->code() == ENOENT) code = kFileReadNoSuchFileError;
    if (posix && posix->code() == EACCES) code = kFileReadNoPermissionError;
    *error = readError(code, url, "The file \"" + lastPathComponent(*path) + "\" could not be read.",
                       Value::dictionary({{std::string(kFilePathErrorKey), Value(*path)},
                                          {std::string(kUnderlyingErrorKey), Value(posix)}}));
  }
  return std::nullopt;
}

struct Loaded {
  std::optional<Bytes> data;
  URLResponsePtr response;
  ErrorPtr error;
};

Loaded loadSynchronously(const std::string& url) {
  auto done = std::make_shared<std::promise<Loaded>>();
  std::future<Loaded> result = done->get_future();
  URLSessionDataTaskPtr task = contentsSession()->dataTaskWithRequest(
      URLRequest(url), [done](const std::optional<Bytes>& data, const URLResponsePtr& response, const ErrorPtr& error) {
        done->set_value(Loaded{data, response, error});
      });
  task->resume();
  return result.get();
}

std::optional<Bytes> readRemoteURL(const std::string& url, ErrorPtr* error, URLResponsePtr* response) {
  Loaded loaded = loadSynchronously(url);
  if (response) *response = loaded.response;
  if (loaded.error) {
    if (error) *error = loaded.error;
    return std::nullopt;
  }
  if (loaded.response && loaded.response->isHTTPResponse() && loaded.response->statusCode() >= 400) {
    long status = loaded.response->statusCode();
    if (error)
      *error = readError(
          status == 404 || status == 410 ? kFileReadNoSuchFileError : kFileReadUnknownError, url,
          "The server answered \"" + url + "\" with status " + std::to_string(status) + ".",
          Value::dictionary({{std::string(kHTTPStatusCodeErrorKey), Value(static_cast<std::int64_t>(status))}}));
    return std::nullopt;
  }
  return loaded.data ? std::move(loaded.data) : Bytes();
}

std::optional<Bytes> readURL(const std::string& url, ErrorPtr* error, URLResponsePtr* response) {
  if (startsWithCaseless(url, "file:")) return readFileURL(url, error);
  if (startsWithCaseless(url, "http:") || startsWithCaseless(url, "https:")) return readRemoteURL(url, error, response);
  if (error) *error = makeURLError(kURLErrorUnsupportedURL, url);
  return std::nullopt;
}

// --- Text decoding ------------------------------------------------------------------------------

struct ConverterCloser {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

Converter openConverter(const std::string& charset) {
  UErrorCode status = U_ZERO_ERROR;
  Converter converter(ucnv_open(charset.c_str(), &status));
  if (U_FAILURE(status)) return nullptr;
  ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  return U_FAILURE(status) ? nullptr : std::move(converter);
}

// The bytes in the charset as UTF-8; nullopt when they are not text in that charset.
std::optional<std::string> convert(UConverter* converter, const Bytes& bytes) {
  const char* source = reinterpret_cast<const char*>(bytes.data());
  auto length = static_cast<int32_t>(bytes.size());
  UErrorCode status = U_ZERO_ERROR;
  int32_t needed = ucnv_toUChars(converter, nullptr, 0, source, length, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
  std::u16string text(static_cast<std::size_t>(needed), u'\0');
  status = U_ZERO_ERROR;
  ucnv_toUChars(converter, text.data(), needed, source, length, &status);
  if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) return std::nullopt;
  return fromUtf16(text);
}

// The platform's number for a converter's charset.
StringEncoding encodingOf(UConverter* converter) {
  static const std::pair<const char*, StringEncoding> known[] = {
      {"UTF-8", StringEncoding::UTF8},
      {"US-ASCII", StringEncoding::ASCII},
      {"ISO-8859-1", StringEncoding::ISOLatin1},
      {"windows-1252", StringEncoding::WindowsCP1252},
      {"UTF-16", StringEncoding::UTF16},
      {"UTF-16BE", StringEncoding::UTF16BigEndian},
      {"UTF-16LE", StringEncoding::UTF16LittleEndian},
      {"UTF-32", StringEncoding::UTF32},
      {"UTF-32BE", StringEncoding::UTF32BigEndian},
      {"UTF-32LE", StringEncoding::UTF32LittleEndian},
  };
  UErrorCode status = U_ZERO_ERROR;
  std::string name = ucnv_getName(converter, &status);
  for (const auto& [charset, encoding] : known) {
    Converter other = openConverter(charset);
    status = U_ZERO_ERROR;
    if (other && name == ucnv_getName(other.get(), &status)) return encoding;
  }
  return StringEncoding::Other;
}

bool startsWith(const Bytes& bytes, std::initializer_list<std::uint8_t> mark) {
  return bytes.size() >= mark.size() && std::equal(mark.begin(), mark.end(), bytes.begin());
}

}  // namespace

std::optional<std::string> decodeText(const Bytes& bytes, const std::optional<std::string>& charset,
                                      StringEncoding* usedEncoding, ErrorPtr* error) {
  auto decoded = [&](std::optional<std::string> text, StringEncoding encoding, const std::string& name) {
    if (!text) {
      if (error)
        *error = Error::withDescription(std::string(kCocoaErrorDomain), kFileReadInapplicableStringEncodingError,
                                        "The text is not valid " + name + ".");
      return text;
    }
    if (usedEncoding) *usedEncoding = encoding;
    return text;
  };
  // A byte-order mark decides. (UTF-32 little endian starts like UTF-16's mark: look at it first.)
  if (startsWith(bytes, {0xEF, 0xBB, 0xBF})) {
    std::string text(bytes.begin() + 3, bytes.end());
    return decoded(isValidUtf8(text) ? std::optional(text) : std::nullopt, StringEncoding::UTF8, "UTF-8");
  }
  for (const char* marked : {"UTF-32", "UTF-16"}) {
    bool hasMark = std::string_view(marked) == "UTF-32"
                       ? startsWith(bytes, {0xFF, 0xFE, 0, 0}) || startsWith(bytes, {0, 0, 0xFE, 0xFF})
                       : startsWith(bytes, {0xFF, 0xFE}) || startsWith(bytes, {0xFE, 0xFF});
    if (!hasMark) continue;
    Converter converter = openConverter(marked);
    return decoded(convert(converter.get(), bytes), encodingOf(converter.get()), marked);
  }
  if (charset) {
    if (Converter converter = openConverter(*charset))
      return decoded(convert(converter.get(), bytes), encodingOf(converter.get()), *charset);
  }
  std::string text(bytes.begin(), bytes.end());
  if (isValidUtf8(text)) return decoded(std::move(text), StringEncoding::UTF8, "UTF-8");
  if (error)
    *error = Error::withDescription(std::string(kCocoaErrorDomain), kFileReadUnknownStringEncodingError,
                                    "The text's encoding could not be determined.");
  return std::nullopt;
}

std::optional<Bytes> dataWithContentsOfURL(const std::string& url, std::uint64_t /*options*/, ErrorPtr* error) {
  return readURL(url, error, nullptr);
}

std::optional<std::string> stringWithContentsOfURL(const std::string& url, StringEncoding* usedEncoding,
                                                   ErrorPtr* error) {
  URLResponsePtr response;
  std::optional<Bytes> bytes = readURL(url, error, &response);
  if (!bytes) return std::nullopt;
  ErrorPtr decodeError;
  std::optional<std::string> text =
      decodeText(*bytes, response ? response->textEncodingName() : std::nullopt, usedEncoding, &decodeError);
  if (!text && error) {
    ValueDictionary info = decodeError->userInfo().asDictionary();
    info.set(std::string(kURLErrorFailingURLStringErrorKey), Value(url));
    *error = Error::make(decodeError->domain(), decodeError->code(), Value(std::move(info)));
  }
  return text;
}

// --- One-shot requests ----------------------------------------------------------------------------

struct AsynchronousURLRequest::State {
  std::mutex mutex;
  bool cancelled = false;
};

AsynchronousURLRequestPtr sendAsynchronousRequest(const URLRequest& request, const OperationQueuePtr& queue,
                                                  AsynchronousURLRequestHandler handler) {
  auto sent = std::make_shared<AsynchronousURLRequest>();
  auto state = sent->state_;
  // The completion keeps the queue until the handler is on it; the state (not the request) tells
  // whether it was cancelled, so the task and the request do not hold each other.
  sent->task_ = contentsSession()->dataTaskWithRequest(
      request, [state, queue, handler = std::move(handler)](const std::optional<Bytes>& data,
                                                            const URLResponsePtr& response, const ErrorPtr& error) {
        std::lock_guard lock(state->mutex);
        if (state->cancelled) return;
        queue->addOperationWithBlock(
            [handler, data, response, error] { handler(response, error ? std::nullopt : data, error); });
      });
  sent->task_->resume();
  return sent;
}

AsynchronousURLRequest::AsynchronousURLRequest() : state_(std::make_shared<State>()) {}

void AsynchronousURLRequest::cancel() {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->cancelled) return;
    state_->cancelled = true;
  }
  if (task_) task_->cancel();
}

bool AsynchronousURLRequest::isCancelled() const {
  std::lock_guard lock(state_->mutex);
  return state_->cancelled;
}

}  // namespace platform
