#include "support/test_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "support/test_certificates.h"

namespace zorvel::test {

namespace {

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string trim(std::string_view text) {
  std::size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  return std::string(text.substr(start, text.find_last_not_of(" \t\r") - start + 1));
}

const char* reasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 203:
      return "Non-Authoritative Information";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 408:
      return "Request Timeout";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

void loadIdentity(SSL_CTX* context, const std::string& certificatePEM, const std::string& keyPEM) {
  BIO* bio = BIO_new_mem_buf(certificatePEM.data(), static_cast<int>(certificatePEM.size()));
  X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  bio = BIO_new_mem_buf(keyPEM.data(), static_cast<int>(keyPEM.size()));
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (!certificate || !key || SSL_CTX_use_certificate(context, certificate) != 1 ||
      SSL_CTX_use_PrivateKey(context, key) != 1)
    throw std::runtime_error("test server: cannot load its certificate");
  X509_free(certificate);
  EVP_PKEY_free(key);
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (sameName(key, name)) return value;
  return std::nullopt;
}

ScriptedResponse ScriptedResponse::text(int status, std::string body, std::string contentType) {
  ScriptedResponse response;
  response.status = status;
  response.body = std::move(body);
  response.headers.emplace_back("Content-Type", std::move(contentType));
  return response;
}

// One accepted connection: a socket, and TLS on it when the server speaks TLS.
struct TestHTTPServer::Connection {
  int fd = -1;
  SSL* ssl = nullptr;

  ~Connection() {
    if (ssl) SSL_free(ssl);
    if (fd >= 0) ::close(fd);
  }
  long read(char* buffer, std::size_t size) {
    if (ssl) return SSL_read(ssl, buffer, static_cast<int>(size));
    for (;;) {
      ssize_t n = ::recv(fd, buffer, size, 0);
      if (n < 0 && errno == EINTR) continue;
      return n;
    }
  }
  bool writeAll(std::string_view data) {
    while (!data.empty()) {
      long n = ssl ? SSL_write(ssl, data.data(), static_cast<int>(data.size()))
                   : ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
      if (n <= 0) {
        if (!ssl && n < 0 && errno == EINTR) continue;
        return false;
      }
      data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
};

TestHTTPServer::TestHTTPServer(Security security) : security_(security) {
  default_ = ScriptedResponse::text(200, "OK");
  // TLS writes go through write(2): a client that hung up must not end the test program.
  ::signal(SIGPIPE, SIG_IGN);
  if (security_ != Security::Plain) {
    const TestCertificates& certificates = TestCertificates::shared();
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (security_ == Security::TLS)
      loadIdentity(context, certificates.serverCertificate, certificates.serverKey);
    else
      loadIdentity(context, certificates.foreignServerCertificate, certificates.foreignServerKey);
    tls_ = context;
  }
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int yes = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listenFd_, 64) != 0)
    throw std::runtime_error("test server: cannot listen");
  socklen_t length = sizeof address;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  if (::pipe2(wakeFds_, O_CLOEXEC) != 0) throw std::runtime_error("test server: cannot make a pipe");
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

TestHTTPServer::~TestHTTPServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (const auto& connection : open_) ::shutdown(connection->fd, SHUT_RDWR);
  }
  changed_.notify_all();
  char byte = 0;
  [[maybe_unused]] ssize_t written = ::write(wakeFds_[1], &byte, 1);
  acceptThread_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    threads.swap(threads_);
  }
  for (std::thread& thread : threads) thread.join();
  ::close(listenFd_);
  ::close(wakeFds_[0]);
  ::close(wakeFds_[1]);
  if (tls_) SSL_CTX_free(static_cast<SSL_CTX*>(tls_));
}

std::string TestHTTPServer::baseURL() const {
  return std::string(security_ == Security::Plain ? "http" : "https") + "://127.0.0.1:" + std::to_string(port_);
}

void TestHTTPServer::enqueue(ScriptedResponse response) {
  std::lock_guard lock(mutex_);
  queue_.push_back(std::move(response));
}

void TestHTTPServer::setDefaultResponse(ScriptedResponse response) {
  std::lock_guard lock(mutex_);
  default_ = std::move(response);
}

void TestHTTPServer::setHandler(Handler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

std::vector<RecordedRequest> TestHTTPServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t TestHTTPServer::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

bool TestHTTPServer::waitForRequestCount(std::size_t count, double timeoutSeconds) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                           [&] { return requests_.size() >= count; });
}

std::size_t TestHTTPServer::connectionCount() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

bool TestHTTPServer::pause(double seconds) {
  if (seconds <= 0) return true;
  std::unique_lock lock(mutex_);
  return !changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return stopping_; });
}

ScriptedResponse TestHTTPServer::answerFor(const RecordedRequest& request) {
  Handler handler;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    handler = handler_;
  }
  changed_.notify_all();
  if (handler) return handler(request);
  std::lock_guard lock(mutex_);
  if (queue_.empty()) return default_;
  ScriptedResponse next = std::move(queue_.front());
  queue_.erase(queue_.begin());
  return next;
}

void TestHTTPServer::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    auto connection = std::make_shared<Connection>();
    connection->fd = fd;
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    open_.push_back(connection);
    threads_.emplace_back([this, connection] { serve(connection); });
  }
}

void TestHTTPServer::serve(std::shared_ptr<Connection> connection) {
  struct Forget {
    TestHTTPServer& server;
    Connection* connection;
    ~Forget() {
      std::lock_guard lock(server.mutex_);
      std::erase_if(server.open_, [&](const auto& c) { return c.get() == connection; });
    }
  } forget{*this, connection.get()};

  if (tls_) {
    connection->ssl = SSL_new(static_cast<SSL_CTX*>(tls_));
    SSL_set_fd(connection->ssl, connection->fd);
    if (SSL_accept(connection->ssl) != 1) {  // e.g. the client refused our certificate
      ERR_clear_error();
      return;
    }
  }
  {
    std::lock_guard lock(mutex_);
    ++connections_;
  }

  std::string buffer;
  char chunk[16384];
  auto fill = [&]() {
    long n = connection->read(chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(n));
    return true;
  };
  for (;;) {
    std::size_t headerEnd;
    while ((headerEnd = buffer.find("\r\n\r\n")) == std::string::npos)
      if (!fill()) return;
    RecordedRequest request;
    std::string_view head(buffer.data(), headerEnd);
    std::size_t lineEnd = head.find("\r\n");
    std::string_view requestLine = head.substr(0, lineEnd);
    std::size_t space1 = requestLine.find(' ');
    std::size_t space2 = requestLine.rfind(' ');
    if (space1 == std::string_view::npos || space2 <= space1) return;
    request.method = std::string(requestLine.substr(0, space1));
    request.path = std::string(requestLine.substr(space1 + 1, space2 - space1 - 1));
    while (lineEnd != std::string_view::npos) {
      std::size_t start = lineEnd + 2;
      lineEnd = head.find("\r\n", start);
      std::string_view line =
          head.substr(start, lineEnd == std::string_view::npos ? std::string_view::npos : lineEnd - start);
      std::size_t colon = line.find(':');
      if (colon != std::string_view::npos)
        request.headers.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    }
    buffer.erase(0, headerEnd + 4);
    if (auto length = request.header("Content-Length")) {
      std::size_t size = std::stoul(*length);
      while (buffer.size() < size)
        if (!fill()) return;
      request.body = buffer.substr(0, size);
      buffer.erase(0, size);
    } else if (auto encoding = request.header("Transfer-Encoding"); encoding && sameName(*encoding, "chunked")) {
      for (;;) {
        std::size_t end;
        while ((end = buffer.find("\r\n")) == std::string::npos)
          if (!fill()) return;
        std::size_t size = std::stoul(buffer.substr(0, end), nullptr, 16);
        while (buffer.size() < end + 2 + size + 2)
          if (!fill()) return;
        request.body += buffer.substr(end + 2, size);
        buffer.erase(0, end + 2 + size + 2);
        if (size == 0) break;
      }
    }

    ScriptedResponse response = answerFor(request);
    if (!pause(response.delayBeforeResponse)) return;
    if (response.dropConnection) return;
    std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " + reasonPhrase(response.status) + "\r\n";
    bool hasLength = false;
    for (const auto& [name, value] : response.headers) {
      out += name + ": " + value + "\r\n";
      hasLength = hasLength || sameName(name, "Content-Length");
    }
    bool bodyless = response.status == 204 || response.status == 304 || request.method == "HEAD";
    if (!hasLength && !bodyless) out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    out += "\r\n";
    if (!bodyless)
      out += response.dropAfterBodyBytes ? response.body.substr(0, *response.dropAfterBodyBytes) : response.body;
    if (!connection->writeAll(out)) return;
    if (response.dropAfterBodyBytes) return;
    if (auto close = request.header("Connection"); close && sameName(*close, "close")) return;
  }
}

std::string refusingURL() {
  int port;
  {
    TestHTTPServer closed;
    port = closed.port();
  }
  return "http://127.0.0.1:" + std::to_string(port) + "/";
}

}  // namespace zorvel::test
