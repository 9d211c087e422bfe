#include "crashreporting/BBXContext.h"

#include <errno.h>
#include <string.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "crashreporting/BBXContextInternal.h"
#include "crashreporting/BBXHelpers.h"
#include "crashreporting/BBXSDKLog.h"
#include "platform/system/console.h"
#include "sdkhost/HBRHost.h"

namespace {

// What the context asks of its guarded block: two 256 KiB stacks and the writable context, and
// the read-only context with the paths and settings copied beside it.
constexpr std::size_t kSignalStackSize = 0x40000;
constexpr std::size_t kWritableBytes = 544'872;
constexpr std::size_t kReadOnlyBytes = 17'064;
constexpr std::size_t kReadOnlyContextBytes = 680;
constexpr std::size_t kWritableContextBytes = 20'584;
static_assert(sizeof(BBXReadOnlyContext) <= kReadOnlyContextBytes);
static_assert(sizeof(BBXWritableContext) <= kWritableContextBytes);
static_assert(2 * kSignalStackSize + kWritableContextBytes == kWritableBytes);

constexpr double kInitializationTimeoutSeconds = 5;

std::string joinPath(const char* folder, const char* name) { return std::string(folder) + "/" + name; }

std::string documentsFolder() {
  const char* home = getenv("HOME");
  return std::string(home && *home ? home : "/") + "/Documents";
}

// The first "model name" of /proc/cpuinfo.
std::optional<std::string> processorName() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("model name", 0) != 0) continue;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) break;
    std::size_t start = line.find_first_not_of(' ', colon + 1);
    return start == std::string::npos ? std::string() : line.substr(start);
  }
  return std::nullopt;
}

void setUpUserLogging(BBXReadOnlyContext* readOnly, BBXWritableContext* writable, const char* reportPath,
                      const BBXContextInitData& init) {
  BBXUserLoggingStorage& storage = readOnly->logging;
  auto path = [reportPath](const char* name) { return BBXContextCopyString(joinPath(reportPath, name).c_str()); };
  storage.userKVStorage = {path("user_incremental_kv.bbxrecord"), path("user_compacted_kv.bbxrecord"), 0,
                           init.maxCustomKeys};
  storage.internalKVStorage = {path("internal_incremental_kv.bbxrecord"), path("internal_compacted_kv.bbxrecord"), 0,
                               kBBXMaxInternalKVCount};
  storage.logStorage = {path("log_a.bbxrecord"), path("log_b.bbxrecord"), init.logBufferSize, 0, true, nullptr};
  storage.errorStorage = {path("errors_a.bbxrecord"),
                          path("errors_b.bbxrecord"),
                          0,
                          init.errorReportingEnabled ? init.maxCustomExceptions : 0,
                          false,
                          &writable->logging.errorCount};
  storage.customExceptionStorage = {
      path("custom_exception_a.bbxrecord"),   path("custom_exception_b.bbxrecord"), 0, init.maxCustomExceptions, false,
      &writable->logging.customExceptionCount};
  readOnly->logBufferSize = init.logBufferSize;
  BBXUserLoggingInit(&storage, &writable->logging);
}

}  // namespace

namespace bbx_detail {

std::atomic<BBXReadOnlyContext*> gReadOnlyContext{nullptr};
std::atomic<BBXWritableContext*> gWritableContext{nullptr};
std::atomic<BBXAllocator*> gAllocator{nullptr};

void installContextForTesting(BBXReadOnlyContext* readOnly, BBXWritableContext* writable) {
  gReadOnlyContext.store(readOnly, std::memory_order_seq_cst);
  gWritableContext.store(writable, std::memory_order_seq_cst);
}

}  // namespace bbx_detail

using bbx_detail::gReadOnlyContext;
using bbx_detail::gWritableContext;

bool BBXContextIsInitialized() {
  const BBXReadOnlyContext* readOnly = gReadOnlyContext.load(std::memory_order_acquire);
  return readOnly && __atomic_load_n(&readOnly->initialized, __ATOMIC_SEQ_CST);
}

bool BBXContextMarkAndCheckIfCrashed() {
  BBXWritableContext* writable = gWritableContext.load(std::memory_order_acquire);
  if (!BBXContextIsInitialized() || !writable) return false;
  return writable->crashOccurred.exchange(true, std::memory_order_seq_cst);
}

const char* BBXContextCopyString(const char* text) {
  if (!text) return nullptr;
  const std::size_t length = strlen(text) + 1;
  auto* copy = static_cast<char*>(
      BBXAllocatorSafeAllocate(bbx_detail::gAllocator.load(), length, static_cast<int>(BBXAllocatorRegion::ReadOnly)));
  if (!copy) return nullptr;
  memcpy(copy, text, length);
  return copy;
}

static platform::DispatchQueuePtr kitQueue(const char* suffix) {
  return platform::DispatchQueue::createSerial(std::string(kBBXKitBundleIdentifier) + suffix);
}

platform::DispatchQueuePtr BBXLoggingQueue() {
  static const platform::DispatchQueuePtr queue = kitQueue(".logging");
  return queue;
}

platform::DispatchQueuePtr BBXBinaryImagesQueue() {
  static const platform::DispatchQueuePtr queue = kitQueue(".binary-images");
  return queue;
}

platform::DispatchQueuePtr BBXExceptionQueue() {
  static const platform::DispatchQueuePtr queue = kitQueue(".exception");
  return queue;
}

std::size_t BBXHostGetPageSize() {
  const long size = sysconf(_SC_PAGESIZE);
  if (size <= 0) {
    BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] sysconf failed while trying to get the page size\n");
    return 4096;
  }
  return static_cast<std::size_t>(size);
}

std::uint32_t BBXHostGetOSVersionCode() { return HBRHostGetOSVersionCode(); }

bool BBXProcessDebuggerAttached() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("TracerPid:", 0) == 0) return std::atol(line.c_str() + 10) != 0;
  }
  BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Unable to read the tracer of this process\n");
  return false;
}

[[nodiscard]] static bool writeHost(BBXFile* file) {
  utsname names{};
  const bool named = uname(&names) == 0;
  const std::optional<std::string> model = HBRHostGetModel();
  const std::optional<std::string> cpu = processorName();
  const std::optional<std::string> build = HBRHostGetOSBuildVersion();
  return BBXFileWriteSectionStart(file, "host") && BBXFileWriteHashStart(file) &&
         BBXFileWriteHashEntryString(file, "model", model ? model->c_str() : "(failed)") &&
         BBXFileWriteHashEntryString(file, "machine", named ? names.machine : "(failed)") &&
         BBXFileWriteHashEntryString(file, "cpu", cpu ? cpu->c_str() : "(failed)") &&
         BBXFileWriteHashEntryString(file, "os_build_version", build ? build->c_str() : "(failed)") &&
         BBXFileWriteHashEntryString(file, "os_display_version", HBRHostGetOSDisplayVersion().c_str()) &&
         BBXFileWriteHashEntryString(file, "platform", "linux") &&
         BBXFileWriteHashEntryString(file, "locale", HBRHostGetLocaleIdentifier().c_str()) &&
         BBXFileWriteHashEnd(file) && BBXFileWriteSectionEnd(file);
}

void BBXContextRecordMetadata(const BBXContextInitData* init) {
  if (BBXPointerIsAbsent(init) || BBXPointerIsAbsent(init->reportPath)) return;
  const std::string path = joinPath(init->reportPath, "metadata.bbxrecord");
  if (!BBXFileUnlinkIfExists(path.c_str())) {
    BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Unable to unlink existing metadata file %s\n", strerror(errno));
  }
  BBXFile file;
  if (!BBXFileInit(&file, path.c_str(), false)) {
    BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Unable to open metadata file %s\n", strerror(errno));
    BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Unable to record context metadata\n");
    return;
  }
  const bool identity = BBXFileWriteSectionStart(&file, "identity") && BBXFileWriteHashStart(&file) &&
                        BBXFileWriteHashEntryString(&file, "generator", kBBXGenerator) &&
                        BBXFileWriteHashEntryString(&file, "build_version", kBBXBuildVersion) &&
                        BBXFileWriteHashEntryString(&file, "display_version", kBBXDisplayVersion) &&
                        BBXFileWriteHashEntryString(&file, "api_key", init->apiKey) &&
                        BBXFileWriteHashEntryUint64(&file, "started_at", static_cast<std::uint64_t>(time(nullptr))) &&
                        BBXFileWriteHashEntryString(&file, "session_id", init->sessionId) &&
                        BBXFileWriteHashEntryString(&file, "install_id", init->installId) &&
                        BBXFileWriteHashEntryString(&file, "beta_token", init->betaToken) &&
                        BBXFileWriteHashEntryBoolean(&file, "absolute_log_timestamps", true) &&
                        BBXFileWriteHashEnd(&file) && BBXFileWriteSectionEnd(&file);
  if (!identity) BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Unable to write out identity metadata\n");
  if (!writeHost(&file)) BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Unable to write out host metadata\n");
  const std::string bundle = HBRApplicationEscapedBundleIdentifier();
  const std::optional<std::string> build = HBRApplicationBuildVersion();
  const std::optional<std::string> display = HBRApplicationDisplayVersion();
  const bool application = BBXFileWriteSectionStart(&file, "application") && BBXFileWriteHashStart(&file) &&
                           BBXFileWriteHashEntryString(&file, "bundle_id", bundle.c_str()) &&
                           BBXFileWriteHashEntryString(&file, "custom_bundle_id", init->customBundleId) &&
                           BBXFileWriteHashEntryStringView(&file, "build_version", build) &&
                           BBXFileWriteHashEntryStringView(&file, "display_version", display) &&
                           BBXFileWriteHashEntryNull(&file, "extension_id") && BBXFileWriteHashEnd(&file) &&
                           BBXFileWriteSectionEnd(&file);
  if (!application) BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Unable to write out application metadata\n");
  if (!BBXFileClose(&file)) BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Unable to record context metadata\n");
}

bool BBXHostRecordStorage(BBXFile* file) {
  const BBXReadOnlyContext* readOnly = gReadOnlyContext.load(std::memory_order_acquire);
  struct statfs status {};
  const bool known = readOnly && !BBXPointerIsAbsent(readOnly->host.documentsPath) &&
                     statfs(readOnly->host.documentsPath, &status) == 0;
  bool ok = BBXFileWriteSectionStart(file, "storage") && BBXFileWriteHashStart(file);
  if (ok && known) {
    const auto block = static_cast<std::uint64_t>(status.f_bsize);
    ok = BBXFileWriteHashEntryUint64(file, "free", block * static_cast<std::uint64_t>(status.f_bavail)) &&
         BBXFileWriteHashEntryUint64(file, "total", block * static_cast<std::uint64_t>(status.f_blocks));
  }
  return ok && BBXFileWriteHashEnd(file) && BBXFileWriteSectionEnd(file);
}

bool BBXContextInitialize(const BBXContextInitData* init) {
  if (BBXPointerIsAbsent(init) || BBXPointerIsAbsent(init->reportPath)) return false;
  if (gReadOnlyContext.load()) return true;  // once per process
  (void)BBXLoggingQueue();
  (void)BBXBinaryImagesQueue();
  (void)BBXExceptionQueue();

  BBXAllocator* allocator = BBXAllocatorCreate(kWritableBytes, kReadOnlyBytes);
  bbx_detail::gAllocator.store(allocator);
  auto* readOnly = static_cast<BBXReadOnlyContext*>(
      BBXAllocatorSafeAllocate(allocator, kReadOnlyContextBytes, static_cast<int>(BBXAllocatorRegion::ReadOnly)));
  void* signalStack =
      BBXAllocatorSafeAllocate(allocator, kSignalStackSize, static_cast<int>(BBXAllocatorRegion::Writable));
  void* machStack =
      BBXAllocatorSafeAllocate(allocator, kSignalStackSize, static_cast<int>(BBXAllocatorRegion::Writable));
  auto* writableBytes =
      BBXAllocatorSafeAllocate(allocator, kWritableContextBytes, static_cast<int>(BBXAllocatorRegion::Writable));
  if (!readOnly || !signalStack || !machStack || !writableBytes) return false;
  memset(static_cast<void*>(readOnly), 0, kReadOnlyContextBytes);
  memset(signalStack, 0, kSignalStackSize);
  memset(machStack, 0, kSignalStackSize);
  memset(writableBytes, 0, kWritableContextBytes);
  auto* writable = new (writableBytes) BBXWritableContext{};
  writable->logFd.store(-1);
  writable->logLevel = kBBXLogLevelDebug;
  writable->crashOccurred.store(false);
  readOnly->initialized = false;
  readOnly->signalStack = signalStack;
  readOnly->machExceptionStack = machStack;
  std::atomic_thread_fence(std::memory_order_seq_cst);

  const std::string logPath = joinPath(init->reportPath, "sdk.log");
  if (!BBXFileUnlinkIfExists(logPath.c_str())) {
    platform::consoleLog(std::string("[Blackbox:Crash] Unable to write initialize SDK write paths ") + strerror(errno));
  }
  readOnly->logPath = BBXContextCopyString(logPath.c_str());
  readOnly->debuggerAttached = BBXProcessDebuggerAttached();
  readOnly->firstInstall = init->firstInstall;
  readOnly->binaryImagePath = BBXContextCopyString(joinPath(init->reportPath, "binary_images.bbxrecord").c_str());
  readOnly->signal.path = BBXContextCopyString(joinPath(init->reportPath, "signal.bbxrecord").c_str());
  readOnly->exception.path = BBXContextCopyString(joinPath(init->reportPath, "exception.bbxrecord").c_str());
  readOnly->exception.maxCustomExceptions = init->customExceptionsEnabled ? init->maxCustomExceptions : 0;
  gWritableContext.store(writable, std::memory_order_seq_cst);
  gReadOnlyContext.store(readOnly, std::memory_order_seq_cst);

  // The set-up blocks write disjoint parts of the context; they copy what they need of `init`.
  const BBXContextInitData initCopy = *init;
  const std::string reportPath = init->reportPath;
  auto group = platform::DispatchGroup::create();
  const platform::DispatchQueuePtr global = platform::DispatchQueue::global();
  group->async(global, [readOnly] {
    readOnly->host.pageSize = BBXHostGetPageSize();
    readOnly->host.documentsPath = BBXContextCopyString(documentsFolder().c_str());
  });
  group->async(global, [readOnly, writable, reportPath, initCopy] {
    setUpUserLogging(readOnly, writable, reportPath.c_str(), initCopy);
  });
  if (readOnly->debuggerAttached) {
    BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Debugger present - not installing handlers\n");
  }
  // The metadata record keeps its own copies of the strings it writes.
  auto apiKey = std::make_shared<std::string>(init->apiKey ? init->apiKey : "");
  auto sessionId = std::make_shared<std::string>(init->sessionId ? init->sessionId : "");
  auto installId = std::make_shared<std::string>(init->installId ? init->installId : "");
  auto betaToken = init->betaToken ? std::make_shared<std::string>(init->betaToken) : nullptr;
  auto customBundleId = init->customBundleId ? std::make_shared<std::string>(init->customBundleId) : nullptr;
  group->async(global, [=] {
    BBXContextInitData data = initCopy;
    data.reportPath = reportPath.c_str();
    data.apiKey = initCopy.apiKey ? apiKey->c_str() : nullptr;
    data.sessionId = initCopy.sessionId ? sessionId->c_str() : nullptr;
    data.installId = initCopy.installId ? installId->c_str() : nullptr;
    data.betaToken = betaToken ? betaToken->c_str() : nullptr;
    data.customBundleId = customBundleId ? customBundleId->c_str() : nullptr;
    BBXContextRecordMetadata(&data);
  });
  group->notify(global, [readOnly, allocator] {
    __atomic_store_n(&readOnly->initialized, true, __ATOMIC_SEQ_CST);
    if (!BBXAllocatorProtect(allocator)) {
      BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Error: Memory protection failed\n");
    }
  });
  if (!group->wait(kInitializationTimeoutSeconds)) {
    BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Error: Delayed initialization\n");
  }
  return true;
}
