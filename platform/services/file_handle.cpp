#include "platform/services/file_handle.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>

#include <cerrno>

#include "platform/services/notification_center.h"

namespace platform {

// One pending background read: the GLib source watching the descriptor, and the handle it keeps.
struct FileHandle::Watch {
  FileHandlePtr handle;
  GSource* source = nullptr;
};

namespace {

void closeDescriptor(int fd) {
  if (fd >= 0) ::close(fd);  // EINTR still closes on Linux: never retried
}

}  // namespace

void FileHandle::destroyWatch(void* data) { delete static_cast<Watch*>(data); }

FileHandlePtr FileHandle::fileHandleForReadingAtPath(const std::string& path, ErrorPtr* error) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (error) *error = posixError(errno, "cannot open", path);
    return nullptr;
  }
  return fileHandleWithFileDescriptor(fd, true);
}

FileHandlePtr FileHandle::fileHandleWithFileDescriptor(int fileDescriptor, bool closeOnDealloc) {
  auto handle = make<FileHandle>();
  handle->fd_ = fileDescriptor;
  handle->closeOnDealloc_ = closeOnDealloc;
  return handle;
}

FileHandle::~FileHandle() {
  // A pending read keeps the handle alive, so none is left here.
  if (closeOnDealloc_) closeDescriptor(fd_);
}

int FileHandle::fileDescriptor() const {
  std::lock_guard lock(lock_);
  return fd_;
}

std::optional<Bytes> FileHandle::readDataOfLength(std::size_t length, ErrorPtr* error) {
  int fd = fileDescriptor();
  Bytes data(length);
  std::size_t filled = 0;
  while (filled < length) {
    ssize_t n = ::read(fd, data.data() + filled, length - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (error) *error = posixError(errno, "cannot read");
      return std::nullopt;
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  data.resize(filled);
  return data;
}

std::optional<Bytes> FileHandle::readDataToEndOfFile(ErrorPtr* error) {
  Bytes all;
  for (;;) {
    std::optional<Bytes> chunk = readDataOfLength(kFileHandleBackgroundChunkSize, error);
    if (!chunk) return std::nullopt;
    all.insert(all.end(), chunk->begin(), chunk->end());
    if (chunk->size() < kFileHandleBackgroundChunkSize) return all;
  }
}

bool FileHandle::writeData(const Bytes& data, ErrorPtr* error) {
  int fd = fileDescriptor();
  std::size_t written = 0;
  while (written < data.size()) {
    ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (error) *error = posixError(errno, "cannot write");
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  return true;
}

void FileHandle::closeFile() {
  Watch* watch;
  int fd;
  {
    std::lock_guard lock(lock_);
    watch = std::exchange(watch_, nullptr);
    fd = std::exchange(fd_, -1);
  }
  // Outside the lock: destroying the source lets go of the handle it kept.
  if (watch) {
    GSource* source = watch->source;  // destroying the source deletes the watch
    g_source_destroy(source);
    g_source_unref(source);
  }
  closeDescriptor(fd);
}

void FileHandle::readInBackgroundAndNotify() {
  std::lock_guard lock(lock_);
  if (watch_)
    Exception::raise(kFileHandleOperationException,
                     "readInBackgroundAndNotify: a background read of this handle is already pending");
  if (fd_ < 0) Exception::raise(kFileHandleOperationException, "readInBackgroundAndNotify: the handle is closed");
  auto* watch = new Watch{std::static_pointer_cast<FileHandle>(shared_from_this()), nullptr};
  GSource* source = g_unix_fd_source_new(fd_, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR));
  g_source_set_callback(source, reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(&FileHandle::onReadable)),
                        watch, destroyWatch);
  watch->source = source;  // this reference is dropped when the read ends
  watch_ = watch;
  g_source_attach(source, nullptr);
}

int FileHandle::onReadable(int fd, unsigned, void* data) {
  auto* watch = static_cast<Watch*>(data);
  FileHandlePtr handle = watch->handle;
  Bytes chunk(kFileHandleBackgroundChunkSize);
  ssize_t n;
  int failure;
  {
    // Under the lock, so that closeFile cannot close (and the system reuse) the descriptor
    // while it is read. The descriptor is ready: the read does not wait.
    std::lock_guard lock(handle->lock_);
    if (handle->watch_ != watch) return G_SOURCE_REMOVE;  // abandoned by closeFile
    do {
      n = ::read(fd, chunk.data(), chunk.size());
    } while (n < 0 && errno == EINTR);
    failure = n < 0 ? errno : 0;
    if (failure == EAGAIN || failure == EWOULDBLOCK) return G_SOURCE_CONTINUE;  // nothing after all
    handle->watch_ = nullptr;
  }
  g_source_unref(watch->source);  // the source itself goes when this returns
  chunk.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  Value userInfo = Value::dictionary({{std::string(kFileHandleNotificationDataItem), Value(std::move(chunk))}});
  if (failure) userInfo.set(std::string(kFileHandleError), Value(failure));
  NotificationCenter::defaultCenter()->post(std::string(kFileHandleReadCompletionNotification), handle, userInfo);
  return G_SOURCE_REMOVE;
}

}  // namespace platform
