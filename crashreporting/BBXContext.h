#pragma once

// The crash kit's process-wide crash context: everything crash-time code needs, prepared once at
// start in guarded memory (BBXAllocator) because a signal handler may not allocate or lock.
//
// Decisions the crash kit's later pieces follow (Linux):
// - Crash-time code treats any pointer below 4,096 as absent and reads memory of uncertain
//   validity only through BBXReadMemory (process_vm_readv on this process: it answers failure
//   instead of faulting). It calls only async-signal-safe functions: no allocation, no lock.
// - Record files are written with BBXFile only. Text that the user or the application supplies is
//   hex-encoded; every other string (thread and queue names, image paths) goes through the
//   writer's plain-string entries, which escape it as JSON, so no text can break a line.
// - Only the first crash of a run is recorded (BBXContextMarkAndCheckIfCrashed).
// - The read-only part of the context is write-protected once initialisation has finished; paths
//   in it are copied there with BBXContextCopyString.
// - The run metadata's operating-system version code is the SDK host's (major and minor).
// - The kit's identifier, which names its queues, is kBBXKitBundleIdentifier.
//
// Failure: any step that fails logs to "sdk.log" and leaves the rest running.
// Threads: BBXContextInitialize once, on the caller's thread (it waits for its set-up blocks at
// most 5 seconds); everything else on any thread, also in a signal handler.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/dispatch/dispatch.h"

inline constexpr char kBBXKitBundleIdentifier[] = "org.zorvel.blackbox";
inline constexpr char kBBXGenerator[] = "Blackbox Mac SDK/3.8.6";
inline constexpr char kBBXBuildVersion[] = "124";
inline constexpr char kBBXDisplayVersion[] = "3.8.6";

// What the controller hands the context (read once by BBXContextInitialize).
struct BBXContextInitData {
  const char* apiKey = nullptr;
  bool firstInstall = false;
  const char* customBundleId = nullptr;
  const char* reportPath = nullptr;  // the run's report folder; required
  const char* sessionId = nullptr;
  const char* installId = nullptr;
  const char* betaToken = nullptr;
  bool errorReportingEnabled = false;
  bool customExceptionsEnabled = false;
  std::uint32_t maxCustomExceptions = 0;
  std::uint32_t errorLogBufferSize = 0;
  std::uint32_t logBufferSize = 0;
  std::uint32_t maxCustomKeys = 0;
};

// False for an absent init data or report path; true otherwise, also when parts failed.
[[nodiscard]] bool BBXContextInitialize(const BBXContextInitData* initData);
bool BBXContextIsInitialized();
// False when not initialised; true when a crash was already marked; otherwise marks it.
bool BBXContextMarkAndCheckIfCrashed();

// Copies `text` with its NUL into the read-only region (null for null).
const char* BBXContextCopyString(const char* text);

// The kit's serial queues ("<kit identifier>.logging", ".binary-images", ".exception").
platform::DispatchQueuePtr BBXLoggingQueue();
platform::DispatchQueuePtr BBXBinaryImagesQueue();
platform::DispatchQueuePtr BBXExceptionQueue();

// Writes "metadata.bbxrecord" into the report folder (a step of initialisation).
void BBXContextRecordMetadata(const BBXContextInitData* initData);

struct BBXFile;
// Writes the "storage" section: free and total bytes of the file system holding the Documents
// folder (an empty object when unknown). Async-signal-safe.
[[nodiscard]] bool BBXHostRecordStorage(BBXFile* file);

std::size_t BBXHostGetPageSize();
// The operating system's version code (the SDK host's: from major and minor).
std::uint32_t BBXHostGetOSVersionCode();
// Whether a tracer (debugger) is attached to this process.
bool BBXProcessDebuggerAttached();
