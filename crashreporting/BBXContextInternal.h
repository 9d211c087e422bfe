#pragma once

#ifndef ZORVEL_INTERNAL_crashreporting
#error "BBXContextInternal.h is internal to the crash kit"
#endif

// The crash context's layout: what crash-time code reads without locks. The read-only part holds
// paths and settings and is write-protected once initialisation ends; the writable part holds the
// few values crash-time code changes. Both live in the guarded block of BBXAllocator.
//
// Threads: initialisation blocks write disjoint fields; afterwards any thread (and any signal
// handler) reads the read-only part; the writable fields are changed only on the queues and with
// the atomics their comments name.

#include <signal.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "crashreporting/BBXAllocator.h"
#include "crashreporting/BBXFile.h"
#include "crashreporting/BBXUserLogging.h"

struct BBXReadOnlyContext {
  bool initialized;  // written with a full fence
  bool debuggerAttached;
  const char* logPath;  // "<report folder>/sdk.log"
  void* signalStack;
  void* machExceptionStack;
  bool firstInstall;
  const char* binaryImagePath;
  struct {
    const char* path;
    std::uint32_t maxCustomExceptions;
  } exception;
  struct {
    const char* documentsPath;
    std::size_t pageSize;
  } host;
  struct {
    const char* path;
  } signal;
  BBXUserLoggingStorage logging;
  std::uint32_t logBufferSize;  // the longest log message, in bytes
};

struct BBXWritableContext {
  std::atomic<std::int32_t> logFd;  // -1 until "sdk.log" is first written
  std::int32_t logLevel;            // the smallest level written to "sdk.log"
  std::atomic<bool> crashOccurred;
  BBXUserLoggingWritableState logging;  // only on the logging queue
};

namespace bbx_detail {

// The process's context, null until initialisation has carved it out.
extern std::atomic<BBXReadOnlyContext*> gReadOnlyContext;
extern std::atomic<BBXWritableContext*> gWritableContext;
// The allocator of the guarded block (lives until the process ends).
extern std::atomic<BBXAllocator*> gAllocator;

// The current key-value set without the initialisation check (see
// BBXUserLoggingGetCompactedKVEntries).
std::map<std::string, std::string> readKVEntries(const BBXUserLoggingKVStorage* storage, bool decode);

// Tests: puts a context in place (null for none).
void installContextForTesting(BBXReadOnlyContext* readOnly, BBXWritableContext* writable);

}  // namespace bbx_detail
