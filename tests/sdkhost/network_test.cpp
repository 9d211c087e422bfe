#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/system/process.h"
#include "sdkhost/BBXURLSession.h"
#include "sdkhost/HBRCertificatePinner.h"
#include "sdkhost/HBRConstants.h"
#include "sdkhost/HBRNetworkClient.h"
#include "sdkhost/HBRNetworkOperation.h"
#include "sdkhost/HBRNetworkResponseHandler.h"
#include "sdkhost/HBRURLBuilder.h"
#include "support/temp_dir.h"
#include "support/test_certificates.h"
#include "support/test_http_server.h"

using namespace platform;
using zorvel::test::ScriptedResponse;
using zorvel::test::TempDir;
using zorvel::test::TestCertificates;
using zorvel::test::TestHTTPServer;

namespace {

URLResponsePtr response(long status, HTTPHeaderFields headers = {}) {
  return URLResponse::httpResponse("https://127.0.0.1/", status, std::move(headers));
}

std::vector<CertificatePtr> testRoot() {
  return Certificate::certificatesFromPEM(TestCertificates::shared().rootCertificate);
}

// Records the waits the client asks for and runs each attempt at once.
struct ImmediateRetries {
  std::mutex mutex;
  std::vector<double> delays;
  void install(HBRNetworkClient& client) {
    client.setJitterSource([] { return 1.0; });
    client.setRetryScheduler([this](double seconds, std::function<void()> attempt) {
      {
        std::lock_guard lock(mutex);
        delays.push_back(seconds);
      }
      attempt();
    });
  }
};

struct Result {
  std::optional<Bytes> data;
  URLResponsePtr response;
  ErrorPtr error;
};

Result run(HBRNetworkClient& client, const URLRequest& request,
           std::uint64_t retryLimit = HBRNetworkClient::kDefaultRetryLimit) {
  DispatchSemaphore done;
  Result result;
  client.startDataTaskWithRequest(request, retryLimit,
                                  [&](const std::optional<Bytes>& d, const URLResponsePtr& r, const ErrorPtr& e) {
                                    result = {d, r, e};
                                    done.signal();
                                  });
  EXPECT_TRUE(done.wait(30));
  return result;
}

}  // namespace

// --- Response rules ------------------------------------------------------------------------------

TEST(HBRNetworkResponseHandler, StatusTableClassifiesEveryAnswer) {
  struct Case {
    long status;
    int type;
    bool retry;
    std::int64_t code;  // 0: no error
  } cases[] = {
      {200, 0, false, 0},  {201, 0, false, 0},  {202, 0, false, 0},  {204, 0, false, 0},  {304, 0, false, 0},
      {203, 1, false, -4}, {301, 1, false, -4}, {402, 1, false, -4}, {405, 1, false, -4}, {418, 1, false, -4},
      {400, 2, false, -5}, {401, 2, false, -5}, {403, 2, false, -5}, {404, 2, false, -5}, {406, 2, false, -5},
      {410, 2, false, -5}, {411, 2, false, -5}, {413, 2, false, -5}, {419, 2, false, -5}, {422, 2, false, -5},
      {431, 2, false, -5}, {408, 3, true, -1},  {500, 3, true, -1},  {503, 3, true, -1},  {599, 3, true, -1},
      {420, 4, true, -1},  {429, 4, true, -1},
  };
  for (const Case& c : cases) {
    HTTPHeaderFields headers;
    headers.set("X-Request-Id", "req-9");
    auto answer = response(c.status, headers);
    int type = -1;
    HBRNetworkResponseHandler::clientResponseType(answer, [&](int t, long status) {
      type = t;
      EXPECT_EQ(status, c.status);
    });
    EXPECT_EQ(type, c.type) << c.status;
    int calls = 0;
    HBRNetworkResponseHandler::handleCompletedResponse(
        answer, URLRequest("https://127.0.0.1/"), nullptr, [&](bool retry, const ErrorPtr& error) {
          ++calls;
          EXPECT_EQ(retry, c.retry) << c.status;
          EXPECT_EQ(error ? error->code() : 0, c.code) << c.status;
          if (!error) return;
          EXPECT_EQ(error->domain(), "HBRNetworkError");
          EXPECT_EQ(error->userInfo()["status_code"].asInt64(), c.status);
          EXPECT_EQ(error->userInfo()["request_id"], Value("req-9"));
          EXPECT_EQ(error->userInfo()["content_type"], Value(""));
        });
    EXPECT_EQ(calls, 1);
  }
  int type = -1;
  HBRNetworkResponseHandler::clientResponseType(URLResponse::plainResponse("file:///x", 1), [&](int t, long s) {
    type = t;
    EXPECT_EQ(s, 0);
  });
  EXPECT_EQ(type, 1);
}

TEST(HBRNetworkResponseHandler, ContentTypeMustMatchWhatTheRequestAccepts) {
  URLRequest json("https://127.0.0.1/");
  json.setValue("application/json", "Accept");
  json.setValue("utf-8", "Accept-Charset");
  struct Case {
    std::optional<std::string> contentType;
    bool matches;
  } cases[] = {
      {"application/json; charset=utf-8", true},
      {"Application/JSON; charset=UTF-8", true},
      {"application/json", true},
      {"application/json; charset=latin1", false},
      {"text/html; charset=utf-8", false},
      {std::nullopt, false},
  };
  for (const Case& c : cases) {
    HTTPHeaderFields headers;
    headers.set("Content-Type", c.contentType);
    EXPECT_EQ(HBRNetworkResponseHandler::contentTypeForResponse(response(200, headers), json), c.matches)
        << c.contentType.value_or("none");
  }
  EXPECT_TRUE(HBRNetworkResponseHandler::contentTypeForResponse(response(200), URLRequest("https://127.0.0.1/")));
  HTTPHeaderFields html;
  html.set("Content-Type", "text/html");
  HBRNetworkResponseHandler::handleCompletedResponse(response(200, html), json, nullptr,
                                                     [](bool retry, const ErrorPtr& error) {
                                                       EXPECT_FALSE(retry);
                                                       ASSERT_TRUE(error);
                                                       EXPECT_EQ(error->code(), kHBRNetworkErrorUnexpectedResponse);
                                                       EXPECT_EQ(error->userInfo()["content_type"], Value("text/html"));
                                                     });
}

TEST(HBRNetworkResponseHandler, TransportFailuresThatMayPassAreRetried) {
  struct Case {
    std::int64_t code;
    bool retry;
  } cases[] = {
      {kURLErrorTimedOut, true},
      {kURLErrorCannotConnectToHost, true},
      {kURLErrorCannotFindHost, true},
      {kURLErrorNetworkConnectionLost, true},
      {kURLErrorNotConnectedToInternet, true},
      {kURLErrorSecureConnectionFailed, true},
      {kURLErrorCancelled, false},
      {kURLErrorServerCertificateUntrusted, false},
      {kURLErrorUnsupportedURL, false},
      {kURLErrorFileDoesNotExist, false},
  };
  for (const Case& c : cases) {
    ErrorPtr transport = makeURLError(c.code, "https://127.0.0.1/");
    HBRNetworkResponseHandler::handleCompletedResponse(nullptr, URLRequest(), transport,
                                                       [&](bool retry, const ErrorPtr& error) {
                                                         EXPECT_EQ(retry, c.retry) << c.code;
                                                         EXPECT_EQ(error, transport);
                                                       });
  }
}

TEST(HBRNetworkResponseHandler, RetryAfterAndRequestIdHeaders) {
  struct Case {
    std::optional<std::string> header;
    double value;
  } cases[] = {{std::nullopt, 2}, {"30", 30}, {"-5", 2}, {"0.5", 0.5}, {"soon", 0}};
  for (const Case& c : cases) {
    HTTPHeaderFields headers;
    headers.set("Retry-After", c.header);
    EXPECT_EQ(HBRNetworkResponseHandler::retryValueForResponse(response(429, headers)), c.value)
        << c.header.value_or("none");
  }
  EXPECT_EQ(HBRNetworkResponseHandler::retryValueForResponse(nullptr), 2);
  EXPECT_FALSE(HBRNetworkResponseHandler::headerForResponse(URLResponse::plainResponse("file:///x", 1), "Retry-After"));
  EXPECT_FALSE(HBRNetworkResponseHandler::errorForResponse(response(200), 0, 200));
}

// --- URL builder and default headers -------------------------------------------------------------

TEST(HBRURLBuilder, ComponentsAndQueryParametersAreEscaped) {
  HBRURLBuilder builder = HBRURLBuilder::URLWithBase("https://settings.example.test");
  builder.appendComponent("/spi/v2/platforms/");
  builder.escapeAndAppendComponent("mac");
  builder.appendComponent("/apps/");
  builder.escapeAndAppendComponent("org.example_My App/ü");
  builder.appendComponent("/settings");
  builder.appendValue(Value(), "skipped");
  EXPECT_EQ(builder.queryParams(), 0u);
  builder.appendValue(Value("1.0 beta"), "display_version");
  builder.appendValue(Value(4), "source");
  builder.appendValue(Value("a&b=c?d#e%f\"<>"), "odd");
  EXPECT_EQ(builder.queryParams(), 3u);
  EXPECT_EQ(builder.URL(),
            "https://settings.example.test/spi/v2/platforms/mac/apps/org.example_My%20App/%C3%BC/settings"
            "?display_version=1.0%20beta&source=4&odd=a&b=c?d#e%25f%22%3C%3E");
}

TEST(HBRNetworkOperation, RequestsCarryTheHostsDefaultHeaders) {
  EXPECT_FALSE(HBRNetworkOperation::make(std::nullopt));
  auto operation = HBRNetworkOperation::make("api-key-1");
  ASSERT_TRUE(operation);
  EXPECT_EQ(operation->APIKey(), "api-key-1");
  URLRequest request = operation->mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL("https://127.0.0.1/x");
  EXPECT_EQ(request.timeoutInterval(), 10);
  EXPECT_EQ(request.cachePolicy(), URLRequestCachePolicy::ReloadIgnoringLocalCacheData);
  std::string locale = HBRNetworkOperation::localeIdentifier();
  EXPECT_FALSE(locale.empty());
  std::pair<const char*, std::string> expected[] = {
      {"User-Agent", "org.zorvel.sdk.harbor/1.6.11 (60)"},
      {"Accept-Charset", "utf-8"},
      {"Accept-Language", locale},
      {"Content-Language", locale},
      {"X-Blackbox-Developer-Token", std::string(kHBRDeveloperToken)},
      {"X-Blackbox-API-Client-Id", "org.zorvel.sdk.harbor"},
      {"X-Blackbox-API-Client-Display-Version", "1.6.11"},
      {"X-Blackbox-API-Client-Build-Version", "60"},
      {"X-Blackbox-API-Key", "api-key-1"},
  };
  for (const auto& [field, value] : expected) EXPECT_EQ(request.valueForHTTPHeaderField(field), value) << field;
  EXPECT_EQ(kHBRDeveloperToken.size(), 40u);
  EXPECT_EQ(kHBRDeveloperToken.find_first_not_of("0123456789abcdef"), std::string_view::npos);
  EXPECT_EQ(operation->mutableRequestWithDefaultHTTPHeadersForURL("https://127.0.0.1/", 3).timeoutInterval(), 3);
}

// --- Pinning ---------------------------------------------------------------------------------------

TEST(HBRPinnedCertificates, HoldsTheEightRootsInOrderAndNothingFromTheEnvironment) {
  // This program names a file with the test root in the process environment before the set is
  // first made (see the environment at the end): the set must not take it.
  const auto& pinned = HBRPinnedCertificates();
  ASSERT_EQ(pinned.size(), 8u);
  const char* names[] = {"AddTrust External CA Root",
                         "Entrust Root Certification Authority",
                         "DigiCert High Assurance EV Root CA",
                         "VeriSign Class 3 Public Primary Certification Authority - G5",
                         "VeriSign Class 1 Public Primary Certification Authority - G3",
                         "VeriSign Class 2 Public Primary Certification Authority - G3",
                         "VeriSign Class 3 Public Primary Certification Authority - G3",
                         "VeriSign Class 4 Public Primary Certification Authority - G3"};
  std::size_t sizes[] = {1082, 1173, 969, 1239, 1054, 1053, 1054, 1054};
  for (std::size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(pinned[i]->subjectSummary(), names[i]);
    EXPECT_EQ(pinned[i]->data().size(), sizes[i]) << names[i];
  }
  EXPECT_FALSE(HBRCertificateCreateWithBytes(reinterpret_cast<const std::uint8_t*>("junk"), 4));
  EXPECT_FALSE(HBRCertificatePinner::createCertificationWithData(nullptr, 0));
}

TEST(HBRCertificatePinner, AnswersChallengesByThePinnedRoots) {
  auto leaf = Certificate::certificatesFromPEM(TestCertificates::shared().serverCertificate);
  auto foreignLeaf = Certificate::certificatesFromPEM(TestCertificates::shared().foreignServerCertificate);
  auto session = URLSession::sessionWithConfiguration({});
  struct Case {
    const char* name;
    std::vector<CertificatePtr> pins;
    std::vector<CertificatePtr> chain;
    bool withTrust;
    bool accepted;
  } cases[] = {
      {"chain of a pinned root", testRoot(), leaf, true, true},
      {"chain of another root", testRoot(), foreignLeaf, true, false},
      {"the real pinned set only", HBRPinnedCertificates(), foreignLeaf, true, false},
      {"the real pinned set, the test root named in the environment", HBRPinnedCertificates(), leaf, true, false},
      {"empty pin set", {}, leaf, true, false},
      {"no server trust", testRoot(), leaf, false, false},
  };
  for (const Case& c : cases) {
    auto pinner = HBRCertificatePinner::make(c.pins);
    URLAuthenticationChallenge challenge;
    challenge.protectionSpace.authenticationMethod =
        std::string(c.withTrust ? kURLAuthenticationMethodServerTrust : kURLAuthenticationMethodClientCertificate);
    if (c.withTrust) challenge.protectionSpace.serverTrust = std::make_shared<ServerTrust>("127.0.0.1", c.chain);
    std::optional<URLSessionAuthChallengeDisposition> disposition;
    bool credential = false;
    bool accepted = pinner->handleChallenge(challenge, *session, [&](auto d, const std::optional<URLCredential>& cred) {
      disposition = d;
      credential = cred && cred->trust == challenge.protectionSpace.serverTrust;
    });
    EXPECT_EQ(accepted, c.accepted) << c.name;
    EXPECT_EQ(disposition, c.accepted ? URLSessionAuthChallengeDisposition::UseCredential
                                      : URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge)
        << c.name;
    EXPECT_EQ(credential, c.accepted) << c.name;
  }
  TrustResult result = TrustResult::Proceed;
  ServerTrust trust("127.0.0.1", leaf);
  EXPECT_EQ(HBRCertificatePinner::make({})->evaluateTrust(trust, &result), 0);
  EXPECT_EQ(result, TrustResult::Invalid);
}

// --- The client against the loopback service -------------------------------------------------------

TEST(HBRNetworkClient, PinnedClientTalksOnlyToServersOfItsRoots) {
  TestHTTPServer service(TestHTTPServer::Security::TLS);
  TestHTTPServer foreign(TestHTTPServer::Security::ForeignTLS);
  service.enqueue(ScriptedResponse::text(200, "{\"ok\":true}", "application/json; charset=utf-8"));
  // Trusting the foreign root by default handling does not get past the pinner.
  URLSessionConfiguration configuration;
  configuration.additionalTrustedRootCertificates =
      Certificate::certificatesFromPEM(TestCertificates::shared().foreignRootCertificate);
  auto client = HBRNetworkClient::make(nullptr, testRoot(), configuration);
  ASSERT_TRUE(client);
  ImmediateRetries retries;
  retries.install(*client);
  URLRequest request = HBRNetworkOperation::make("key")->mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
      service.url("/settings"));
  request.setValue("application/json", "Accept");
  Result ok = run(*client, request);
  ASSERT_FALSE(ok.error) << ok.error->description();
  EXPECT_EQ(std::string(ok.data->begin(), ok.data->end()), "{\"ok\":true}");
  auto seen = service.requests().at(0);
  EXPECT_EQ(seen.path, "/settings");
  EXPECT_EQ(seen.header("X-Blackbox-API-Key"), "key");
  EXPECT_EQ(seen.header("User-Agent"), "org.zorvel.sdk.harbor/1.6.11 (60)");

  Result refused = run(*client, URLRequest(foreign.url("/settings")));
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->code(), kURLErrorCancelled);
  EXPECT_TRUE(retries.delays.empty());  // a refused server is not tried again
  EXPECT_EQ(foreign.requestCount(), 0u);

  // In debug mode default handling decides, which trusts the foreign root here.
  HBRSetDebugEnabled(true);
  auto debugClient = HBRNetworkClient::make(nullptr, testRoot(), configuration);
  Result debug = run(*debugClient, URLRequest(foreign.url("/debug")));
  HBRSetDebugEnabled(false);
  EXPECT_FALSE(debug.error);
}

TEST(HBRNetworkClient, RetriesWithExponentialBackOffUntilTheLimit) {
  TestHTTPServer service;
  auto client = HBRNetworkClient::make();
  ImmediateRetries retries;
  retries.install(*client);
  service.enqueue(ScriptedResponse::text(503, "busy"));
  service.enqueue(ScriptedResponse::text(500, "busy"));
  service.enqueue(ScriptedResponse::text(408, "slow"));
  service.enqueue(ScriptedResponse::text(200, "done"));
  Result result = run(*client, URLRequest(service.url("/work")));
  ASSERT_FALSE(result.error);
  EXPECT_EQ(std::string(result.data->begin(), result.data->end()), "done");
  EXPECT_EQ(retries.delays, (std::vector<double>{2, 2, 4}));
  EXPECT_EQ(service.requestCount(), 4u);

  service.setDefaultResponse(ScriptedResponse::text(429, "slow down").header("Retry-After", "30"));
  retries.delays.clear();
  Result limited = run(*client, URLRequest(service.url("/throttled")), 3);
  ASSERT_TRUE(limited.error);
  EXPECT_EQ(limited.error->domain(), "HBRNetworkError");
  EXPECT_EQ(limited.error->code(), kHBRNetworkErrorRetryLimit);
  EXPECT_FALSE(limited.data);
  EXPECT_FALSE(limited.response);
  EXPECT_EQ(retries.delays, (std::vector<double>{30, 30, 900}));
  EXPECT_EQ(service.requestCount(), 8u);
}

TEST(HBRNetworkClient, FinalAnswersCompleteAtOnceWithTheTasksOwnOutcome) {
  TestHTTPServer service;
  auto client = HBRNetworkClient::make();
  ImmediateRetries retries;
  retries.install(*client);
  service.enqueue(ScriptedResponse::text(404, "missing"));
  Result result = run(*client, URLRequest(service.url("/missing")));
  EXPECT_FALSE(result.error);  // an HTTP status is no transport error: the caller classifies it
  EXPECT_EQ(result.response->statusCode(), 404);
  EXPECT_EQ(std::string(result.data->begin(), result.data->end()), "missing");
  EXPECT_TRUE(retries.delays.empty());
}

TEST(HBRNetworkClient, TransportFailuresAreRetriedWithTheSameBackOff) {
  TestHTTPServer service;
  ScriptedResponse drop;
  drop.dropConnection = true;
  service.enqueue(drop);
  auto slow = ScriptedResponse::text(200, "late");
  slow.delayBeforeResponse = 2;
  service.enqueue(slow);
  service.enqueue(ScriptedResponse::text(200, "finally"));
  auto client = HBRNetworkClient::make();
  ImmediateRetries retries;
  retries.install(*client);
  URLRequest request(service.url("/flaky"), URLRequestCachePolicy::UseProtocolCachePolicy, 0.3);
  Result result = run(*client, request);
  ASSERT_FALSE(result.error) << result.error->description();
  EXPECT_EQ(std::string(result.data->begin(), result.data->end()), "finally");
  EXPECT_EQ(retries.delays, (std::vector<double>{2, 2}));

  // Nothing listening: retried, then the limit.
  int closedPort;
  {
    TestHTTPServer closed;
    closedPort = closed.port();
  }
  retries.delays.clear();
  Result refused = run(*client, URLRequest("http://127.0.0.1:" + std::to_string(closedPort) + "/"), 1);
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->code(), kHBRNetworkErrorRetryLimit);
  EXPECT_EQ(retries.delays.size(), 1u);  // two attempts
}

TEST(HBRNetworkClient, RealWaitsUseTheGlobalQueueAndJitter) {
  for (int i = 0; i < 1000; ++i) {
    double jitter = HBRNetworkClient::randomJitter();
    ASSERT_GE(jitter, static_cast<double>(0.9f));
    ASSERT_LT(jitter, static_cast<double>(1.1f));
  }
  EXPECT_DOUBLE_EQ(HBRNetworkClient::retryDelay(0, 0, 1), 2);
  EXPECT_DOUBLE_EQ(HBRNetworkClient::retryDelay(2, 4, 1), 16);
  EXPECT_DOUBLE_EQ(HBRNetworkClient::retryDelay(30, 2, 1.05), 945);
  TestHTTPServer service;
  service.enqueue(ScriptedResponse::text(503, "once").header("Retry-After", "0.1"));
  service.enqueue(ScriptedResponse::text(200, "ok"));
  auto client = HBRNetworkClient::make();
  client->setJitterSource([] { return 1.0; });  // max(2, 0.1): a real wait of 2 seconds
  auto started = std::chrono::steady_clock::now();
  Result result = run(*client, URLRequest(service.url("/")));
  EXPECT_FALSE(result.error);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1900));
}

TEST(HBRNetworkClient, DownloadsHandOverTheFileAndInvalidatedClientsMakeNoTask) {
  TestHTTPServer service;
  service.enqueue(ScriptedResponse::text(500, "again"));
  service.enqueue(ScriptedResponse::text(200, "downloaded"));
  auto client = HBRNetworkClient::make();
  ImmediateRetries retries;
  retries.install(*client);
  DispatchSemaphore done;
  std::string content;
  client->startDownloadTaskWithRequest(
      URLRequest(service.url("/file")), [&](const std::optional<std::string>& location, auto&, const ErrorPtr& error) {
        EXPECT_FALSE(error);
        if (location) {
          std::ifstream in(*location);
          content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        done.signal();
      });
  ASSERT_TRUE(done.wait(30));
  EXPECT_EQ(content, "downloaded");
  EXPECT_EQ(retries.delays.size(), 1u);

  client->invalidateAndCancel();
  Result none = run(*client, URLRequest(service.url("/after")));
  ASSERT_TRUE(none.error);
  EXPECT_EQ(none.error->code(), kHBRNetworkErrorNoTask);
}

TEST(HBRNetworkClient, ReleasedClientInvalidatesItsSession) {
  std::weak_ptr<HBRNetworkClient> weakClient;
  std::weak_ptr<URLSession> weakSession;
  {
    auto client = HBRNetworkClient::make(nullptr, testRoot());
    weakClient = client;
    weakSession = client->session();
  }
  EXPECT_TRUE(weakClient.expired());
  for (int i = 0; i < 500 && !weakSession.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_TRUE(weakSession.expired());
}

// --- The session shim --------------------------------------------------------------------------------

namespace {

class CountingDelegate : public URLSessionDelegate {
 public:
  std::atomic<int> calls{0};
  DispatchSemaphore invalidated;
  void URLSessionDataTaskDidReceiveResponse(URLSession&, const URLSessionDataTaskPtr&, const URLResponsePtr&) override {
    ++calls;
  }
  void URLSessionDataTaskDidReceiveData(URLSession&, const URLSessionDataTaskPtr&, const Bytes&) override { ++calls; }
  void URLSessionTaskDidCompleteWithError(URLSession&, const URLSessionTaskPtr&, const ErrorPtr&) override { ++calls; }
  void URLSessionDidBecomeInvalidWithError(URLSession&, const ErrorPtr&) override { invalidated.signal(); }
};

}  // namespace

TEST(BBXURLSession, HandsOutPlatformSessionsAndConfigurations) {
  EXPECT_TRUE(BBXURLSession::NSURLSessionShouldBeUsed());
  EXPECT_FALSE(BBXURLSession::sessionWithConfiguration(std::nullopt));
  auto background =
      BBXURLSessionConfiguration::backgroundSessionConfiguration("org.zorvel.sdk.blackbox.crash.background-session");
  ASSERT_TRUE(background);
  EXPECT_EQ(background->identifier, "org.zorvel.sdk.blackbox.crash.background-session");
  ASSERT_TRUE(BBXURLSessionConfiguration::defaultSessionConfiguration());
  EXPECT_FALSE(BBXURLSessionConfiguration::ephemeralSessionConfiguration()->identifier);
}

TEST(BBXURLSession, CompletionHandlerTasksNeverCallTheDelegateAndHeadersReachEveryRequest) {
  TestHTTPServer service;
  auto configuration = BBXURLSessionConfiguration::defaultSessionConfiguration();
  configuration->HTTPAdditionalHeaders.set("X-Added", "yes");
  auto delegate = std::make_shared<CountingDelegate>();
  auto session = BBXURLSession::sessionWithConfiguration(configuration, delegate, nullptr);
  DispatchSemaphore done;
  int handlerCalls = 0;
  session
      ->dataTaskWithRequest(URLRequest(service.url("/one")),
                            [&](auto&, auto&, auto&) {
                              ++handlerCalls;
                              done.signal();
                            })
      ->resume();
  ASSERT_TRUE(done.wait(20));
  session->finishTasksAndInvalidate();
  ASSERT_TRUE(delegate->invalidated.wait(20));
  EXPECT_EQ(handlerCalls, 1);
  EXPECT_EQ(delegate->calls, 0);
  EXPECT_EQ(service.requests().at(0).header("X-Added"), "yes");
}

TEST(BBXURLSession, TaskListingFindsALiveUploadByItsDescription) {
  TestHTTPServer service;
  auto slow = ScriptedResponse::text(200, "stored");
  slow.delayBeforeResponse = 0.5;
  service.setDefaultResponse(slow);
  TempDir dir;
  std::ofstream(dir / "package") << "report";
  auto delegate = std::make_shared<CountingDelegate>();
  auto queue = OperationQueue::create("work queue");
  queue->setMaxConcurrentOperationCount(1);
  auto session = BBXURLSession::sessionWithConfiguration(
      BBXURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier("org.zorvel.tests.uploads"), delegate,
      queue);
  // Submitting the same package twice while the first upload is alive starts one task.
  std::atomic<int> started{0};
  auto submit = [&](DispatchSemaphore& checked) {
    session->getTasksWithCompletionHandler([&](const auto& data, const auto& uploads, const auto& downloads) {
      bool exists = false;
      for (const auto& t : uploads) exists = exists || t->taskDescription() == "active/package";
      EXPECT_TRUE(data.empty());
      EXPECT_TRUE(downloads.empty());
      if (!exists) {
        auto task = session->uploadTaskWithRequest(URLRequest(service.url("/upload")), (dir / "package").string());
        task->setTaskDescription("active/package");
        task->resume();
        ++started;
      }
      checked.signal();
    });
  };
  DispatchSemaphore first, second;
  submit(first);
  ASSERT_TRUE(first.wait(20));
  submit(second);
  ASSERT_TRUE(second.wait(20));
  EXPECT_EQ(started, 1);
  session->finishTasksAndInvalidate();
  ASSERT_TRUE(delegate->invalidated.wait(20));
  EXPECT_EQ(service.requestCount(), 1u);
}

TEST(BBXURLSession, InvalidateAndCancelCancelsEveryTaskMadeAndNotCompleted) {
  TestHTTPServer service;
  auto slow = ScriptedResponse::text(200, "late");
  slow.delayBeforeResponse = 10;
  service.setDefaultResponse(slow);
  auto session = BBXURLSession::sessionWithConfiguration(BBXURLSessionConfiguration::defaultSessionConfiguration());
  DispatchSemaphore done;
  std::atomic<int> cancelled{0};
  auto count = [&](auto&, auto&, const ErrorPtr& error) {
    if (error && error->code() == kURLErrorCancelled) ++cancelled;
    done.signal();
  };
  auto running = session->dataTaskWithRequest(URLRequest(service.url("/a")), count);
  running->resume();
  auto suspended = session->downloadTaskWithRequest(URLRequest(service.url("/b")), count);
  ASSERT_TRUE(service.waitForRequestCount(1, 20));
  session->invalidateAndCancel();
  ASSERT_TRUE(done.wait(20));
  ASSERT_TRUE(done.wait(20));
  EXPECT_EQ(cancelled, 2);
}

namespace {

// The pinned set is made once: before any test runs, name a file with the test root in the
// variable through which the set once took extra roots, so that the tests show it no longer does.
class PinnedRootEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    path_ = std::filesystem::temp_directory_path() /
            ("zorvel-pinned-root-" + std::to_string(ProcessInfo::processIdentifier()) + ".pem");
    std::ofstream(path_) << TestCertificates::shared().rootCertificate;
    setenv("HarborExtraRootCertificates", path_.c_str(), 1);
    HBRPinnedCertificates();
  }
  void TearDown() override { std::filesystem::remove(path_); }

 private:
  std::filesystem::path path_;
};

const auto* const kEnvironment = testing::AddGlobalTestEnvironment(new PinnedRootEnvironment);

}  // namespace
