#include "platform/services/streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {

namespace {

ErrorPtr posixError(int code, const std::string& path, const char* operation) {
  Value info;
  info.set(std::string(kLocalizedDescriptionKey), std::string(operation) + ": " + std::strerror(code));
  if (!path.empty()) info.set(std::string(kFilePathErrorKey), path);
  return Error::make(std::string(kPOSIXErrorDomain), code, std::move(info));
}

}  // namespace

// --- OutputStream ----------------------------------------------------------------------------------

OutputStream::~OutputStream() { close(); }

std::shared_ptr<OutputStream> OutputStream::toMemory() { return platform::make<OutputStream>(); }

std::shared_ptr<OutputStream> OutputStream::toFileAtPath(std::string path, bool append) {
  auto stream = platform::make<OutputStream>();
  stream->path_ = std::move(path);
  stream->append_ = append;
  return stream;
}

void OutputStream::fail(int code) {
  error_ = posixError(code, path_, path_.empty() ? "Cannot write to memory" : "Cannot write file");
  status_ = StreamStatus::Error;
}

void OutputStream::open() {
  if (status_ != StreamStatus::NotOpen) return;
  if (path_.empty()) {
    status_ = StreamStatus::Open;
    return;
  }
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append_ ? O_APPEND : O_TRUNC);
  fd_ = ::open(path_.c_str(), flags, 0666);
  if (fd_ < 0) {
    fail(errno);
    return;
  }
  status_ = StreamStatus::Open;
}

void OutputStream::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (status_ != StreamStatus::Error) status_ = StreamStatus::Closed;
}

long OutputStream::write(const std::uint8_t* bytes, std::size_t length) {
  if (status_ != StreamStatus::Open) return -1;
  if (length == 0) return 0;
  if (path_.empty()) {
    memory_.insert(memory_.end(), bytes, bytes + length);
    return static_cast<long>(length);
  }
  std::size_t done = 0;
  while (done < length) {
    ssize_t n = ::write(fd_, bytes + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int code = errno;
      fail(code);
      return done > 0 ? static_cast<long>(done) : -1;
    }
    done += static_cast<std::size_t>(n);
  }
  return static_cast<long>(done);
}

// --- InputStream -----------------------------------------------------------------------------------

InputStream::~InputStream() { close(); }

std::shared_ptr<InputStream> InputStream::withData(Bytes data) {
  auto stream = platform::make<InputStream>();
  stream->memory_ = std::move(data);
  return stream;
}

std::shared_ptr<InputStream> InputStream::withFileAtPath(std::string path) {
  auto stream = platform::make<InputStream>();
  stream->path_ = std::move(path);
  return stream;
}

void InputStream::fail(int code) {
  error_ = posixError(code, path_, "Cannot read file");
  status_ = StreamStatus::Error;
}

void InputStream::open() {
  if (status_ != StreamStatus::NotOpen) return;
  if (!path_.empty()) {
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
      fail(errno);
      return;
    }
  }
  status_ = StreamStatus::Open;
}

void InputStream::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (status_ != StreamStatus::Error) status_ = StreamStatus::Closed;
}

long InputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  if (status_ != StreamStatus::Open) return status_ == StreamStatus::AtEnd ? 0 : -1;
  if (maxLength == 0) return 0;
  if (path_.empty()) {
    std::size_t n = std::min(maxLength, memory_.size() - offset_);
    std::memcpy(buffer, memory_.data() + offset_, n);
    offset_ += n;
    if (n == 0) status_ = StreamStatus::AtEnd;
    return static_cast<long>(n);
  }
  for (;;) {
    ssize_t n = ::read(fd_, buffer, maxLength);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      fail(errno);
      return -1;
    }
    if (n == 0) status_ = StreamStatus::AtEnd;
    return static_cast<long>(n);
  }
}

}  // namespace platform
