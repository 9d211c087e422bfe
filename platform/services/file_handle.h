#pragma once

// File handles: an open file descriptor (a file, a pipe, a socket) as an object, read and written
// at once or read in the background with a notification when a chunk has arrived.
//
// Background reading: readInBackgroundAndNotify() watches the descriptor from the main run loop
// (GLib's default main context, run_loop.h) and, when data or the end of the file is there, reads
// one chunk of at most kFileHandleBackgroundChunkSize bytes on the main thread and posts
// kFileHandleReadCompletionNotification through the default notification centre, from the main
// thread, with this handle as its object and user info:
//   kFileHandleNotificationDataItem   the bytes read: empty at the end of the file
//   kFileHandleError                  the errno, after a failed read (the data is then empty)
// Nothing arrives while the main run loop does not run. One read at a time: asking for another
// before the notification of the first raises kFileHandleOperationException. A pending read keeps
// the handle alive; closeFile() abandons it (no notification comes).
//
// Threads: any thread may read, write, close or start a background read; the notification is
// posted on the main thread. Reads and writes of one handle from several threads at once share
// the descriptor's position as the system does; a handle read in the background is not read
// elsewhere meanwhile (the background read could then wait for data on the main thread).

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime/error.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

namespace platform {

inline constexpr std::string_view kFileHandleReadCompletionNotification = "NSFileHandleReadCompletionNotification";
inline constexpr std::string_view kFileHandleNotificationDataItem = "NSFileHandleNotificationDataItem";
inline constexpr std::string_view kFileHandleError = "NSFileHandleError";
inline constexpr std::string_view kFileHandleOperationException = "NSFileHandleOperationException";
inline constexpr std::size_t kFileHandleBackgroundChunkSize = 64 * 1024;

class FileHandle;
using FileHandlePtr = std::shared_ptr<FileHandle>;

class FileHandle : public Object {
  ZORVEL_CLASS(FileHandle, Object)

 public:
  // Opens the file for reading; null (with a POSIX error) when it cannot.
  static FileHandlePtr fileHandleForReadingAtPath(const std::string& path, ErrorPtr* error = nullptr);
  // Takes an open descriptor; with closeOnDealloc the handle closes it when it goes.
  static FileHandlePtr fileHandleWithFileDescriptor(int fileDescriptor, bool closeOnDealloc);
  ~FileHandle() override;

  // -1 once closed.
  int fileDescriptor() const;

  // Up to `length` bytes now (fewer at the end, none at the end of the file); waits for a pipe.
  // Nullopt (with a POSIX error) when reading fails.
  std::optional<Bytes> readDataOfLength(std::size_t length, ErrorPtr* error = nullptr);
  // Everything up to the end of the file.
  std::optional<Bytes> readDataToEndOfFile(ErrorPtr* error = nullptr);
  bool writeData(const Bytes& data, ErrorPtr* error = nullptr);
  // Closes the descriptor and abandons a pending background read.
  void closeFile();

  void readInBackgroundAndNotify();

 private:
  FileHandle() = default;
  struct Watch;
  static int onReadable(int fd, unsigned condition, void* data);
  static void destroyWatch(void* data);

  mutable std::mutex lock_;
  int fd_ = -1;
  bool closeOnDealloc_ = false;
  Watch* watch_ = nullptr;  // the pending background read, if any
};

}  // namespace platform
