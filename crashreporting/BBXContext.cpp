#include "crashreporting/BBXContext.h"

#include <string.h>

#include "crashreporting/BBXContextInternal.h"
#include "crashreporting/BBXSDKLog.h"

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
