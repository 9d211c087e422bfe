#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/net/url_session.h"
#include "platform/services/files.h"
#include "support/temp_dir.h"
#include "support/test_certificates.h"
#include "support/test_http_server.h"

using namespace platform;
using zorvel::test::ScriptedResponse;
using zorvel::test::TempDir;
using zorvel::test::TestCertificates;
using zorvel::test::TestHTTPServer;

namespace {

struct Outcome {
  std::optional<Bytes> data;
  URLResponsePtr response;
  ErrorPtr error;
  OperationQueuePtr queue;  // the queue the handler ran on
};

// Runs a data task with a completion handler and waits for it.
Outcome fetch(const URLSessionPtr& session, const URLRequest& request) {
  DispatchSemaphore done;
  Outcome outcome;
  auto task = session->dataTaskWithRequest(
      request, [&](const std::optional<Bytes>& data, const URLResponsePtr& response, const ErrorPtr& error) {
        outcome = {data, response, error, OperationQueue::currentQueue()};
        done.signal();
      });
  task->resume();
  EXPECT_TRUE(done.wait(20));
  return outcome;
}

std::string text(const std::optional<Bytes>& data) { return data ? std::string(data->begin(), data->end()) : "<nil>"; }

URLSessionPtr plainSession() {
  return URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration());
}

// Records what a session tells its delegate, in order.
class RecordingDelegate : public URLSessionDelegate {
 public:
  std::mutex mutex;
  std::vector<std::string> events;
  std::optional<URLSessionAuthChallengeDisposition> answer;
  std::vector<URLAuthenticationChallenge> challenges;
  DispatchSemaphore completed;
  DispatchSemaphore invalidated;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};

  void note(std::string event) {
    if (running.fetch_add(1) != 0) overlapped = true;
    {
      std::lock_guard lock(mutex);
      events.push_back(std::move(event));
    }
    running.fetch_sub(1);
  }
  void URLSessionDidReceiveChallenge(URLSession& session, const URLAuthenticationChallenge& challenge,
                                     const URLChallengeCompletionHandler& handler) override {
    {
      std::lock_guard lock(mutex);
      challenges.push_back(challenge);
    }
    if (answer)
      handler(*answer, URLCredential::credentialForTrust(challenge.protectionSpace.serverTrust));
    else
      URLSessionDelegate::URLSessionDidReceiveChallenge(session, challenge, handler);
  }
  void URLSessionDataTaskDidReceiveResponse(URLSession&, const URLSessionDataTaskPtr&,
                                            const URLResponsePtr& response) override {
    note("response " + std::to_string(response->statusCode()));
  }
  void URLSessionDataTaskDidReceiveData(URLSession&, const URLSessionDataTaskPtr&, const Bytes& data) override {
    note("data " + std::string(data.begin(), data.end()));
  }
  void URLSessionDownloadTaskDidFinishDownloadingToURL(URLSession&, const URLSessionDownloadTaskPtr&,
                                                       const std::string& location) override {
    std::ifstream in(location);
    note("downloaded " + std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
  }
  void URLSessionTaskDidCompleteWithError(URLSession&, const URLSessionTaskPtr&, const ErrorPtr& error) override {
    note(error ? "complete " + std::to_string(error->code()) : "complete");
    completed.signal();
  }
  void URLSessionDidBecomeInvalidWithError(URLSession&, const ErrorPtr&) override {
    note("invalid");
    invalidated.signal();
  }
  void URLSessionDidFinishEventsForBackgroundURLSession(URLSession&) override { note("background events finished"); }
  std::vector<std::string> recorded() {
    std::lock_guard lock(mutex);
    return events;
  }
};

}  // namespace

TEST(URLSession, DataTaskHandsBackStatusHeadersAndBodyOnTheDelegateQueue) {
  TestHTTPServer server;
  server.enqueue(ScriptedResponse::text(201, "made").header("X-Request-Id", "r-1"));
  auto queue = OperationQueue::create("delegate queue");
  auto session =
      URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration(), nullptr, queue);
  URLRequest request(server.url("/things?x=1"));
  request.setValue("yes", "X-Test");
  Outcome outcome = fetch(session, request);
  ASSERT_FALSE(outcome.error) << outcome.error->description();
  EXPECT_EQ(outcome.queue, queue);
  EXPECT_EQ(outcome.response->statusCode(), 201);
  EXPECT_EQ(outcome.response->valueForHTTPHeaderField("x-request-id"), "r-1");
  EXPECT_EQ(outcome.response->MIMEType(), "text/plain");
  EXPECT_EQ(text(outcome.data), "made");
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].path, "/things?x=1");
  EXPECT_EQ(seen[0].header("X-Test"), "yes");
}

TEST(URLSession, RequestBodiesMethodsAndAdditionalHeadersReachTheServer) {
  TestHTTPServer server;
  URLSessionConfiguration configuration;
  configuration.HTTPAdditionalHeaders.set("X-Session", "from session");
  configuration.HTTPAdditionalHeaders.set("X-Both", "from session");
  auto session = URLSession::sessionWithConfiguration(configuration);
  URLRequest request(server.url("/put"));
  request.setHTTPMethod("PUT");
  request.setValue("from request", "X-Both");
  request.setValue("application/json", "Content-Type");
  request.setHTTPBody(Bytes{'{', '}'});
  ASSERT_FALSE(fetch(session, request).error);
  auto seen = server.requests().at(0);
  EXPECT_EQ(seen.method, "PUT");
  EXPECT_EQ(seen.body, "{}");
  EXPECT_EQ(seen.header("Content-Length"), "2");
  EXPECT_EQ(seen.header("Content-Type"), "application/json");
  EXPECT_EQ(seen.header("X-Session"), "from session");
  EXPECT_EQ(seen.header("X-Both"), "from request");
  EXPECT_FALSE(seen.header("Expect"));
}

TEST(URLSession, UploadFromFileSendsTheWholeFileWithItsLength) {
  TestHTTPServer server;
  TempDir dir;
  std::string content(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 26);
  std::ofstream(dir / "body.bin", std::ios::binary) << content;
  auto session = plainSession();
  DispatchSemaphore done;
  ErrorPtr error;
  auto task =
      session->uploadTaskWithRequest(URLRequest(server.url("/upload")), (dir / "body.bin").string(),
                                     [&](const std::optional<Bytes>&, const URLResponsePtr&, const ErrorPtr& e) {
                                       error = e;
                                       done.signal();
                                     });
  task->resume();
  ASSERT_TRUE(done.wait(20));
  ASSERT_FALSE(error);
  auto seen = server.requests().at(0);
  EXPECT_EQ(seen.method, "POST");
  EXPECT_EQ(seen.header("Content-Length"), std::to_string(content.size()));
  EXPECT_TRUE(seen.body == content);
  EXPECT_EQ(task->countOfBytesSent(), static_cast<std::int64_t>(content.size()));
}

TEST(URLSession, DownloadTaskHandsOverAFileThatIsRemovedAfterTheHandler) {
  TestHTTPServer server;
  server.enqueue(ScriptedResponse::text(200, "file body"));
  auto session = plainSession();
  DispatchSemaphore done;
  std::string location, content;
  auto task = session->downloadTaskWithRequest(
      URLRequest(server.url("/file")),
      [&](const std::optional<std::string>& path, const URLResponsePtr&, const ErrorPtr& e) {
        ASSERT_FALSE(e);
        ASSERT_TRUE(path);
        location = *path;
        std::ifstream in(location);
        content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        done.signal();
      });
  task->resume();
  ASSERT_TRUE(done.wait(20));
  EXPECT_EQ(content, "file body");
  session->getTasksWithCompletionHandler([&](auto&, auto&, auto&) { done.signal(); });  // after the removal
  ASSERT_TRUE(done.wait(20));
  EXPECT_FALSE(std::filesystem::exists(location));
}

TEST(URLSession, DelegateHearsResponseDataAndCompletionInOrderOneAtATime) {
  TestHTTPServer server;
  server.enqueue(ScriptedResponse::text(200, "hello"));
  server.enqueue(ScriptedResponse::text(200, "payload"));
  auto delegate = std::make_shared<RecordingDelegate>();
  auto queue = OperationQueue::create();  // concurrent: the session still delivers one by one
  auto session =
      URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration(), delegate, queue);
  session->dataTaskWithRequest(URLRequest(server.url("/a")))->resume();
  ASSERT_TRUE(delegate->completed.wait(20));
  auto download = session->downloadTaskWithRequest(URLRequest(server.url("/b")));
  download->resume();
  ASSERT_TRUE(delegate->completed.wait(20));
  // A task with a completion handler tells only its handler.
  ASSERT_FALSE(fetch(session, URLRequest(server.url("/c"))).error);
  session->finishTasksAndInvalidate();
  ASSERT_TRUE(delegate->invalidated.wait(20));
  EXPECT_EQ(delegate->recorded(), (std::vector<std::string>{"response 200", "data hello", "complete",
                                                            "downloaded payload", "complete", "invalid"}));
  EXPECT_FALSE(delegate->overlapped);
  EXPECT_FALSE(session->delegate());
  EXPECT_FALSE(session->dataTaskWithRequest(URLRequest(server.url("/d"))));
}

TEST(URLSession, TransportFailuresAreReportedWithThePlatformCodes) {
  TestHTTPServer server;
  struct Case {
    const char* name;
    std::function<URLRequest()> request;
    std::int64_t code;
  } cases[] = {
      {"connection refused", [&] { return URLRequest(zorvel::test::refusingURL()); }, kURLErrorCannotConnectToHost},
      {"dropped connection",
       [&] {
         ScriptedResponse drop;
         drop.dropConnection = true;
         server.enqueue(drop);
         return URLRequest(server.url("/drop"));
       },
       kURLErrorNetworkConnectionLost},
      {"dropped in the body",
       [&] {
         auto partial = ScriptedResponse::text(200, "0123456789");
         partial.dropAfterBodyBytes = 4;
         server.enqueue(partial);
         return URLRequest(server.url("/partial"));
       },
       kURLErrorNetworkConnectionLost},
      {"slow response",
       [&] {
         auto slow = ScriptedResponse::text(200, "late");
         slow.delayBeforeResponse = 3;
         server.enqueue(slow);
         return URLRequest(server.url("/slow"), URLRequestCachePolicy::UseProtocolCachePolicy, 0.3);
       },
       kURLErrorTimedOut},
      {"missing file", [] { return URLRequest("file:///nonexistent/zorvel-test"); }, kURLErrorFileDoesNotExist},
      {"unsupported scheme", [] { return URLRequest("gopher://127.0.0.1/"); }, kURLErrorUnsupportedURL},
  };
  auto session = plainSession();
  for (const Case& c : cases) {
    Outcome outcome = fetch(session, c.request());
    ASSERT_TRUE(outcome.error) << c.name;
    EXPECT_EQ(outcome.error->domain(), kURLErrorDomain) << c.name;
    EXPECT_EQ(outcome.error->code(), c.code) << c.name << ": " << outcome.error->description();
    EXPECT_FALSE(outcome.data) << c.name;
  }
}

TEST(URLSession, FileURLsAnswerWithoutAStatus) {
  TempDir dir;
  std::ofstream(dir / "f.txt") << "local";
  Outcome outcome = fetch(plainSession(), URLRequest("file://" + (dir / "f.txt").string()));
  ASSERT_FALSE(outcome.error);
  EXPECT_FALSE(outcome.response->isHTTPResponse());
  EXPECT_EQ(outcome.response->statusCode(), 0);
  EXPECT_EQ(text(outcome.data), "local");
}

TEST(URLSession, CancelEndsARunningOrSuspendedTaskWithCancelled) {
  TestHTTPServer server;
  auto slow = ScriptedResponse::text(200, "never");
  slow.delayBeforeResponse = 10;
  server.setDefaultResponse(slow);
  auto session = plainSession();
  DispatchSemaphore done;
  ErrorPtr running, suspended;
  auto task = session->dataTaskWithRequest(URLRequest(server.url("/slow")), [&](auto&, auto&, const ErrorPtr& e) {
    running = e;
    done.signal();
  });
  task->resume();
  ASSERT_TRUE(server.waitForRequestCount(1, 20));
  task->cancel();
  ASSERT_TRUE(done.wait(20));
  auto never = session->dataTaskWithRequest(URLRequest(server.url("/never")), [&](auto&, auto&, const ErrorPtr& e) {
    suspended = e;
    done.signal();
  });
  never->cancel();
  ASSERT_TRUE(done.wait(20));
  for (const ErrorPtr& error : {running, suspended}) {
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kURLErrorCancelled);
  }
  EXPECT_EQ(task->state(), URLSessionTaskState::Completed);
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST(URLSession, TaskListingShowsTasksUntilTheirCompletionIsDelivered) {
  TestHTTPServer server;
  auto slow = ScriptedResponse::text(200, "late");
  slow.delayBeforeResponse = 0.5;
  server.setDefaultResponse(slow);
  TempDir dir;
  std::ofstream(dir / "up") << "x";
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = URLSession::sessionWithConfiguration({}, delegate);
  auto data = session->dataTaskWithRequest(URLRequest(server.url("/1")));
  auto upload = session->uploadTaskWithRequest(URLRequest(server.url("/2")), (dir / "up").string());
  upload->setTaskDescription("reports/one");
  auto download = session->downloadTaskWithRequest(URLRequest(server.url("/3")));
  for (const URLSessionTaskPtr& t : std::vector<URLSessionTaskPtr>{data, upload, download}) t->resume();
  DispatchSemaphore listed;
  std::vector<std::string> descriptions;
  std::size_t counts[3] = {};
  session->getTasksWithCompletionHandler([&](const auto& d, const auto& u, const auto& w) {
    counts[0] = d.size(), counts[1] = u.size(), counts[2] = w.size();
    for (const auto& t : u) descriptions.push_back(t->taskDescription());
    listed.signal();
  });
  ASSERT_TRUE(listed.wait(20));
  EXPECT_EQ(counts[0], 1u);
  EXPECT_EQ(counts[1], 1u);
  EXPECT_EQ(counts[2], 1u);
  EXPECT_EQ(descriptions, std::vector<std::string>{"reports/one"});
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(delegate->completed.wait(20));
  session->getTasksWithCompletionHandler([&](const auto& d, const auto& u, const auto& w) {
    counts[0] = d.size() + u.size() + w.size();
    listed.signal();
  });
  ASSERT_TRUE(listed.wait(20));
  EXPECT_EQ(counts[0], 0u);
  EXPECT_NE(data->taskIdentifier(), upload->taskIdentifier());
}

TEST(URLSession, InvalidateAndCancelCancelsEveryLiveTask) {
  TestHTTPServer server;
  auto slow = ScriptedResponse::text(200, "late");
  slow.delayBeforeResponse = 10;
  server.setDefaultResponse(slow);
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = URLSession::sessionWithConfiguration({}, delegate);
  std::vector<URLSessionTaskPtr> tasks;
  for (int i = 0; i < 3; ++i) {
    tasks.push_back(session->dataTaskWithRequest(URLRequest(server.url("/" + std::to_string(i)))));
    tasks.back()->resume();
  }
  ASSERT_TRUE(server.waitForRequestCount(3, 20));
  session->invalidateAndCancel();
  ASSERT_TRUE(delegate->invalidated.wait(20));
  auto events = delegate->recorded();
  EXPECT_EQ(std::count(events.begin(), events.end(), "complete -999"), 3);
  EXPECT_EQ(events.back(), "invalid");
}

TEST(URLSession, BackgroundSessionsRefuseCompletionHandlersAndAnnounceTheEndOfTheirEvents) {
  TestHTTPServer server;
  TempDir dir;
  std::ofstream(dir / "package") << "report";
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = URLSession::sessionWithConfiguration(
      URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier("org.zorvel.tests.background"), delegate);
  EXPECT_THROW(session->dataTaskWithRequest(URLRequest(server.url("/")), [](auto&, auto&, auto&) {}), Exception);
  EXPECT_THROW(session->uploadTaskWithRequest(URLRequest(server.url("/")), Bytes{1}), Exception);
  session->uploadTaskWithRequest(URLRequest(server.url("/upload")), (dir / "package").string())->resume();
  ASSERT_TRUE(delegate->completed.wait(20));
  session->finishTasksAndInvalidate();
  ASSERT_TRUE(delegate->invalidated.wait(20));
  EXPECT_EQ(delegate->recorded(),
            (std::vector<std::string>{"response 200", "data OK", "complete", "background events finished", "invalid"}));
  EXPECT_EQ(server.requests().at(0).body, "report");
}

TEST(URLSession, DefaultTrustAcceptsOnlyServersOfTrustedRoots) {
  TestHTTPServer trusted(TestHTTPServer::Security::TLS);
  TestHTTPServer foreign(TestHTTPServer::Security::ForeignTLS);
  URLSessionConfiguration withRoot;
  withRoot.additionalTrustedRootCertificates =
      Certificate::certificatesFromPEM(TestCertificates::shared().rootCertificate);
  ASSERT_EQ(withRoot.additionalTrustedRootCertificates.size(), 1u);
  auto session = URLSession::sessionWithConfiguration(withRoot);
  EXPECT_FALSE(fetch(session, URLRequest(trusted.url("/"))).error);
  ErrorPtr error = fetch(session, URLRequest(foreign.url("/"))).error;
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), kURLErrorServerCertificateUntrusted);
  error = fetch(plainSession(), URLRequest(trusted.url("/"))).error;  // the system does not know the test root
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), kURLErrorServerCertificateUntrusted);
}

TEST(URLSession, DelegateJudgesServerTrustOnEachNewConnection) {
  TestHTTPServer foreign(TestHTTPServer::Security::ForeignTLS);
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->answer = URLSessionAuthChallengeDisposition::UseCredential;
  auto accepting = URLSession::sessionWithConfiguration({}, delegate);
  Outcome outcome = fetch(accepting, URLRequest(foreign.url("/")));
  EXPECT_FALSE(outcome.error);
  EXPECT_FALSE(fetch(accepting, URLRequest(foreign.url("/again"))).error);
  ASSERT_EQ(delegate->challenges.size(), 1u);  // the second request reused the connection
  EXPECT_EQ(foreign.connectionCount(), 1u);
  const URLProtectionSpace& space = delegate->challenges[0].protectionSpace;
  EXPECT_EQ(space.authenticationMethod, kURLAuthenticationMethodServerTrust);
  EXPECT_EQ(space.host, "127.0.0.1");
  EXPECT_EQ(space.port, foreign.port());
  ASSERT_TRUE(space.serverTrust);
  ASSERT_FALSE(space.serverTrust->certificates().empty());
  EXPECT_EQ(space.serverTrust->certificates()[0]->subjectSummary(), "localhost");

  auto refusing = std::make_shared<RecordingDelegate>();
  refusing->answer = URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge;
  ErrorPtr error = fetch(URLSession::sessionWithConfiguration({}, refusing), URLRequest(foreign.url("/"))).error;
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), kURLErrorCancelled);
  // A session that never accepted the server gets a connection of its own.
  EXPECT_EQ(foreign.connectionCount(), 1u);
}

TEST(ServerTrust, EvaluatesAgainstAnchorsAndTheHost) {
  const TestCertificates& made = TestCertificates::shared();
  auto leaf = Certificate::certificatesFromPEM(made.serverCertificate);
  auto root = Certificate::certificatesFromPEM(made.rootCertificate);
  auto foreignRoot = Certificate::certificatesFromPEM(made.foreignRootCertificate);
  struct Case {
    const char* host;
    std::vector<CertificatePtr> anchors;
    TrustResult expected;
  } cases[] = {
      {"localhost", root, TrustResult::Unspecified},
      {"127.0.0.1", root, TrustResult::Unspecified},
      {"example.org", root, TrustResult::RecoverableTrustFailure},
      {"localhost", foreignRoot, TrustResult::RecoverableTrustFailure},
      {"localhost", {}, TrustResult::RecoverableTrustFailure},
  };
  for (const Case& c : cases) {
    ServerTrust trust(c.host, leaf);
    ASSERT_EQ(trust.setAnchorCertificates(c.anchors), kTrustStatusSuccess);
    trust.setAnchorCertificatesOnly(true);
    TrustResult result = TrustResult::Invalid;
    EXPECT_EQ(trust.evaluate(&result), kTrustStatusSuccess);
    EXPECT_EQ(result, c.expected) << c.host;
  }
  ServerTrust trust("localhost", leaf);
  EXPECT_EQ(trust.setAnchorCertificates({nullptr}), kTrustStatusParameterError);
  EXPECT_FALSE(Certificate::createWithData(bytesOf("not a certificate")));
  EXPECT_TRUE(Certificate::createWithData(leaf[0]->data()));
}

TEST(URLSession, ManyTasksFromManyThreadsAllComplete) {
  TestHTTPServer server;
  server.setHandler(
      [](const zorvel::test::RecordedRequest& request) { return ScriptedResponse::text(200, request.path); });
  auto session = plainSession();
  std::atomic<int> matched{0};
  DispatchGroup::create();
  auto group = DispatchGroup::create();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        std::string path = "/t" + std::to_string(t) + "/" + std::to_string(i);
        group->enter();
        session
            ->dataTaskWithRequest(URLRequest(server.url(path)),
                                  [&, path](const std::optional<Bytes>& data, auto&, auto&) {
                                    if (text(data) == path) ++matched;
                                    group->leave();
                                  })
            ->resume();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(group->wait(30));
  EXPECT_EQ(matched, 40);
}

TEST(URLSession, ExitingWithTransfersInFlightEndsTheProcessCleanly) {
  // Neither a crash nor a hang while transfers are handshaking, waiting or receiving as the
  // process exits: the TLS library keeps its state, and the network thread stops before static
  // destruction. The child runs the test afresh (its own server, its own network thread): a
  // forked copy of a process that already used the loader would have no network thread.
  TestHTTPServer server(TestHTTPServer::Security::TLS);
  ScriptedResponse slow = ScriptedResponse::text(200, std::string(1 << 20, 'x'));
  slow.delayBeforeResponse = 0.05;
  server.setDefaultResponse(slow);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        URLSessionConfiguration withRoot;
        withRoot.additionalTrustedRootCertificates =
            Certificate::certificatesFromPEM(TestCertificates::shared().rootCertificate);
        auto session = URLSession::sessionWithConfiguration(withRoot);
        for (int i = 0; i < 8; ++i)
          session->dataTaskWithRequest(URLRequest(server.url("/" + std::to_string(i))), nullptr)->resume();
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}
