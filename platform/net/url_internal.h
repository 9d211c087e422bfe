#pragma once

#ifndef ZORVEL_INTERNAL_platform_net
#error "platform/net/url_internal.h is internal to URL loading"
#endif

// Internal to the URL layer: the per-transfer state kept on the network thread, the per-session
// libcurl share, and the loader that runs the one multi handle.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/net/url_session.h"
#include "platform/services/streams.h"

typedef void CURL;
typedef void CURLM;
typedef void CURLSH;
struct curl_slist;
typedef struct x509_store_ctx_st X509_STORE_CTX;

namespace platform::detail {

using Clock = std::chrono::steady_clock;

// A session's connections and TLS sessions; created and destroyed on the network thread.
struct SessionNetState {
  CURLSH* share = nullptr;
  std::atomic<bool> used{false};  // a transfer has begun (so there may be a share to release)
};

// One line of a response's header block as libcurl hands it over (with its line break): a status
// line ("HTTP/...") starts a new block (after a redirect or an interim 1xx answer), a field line
// "name: value" adds a field with both ends trimmed. A field whose name is not an HTTP token, or
// whose value holds a line break or NUL, is dropped, so that callers only ever read fields a
// well-formed response can carry.
using HeaderBlock = std::vector<std::pair<std::string, std::string>>;
void addResponseHeaderLine(std::string_view line, HeaderBlock& block);
// The block's fields; repeated names (whatever their case) become one field, values joined by ", ".
HTTPHeaderFields responseHeaderFields(const HeaderBlock& block);

// Everything a running transfer needs; only the network thread touches it.
struct TransferState {
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  std::string url;
  // Body.
  std::optional<Bytes> body;
  std::size_t bodyOffset = 0;
  std::shared_ptr<InputStream> bodyStream;
  bool bodyReadFailed = false;
  // Response.
  HeaderBlock headerBlock;  // of the latest status line
  bool responseMade = false;
  // Received data: collected for completion handlers, forwarded for delegates.
  bool collect = false;
  bool forwardToDelegate = false;
  Bytes collected;
  // Download.
  int downloadFd = -1;
  std::string downloadPath;
  bool writeFailed = false;
  // Trust.
  bool challengeCancelled = false;
  // Time-outs.
  double idleTimeout = 60;
  Clock::time_point lastActivity;
  Clock::time_point resourceDeadline;
  bool timedOut = false;
  bool cancelled = false;
};

class URLLoader {
 public:
  static URLLoader& shared();

  void start(URLSessionTaskPtr task);
  void cancel(URLSessionTaskPtr task);
  void releaseSession(std::shared_ptr<SessionNetState> state);

 private:
  URLLoader();
  struct Command {
    enum class Kind { Start, Cancel, ReleaseSession, Stop } kind;
    URLSessionTaskPtr task;
    std::shared_ptr<SessionNetState> session;
  };

  void run();
  void send(Command command);
  void begin(const URLSessionTaskPtr& task);
  void finish(CURL* easy, int code);
  // The transfer's response, made once from what has arrived.
  static void makeResponse(URLSessionTask& task);

  // Callbacks of libcurl (network thread).
  static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* task);
  static std::size_t onWrite(char* data, std::size_t size, std::size_t count, void* task);
  static std::size_t onRead(char* buffer, std::size_t size, std::size_t count, void* task);
  static int onSSLContext(CURL* easy, void* sslContext, void* task);
  static int onVerify(X509_STORE_CTX* context, void* verifyContext);
  // Ends a task that could not start.
  static void failBeforeStart(const URLSessionTaskPtr& task, ErrorPtr error);

  // At exit, before the TLS library tears itself down: the network thread leaves its loop (it is
  // waited for a short while), so no transfer touches torn-down state.
  static void stopAtExit();

  std::mutex mutex_;
  std::vector<Command> commands_;
  CURLM* multi_ = nullptr;
  std::unordered_map<CURL*, URLSessionTaskPtr> active_;  // network thread only
  std::thread thread_;
  std::thread::id threadId_;
  std::condition_variable stopped_;
  bool hasStopped_ = false;  // guarded by mutex_
};

}  // namespace platform::detail
