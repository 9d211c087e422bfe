#pragma once

// Byte streams: an output stream into memory or into a file, and an input stream from memory or
// from a file, read or written piece by piece so that large files never sit whole in memory.
//
// Life cycle: a stream starts NotOpen; open() makes it Open (or Error when the file cannot be
// opened); close() makes it Closed. Reading or writing a stream that is not open fails (-1).
// A failed read or write leaves the stream in Error with streamError() set: an Error in
// "NSPOSIXErrorDomain" with the errno of the failing call and "NSFilePath" for file streams.
//
// Threads: a stream belongs to one thread at a time (no locks); hand it over with the usual
// happens-before (a queue, a join).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/runtime/error.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

namespace platform {

// The platform's numbers.
enum class StreamStatus {
  NotOpen = 0,
  Opening = 1,
  Open = 2,
  Reading = 3,
  Writing = 4,
  AtEnd = 5,
  Closed = 6,
  Error = 7
};

class OutputStream : public Object {
  ZORVEL_CLASS(OutputStream, Object)

 public:
  ~OutputStream() override;

  static std::shared_ptr<OutputStream> toMemory();
  // Without `append` an existing file is truncated at open(); a missing one is created (0666
  // less the umask).
  static std::shared_ptr<OutputStream> toFileAtPath(std::string path, bool append);

  void open();
  void close();
  // Writes the bytes and answers how many were written (all of them unless the system refused
  // part: a full disk gives a short count or -1), or -1 when the stream is not open or failed.
  long write(const std::uint8_t* bytes, std::size_t length);
  bool hasSpaceAvailable() const { return status_ == StreamStatus::Open; }
  StreamStatus streamStatus() const { return status_; }
  ErrorPtr streamError() const { return error_; }
  // What a memory stream holds so far (empty for a file stream).
  const Bytes& dataWrittenToMemory() const { return memory_; }

 private:
  OutputStream() = default;
  void fail(int error);

  std::string path_;  // empty: memory
  bool append_ = false;
  int fd_ = -1;
  StreamStatus status_ = StreamStatus::NotOpen;
  ErrorPtr error_;
  Bytes memory_;
};

class InputStream : public Object {
  ZORVEL_CLASS(InputStream, Object)

 public:
  ~InputStream() override;

  static std::shared_ptr<InputStream> withData(Bytes data);
  static std::shared_ptr<InputStream> withFileAtPath(std::string path);

  void open();
  void close();
  // Reads up to `maxLength` bytes into `buffer`: the count read, 0 at the end (status AtEnd),
  // -1 on failure or when the stream is not open.
  long read(std::uint8_t* buffer, std::size_t maxLength);
  bool hasBytesAvailable() const { return status_ == StreamStatus::Open; }
  StreamStatus streamStatus() const { return status_; }
  ErrorPtr streamError() const { return error_; }

 private:
  InputStream() = default;
  void fail(int error);

  std::string path_;  // empty: memory
  int fd_ = -1;
  StreamStatus status_ = StreamStatus::NotOpen;
  ErrorPtr error_;
  Bytes memory_;
  std::size_t offset_ = 0;
};

}  // namespace platform
