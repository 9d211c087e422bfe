#include "support/report_service.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <vector>

namespace zorvel::test {

namespace {
ScriptedResponse json(int status, std::string body) {
  return ScriptedResponse::text(status, std::move(body), "application/json; charset=utf-8");
}
}  // namespace

ReportService::ReportService(std::filesystem::path folder, TestHTTPServer::Security security)
    : folder_(std::move(folder)), server_(security) {
  std::filesystem::create_directories(folder_);
  defaults_[Endpoint::Settings] = json(200, R"({"app":{"status":"activated","update_required":false}})");
  defaults_[Endpoint::AppCreate] = json(200, "{}");
  defaults_[Endpoint::AppUpdate] = json(200, "{}");
  defaults_[Endpoint::ReportUpload] = json(202, "{}");
  defaults_[Endpoint::BetaUpdateCheck] = json(200, "{}");
  defaults_[Endpoint::EventUpload] = json(202, "{}");
  defaults_[Endpoint::Unknown] = json(404, "{}");
  server_.setHandler([this](const RecordedRequest& request) { return answer(request); });
}

namespace {

// Whether a path matches a pattern of segments, where "*" stands for any one non-empty segment.
bool matchesSegments(const std::string& path, const std::vector<std::string>& pattern) {
  std::vector<std::string> segments;
  std::size_t start = 1;
  if (path.empty() || path[0] != '/') return false;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    segments.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  if (segments.size() != pattern.size()) return false;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (segments[i].empty() || (pattern[i] != "*" && pattern[i] != segments[i])) return false;
  }
  return true;
}

}  // namespace

ReportService::Endpoint ReportService::classify(const std::string& method, const std::string& rawPath) {
  const std::string path = rawPath.substr(0, rawPath.find('?'));
  if (method == "GET" && matchesSegments(path, {"spi", "v2", "platforms", "*", "apps", "*", "settings"}))
    return Endpoint::Settings;
  if (method == "POST" && matchesSegments(path, {"spi", "v1", "platforms", "*", "apps"})) return Endpoint::AppCreate;
  if (method == "PUT" && matchesSegments(path, {"spi", "v1", "platforms", "*", "apps", "*"}))
    return Endpoint::AppUpdate;
  if (method == "POST" && matchesSegments(path, {"sdk-api", "v1", "platforms", "*", "apps", "*", "reports"}))
    return Endpoint::ReportUpload;
  if (method == "GET" && matchesSegments(path, {"spi", "v2", "platforms", "*", "apps", "*", "beta_update_check"}))
    return Endpoint::BetaUpdateCheck;
  if (method == "POST" && path == "/spi/v2/events") return Endpoint::EventUpload;
  return Endpoint::Unknown;
}

const char* ReportService::name(Endpoint endpoint) {
  switch (endpoint) {
    case Endpoint::Settings:
      return "settings";
    case Endpoint::AppCreate:
      return "app-create";
    case Endpoint::AppUpdate:
      return "app-update";
    case Endpoint::ReportUpload:
      return "report-upload";
    case Endpoint::BetaUpdateCheck:
      return "beta-update-check";
    case Endpoint::EventUpload:
      return "event-upload";
    case Endpoint::Unknown:
      break;
  }
  return "unknown";
}

void ReportService::enqueue(Endpoint endpoint, ScriptedResponse response) {
  std::lock_guard lock(mutex_);
  queues_[endpoint].push_back(std::move(response));
}

void ReportService::setDefaultResponse(Endpoint endpoint, ScriptedResponse response) {
  std::lock_guard lock(mutex_);
  defaults_[endpoint] = std::move(response);
}

void ReportService::setLogSink(LogSink sink) {
  std::lock_guard lock(mutex_);
  sink_ = std::move(sink);
}

ScriptedResponse ReportService::answer(const RecordedRequest& request) {
  Endpoint endpoint = classify(request.method, request.path);
  ScriptedResponse response;
  std::string line;
  LogSink sink;
  {
    std::lock_guard lock(mutex_);
    auto& queue = queues_[endpoint];
    if (!queue.empty()) {
      response = std::move(queue.front());
      queue.erase(queue.begin());
    } else {
      response = defaults_[endpoint];
    }
    std::size_t number = seen_.size() + 1;
    std::string stem = std::to_string(number) + "-" + name(endpoint);
    {
      std::ofstream file(folder_ / (stem + ".request"), std::ios::binary);
      file << request.method << ' ' << request.path << "\r\n";
      for (const auto& [field, value] : request.headers) file << field << ": " << value << "\r\n";
      file << "\r\n" << request.body;
    }
    line = std::to_string(number) + " " + name(endpoint) + " " + request.method + " " + request.path + " -> " +
           std::to_string(response.status);
    std::ofstream(folder_ / "requests.log", std::ios::app) << line << '\n';
    log_.push_back(line);
    seen_.emplace_back(endpoint, request);
    sink = sink_;
  }
  changed_.notify_all();
  if (sink) sink(line);
  return response;
}

std::vector<RecordedRequest> ReportService::requests(Endpoint endpoint) const {
  std::lock_guard lock(mutex_);
  std::vector<RecordedRequest> found;
  for (const auto& [e, request] : seen_)
    if (e == endpoint) found.push_back(request);
  return found;
}

bool ReportService::waitFor(Endpoint endpoint, std::size_t count, double timeoutSeconds) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] {
    std::size_t n = 0;
    for (const auto& entry : seen_)
      if (entry.first == endpoint) ++n;
    return n >= count;
  });
}

std::vector<std::string> ReportService::logLines() const {
  std::lock_guard lock(mutex_);
  return log_;
}

}  // namespace zorvel::test
