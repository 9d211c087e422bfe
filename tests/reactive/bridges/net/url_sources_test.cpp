#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "reactive/RFTuple.h"
#include "reactive/bridges/net/RFURLSources.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "tests/reactive/bridges/recording.h"

namespace {

using bridges_test::Recording;
using bridges_test::Texts;
using platform::Value;
using zorvel::test::ScriptedResponse;
using zorvel::test::TestHTTPServer;

constexpr double kWait = 20;

// Waits (without a main loop: these signals never use it) until the recording has ended.
bool waitForEnd(Recording& r) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kWait);
  while (std::chrono::steady_clock::now() < deadline) {
    std::string last = r.last();
    if (last == "completed" || last.rfind("error", 0) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::string dataSize(const Value& value) { return std::to_string(value.asData().size()); }

// The data of a value, as text.
std::string dataText(const Value& value) { return std::string(value.asData().begin(), value.asData().end()); }

TEST(ReadContentsOfURL, SendsTheDataOnceOrTheReadingErrorAndReplaysItToLateSubscribers) {
  TestHTTPServer server;
  server.setHandler([](const zorvel::test::RecordedRequest& request) {
    return request.path == "/missing" ? ScriptedResponse::text(404, "no") : ScriptedResponse::text(200, "body");
  });
  zorvel::test::TempDir dir;
  std::ofstream(dir / "f") << "file";
  // The scheduler's queue is held until the first subscriber is in, so that even a quick read is
  // delivered on the scheduler rather than replayed to a subscriber that came after its end.
  platform::DispatchQueuePtr queue = platform::DispatchQueue::createSerial("url-read");
  RFSchedulerPtr scheduler = RFScheduler::schedulerWithQueue(queue, "url-read");
  struct Case {
    const char* name;
    std::string url;
    Texts expected;
  } cases[] = {
      {"http", server.url("/ok"), {"4", "completed"}},
      {"file", "file://" + (dir / "f").string(), {"4", "completed"}},
      {"http 404", server.url("/missing"), {"error " + std::to_string(platform::kFileReadNoSuchFileError)}},
      {"missing file",
       "file://" + (dir / "none").string(),
       {"error " + std::to_string(platform::kFileReadNoSuchFileError)}},
  };
  for (const Case& c : cases) {
    queue->suspend();
    RFSignalPtr read = rf_readContentsOfURL(c.url, 0, scheduler);
    Recording r;
    r.record(read, dataSize);
    queue->resume();
    ASSERT_TRUE(waitForEnd(r)) << c.name;
    EXPECT_EQ(r.taken(), c.expected) << c.name;
    EXPECT_TRUE(r.offMainThread) << c.name << ": sent on the scheduler";
    Recording late;
    late.record(read, dataSize);
    EXPECT_EQ(late.taken(), c.expected) << c.name << ": replayed";
  }
}

TEST(ReadContentsOfURL, StringsComeDecodedWithTheirEncoding) {
  TestHTTPServer server;
  server.enqueue(ScriptedResponse::text(200, "caf\xE9", "text/plain; charset=iso-8859-1"));
  auto encoding = std::make_shared<std::atomic<platform::StringEncoding>>(platform::StringEncoding::Other);
  Recording r(rf_readStringContentsOfURL(server.url("/t"), encoding, RFScheduler::scheduler()));
  ASSERT_TRUE(waitForEnd(r));
  EXPECT_EQ(r.taken(), (Texts{"caf\xC3\xA9", "completed"}));
  EXPECT_EQ(encoding->load(), platform::StringEncoding::ISOLatin1);
}

TEST(SendAsynchronousRequest, SendsTheResponseAndDataOrTheErrorOncePerSubscription) {
  TestHTTPServer server;
  server.setHandler([](const zorvel::test::RecordedRequest& request) {
    return request.path == "/missing" ? ScriptedResponse::text(404, "gone") : ScriptedResponse::text(200, "hello");
  });
  struct Case {
    const char* name;
    std::string url;
    Texts expected;
  } cases[] = {
      {"success", server.url("/ok"), {"200 hello", "completed"}},
      {"404 is a response", server.url("/missing"), {"404 gone", "completed"}},
      {"connection refused",
       zorvel::test::refusingURL(),
       {"error " + std::to_string(platform::kURLErrorCannotConnectToHost)}},
  };
  for (const Case& c : cases) {
    RFSignalPtr request = rf_sendAsynchronousRequest(platform::URLRequest(c.url));
    Recording r;
    r.record(request, [](const Value& v) {
      RFTuplePtr tuple = v.as<RFTuple>();
      auto response = (*tuple)[0].as<platform::URLResponse>();
      return std::to_string(response->statusCode()) + " " + dataText((*tuple)[1]);
    });
    ASSERT_TRUE(waitForEnd(r)) << c.name;
    EXPECT_EQ(r.taken(), c.expected) << c.name;
  }
  std::size_t before = server.requests().size();
  RFSignalPtr request = rf_sendAsynchronousRequest(platform::URLRequest(server.url("/ok")));
  Recording first(request), second(request);
  ASSERT_TRUE(waitForEnd(first) && waitForEnd(second));
  EXPECT_EQ(server.requests().size(), before + 2) << "each subscription sends the request";
}

TEST(SendAsynchronousRequest, DisposingMidTransferSendsNothing) {
  TestHTTPServer server;
  ScriptedResponse slow = ScriptedResponse::text(200, "late");
  slow.delayBeforeResponse = 30;
  server.enqueue(slow);
  Recording r(rf_sendAsynchronousRequest(platform::URLRequest(server.url("/slow"))));
  ASSERT_TRUE(server.waitForRequestCount(1, kWait)) << "the transfer is under way";
  auto start = std::chrono::steady_clock::now();
  r.subscription->dispose();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(r.taken().empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
      << "disposal does not wait for the server";
}

}  // namespace
