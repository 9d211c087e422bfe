#include "sdkhost/HBRNetworkClient.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <type_traits>

#include "platform/dispatch/dispatch.h"
#include "platform/system/locks.h"
#include "sdkhost/BBXURLSession.h"
#include "sdkhost/HBRConstants.h"
#include "sdkhost/HBRNetworkResponseHandler.h"

using namespace platform;

// The session's delegate: answers server-trust challenges for the client, which it holds weakly.
class HBRNetworkClient::SessionDelegate : public URLSessionDelegate {
 public:
  explicit SessionDelegate(std::shared_ptr<HBRCertificatePinner> pinner) : pinner_(std::move(pinner)) {}

  void URLSessionDidReceiveChallenge(URLSession& session, const URLAuthenticationChallenge& challenge,
                                     const URLChallengeCompletionHandler& completionHandler) override {
    if (!pinner_ || HBRDebugEnabled()) {
      completionHandler(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
      return;
    }
    pinner_->handleChallenge(challenge, session, completionHandler);
  }
  void URLSessionDidBecomeInvalidWithError(URLSession&, const ErrorPtr&) override {}

 private:
  const std::shared_ptr<HBRCertificatePinner> pinner_;
};

std::shared_ptr<HBRNetworkClient> HBRNetworkClient::make(OperationQueuePtr queue,
                                                         std::optional<std::vector<CertificatePtr>> pinnedCertificates,
                                                         std::optional<URLSessionConfiguration> configuration) {
  auto client = platform::make<HBRNetworkClient>();
  if (pinnedCertificates) client->certPinner_ = HBRCertificatePinner::make(std::move(*pinnedCertificates));
  if (!configuration) configuration = BBXURLSessionConfiguration::defaultSessionConfiguration();
  client->session_ = BBXURLSession::sessionWithConfiguration(
      configuration, std::make_shared<SessionDelegate>(client->certPinner_), std::move(queue));
  if (!client->session_) return nullptr;
  return client;
}

HBRNetworkClient::~HBRNetworkClient() {
  if (session_) session_->finishTasksAndInvalidate();
}

double HBRNetworkClient::retryDelay(double retryAfter, std::uint64_t tries, double jitter) {
  double n = tries == 0 ? 1.0 : static_cast<double>(tries);
  return std::pow(std::max(2.0, retryAfter), n) * jitter;
}

double HBRNetworkClient::randomJitter() {
  static platform::Mutex mutex;  // drand48 keeps one state for the process
  constexpr double lower = static_cast<double>(0.9f);
  constexpr double upper = static_cast<double>(1.1f);
  platform::MutexLock lock(mutex);
  return lower + drand48() * (upper - lower);
}

void HBRNetworkClient::scheduleRetry(const URLResponsePtr& response, std::uint64_t tries,
                                     std::function<void()> attempt) {
  double jitter = jitterSource_ ? jitterSource_() : randomJitter();
  double delay = retryDelay(HBRNetworkResponseHandler::retryValueForResponse(response), tries, jitter);
  if (retryScheduler_)
    retryScheduler_(delay, std::move(attempt));
  else
    DispatchQueue::global(DispatchPriority::Default)->after(delay, std::move(attempt));
}

template <class Payload>
void HBRNetworkClient::attempt(
    const URLRequest& request, std::uint64_t retryLimit, std::uint64_t tries,
    std::function<void(const std::optional<Payload>&, const URLResponsePtr&, const ErrorPtr&)> completion) {
  auto self = std::static_pointer_cast<HBRNetworkClient>(shared_from_this());
  auto handler = [self, request, retryLimit, tries, completion](const std::optional<Payload>& payload,
                                                                const URLResponsePtr& response, const ErrorPtr& error) {
    HBRNetworkResponseHandler::handleCompletedResponse(response, request, error, [&](bool retry, const ErrorPtr&) {
      if (!retry) {
        completion(payload, response, error);
      } else if (tries < retryLimit) {
        self->scheduleRetry(response, tries, [self, request, retryLimit, tries, completion] {
          self->attempt<Payload>(request, retryLimit, tries + 1, completion);
        });
      } else {
        completion(std::nullopt, nullptr, HBRNetworkResponseHandler::errorForCode(kHBRNetworkErrorRetryLimit));
      }
    });
  };
  URLSessionTaskPtr task;
  if constexpr (std::is_same_v<Payload, Bytes>)
    task = session_->dataTaskWithRequest(request, handler);
  else
    task = session_->downloadTaskWithRequest(request, handler);
  if (!task) {
    completion(std::nullopt, nullptr, HBRNetworkResponseHandler::errorForCode(kHBRNetworkErrorNoTask));
    return;
  }
  task->resume();
}

void HBRNetworkClient::startDataTaskWithRequest(const URLRequest& request, std::uint64_t retryLimit,
                                                std::uint64_t tries, DataCompletion completion) {
  attempt<Bytes>(request, retryLimit, tries, std::move(completion));
}

void HBRNetworkClient::startDownloadTaskWithRequest(const URLRequest& request, std::uint64_t retryLimit,
                                                    std::uint64_t tries, DownloadCompletion completion) {
  attempt<std::string>(request, retryLimit, tries, std::move(completion));
}

void HBRNetworkClient::invalidateAndCancel() { session_->invalidateAndCancel(); }
