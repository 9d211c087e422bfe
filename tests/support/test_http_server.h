#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace zorvel::test {

// One request as the server read it.
struct RecordedRequest {
  std::string method;
  std::string path;  // with the query
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // The first header of that name (case ignored).
  std::optional<std::string> header(std::string_view name) const;
};

// How the server answers one request.
struct ScriptedResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;  // Content-Length is added unless given
  std::string body;
  double delayBeforeResponse = 0;  // seconds of silence before anything is sent
  bool dropConnection = false;     // close the connection without answering
  // Send the headers (with the full Content-Length) and only this many body bytes, then close.
  std::optional<std::size_t> dropAfterBodyBytes;

  static ScriptedResponse text(int status, std::string body, std::string contentType = "text/plain");
  ScriptedResponse& header(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
  }
};

// An HTTP/1.1 server on 127.0.0.1 (a free port), plain or TLS, running on threads of its own
// (one per connection, keep-alive supported). Each request is recorded, then answered by the
// handler when one is set, else by the next queued response, else by the default response
// (200 "OK"). TLS servers present a certificate of TestCertificates: the test root's server
// certificate, or the foreign root's. Stopping (the destructor) closes every connection and
// joins every thread, also while a response is being delayed.
class TestHTTPServer {
 public:
  enum class Security { Plain, TLS, ForeignTLS };
  using Handler = std::function<ScriptedResponse(const RecordedRequest&)>;

  explicit TestHTTPServer(Security security = Security::Plain);
  ~TestHTTPServer();
  TestHTTPServer(const TestHTTPServer&) = delete;
  TestHTTPServer& operator=(const TestHTTPServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" or "https://127.0.0.1:<port>".
  std::string baseURL() const;
  std::string url(std::string_view path) const { return baseURL() + std::string(path); }

  void enqueue(ScriptedResponse response);
  void setDefaultResponse(ScriptedResponse response);
  void setHandler(Handler handler);

  std::vector<RecordedRequest> requests() const;
  std::size_t requestCount() const;
  // Whether `count` requests have arrived before the seconds passed.
  bool waitForRequestCount(std::size_t count, double timeoutSeconds) const;
  // Connections accepted (TLS: handshakes that completed).
  std::size_t connectionCount() const;

 private:
  struct Connection;
  void acceptLoop();
  void serve(std::shared_ptr<Connection> connection);
  ScriptedResponse answerFor(const RecordedRequest& request);
  // Waits the seconds unless the server stops first (false then).
  bool pause(double seconds);

  Security security_;
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  int port_ = 0;
  void* tls_ = nullptr;  // SSL_CTX

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  std::vector<RecordedRequest> requests_;
  std::vector<ScriptedResponse> queue_;
  ScriptedResponse default_;
  Handler handler_;
  std::size_t connections_ = 0;
  std::vector<std::shared_ptr<Connection>> open_;
  std::vector<std::thread> threads_;
  std::thread acceptThread_;
};

// "http://127.0.0.1:<port>/" on a loopback port where no server listens (one was just closed):
// connecting is refused.
std::string refusingURL();

}  // namespace zorvel::test
