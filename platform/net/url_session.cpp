#include "platform/net/url_session.h"

#include <unistd.h>

#include <algorithm>

#include "platform/net/url_internal.h"
#include "platform/runtime/format.h"
#include "platform/system/diagnostics.h"

namespace platform {

// --- Errors ----------------------------------------------------------------------------------------

std::string URLErrorDescription(std::int64_t code) {
  switch (code) {
    case kURLErrorCancelled:
      return "cancelled";
    case kURLErrorBadURL:
      return "bad URL";
    case kURLErrorTimedOut:
      return "The request timed out.";
    case kURLErrorUnsupportedURL:
      return "unsupported URL";
    case kURLErrorCannotFindHost:
      return "A server with the specified hostname could not be found.";
    case kURLErrorCannotConnectToHost:
      return "Could not connect to the server.";
    case kURLErrorNetworkConnectionLost:
      return "The network connection was lost.";
    case kURLErrorDNSLookupFailed:
      return "DNS lookup failed";
    case kURLErrorHTTPTooManyRedirects:
      return "too many HTTP redirects";
    case kURLErrorNotConnectedToInternet:
      return "The Internet connection appears to be offline.";
    case kURLErrorBadServerResponse:
      return "bad server response";
    case kURLErrorFileDoesNotExist:
      return "The requested URL was not found on this server.";
    case kURLErrorSecureConnectionFailed:
      return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case kURLErrorServerCertificateUntrusted:
      return "The certificate for this server is invalid.";
    case kURLErrorCannotCreateFile:
      return "cannot create file";
    case kURLErrorCannotWriteToFile:
      return "cannot write to file";
    default:
      return "unknown error";
  }
}

ErrorPtr makeURLError(std::int64_t code, const std::string& url, const std::string& detail) {
  Value info;
  info.set(std::string(kLocalizedDescriptionKey), URLErrorDescription(code));
  info.set(std::string(kURLErrorFailingURLStringErrorKey), url);
  if (!detail.empty()) info.set(std::string(kDebugDescriptionErrorKey), detail);
  return Error::make(std::string(kURLErrorDomain), code, std::move(info));
}

// --- Configuration and delegate --------------------------------------------------------------------

URLSessionConfiguration URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(std::string identifier) {
  URLSessionConfiguration configuration;
  configuration.identifier = std::move(identifier);
  configuration.sessionSendsLaunchEvents = true;
  return configuration;
}

void URLSessionDelegate::URLSessionDidReceiveChallenge(URLSession&, const URLAuthenticationChallenge&,
                                                       const URLChallengeCompletionHandler& completionHandler) {
  completionHandler(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
}
void URLSessionDelegate::URLSessionDidBecomeInvalidWithError(URLSession&, const ErrorPtr&) {}
void URLSessionDelegate::URLSessionDataTaskDidReceiveResponse(URLSession&, const URLSessionDataTaskPtr&,
                                                              const URLResponsePtr&) {}
void URLSessionDelegate::URLSessionDataTaskDidReceiveData(URLSession&, const URLSessionDataTaskPtr&, const Bytes&) {}
void URLSessionDelegate::URLSessionDownloadTaskDidFinishDownloadingToURL(URLSession&, const URLSessionDownloadTaskPtr&,
                                                                         const std::string&) {}
void URLSessionDelegate::URLSessionTaskDidCompleteWithError(URLSession&, const URLSessionTaskPtr&, const ErrorPtr&) {}
void URLSessionDelegate::URLSessionDidFinishEventsForBackgroundURLSession(URLSession&) {}

// --- Tasks -----------------------------------------------------------------------------------------

URLSessionTask::URLSessionTask(Kind kind, std::uint64_t identifier, URLRequest original, URLRequest current)
    : kind_(kind), identifier_(identifier), original_(std::move(original)), current_(std::move(current)) {}

URLSessionTask::~URLSessionTask() {
  // A task dropped before it ever ran no longer holds up its session's invalidation.
  if (session_ && state_ == URLSessionTaskState::Suspended) session_->taskDelivered(nullptr);
}

URLRequest URLSessionTask::currentRequest() const {
  std::lock_guard lock(mutex_);
  return current_;
}
URLResponsePtr URLSessionTask::response() const {
  std::lock_guard lock(mutex_);
  return response_;
}
ErrorPtr URLSessionTask::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}
std::string URLSessionTask::taskDescription() const {
  std::lock_guard lock(mutex_);
  return description_;
}
void URLSessionTask::setTaskDescription(std::string description) {
  std::lock_guard lock(mutex_);
  description_ = std::move(description);
}
URLSessionTaskState URLSessionTask::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}
std::int64_t URLSessionTask::countOfBytesSent() const {
  std::lock_guard lock(mutex_);
  return bytesSent_;
}
std::int64_t URLSessionTask::countOfBytesReceived() const {
  std::lock_guard lock(mutex_);
  return bytesReceived_;
}

void URLSessionTask::resume() {
  {
    std::lock_guard lock(mutex_);
    if (state_ != URLSessionTaskState::Suspended) return;
    state_ = URLSessionTaskState::Running;
  }
  detail::URLLoader::shared().start(std::static_pointer_cast<URLSessionTask>(shared_from_this()));
}

void URLSessionTask::cancel() {
  URLSessionTaskState previous;
  {
    std::lock_guard lock(mutex_);
    previous = state_;
    if (previous == URLSessionTaskState::Completed || previous == URLSessionTaskState::Canceling) return;
    if (previous == URLSessionTaskState::Suspended) {
      state_ = URLSessionTaskState::Completed;
      error_ = makeURLError(kURLErrorCancelled, original_.URL());
    } else {
      state_ = URLSessionTaskState::Canceling;
    }
  }
  auto self = std::static_pointer_cast<URLSessionTask>(shared_from_this());
  if (previous == URLSessionTaskState::Suspended)
    session_->deliverCompletion(self, std::nullopt, std::nullopt);
  else
    detail::URLLoader::shared().cancel(self);
}

std::string URLSessionTask::description() const {
  return format("<%s %p> { taskIdentifier: %llu } { %s }", objectClass().name(), static_cast<const void*>(this),
                static_cast<unsigned long long>(identifier_), original_.URL());
}

// --- Session ---------------------------------------------------------------------------------------

URLSessionPtr URLSession::sessionWithConfiguration(URLSessionConfiguration configuration,
                                                   std::shared_ptr<URLSessionDelegate> delegate,
                                                   OperationQueuePtr delegateQueue) {
  auto session = platform::make<URLSession>();
  session->configuration_ = std::move(configuration);
  session->delegate_ = std::move(delegate);
  if (!delegateQueue) {
    delegateQueue =
        OperationQueue::create(format("URLSession %p delegate queue", static_cast<const void*>(session.get())));
    delegateQueue->setMaxConcurrentOperationCount(1);
  }
  session->delegateQueue_ = std::move(delegateQueue);
  session->net_ = std::make_shared<detail::SessionNetState>();
  return session;
}

URLSession::~URLSession() {
  if (net_ && net_->used) detail::URLLoader::shared().releaseSession(net_);
}

std::shared_ptr<URLSessionDelegate> URLSession::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

std::string URLSession::sessionDescription() const {
  std::lock_guard lock(mutex_);
  return description_;
}

void URLSession::setSessionDescription(std::string description) {
  std::lock_guard lock(mutex_);
  description_ = std::move(description);
}

bool URLSession::isInvalidated() const {
  std::lock_guard lock(mutex_);
  return invalidated_;
}

template <class Task>
std::shared_ptr<Task> URLSession::makeTask(URLSessionTask::Kind kind, URLRequest request, bool hasCompletionHandler) {
  if (configuration_.identifier && hasCompletionHandler)
    Exception::raise(kGenericException,
                     "Completion handler blocks are not supported in background sessions. Use a delegate instead.");
  URLRequest current = request;
  for (const auto& [name, value] : configuration_.HTTPAdditionalHeaders.fields())
    if (!current.allHTTPHeaderFields().contains(name)) current.setValue(value, name);
  std::lock_guard lock(mutex_);
  if (invalidated_) return nullptr;
  auto task = platform::make<Task>(kind, nextIdentifier_++, std::move(request), std::move(current));
  task->session_ = std::static_pointer_cast<URLSession>(shared_from_this());
  live_.push_back(task);
  return task;
}

URLSessionDataTaskPtr URLSession::dataTaskWithRequest(const URLRequest& request,
                                                      URLSessionDataCompletionHandler completionHandler) {
  auto task = makeTask<URLSessionDataTask>(URLSessionTask::Kind::Data, request, completionHandler != nullptr);
  if (task) task->dataCompletion_ = std::move(completionHandler);
  return task;
}

URLSessionUploadTaskPtr URLSession::uploadTaskWithRequest(const URLRequest& request, const std::string& fromFile,
                                                          URLSessionDataCompletionHandler completionHandler) {
  URLRequest upload = request;
  upload.setHTTPBodyFile(fromFile);
  if (upload.HTTPMethod() == "GET") upload.setHTTPMethod("POST");
  auto task = makeTask<URLSessionUploadTask>(URLSessionTask::Kind::Upload, upload, completionHandler != nullptr);
  if (task) task->dataCompletion_ = std::move(completionHandler);
  return task;
}

URLSessionUploadTaskPtr URLSession::uploadTaskWithRequest(const URLRequest& request, const Bytes& fromData,
                                                          URLSessionDataCompletionHandler completionHandler) {
  if (configuration_.identifier)
    Exception::raise(kGenericException, "Upload tasks from NSData are not supported in background sessions.");
  URLRequest upload = request;
  upload.setHTTPBody(fromData);
  if (upload.HTTPMethod() == "GET") upload.setHTTPMethod("POST");
  auto task = makeTask<URLSessionUploadTask>(URLSessionTask::Kind::Upload, upload, completionHandler != nullptr);
  if (task) task->dataCompletion_ = std::move(completionHandler);
  return task;
}

URLSessionDownloadTaskPtr URLSession::downloadTaskWithRequest(const URLRequest& request,
                                                              URLSessionDownloadCompletionHandler completionHandler) {
  auto task = makeTask<URLSessionDownloadTask>(URLSessionTask::Kind::Download, request, completionHandler != nullptr);
  if (task) task->downloadCompletion_ = std::move(completionHandler);
  return task;
}

void URLSession::getTasksWithCompletionHandler(TasksHandler handler) {
  auto self = std::static_pointer_cast<URLSession>(shared_from_this());
  post([self, handler = std::move(handler)] {
    std::vector<URLSessionDataTaskPtr> data;
    std::vector<URLSessionUploadTaskPtr> uploads;
    std::vector<URLSessionDownloadTaskPtr> downloads;
    std::vector<URLSessionTaskPtr> live;
    {
      std::lock_guard lock(self->mutex_);
      for (const auto& weak : self->live_)
        if (auto task = weak.lock()) live.push_back(task);
    }
    for (const URLSessionTaskPtr& task : live) {
      switch (task->kind()) {
        case URLSessionTask::Kind::Data:
          data.push_back(std::static_pointer_cast<URLSessionDataTask>(task));
          break;
        case URLSessionTask::Kind::Upload:
          uploads.push_back(std::static_pointer_cast<URLSessionUploadTask>(task));
          break;
        case URLSessionTask::Kind::Download:
          downloads.push_back(std::static_pointer_cast<URLSessionDownloadTask>(task));
          break;
      }
    }
    handler(data, uploads, downloads);
  });
}

void URLSession::finishTasksAndInvalidate() {
  {
    std::lock_guard lock(mutex_);
    invalidated_ = true;
  }
  taskDelivered(nullptr);
}

void URLSession::invalidateAndCancel() {
  std::vector<URLSessionTaskPtr> live;
  {
    std::lock_guard lock(mutex_);
    invalidated_ = true;
    for (const auto& weak : live_)
      if (auto task = weak.lock()) live.push_back(task);
  }
  for (const URLSessionTaskPtr& task : live) task->cancel();
  taskDelivered(nullptr);
}

void URLSession::post(std::function<void()> event) {
  bool schedule = false;
  {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
    schedule = !draining_;
    draining_ = true;
  }
  if (schedule) {
    auto self = std::static_pointer_cast<URLSession>(shared_from_this());
    delegateQueue_->addOperationWithBlock([self] { self->drainEvents(); });
  }
}

void URLSession::drainEvents() {
  for (;;) {
    std::vector<std::function<void()>> batch;
    {
      std::lock_guard lock(mutex_);
      if (events_.empty()) {
        draining_ = false;
        return;
      }
      batch.swap(events_);
    }
    for (auto& event : batch) event();
  }
}

void URLSession::deliverResponse(const URLSessionTaskPtr& task) {
  auto self = std::static_pointer_cast<URLSession>(shared_from_this());
  post([self, task] {
    if (auto delegate = self->delegate())
      delegate->URLSessionDataTaskDidReceiveResponse(*self, std::static_pointer_cast<URLSessionDataTask>(task),
                                                     task->response());
  });
}

void URLSession::deliverData(const URLSessionTaskPtr& task, Bytes data) {
  auto self = std::static_pointer_cast<URLSession>(shared_from_this());
  post([self, task, data = std::move(data)] {
    if (auto delegate = self->delegate())
      delegate->URLSessionDataTaskDidReceiveData(*self, std::static_pointer_cast<URLSessionDataTask>(task), data);
  });
}

void URLSession::deliverCompletion(const URLSessionTaskPtr& task, std::optional<Bytes> data,
                                   std::optional<std::string> location) {
  auto self = std::static_pointer_cast<URLSession>(shared_from_this());
  post([self, task, data = std::move(data), location = std::move(location)]() mutable {
    ErrorPtr error = task->error();
    URLResponsePtr response = task->response();
    if (task->dataCompletion_) {
      auto handler = std::move(task->dataCompletion_);
      task->dataCompletion_ = nullptr;
      handler(data, response, error);
    } else if (task->downloadCompletion_) {
      auto handler = std::move(task->downloadCompletion_);
      task->downloadCompletion_ = nullptr;
      handler(location, response, error);
    } else if (auto delegate = self->delegate()) {
      if (location)
        delegate->URLSessionDownloadTaskDidFinishDownloadingToURL(
            *self, std::static_pointer_cast<URLSessionDownloadTask>(task), *location);
      delegate->URLSessionTaskDidCompleteWithError(*self, task, error);
    }
    if (location) ::unlink(location->c_str());
    self->taskDelivered(task);
  });
}

void URLSession::taskDelivered(const URLSessionTaskPtr& task) {
  bool invalidate = false;
  bool backgroundDone = false;
  {
    std::lock_guard lock(mutex_);
    std::erase_if(live_, [&](const std::weak_ptr<URLSessionTask>& weak) {
      auto live = weak.lock();
      return !live || live == task;
    });
    if (invalidated_ && live_.empty() && !invalidationDelivered_) {
      invalidationDelivered_ = true;
      invalidate = true;
    }
    backgroundDone = task && configuration_.identifier && live_.empty();
  }
  auto self = std::static_pointer_cast<URLSession>(shared_from_this());
  if (backgroundDone)
    post([self] {
      if (auto delegate = self->delegate()) delegate->URLSessionDidFinishEventsForBackgroundURLSession(*self);
    });
  if (invalidate)
    post([self] {
      std::shared_ptr<URLSessionDelegate> delegate;
      {
        std::lock_guard lock(self->mutex_);
        delegate = std::move(self->delegate_);
        self->delegate_.reset();
      }
      if (delegate) delegate->URLSessionDidBecomeInvalidWithError(*self, nullptr);
    });
}

URLSessionAuthChallengeDisposition URLSession::judgeServerTrust(const URLAuthenticationChallenge& challenge) {
  std::shared_ptr<URLSessionDelegate> delegate = this->delegate();
  if (!delegate) return URLSessionAuthChallengeDisposition::PerformDefaultHandling;
  std::optional<URLSessionAuthChallengeDisposition> answer;
  try {
    delegate->URLSessionDidReceiveChallenge(*this, challenge,
                                            [&answer](URLSessionAuthChallengeDisposition disposition,
                                                      const std::optional<URLCredential>&) { answer = disposition; });
  } catch (const std::exception& e) {
    ZORVEL_DIAGNOSTIC_ERROR(std::string("URLSession: the delegate's challenge handling threw: ") + e.what());
    return URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge;
  }
  if (!answer) {
    ZORVEL_DIAGNOSTIC_ERROR(
        "URLSession: the delegate did not answer a server-trust challenge before returning; cancelling it");
    return URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge;
  }
  return *answer;
}

std::string URLSession::description() const {
  return format("<%s %p>", objectClass().name(), static_cast<const void*>(this));
}

}  // namespace platform
