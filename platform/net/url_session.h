#pragma once

// URL sessions on libcurl: data, upload and download tasks over HTTP(S) (and file URLs), with
// responses, cancellation, time-outs, task identifiers and descriptions, a delegate whose calls
// and the tasks' completion handlers run on an operation queue, and TLS verification that the
// delegate may take over (certificate pinning) or extend with extra root certificates.
//
// Transport: one libcurl multi handle drives every transfer of the process on a network thread
// of its own. Each session keeps its own connections and TLS sessions (a libcurl share), so a
// connection that one session's trust rules accepted never serves another session. Redirects
// are followed (at most 16); compressed bodies are decoded; bodies are sent as given, with a
// Content-Length, and no "Expect: 100-continue".
//
// TLS: with no delegate decision the server's chain must lead to one of the system's roots or
// to a root of the configuration's additionalTrustedRootCertificates, and name the host
// (libcurl checks both). A session delegate may judge each new TLS connection itself through
// URLSessionDidReceiveChallenge, which is called ON THE NETWORK THREAD during the handshake
// (not on the delegate queue): it must be quick, thread-safe, and call the completion handler
// before it returns (not calling it counts as cancelling). UseCredential accepts the server;
// PerformDefaultHandling applies the rules above; cancelling or rejecting fails the task with
// kURLErrorCancelled, as the platform does.
//
// Time-outs: a task fails with kURLErrorTimedOut when its request's timeoutInterval passes
// without progress (connecting, sending or receiving), or when the configuration's
// timeoutIntervalForResource passes since it was resumed.
//
// Delegate and completion handlers: every call of one session reaches its delegate queue in the
// order the events happened and never two at once, even on a concurrent queue (a session
// forwards them one after another). A task made with a completion handler calls only that
// handler (once), never the delegate's response, data, download or completion methods; the
// server-trust challenge still goes to the delegate. A downloaded file is removed once the
// download delegate method or completion handler has returned: move it away inside it.
//
// Lifetime: a session holds its delegate strongly until it is invalidated (finishTasksAndInvalidate
// or invalidateAndCancel); it holds its live tasks until their completion has been delivered, and
// a live task holds its session. An invalidated session makes no new tasks (the factories answer
// null); once its last task is delivered the delegate hears URLSessionDidBecomeInvalidWithError
// and is released.
//
// Background-style sessions (a configuration made with an identifier): upload-from-file and
// download tasks only, no completion handlers (both raise NSGenericException, as on the
// platform); when the last live task of such a session has been delivered, the delegate hears
// URLSessionDidFinishEventsForBackgroundURLSession. Transfers do not outlive the process.
//
// Threads: every member of sessions and tasks may be called from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/trust.h"
#include "platform/net/url_request.h"
#include "platform/runtime/error.h"
#include "platform/runtime/object.h"
#include "platform/services/operation_queue.h"

namespace platform {

// Codes of kURLErrorDomain (the platform's numbers).
inline constexpr std::int64_t kURLErrorUnknown = -1;
inline constexpr std::int64_t kURLErrorCancelled = -999;
inline constexpr std::int64_t kURLErrorBadURL = -1000;
inline constexpr std::int64_t kURLErrorTimedOut = -1001;
inline constexpr std::int64_t kURLErrorUnsupportedURL = -1002;
inline constexpr std::int64_t kURLErrorCannotFindHost = -1003;
inline constexpr std::int64_t kURLErrorCannotConnectToHost = -1004;
inline constexpr std::int64_t kURLErrorNetworkConnectionLost = -1005;
inline constexpr std::int64_t kURLErrorDNSLookupFailed = -1006;
inline constexpr std::int64_t kURLErrorHTTPTooManyRedirects = -1007;
inline constexpr std::int64_t kURLErrorNotConnectedToInternet = -1009;
inline constexpr std::int64_t kURLErrorBadServerResponse = -1011;
inline constexpr std::int64_t kURLErrorFileDoesNotExist = -1100;
inline constexpr std::int64_t kURLErrorSecureConnectionFailed = -1200;
inline constexpr std::int64_t kURLErrorServerCertificateUntrusted = -1202;
inline constexpr std::int64_t kURLErrorCannotCreateFile = -3000;
inline constexpr std::int64_t kURLErrorCannotWriteToFile = -3003;

class URLSession;
class URLSessionTask;
class URLSessionDataTask;
class URLSessionUploadTask;
class URLSessionDownloadTask;
using URLSessionPtr = std::shared_ptr<URLSession>;
using URLSessionTaskPtr = std::shared_ptr<URLSessionTask>;
using URLSessionDataTaskPtr = std::shared_ptr<URLSessionDataTask>;
using URLSessionUploadTaskPtr = std::shared_ptr<URLSessionUploadTask>;
using URLSessionDownloadTaskPtr = std::shared_ptr<URLSessionDownloadTask>;

namespace detail {
struct TransferState;
struct SessionNetState;
class URLLoader;
}  // namespace detail

struct URLSessionConfiguration {
  // Set for background-style sessions (see the banner).
  std::optional<std::string> identifier;
  // Added to every request that does not set the same field itself.
  HTTPHeaderFields HTTPAdditionalHeaders;
  double timeoutIntervalForRequest = 60;       // used for requests that kept the default time-out
  double timeoutIntervalForResource = 604800;  // seven days
  // Recorded for callers (no cellular networks, cookies or caches here).
  bool allowsCellularAccess = true;
  bool isDiscretionary = false;
  bool sessionSendsLaunchEvents = false;
  // Roots trusted besides the system's when a server's chain is judged by default handling.
  std::vector<CertificatePtr> additionalTrustedRootCertificates;

  static URLSessionConfiguration defaultSessionConfiguration() { return {}; }
  static URLSessionConfiguration ephemeralSessionConfiguration() { return {}; }
  static URLSessionConfiguration backgroundSessionConfigurationWithIdentifier(std::string identifier);
};

// The platform's numbers.
enum class URLSessionTaskState { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };

using URLSessionDataCompletionHandler =
    std::function<void(const std::optional<Bytes>& data, const URLResponsePtr& response, const ErrorPtr& error)>;
using URLSessionDownloadCompletionHandler = std::function<void(const std::optional<std::string>& location,
                                                               const URLResponsePtr& response, const ErrorPtr& error)>;

// A session's delegate: every method has a default body (the platform's default behaviour).
// Called on the delegate queue, except URLSessionDidReceiveChallenge (see the banner).
class URLSessionDelegate {
 public:
  virtual ~URLSessionDelegate() = default;

  // Default: PerformDefaultHandling.
  virtual void URLSessionDidReceiveChallenge(URLSession& session, const URLAuthenticationChallenge& challenge,
                                             const URLChallengeCompletionHandler& completionHandler);
  virtual void URLSessionDidBecomeInvalidWithError(URLSession& session, const ErrorPtr& error);
  virtual void URLSessionDataTaskDidReceiveResponse(URLSession& session, const URLSessionDataTaskPtr& task,
                                                    const URLResponsePtr& response);
  virtual void URLSessionDataTaskDidReceiveData(URLSession& session, const URLSessionDataTaskPtr& task,
                                                const Bytes& data);
  // `location` is removed when this returns.
  virtual void URLSessionDownloadTaskDidFinishDownloadingToURL(URLSession& session,
                                                               const URLSessionDownloadTaskPtr& task,
                                                               const std::string& location);
  virtual void URLSessionTaskDidCompleteWithError(URLSession& session, const URLSessionTaskPtr& task,
                                                  const ErrorPtr& error);
  virtual void URLSessionDidFinishEventsForBackgroundURLSession(URLSession& session);
};

class URLSessionTask : public Object {
  ZORVEL_CLASS(URLSessionTask, Object)

 public:
  ~URLSessionTask() override;

  // Unique among the tasks of its session, counting from 1.
  std::uint64_t taskIdentifier() const { return identifier_; }
  const URLRequest& originalRequest() const { return original_; }
  // The request as sent: with the session's additional headers, and the URL a redirect led to.
  URLRequest currentRequest() const;
  // Null until the headers have arrived.
  URLResponsePtr response() const;
  // Null unless the task failed (an HTTP error status is not a failure).
  ErrorPtr error() const;
  std::string taskDescription() const;
  void setTaskDescription(std::string description);
  URLSessionTaskState state() const;
  std::int64_t countOfBytesSent() const;
  std::int64_t countOfBytesReceived() const;

  // Starts the transfer (a new task is suspended). Nothing once it has started or ended.
  void resume();
  // Ends the task with kURLErrorCancelled, unless it has already completed.
  void cancel();

  std::string description() const override;

 protected:
  enum class Kind { Data, Upload, Download };
  URLSessionTask(Kind kind, std::uint64_t identifier, URLRequest original, URLRequest current);
  Kind kind() const { return kind_; }

 private:
  friend class URLSession;
  friend class detail::URLLoader;

  const Kind kind_;
  const std::uint64_t identifier_;
  const URLRequest original_;
  std::shared_ptr<URLSession> session_;  // set by the session; dropped once delivered
  URLSessionDataCompletionHandler dataCompletion_;
  URLSessionDownloadCompletionHandler downloadCompletion_;

  mutable std::mutex mutex_;
  URLRequest current_;
  URLResponsePtr response_;
  ErrorPtr error_;
  std::string description_;
  URLSessionTaskState state_ = URLSessionTaskState::Suspended;
  std::int64_t bytesSent_ = 0;
  std::int64_t bytesReceived_ = 0;

  // Touched only on the network thread while the transfer runs.
  std::unique_ptr<detail::TransferState> transfer_;
};

class URLSessionDataTask : public URLSessionTask {
  ZORVEL_CLASS(URLSessionDataTask, URLSessionTask)

 protected:
  using URLSessionTask::URLSessionTask;
};

class URLSessionUploadTask : public URLSessionDataTask {
  ZORVEL_CLASS(URLSessionUploadTask, URLSessionDataTask)

 protected:
  using URLSessionDataTask::URLSessionDataTask;
};

class URLSessionDownloadTask : public URLSessionTask {
  ZORVEL_CLASS(URLSessionDownloadTask, URLSessionTask)

 protected:
  using URLSessionTask::URLSessionTask;
};

class URLSession : public Object {
  ZORVEL_CLASS(URLSession, Object)

 public:
  // A session with the delegate (may be null) whose calls run on `delegateQueue`; a null queue
  // gets a new operation queue running one operation at a time.
  static URLSessionPtr sessionWithConfiguration(URLSessionConfiguration configuration,
                                                std::shared_ptr<URLSessionDelegate> delegate = nullptr,
                                                OperationQueuePtr delegateQueue = nullptr);
  ~URLSession() override;

  const URLSessionConfiguration& configuration() const { return configuration_; }
  const OperationQueuePtr& delegateQueue() const { return delegateQueue_; }
  std::shared_ptr<URLSessionDelegate> delegate() const;
  std::string sessionDescription() const;
  void setSessionDescription(std::string description);

  // New tasks, suspended: call resume(). Null once the session is invalidated. A body of the
  // request is sent by data tasks; an upload task sends the file (or the bytes) instead.
  URLSessionDataTaskPtr dataTaskWithRequest(const URLRequest& request,
                                            URLSessionDataCompletionHandler completionHandler = nullptr);
  URLSessionUploadTaskPtr uploadTaskWithRequest(const URLRequest& request, const std::string& fromFile,
                                                URLSessionDataCompletionHandler completionHandler = nullptr);
  URLSessionUploadTaskPtr uploadTaskWithRequest(const URLRequest& request, const Bytes& fromData,
                                                URLSessionDataCompletionHandler completionHandler = nullptr);
  URLSessionDownloadTaskPtr downloadTaskWithRequest(const URLRequest& request,
                                                    URLSessionDownloadCompletionHandler completionHandler = nullptr);

  // On the delegate queue, in order with the delegate calls: the tasks whose completion has not
  // been delivered yet, by kind, each in the order made.
  using TasksHandler = std::function<void(const std::vector<URLSessionDataTaskPtr>& dataTasks,
                                          const std::vector<URLSessionUploadTaskPtr>& uploadTasks,
                                          const std::vector<URLSessionDownloadTaskPtr>& downloadTasks)>;
  void getTasksWithCompletionHandler(TasksHandler handler);

  // No new tasks; the live ones finish; then the delegate hears of the invalidation.
  void finishTasksAndInvalidate();
  // No new tasks; the live ones are cancelled; then the delegate hears of the invalidation.
  void invalidateAndCancel();
  bool isInvalidated() const;

  std::string description() const override;

 private:
  URLSession() = default;
  friend class URLSessionTask;
  friend class detail::URLLoader;

  template <class Task>
  std::shared_ptr<Task> makeTask(URLSessionTask::Kind kind, URLRequest request, bool hasCompletionHandler);
  void registerTask(const URLSessionTaskPtr& task);
  // Runs `event` on the delegate queue after the events posted before it.
  void post(std::function<void()> event);
  void drainEvents();
  // Network thread: the transfer has ended; deliver its end and let the task go.
  void deliverCompletion(const URLSessionTaskPtr& task, std::optional<Bytes> data, std::optional<std::string> location);
  void deliverResponse(const URLSessionTaskPtr& task);
  void deliverData(const URLSessionTaskPtr& task, Bytes data);
  void taskDelivered(const URLSessionTaskPtr& task);
  // Network thread: the delegate's verdict on a server.
  URLSessionAuthChallengeDisposition judgeServerTrust(const URLAuthenticationChallenge& challenge);

  URLSessionConfiguration configuration_;
  OperationQueuePtr delegateQueue_;
  std::shared_ptr<detail::SessionNetState> net_;

  mutable std::mutex mutex_;
  std::shared_ptr<URLSessionDelegate> delegate_;
  std::string description_;
  std::vector<std::weak_ptr<URLSessionTask>> live_;  // made and not yet delivered
  std::uint64_t nextIdentifier_ = 1;
  bool invalidated_ = false;
  bool invalidationDelivered_ = false;
  std::vector<std::function<void()>> events_;
  bool draining_ = false;
};

// The message of a kURLErrorDomain code ("The request timed out.").
std::string URLErrorDescription(std::int64_t code);
// An error in kURLErrorDomain with the description, the failing URL and, when given, a detail
// under NSDebugDescription.
ErrorPtr makeURLError(std::int64_t code, const std::string& url, const std::string& detail = {});

}  // namespace platform
