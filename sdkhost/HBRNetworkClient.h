#pragma once

// Runs the service's data and download requests with retries, randomised exponential back-off
// and certificate pinning.
//
// One attempt: a task of the client's session with the request; its outcome goes through the
// response rules (HBRNetworkResponseHandler). Without retry the caller's handler gets the task's
// own data (or downloaded file, removed when the handler returns), response and error. With
// retry and tries below the limit the client waits, then makes attempt tries + 1; at the limit
// the handler gets nothing but the error -6. A session that makes no task gives the error -3 at
// once. The wait is pow(max(2, Retry-After), n) × jitter seconds, n the tries made (1 for the
// first), the jitter uniform in [0.9, 1.1): about 2, 2, 4, 8, 16 s without Retry-After. The wait
// runs through the retry scheduler (a timer on the global default-priority queue unless one is
// set), and the new attempt starts from there; the jitter comes from drand48 unless a source is
// set. Both are injectable so that tests need not wait.
//
// Trust: with pinned certificates every new TLS connection must lead to one of them
// (HBRCertificatePinner), except in debug mode (HBRDebugEnabled), when default handling applies.
//
// Lifetime: the session's delegate holds only the pinner, never the client, so dropping the last
// reference to the client tells its session finishTasksAndInvalidate (work in flight holds the
// client until it ends). Threads: any thread; handlers run on the session's delegate queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/url_session.h"
#include "platform/runtime/object.h"
#include "platform/services/operation_queue.h"
#include "sdkhost/HBRCertificatePinner.h"

class HBRNetworkClient : public platform::Object {
  ZORVEL_CLASS(HBRNetworkClient, platform::Object)

 public:
  using DataCompletion = std::function<void(const std::optional<platform::Bytes>& data,
                                            const platform::URLResponsePtr& response, const platform::ErrorPtr& error)>;
  using DownloadCompletion =
      std::function<void(const std::optional<std::string>& location, const platform::URLResponsePtr& response,
                         const platform::ErrorPtr& error)>;
  using RetryScheduler = std::function<void(double seconds, std::function<void()> attempt)>;
  using JitterSource = std::function<double()>;

  static constexpr std::uint64_t kDefaultRetryLimit = 10;

  // No configuration: the shim's default one. No certificates: no pinning. Null when no session
  // can be made.
  static std::shared_ptr<HBRNetworkClient> make(
      platform::OperationQueuePtr queue = nullptr,
      std::optional<std::vector<platform::CertificatePtr>> pinnedCertificates = {},
      std::optional<platform::URLSessionConfiguration> configuration = {});
  ~HBRNetworkClient() override;

  const platform::URLSessionPtr& session() const { return session_; }
  const std::shared_ptr<HBRCertificatePinner>& certPinner() const { return certPinner_; }
  // Set before the first request.
  void setRetryScheduler(RetryScheduler scheduler) { retryScheduler_ = std::move(scheduler); }
  void setJitterSource(JitterSource source) { jitterSource_ = std::move(source); }

  static double retryDelay(double retryAfter, std::uint64_t tries, double jitter);
  // drand48 widened to [0.9f, 1.1f).
  static double randomJitter();

  void startDataTaskWithRequest(const platform::URLRequest& request, DataCompletion completion) {
    startDataTaskWithRequest(request, kDefaultRetryLimit, 0, std::move(completion));
  }
  void startDataTaskWithRequest(const platform::URLRequest& request, std::uint64_t retryLimit,
                                DataCompletion completion) {
    startDataTaskWithRequest(request, retryLimit, 0, std::move(completion));
  }
  void startDataTaskWithRequest(const platform::URLRequest& request, std::uint64_t retryLimit, std::uint64_t tries,
                                DataCompletion completion);
  void startDownloadTaskWithRequest(const platform::URLRequest& request, DownloadCompletion completion) {
    startDownloadTaskWithRequest(request, kDefaultRetryLimit, 0, std::move(completion));
  }
  void startDownloadTaskWithRequest(const platform::URLRequest& request, std::uint64_t retryLimit,
                                    DownloadCompletion completion) {
    startDownloadTaskWithRequest(request, retryLimit, 0, std::move(completion));
  }
  void startDownloadTaskWithRequest(const platform::URLRequest& request, std::uint64_t retryLimit, std::uint64_t tries,
                                    DownloadCompletion completion);

  void invalidateAndCancel();

 private:
  class SessionDelegate;
  HBRNetworkClient() = default;
  // One attempt of a data (Payload Bytes) or download (Payload the file's path) request.
  template <class Payload>
  void attempt(
      const platform::URLRequest& request, std::uint64_t retryLimit, std::uint64_t tries,
      std::function<void(const std::optional<Payload>&, const platform::URLResponsePtr&, const platform::ErrorPtr&)>
          completion);
  // Waits before attempt tries + 1 after a retryable outcome.
  void scheduleRetry(const platform::URLResponsePtr& response, std::uint64_t tries, std::function<void()> attempt);

  platform::URLSessionPtr session_;
  std::shared_ptr<HBRCertificatePinner> certPinner_;
  RetryScheduler retryScheduler_;
  JitterSource jitterSource_;
};
