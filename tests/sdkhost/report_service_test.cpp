#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/dispatch/dispatch.h"
#include "platform/net/trust.h"
#include "sdkhost/HBRNetworkClient.h"
#include "sdkhost/HBRNetworkResponseHandler.h"
#include "support/report_service.h"
#include "support/temp_dir.h"
#include "support/test_certificates.h"

using namespace platform;
using zorvel::test::ReportService;
using zorvel::test::ScriptedResponse;
using zorvel::test::TempDir;
using zorvel::test::TestCertificates;
using Endpoint = ReportService::Endpoint;

TEST(ReportService, KnowsEachRequestByMethodAndPath) {
  struct Case {
    const char* method;
    const char* path;
    Endpoint expected;
  };
  const Case cases[] = {
      {"GET", "/spi/v2/platforms/mac/apps/org.a/settings?build_version=1&source=1", Endpoint::Settings},
      {"POST", "/spi/v1/platforms/mac/apps", Endpoint::AppCreate},
      {"PUT", "/spi/v1/platforms/mac/apps/org.a", Endpoint::AppUpdate},
      {"POST", "/sdk-api/v1/platforms/mac/apps/org.a/reports", Endpoint::ReportUpload},
      {"GET", "/spi/v2/platforms/mac/apps/org.a/beta_update_check?instance=x", Endpoint::BetaUpdateCheck},
      {"POST", "/spi/v2/events", Endpoint::EventUpload},
      {"POST", "/spi/v2/platforms/mac/apps/org.a/settings", Endpoint::Unknown},
      {"GET", "/spi/v1/platforms/mac/apps", Endpoint::Unknown},
      {"GET", "/", Endpoint::Unknown},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ReportService::classify(c.method, c.path), c.expected) << c.method << " " << c.path;
}

TEST(ReportService, StoresLogsAndAnswersByScriptOverPinnedTLS) {
  TempDir dir;
  ReportService service(dir.path() / "service");
  service.enqueue(Endpoint::EventUpload,
                  ScriptedResponse::text(429, "slow down", "text/plain").header("Retry-After", "7"));
  auto client =
      HBRNetworkClient::make(nullptr, Certificate::certificatesFromPEM(TestCertificates::shared().rootCertificate));
  ASSERT_TRUE(client);
  std::vector<double> waits;
  client->setJitterSource([] { return 1.0; });
  client->setRetryScheduler([&](double seconds, std::function<void()> attempt) {
    waits.push_back(seconds);
    attempt();
  });
  URLRequest request(service.baseURL() + "/spi/v2/events");
  request.setHTTPMethod("POST");
  request.setHTTPBody(Bytes{'e', 'v'});
  request.setValue("x", "X-Test");
  DispatchSemaphore done;
  long status = 0;
  client->startDataTaskWithRequest(request, 3,
                                   [&](const std::optional<Bytes>&, const URLResponsePtr& response, const ErrorPtr&) {
                                     status = response ? response->statusCode() : -1;
                                     done.signal();
                                   });
  ASSERT_TRUE(done.wait(20));
  EXPECT_EQ(status, 202);  // the scripted refusal, then the default
  EXPECT_EQ(waits, std::vector<double>{7});
  EXPECT_EQ(service.count(Endpoint::EventUpload), 2u);
  auto lines = service.logLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "1 event-upload POST /spi/v2/events -> 429");
  std::ifstream stored(dir.path() / "service" / "2-event-upload.request", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(stored)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.rfind("POST /spi/v2/events\r\n", 0), 0u);
  EXPECT_NE(text.find("X-Test: x\r\n"), std::string::npos);
  EXPECT_TRUE(text.ends_with("\r\n\r\nev"));
  std::ifstream log(dir.path() / "service" / "requests.log");
  std::string logText((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_EQ(logText, lines[0] + "\n" + lines[1] + "\n");
}
