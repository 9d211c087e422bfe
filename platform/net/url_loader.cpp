#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/net/url_internal.h"
#include "platform/runtime/thread.h"
#include "platform/services/files.h"
#include "platform/system/crypto.h"
#include "platform/system/text.h"

namespace platform::detail {

namespace {

// What the verification of one TLS connection needs; owned by the connection's SSL_CTX.
struct VerifyContext {
  std::weak_ptr<URLSessionTask> task;
  std::weak_ptr<URLSession> session;
  std::string host;
  int port = 0;
};

void freeVerifyContext(void*, void* pointer, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<VerifyContext*>(pointer);
}

int verifyContextIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, freeVerifyContext);
  return index;
}

std::int64_t urlErrorCode(CURLcode code) {
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
      return kURLErrorUnsupportedURL;
    case CURLE_URL_MALFORMAT:
      return kURLErrorBadURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return kURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return kURLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
      return kURLErrorTimedOut;
    case CURLE_PEER_FAILED_VERIFICATION:
      return kURLErrorServerCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
      return kURLErrorSecureConnectionFailed;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
      return kURLErrorNetworkConnectionLost;
    case CURLE_TOO_MANY_REDIRECTS:
      return kURLErrorHTTPTooManyRedirects;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
      return kURLErrorBadServerResponse;
    case CURLE_FILE_COULDNT_READ_FILE:
      return kURLErrorFileDoesNotExist;
    case CURLE_WRITE_ERROR:
      return kURLErrorCannotWriteToFile;
    case CURLE_ABORTED_BY_CALLBACK:
      return kURLErrorCancelled;
    default:
      return kURLErrorUnknown;
  }
}

bool isFileURL(const std::string& url) { return url.size() >= 5 && headerNamesEqual(url.substr(0, 5), "file:"); }

}  // namespace

URLLoader& URLLoader::shared() {
  // Never destroyed: transfers may still end while the process exits.
  static URLLoader* loader = new URLLoader();
  return *loader;
}

URLLoader::URLLoader() {
  initialiseCryptoLibrary();
  curl_global_init(CURL_GLOBAL_DEFAULT);
  multi_ = curl_multi_init();
  thread_ = std::thread([this] { run(); });
  threadId_ = thread_.get_id();
  thread_.detach();
  // The TLS library has no clean-up at exit (see initialiseCryptoLibrary), but a transfer's
  // callbacks must not run during the process's own static destruction either.
  std::atexit(&URLLoader::stopAtExit);
}

void URLLoader::stopAtExit() {
  URLLoader& loader = shared();
  if (std::this_thread::get_id() == loader.threadId_) return;  // exit called from a transfer's callback
  loader.send({Command::Kind::Stop, nullptr, nullptr});
  std::unique_lock lock(loader.mutex_);
  loader.stopped_.wait_for(lock, std::chrono::seconds(2), [&loader] { return loader.hasStopped_; });
}

void URLLoader::send(Command command) {
  {
    std::lock_guard lock(mutex_);
    commands_.push_back(std::move(command));
  }
  curl_multi_wakeup(multi_);
}

void URLLoader::start(URLSessionTaskPtr task) { send({Command::Kind::Start, std::move(task), nullptr}); }
void URLLoader::cancel(URLSessionTaskPtr task) { send({Command::Kind::Cancel, std::move(task), nullptr}); }
void URLLoader::releaseSession(std::shared_ptr<SessionNetState> state) {
  send({Command::Kind::ReleaseSession, nullptr, std::move(state)});
}

void URLLoader::run() {
  setCurrentThreadName("URL loader");
  for (;;) {
    std::vector<Command> commands;
    {
      std::lock_guard lock(mutex_);
      commands.swap(commands_);
    }
    for (Command& command : commands) {
      switch (command.kind) {
        case Command::Kind::Start:
          begin(command.task);
          break;
        case Command::Kind::Cancel:
          if (command.task->transfer_ && command.task->transfer_->easy &&
              active_.count(command.task->transfer_->easy)) {
            command.task->transfer_->cancelled = true;
            finish(command.task->transfer_->easy, CURLE_ABORTED_BY_CALLBACK);
          }
          break;
        case Command::Kind::ReleaseSession:
          if (command.session->share) curl_share_cleanup(command.session->share);
          command.session->share = nullptr;
          break;
        case Command::Kind::Stop: {
          // The process is exiting: transfers still running are left as they are, and this thread
          // waits for the end without touching them again.
          std::unique_lock lock(mutex_);
          hasStopped_ = true;
          stopped_.notify_all();
          for (;;) stopped_.wait(lock);
        }
      }
    }

    int running = 0;
    curl_multi_perform(multi_, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left))
      if (message->msg == CURLMSG_DONE) finish(message->easy_handle, message->data.result);

    // Time-outs, and how long to wait for the next event.
    Clock::time_point now = Clock::now();
    auto wait = std::chrono::milliseconds(10000);
    std::vector<CURL*> expired;
    for (auto& [easy, task] : active_) {
      TransferState& t = *task->transfer_;
      auto idleEnd =
          t.lastActivity + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(t.idleTimeout));
      Clock::time_point end = std::min(idleEnd, t.resourceDeadline);
      if (end <= now) {
        expired.push_back(easy);
      } else {
        wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(end - now));
      }
    }
    for (CURL* easy : expired) {
      active_.at(easy)->transfer_->timedOut = true;
      finish(easy, CURLE_OPERATION_TIMEDOUT);
    }
    if (!expired.empty()) continue;
    curl_multi_poll(multi_, nullptr, 0, static_cast<int>(std::max<long long>(1, wait.count())), nullptr);
  }
}

void URLLoader::failBeforeStart(const URLSessionTaskPtr& task, ErrorPtr error) {
  {
    std::lock_guard lock(task->mutex_);
    task->state_ = URLSessionTaskState::Completed;
    task->error_ = error;
  }
  task->transfer_.reset();
  task->session_->deliverCompletion(task, std::nullopt, std::nullopt);
}

void URLLoader::begin(const URLSessionTaskPtr& task) {
  URLSessionTaskState state;
  {
    std::lock_guard lock(task->mutex_);
    state = task->state_;
  }
  if (state == URLSessionTaskState::Canceling) {  // cancelled before it got here
    failBeforeStart(task, makeURLError(kURLErrorCancelled, task->originalRequest().URL()));
    return;
  }
  if (state != URLSessionTaskState::Running) return;
  URLSession& session = *task->session_;
  session.net_->used = true;
  URLRequest request = task->currentRequest();
  task->transfer_ = std::make_unique<TransferState>();
  TransferState& t = *task->transfer_;
  t.url = request.URL();
  t.idleTimeout =
      request.timeoutInterval() == 60 ? session.configuration_.timeoutIntervalForRequest : request.timeoutInterval();
  if (!(t.idleTimeout > 0)) t.idleTimeout = 60;
  t.lastActivity = Clock::now();
  t.resourceDeadline = t.lastActivity + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                            std::min(session.configuration_.timeoutIntervalForResource, 1e9)));
  bool isDownload = task->kind() == URLSessionTask::Kind::Download;
  t.collect = !isDownload && task->dataCompletion_ != nullptr;
  t.forwardToDelegate = !isDownload && task->dataCompletion_ == nullptr;

  // The body: bytes, or a file streamed as it is sent.
  std::int64_t bodySize = -1;
  if (request.HTTPBodyFile()) {
    struct stat info {};
    t.bodyStream = InputStream::withFileAtPath(*request.HTTPBodyFile());
    t.bodyStream->open();
    if (t.bodyStream->streamStatus() != StreamStatus::Open ||
        fstatat(AT_FDCWD, request.HTTPBodyFile()->c_str(), &info, 0) != 0 || !S_ISREG(info.st_mode)) {
      failBeforeStart(
          task, makeURLError(kURLErrorFileDoesNotExist, t.url, "cannot read the body file " + *request.HTTPBodyFile()));
      return;
    }
    bodySize = info.st_size;
  } else if (request.HTTPBody()) {
    t.body = *request.HTTPBody();
    bodySize = static_cast<std::int64_t>(t.body->size());
  }

  if (isDownload) {
    std::string pattern = FileManager::defaultManager().temporaryDirectory() + "/CFNetworkDownload_XXXXXX.tmp";
    std::vector<char> path(pattern.begin(), pattern.end());
    path.push_back('\0');
    t.downloadFd = mkostemps(path.data(), 4, O_CLOEXEC);
    if (t.downloadFd < 0) {
      failBeforeStart(task, makeURLError(kURLErrorCannotCreateFile, t.url, std::strerror(errno)));
      return;
    }
    t.downloadPath = path.data();
  }

  if (!session.net_->share) {
    session.net_->share = curl_share_init();
    curl_share_setopt(session.net_->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(session.net_->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }

  CURL* easy = curl_easy_init();
  t.easy = easy;
  URLSessionTask* raw = task.get();
  curl_easy_setopt(easy, CURLOPT_URL, t.url.c_str());
  curl_easy_setopt(easy, CURLOPT_PRIVATE, raw);
  curl_easy_setopt(easy, CURLOPT_SHARE, session.net_->share);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https,file");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 16L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::min(t.idleTimeout, 86400.0) * 1000));
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  // Each connection's verification adds roots of its own session: no store shared across sessions.
  curl_easy_setopt(easy, CURLOPT_CA_CACHE_TIMEOUT, 0L);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &URLLoader::onSSLContext);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, raw);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &URLLoader::onHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, raw);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &URLLoader::onWrite);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, raw);

  const std::string& method = request.HTTPMethod();
  bool hasBody = bodySize >= 0;
  if (method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (hasBody || method == "POST") {
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(std::max<std::int64_t>(bodySize, 0)));
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &URLLoader::onRead);
    curl_easy_setopt(easy, CURLOPT_READDATA, raw);
    if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  } else if (method != "GET") {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  }

  const HTTPHeaderFields& fields = request.allHTTPHeaderFields();
  for (const auto& [name, value] : fields.fields()) {
    std::string line = value.empty() ? name + ";" : name + ": " + value;
    t.headers = curl_slist_append(t.headers, line.c_str());
  }
  if (!fields.contains("Expect")) t.headers = curl_slist_append(t.headers, "Expect:");
  if (!fields.contains("Content-Type") && (hasBody || method == "POST"))
    t.headers = curl_slist_append(t.headers, "Content-Type:");
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, t.headers);
  if (!fields.contains("Accept-Encoding")) curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");

  curl_multi_add_handle(multi_, easy);
  active_[easy] = task;
}

void URLLoader::makeResponse(URLSessionTask& task) {
  TransferState& t = *task.transfer_;
  if (t.responseMade) return;
  t.responseMade = true;
  char* effective = nullptr;
  curl_easy_getinfo(t.easy, CURLINFO_EFFECTIVE_URL, &effective);
  std::string url = effective ? effective : t.url;
  URLResponsePtr response;
  if (isFileURL(url)) {
    curl_off_t length = -1;
    curl_easy_getinfo(t.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    response = URLResponse::plainResponse(url, length);
  } else {
    long status = 0;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
    response = URLResponse::httpResponse(url, status, responseHeaderFields(t.headerBlock));
  }
  {
    std::lock_guard lock(task.mutex_);
    task.response_ = response;
    task.current_.setURL(url);
  }
  if (t.forwardToDelegate)
    task.session_->deliverResponse(std::static_pointer_cast<URLSessionTask>(task.shared_from_this()));
}

namespace {

// A character of an HTTP token (a field name).
bool isTokenCharacter(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

}  // namespace

void addResponseHeaderLine(std::string_view line, HeaderBlock& block) {
  if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
    block.clear();
    return;
  }
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;
  std::string name = trimmingWhitespace(line.substr(0, colon));
  std::string value = trimmingWhitespace(line.substr(colon + 1));
  if (name.empty() || !std::all_of(name.begin(), name.end(), isTokenCharacter)) return;
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) return;
  block.emplace_back(std::move(name), std::move(value));
}

HTTPHeaderFields responseHeaderFields(const HeaderBlock& block) {
  HTTPHeaderFields headers;
  for (const auto& [name, value] : block) {
    if (auto existing = headers.value(name))
      headers.set(name, *existing + ", " + value);
    else
      headers.set(name, value);
  }
  return headers;
}

std::size_t URLLoader::onHeader(char* data, std::size_t size, std::size_t count, void* pointer) {
  auto& task = *static_cast<URLSessionTask*>(pointer);
  TransferState& t = *task.transfer_;
  std::size_t length = size * count;
  t.lastActivity = Clock::now();
  addResponseHeaderLine(std::string_view(data, length), t.headerBlock);
  return length;
}

std::size_t URLLoader::onWrite(char* data, std::size_t size, std::size_t count, void* pointer) {
  auto& task = *static_cast<URLSessionTask*>(pointer);
  TransferState& t = *task.transfer_;
  std::size_t length = size * count;
  t.lastActivity = Clock::now();
  makeResponse(task);
  {
    std::lock_guard lock(task.mutex_);
    task.bytesReceived_ += static_cast<std::int64_t>(length);
  }
  if (t.downloadFd >= 0) {
    std::size_t done = 0;
    while (done < length) {
      ssize_t n = ::write(t.downloadFd, data + done, length - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        t.writeFailed = true;
        return 0;  // aborts the transfer
      }
      done += static_cast<std::size_t>(n);
    }
  } else if (t.collect) {
    t.collected.insert(t.collected.end(), data, data + length);
  } else if (t.forwardToDelegate) {
    task.session_->deliverData(std::static_pointer_cast<URLSessionTask>(task.shared_from_this()),
                               Bytes(data, data + length));
  }
  return length;
}

std::size_t URLLoader::onRead(char* buffer, std::size_t size, std::size_t count, void* pointer) {
  auto& task = *static_cast<URLSessionTask*>(pointer);
  TransferState& t = *task.transfer_;
  std::size_t room = size * count;
  std::size_t n = 0;
  if (t.body) {
    n = std::min(room, t.body->size() - t.bodyOffset);
    std::memcpy(buffer, t.body->data() + t.bodyOffset, n);
    t.bodyOffset += n;
  } else if (t.bodyStream) {
    long read = t.bodyStream->read(reinterpret_cast<std::uint8_t*>(buffer), room);
    if (read < 0) {
      t.bodyReadFailed = true;
      return CURL_READFUNC_ABORT;
    }
    n = static_cast<std::size_t>(read);
  }
  t.lastActivity = Clock::now();
  std::lock_guard lock(task.mutex_);
  task.bytesSent_ += static_cast<std::int64_t>(n);
  return n;
}

int URLLoader::onSSLContext(CURL* easy, void* sslContext, void* pointer) {
  auto& task = *static_cast<URLSessionTask*>(pointer);
  auto* context = static_cast<SSL_CTX*>(sslContext);
  X509_STORE* store = SSL_CTX_get_cert_store(context);
  for (const CertificatePtr& root : task.session_->configuration_.additionalTrustedRootCertificates)
    if (root && X509_STORE_add_cert(store, root->native()) != 1) ERR_clear_error();  // already there

  auto* verify = new VerifyContext;
  verify->task = std::static_pointer_cast<URLSessionTask>(task.shared_from_this());
  verify->session = std::static_pointer_cast<URLSession>(task.session_->shared_from_this());
  char* effective = nullptr;
  curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective);
  if (CURLU* url = curl_url()) {
    if (curl_url_set(url, CURLUPART_URL, effective ? effective : task.transfer_->url.c_str(), 0) == CURLUE_OK) {
      char* host = nullptr;
      char* port = nullptr;
      if (curl_url_get(url, CURLUPART_HOST, &host, 0) == CURLUE_OK) verify->host = host;
      if (curl_url_get(url, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) verify->port = std::atoi(port);
      curl_free(host);
      curl_free(port);
      // An IPv6 literal comes in brackets.
      if (verify->host.size() > 2 && verify->host.front() == '[')
        verify->host = verify->host.substr(1, verify->host.size() - 2);
    }
    curl_url_cleanup(url);
  }
  // The callback can come again for the same context (another attempt of the same transfer): the
  // context keeps only the newest record, so the one it replaces goes now.
  delete static_cast<VerifyContext*>(SSL_CTX_get_ex_data(context, verifyContextIndex()));
  SSL_CTX_set_ex_data(context, verifyContextIndex(), verify);
  SSL_CTX_set_cert_verify_callback(context, &URLLoader::onVerify, verify);
  return CURLE_OK;
}

int URLLoader::onVerify(X509_STORE_CTX* storeContext, void* pointer) {
  auto& verify = *static_cast<VerifyContext*>(pointer);
  URLSessionPtr session = verify.session.lock();
  URLSessionTaskPtr task = verify.task.lock();
  if (!session) return 0;

  std::vector<CertificatePtr> chain;
  X509* leaf = X509_STORE_CTX_get0_cert(storeContext);
  if (leaf && X509_up_ref(leaf) == 1) chain.push_back(std::make_shared<const Certificate>(leaf));
  if (STACK_OF(X509)* presented = X509_STORE_CTX_get0_untrusted(storeContext)) {
    for (int i = 0; i < sk_X509_num(presented); ++i) {
      X509* certificate = sk_X509_value(presented, i);
      if (certificate == leaf || X509_up_ref(certificate) != 1) continue;
      chain.push_back(std::make_shared<const Certificate>(certificate));
    }
  }
  URLAuthenticationChallenge challenge;
  challenge.protectionSpace.host = verify.host;
  challenge.protectionSpace.port = verify.port;
  challenge.protectionSpace.protocol = "https";
  challenge.protectionSpace.authenticationMethod = std::string(kURLAuthenticationMethodServerTrust);
  challenge.protectionSpace.serverTrust = std::make_shared<ServerTrust>(verify.host, std::move(chain));

  switch (session->judgeServerTrust(challenge)) {
    case URLSessionAuthChallengeDisposition::UseCredential:
      X509_STORE_CTX_set_error(storeContext, X509_V_OK);
      return 1;
    case URLSessionAuthChallengeDisposition::PerformDefaultHandling:
      return X509_verify_cert(storeContext);
    default:
      // The network thread runs this inside the task's own transfer, so the state is ours.
      if (task && task->transfer_) task->transfer_->challengeCancelled = true;
      X509_STORE_CTX_set_error(storeContext, X509_V_ERR_APPLICATION_VERIFICATION);
      return 0;
  }
}

void URLLoader::finish(CURL* easy, int codeNumber) {
  auto found = active_.find(easy);
  if (found == active_.end()) return;
  URLSessionTaskPtr task = found->second;
  active_.erase(found);
  auto code = static_cast<CURLcode>(codeNumber);
  TransferState& t = *task->transfer_;
  curl_multi_remove_handle(multi_, easy);

  ErrorPtr error;
  if (t.cancelled || t.challengeCancelled) {
    error = makeURLError(kURLErrorCancelled, t.url);
  } else if (t.timedOut) {
    error = makeURLError(kURLErrorTimedOut, t.url);
  } else if (t.writeFailed) {
    error = makeURLError(kURLErrorCannotWriteToFile, t.url, "cannot write the downloaded file");
  } else if (t.bodyReadFailed) {
    error = makeURLError(kURLErrorUnknown, t.url, "cannot read the body file");
  } else if (code != CURLE_OK) {
    error = makeURLError(urlErrorCode(code), t.url, curl_easy_strerror(code));
  }
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  if (status != 0 || (!error && isFileURL(t.url))) makeResponse(*task);

  curl_easy_cleanup(easy);
  t.easy = nullptr;
  curl_slist_free_all(t.headers);
  t.headers = nullptr;
  if (t.bodyStream) t.bodyStream->close();
  if (t.downloadFd >= 0) ::close(t.downloadFd);
  t.downloadFd = -1;
  if (error && !t.downloadPath.empty()) ::unlink(t.downloadPath.c_str());

  std::optional<Bytes> data;
  if (t.collect && !error) data = std::move(t.collected);
  std::optional<std::string> location;
  if (!t.downloadPath.empty() && !error) location = t.downloadPath;
  {
    std::lock_guard lock(task->mutex_);
    task->state_ = URLSessionTaskState::Completed;
    task->error_ = error;
  }
  task->transfer_.reset();
  task->session_->deliverCompletion(task, std::move(data), std::move(location));
}

}  // namespace platform::detail
