#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "platform/dispatch/dispatch.h"
#include "platform/net/url_contents.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"

using namespace platform;
using zorvel::test::ScriptedResponse;
using zorvel::test::TempDir;
using zorvel::test::TestHTTPServer;

namespace {

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
std::string text(const std::optional<Bytes>& data) { return data ? std::string(data->begin(), data->end()) : "<nil>"; }

TEST(URLContents, ReadsFileAndHTTPURLsAndFailsWithTheReadingError) {
  TestHTTPServer server;
  server.setHandler([](const zorvel::test::RecordedRequest& request) {
    if (request.path == "/missing") return ScriptedResponse::text(404, "not here");
    if (request.path == "/broken") return ScriptedResponse::text(500, "oops");
    return ScriptedResponse::text(200, "served " + request.path);
  });
  TempDir dir;
  std::ofstream(dir / "a file") << "on disk";
  struct Case {
    const char* name;
    std::string url;
    std::string contents;  // when read
    std::string domain;    // when failed
    std::int64_t code;
  } cases[] = {
      {"file URL with an escaped space", "file://" + (dir / "a%20file").string(), "on disk", "", 0},
      {"file URL with localhost", "file://localhost" + (dir / "a%20file").string(), "on disk", "", 0},
      {"missing file", "file://" + (dir / "none").string(), "", std::string(kCocoaErrorDomain),
       kFileReadNoSuchFileError},
      {"file URL of another host", "file://elsewhere/etc/hostname", "", std::string(kCocoaErrorDomain),
       kFileReadUnknownError},
      {"http", server.url("/page"), "served /page", "", 0},
      {"http 404", server.url("/missing"), "", std::string(kCocoaErrorDomain), kFileReadNoSuchFileError},
      {"http 500", server.url("/broken"), "", std::string(kCocoaErrorDomain), kFileReadUnknownError},
      {"connection refused", zorvel::test::refusingURL(), "", std::string(kURLErrorDomain),
       kURLErrorCannotConnectToHost},
      {"unsupported scheme", "gopher://127.0.0.1/", "", std::string(kURLErrorDomain), kURLErrorUnsupportedURL},
  };
  for (const Case& c : cases) {
    ErrorPtr error;
    std::optional<Bytes> data = dataWithContentsOfURL(c.url, DataReadingUncached, &error);
    if (c.domain.empty()) {
      EXPECT_EQ(text(data), c.contents) << c.name;
      EXPECT_FALSE(error) << c.name;
    } else {
      EXPECT_FALSE(data) << c.name;
      ASSERT_TRUE(error) << c.name;
      EXPECT_EQ(error->domain(), c.domain) << c.name;
      EXPECT_EQ(error->code(), c.code) << c.name;
    }
  }
}

TEST(URLContents, StringsDetectTheirEncoding) {
  struct Case {
    const char* name;
    Bytes body;
    std::optional<std::string> charset;
    std::string expected;  // empty: fails
    StringEncoding encoding;
    std::int64_t code;
  } cases[] = {
      {"plain UTF-8", bytes("caf\xC3\xA9"), std::nullopt, "caf\xC3\xA9", StringEncoding::UTF8, 0},
      {"UTF-8 mark", bytes("\xEF\xBB\xBFok"), std::nullopt, "ok", StringEncoding::UTF8, 0},
      {"UTF-16 little endian mark", Bytes{0xFF, 0xFE, 'h', 0, 'i', 0}, std::nullopt, "hi", StringEncoding::UTF16, 0},
      {"UTF-16 big endian mark", Bytes{0xFE, 0xFF, 0, 'h', 0, 'i'}, std::nullopt, "hi", StringEncoding::UTF16, 0},
      {"UTF-32 little endian mark", Bytes{0xFF, 0xFE, 0, 0, 'x', 0, 0, 0}, std::nullopt, "x", StringEncoding::UTF32, 0},
      {"named Latin-1", bytes("caf\xE9"), "iso-8859-1", "caf\xC3\xA9", StringEncoding::ISOLatin1, 0},
      {"named windows-1252", bytes("\x80"), "windows-1252", "\xE2\x82\xAC", StringEncoding::WindowsCP1252, 0},
      {"a mark wins over the name", bytes("\xEF\xBB\xBFok"), "iso-8859-1", "ok", StringEncoding::UTF8, 0},
      {"an unknown name falls back to UTF-8", bytes("ok"), "no-such-charset", "ok", StringEncoding::UTF8, 0},
      {"bytes the named charset cannot decode", bytes("caf\xC3"), "utf-8", "", StringEncoding::UTF8,
       kFileReadInapplicableStringEncodingError},
      {"neither marked, named nor UTF-8", bytes("caf\xE9"), std::nullopt, "", StringEncoding::UTF8,
       kFileReadUnknownStringEncodingError},
  };
  for (const Case& c : cases) {
    StringEncoding used = StringEncoding::Other;
    ErrorPtr error;
    std::optional<std::string> decoded = decodeText(c.body, c.charset, &used, &error);
    if (c.code == 0) {
      EXPECT_EQ(decoded.value_or("<nil>"), c.expected) << c.name;
      EXPECT_EQ(used, c.encoding) << c.name;
    } else {
      EXPECT_FALSE(decoded) << c.name;
      ASSERT_TRUE(error) << c.name;
      EXPECT_EQ(error->code(), c.code) << c.name;
    }
  }

  TestHTTPServer server;
  server.enqueue(ScriptedResponse::text(200, "caf\xE9", "text/plain; charset=ISO-8859-1"));
  StringEncoding used = StringEncoding::Other;
  ErrorPtr error;
  EXPECT_EQ(stringWithContentsOfURL(server.url("/latin"), &used, &error).value_or("<nil>"), "caf\xC3\xA9")
      << "the server's charset";
  EXPECT_EQ(used, StringEncoding::ISOLatin1);
}

TEST(AsynchronousURLRequest, CallsTheHandlerOnTheQueueWithTheResponseAndData) {
  TestHTTPServer server;
  server.enqueue(ScriptedResponse::text(200, "hello"));
  server.enqueue(ScriptedResponse::text(404, "gone"));
  OperationQueuePtr queue = OperationQueue::create("requests");
  for (long status : {200L, 404L}) {
    DispatchSemaphore done;
    URLResponsePtr response;
    std::optional<Bytes> data;
    ErrorPtr error;
    OperationQueuePtr ranOn;
    auto request =
        sendAsynchronousRequest(URLRequest(server.url("/r")), queue,
                                [&](const URLResponsePtr& r, const std::optional<Bytes>& d, const ErrorPtr& e) {
                                  response = r, data = d, error = e, ranOn = OperationQueue::currentQueue();
                                  done.signal();
                                });
    ASSERT_TRUE(done.wait(20));
    EXPECT_EQ(ranOn, queue);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->statusCode(), status) << "an error status is a response";
    EXPECT_EQ(text(data), status == 200 ? "hello" : "gone");
    EXPECT_FALSE(error);
  }
}

TEST(AsynchronousURLRequest, ACancelledRequestNeverCallsItsHandlerAndStopsTheTransfer) {
  TestHTTPServer server;
  ScriptedResponse slow = ScriptedResponse::text(200, "late");
  slow.delayBeforeResponse = 30;
  server.enqueue(slow);
  OperationQueuePtr queue = OperationQueue::create("requests");
  std::atomic<int> calls{0};
  auto request =
      sendAsynchronousRequest(URLRequest(server.url("/slow")), queue,
                              [&](const URLResponsePtr&, const std::optional<Bytes>&, const ErrorPtr&) { ++calls; });
  ASSERT_TRUE(server.waitForRequestCount(1, 10)) << "the transfer is under way";
  request->cancel();
  EXPECT_TRUE(request->isCancelled());
  queue->waitUntilAllOperationsAreFinished();
  // The cancelled task completes on the session's queue soon after; give it the chance to (not) queue.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(calls.load(), 0);
}

}  // namespace
