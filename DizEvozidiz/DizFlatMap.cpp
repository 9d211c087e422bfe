#include "DizEvozidiz/DizFlatMap.h"

#include <new>
#include <vector>

#include "platform/system/locks.h"

namespace diz_detail {

namespace {

// Freed blocks by size. The tables grow by doubling, so a handful of sizes recur.
struct RecycledBlocks {
  struct Bin {
    std::size_t bytes;
    std::vector<void*> blocks;
  };
  platform::Mutex mutex;
  std::vector<Bin> bins ZORVEL_GUARDED_BY(mutex);
  std::size_t total ZORVEL_GUARDED_BY(mutex) = 0;
};

// Never destroyed: tables may be freed while the program exits.
RecycledBlocks& recycled() {
  static auto* blocks = new RecycledBlocks;
  return *blocks;
}

}  // namespace

void* takeRecycledBlock(std::size_t bytes) {
  RecycledBlocks& store = recycled();
  {
    platform::MutexLock lock(store.mutex);
    for (auto& bin : store.bins) {
      if (bin.bytes != bytes || bin.blocks.empty()) continue;
      void* block = bin.blocks.back();
      bin.blocks.pop_back();
      store.total -= bytes;
      return block;
    }
  }
  return ::operator new(bytes);
}

void giveRecycledBlock(void* block, std::size_t bytes) {
  RecycledBlocks& store = recycled();
  {
    platform::MutexLock lock(store.mutex);
    if (store.total + bytes <= kRecycledBytesLimit) {
      RecycledBlocks::Bin* found = nullptr;
      for (auto& bin : store.bins)
        if (bin.bytes == bytes) found = &bin;
      if (!found) found = &store.bins.emplace_back(RecycledBlocks::Bin{bytes, {}});
      found->blocks.push_back(block);
      store.total += bytes;
      return;
    }
  }
  ::operator delete(block);
}

std::size_t recycledBytes() {
  RecycledBlocks& store = recycled();
  platform::MutexLock lock(store.mutex);
  return store.total;
}

}  // namespace diz_detail
