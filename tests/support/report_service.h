#pragma once

// A stand-in for the crash-reporting and analytics service, on loopback over HTTPS with the test
// root's certificate (TestCertificates; clients trust it by pinning that root). It knows the
// service's requests by method and path:
//
//   Settings        GET  /spi/v2/platforms/<platform>/apps/<app>/settings
//   AppCreate       POST /spi/v1/platforms/<platform>/apps
//   AppUpdate       PUT  /spi/v1/platforms/<platform>/apps/<app>
//   ReportUpload    POST /sdk-api/v1/platforms/<platform>/apps/<app>/reports
//   BetaUpdateCheck GET  /spi/v2/platforms/<platform>/apps/<app>/beta_update_check
//   EventUpload     POST /spi/v2/events
//
// Each request is stored as a file in the folder ("<number>-<endpoint>.request": the request
// line, the headers, a blank line, the body) and logged as one line ("<number> <endpoint>
// <method> <path> -> <status>") to the log file "requests.log" there and to the log sink. Each
// endpoint answers from its queue of scripted responses (status, headers such as "Retry-After",
// body, delay), else by its default: Settings {"app":{"status":"activated"}} as
// application/json, the others 200/202 with an empty JSON object; unknown requests get 404.
//
// Threads: the server's threads answer; every method may be called from any thread.

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/test_http_server.h"

namespace zorvel::test {

class ReportService {
 public:
  enum class Endpoint { Settings, AppCreate, AppUpdate, ReportUpload, BetaUpdateCheck, EventUpload, Unknown };
  using LogSink = std::function<void(const std::string& line)>;

  explicit ReportService(std::filesystem::path folder,
                         TestHTTPServer::Security security = TestHTTPServer::Security::TLS);

  static Endpoint classify(const std::string& method, const std::string& path);
  static const char* name(Endpoint endpoint);

  std::string baseURL() const { return server_.baseURL(); }
  int port() const { return server_.port(); }
  const std::filesystem::path& folder() const { return folder_; }

  void enqueue(Endpoint endpoint, ScriptedResponse response);
  void setDefaultResponse(Endpoint endpoint, ScriptedResponse response);
  void setLogSink(LogSink sink);

  std::vector<RecordedRequest> requests(Endpoint endpoint) const;
  std::size_t count(Endpoint endpoint) const { return requests(endpoint).size(); }
  // Whether `count` requests of the endpoint arrived before the seconds passed.
  bool waitFor(Endpoint endpoint, std::size_t count, double timeoutSeconds) const;
  std::vector<std::string> logLines() const;

 private:
  ScriptedResponse answer(const RecordedRequest& request);

  std::filesystem::path folder_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<Endpoint, std::vector<ScriptedResponse>> queues_;
  std::map<Endpoint, ScriptedResponse> defaults_;
  std::vector<std::pair<Endpoint, RecordedRequest>> seen_;
  std::vector<std::string> log_;
  LogSink sink_;
  TestHTTPServer server_;  // last: stops before the state above goes
};

}  // namespace zorvel::test
