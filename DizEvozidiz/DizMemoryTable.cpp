#include "DizEvozidiz/DizMemoryTable.h"

#include <utility>

#include "platform/runtime/format.h"

using platform::Value;

std::string DizMemoryTableValue::description() const {
  return platform::format("<DizMemoryTableValue[%p]: snapshot(%llu), olderValue(%p), object(%@)>",
                          static_cast<const void*>(this), static_cast<unsigned long long>(snapshot),
                          static_cast<const void*>(olderValue.get()), object);
}

// ---------------------------------------------------------------------------------------------
// Table

DizMemoryTable::DizMemoryTable(std::string keyClass) : keyClass_(std::move(keyClass)) {
  queue_ = platform::DispatchQueue::createConcurrent("DizMemoryTable");
  queue_->setSpecific(&isOnQueueKey_, &isOnQueueKey_);
}

DizMemoryTable::Ptr DizMemoryTable::make(std::string keyClass) {
  return platform::make<DizMemoryTable>(std::move(keyClass));
}

DizMemoryTable::~DizMemoryTable() {
  for (auto& [key, chain] : dict_) releaseChain(std::move(chain));
}

bool DizMemoryTable::isOnQueue() const {
  return queue_ && platform::DispatchQueue::getSpecificCurrent(&isOnQueueKey_) != nullptr;
}

template <class F>
void DizMemoryTable::read(F&& f) const {
  if (isOnQueue())
    f();
  else
    queue_->sync(f);
}

template <class F>
void DizMemoryTable::write(F&& f) {
  if (isOnQueue())
    f();
  else
    queue_->barrierSync(f);
}

const DizMemoryTable::Node* DizMemoryTable::visible(const Node* node, std::uint64_t snapshot) {
  while (node && node->snapshot > snapshot) node = node->olderValue.get();
  return node;
}

void DizMemoryTable::releaseChain(NodePtr chain) {
  // Each node is released after its successor has been detached, so a long chain never recurses.
  while (chain) {
    NodePtr older = std::move(chain->olderValue);
    chain = std::move(older);
  }
}

std::shared_ptr<DizMemoryTableTransaction> DizMemoryTable::newReadTransaction(std::uint64_t snapshot) {
  return std::make_shared<DizMemoryTableTransaction>(std::static_pointer_cast<DizMemoryTable>(shared_from_this()),
                                                     snapshot, false);
}

std::shared_ptr<DizMemoryTableTransaction> DizMemoryTable::newReadWriteTransaction(std::uint64_t snapshot) {
  return std::make_shared<DizMemoryTableTransaction>(std::static_pointer_cast<DizMemoryTable>(shared_from_this()),
                                                     snapshot, true);
}

void DizMemoryTable::recordCommit(std::uint64_t snapshot, const DizMemoryTableKeySet& keys) {
  std::lock_guard guard(lock_);
  snapshots_.push_back(snapshot);
  changes_.push_back(keys);
}

void DizMemoryTable::forgetCommit(std::uint64_t snapshot) {
  std::lock_guard guard(lock_);
  for (std::size_t i = snapshots_.size(); i-- > 0;) {
    if (snapshots_[i] != snapshot) continue;
    snapshots_.erase(snapshots_.begin() + static_cast<std::ptrdiff_t>(i));
    changes_.erase(changes_.begin() + static_cast<std::ptrdiff_t>(i));
    return;
  }
}

void DizMemoryTable::asyncRollback(std::uint64_t snapshot, DizMemoryTableKeySet keys) {
  std::weak_ptr<DizMemoryTable> weak = std::static_pointer_cast<DizMemoryTable>(shared_from_this());
  queue_->barrierAsync([weak, snapshot, keys = std::move(keys)] {
    if (auto table = weak.lock()) table->rollbackNow(snapshot, keys);
  });
}

void DizMemoryTable::rollbackNow(std::uint64_t snapshot, const DizMemoryTableKeySet& keys) {
  for (const Value& key : keys) {
    auto it = dict_.find(key);
    if (it == dict_.end() || it->second->snapshot != snapshot) continue;
    NodePtr older = std::move(it->second->olderValue);
    if (older)
      it->second = std::move(older);
    else
      dict_.erase(it);
  }
}

void DizMemoryTable::asyncCheckpoint(std::uint64_t oldestSnapshotInUse) {
  std::weak_ptr<DizMemoryTable> weak = std::static_pointer_cast<DizMemoryTable>(shared_from_this());
  queue_->barrierAsync([weak, oldestSnapshotInUse] {
    if (auto table = weak.lock()) table->checkpointNow(oldestSnapshotInUse);
  });
}

void DizMemoryTable::checkpointNow(std::uint64_t m) {
  while (true) {
    DizMemoryTableKeySet keys;
    {
      std::lock_guard guard(lock_);
      if (snapshots_.empty() || snapshots_.front() >= m) return;
      keys = std::move(changes_.front());
      snapshots_.pop_front();
      changes_.pop_front();
    }
    for (const Value& key : keys) {
      auto it = dict_.find(key);
      if (it == dict_.end()) continue;
      Node* newest = it->second.get();
      Node* seen = newest;
      while (seen && seen->snapshot > m) seen = seen->olderValue.get();
      if (!seen) continue;  // every version is newer than M: all still needed
      if (seen == newest && seen->object.isNil()) {
        releaseChain(std::move(it->second));
        dict_.erase(it);
      } else {
        releaseChain(std::move(seen->olderValue));
      }
    }
  }
}

std::size_t DizMemoryTable::keyCount() const {
  std::size_t count = 0;
  read([&] { count = dict_.size(); });
  return count;
}

std::size_t DizMemoryTable::versionCount() const {
  std::size_t count = 0;
  read([&] {
    for (const auto& [key, chain] : dict_)
      for (const Node* node = chain.get(); node; node = node->olderValue.get()) ++count;
  });
  return count;
}

std::vector<std::uint64_t> DizMemoryTable::committedSnapshots() const {
  std::lock_guard guard(lock_);
  return {snapshots_.begin(), snapshots_.end()};
}

// ---------------------------------------------------------------------------------------------
// Transaction

DizMemoryTableTransaction::DizMemoryTableTransaction(DizMemoryTable::Ptr table, std::uint64_t snapshot,
                                                     bool isReadWriteTransaction)
    : table_(std::move(table)), snapshot_(snapshot), isReadWriteTransaction_(isReadWriteTransaction) {}

Value DizMemoryTableTransaction::objectForKey(const Value& key) const {
  Value result;
  table_->read([&] {
    auto it = table_->dict_.find(key);
    if (it == table_->dict_.end()) return;
    if (const auto* node = DizMemoryTable::visible(it->second.get(), snapshot_)) result = node->object;
  });
  return result;
}

void DizMemoryTableTransaction::enumerateKeysWithBlock(const KeyBlock& block) const {
  if (!block) return;
  enumerateKeysAndObjectsWithBlock([&](const Value& key, const Value&, bool& stop) { block(key, stop); });
}

void DizMemoryTableTransaction::enumerateKeysAndObjectsWithBlock(const KeyObjectBlock& block) const {
  if (!block) return;
  table_->read([&] {
    bool stop = false;
    for (const auto& [key, chain] : table_->dict_) {
      const auto* node = DizMemoryTable::visible(chain.get(), snapshot_);
      if (!node || node->object.isNil()) continue;
      block(key, node->object, stop);
      if (stop) return;
    }
  });
}

void DizMemoryTableTransaction::setObject(const Value& object, const Value& key) {
  if (!isReadWriteTransaction_ || key.isNil()) return;
  if (object.isNil()) {
    removeObjectForKey(key);
    return;
  }
  table_->write([&] {
    auto& dict = table_->dict_;
    auto it = dict.find(key);
    if (it != dict.end() && it->second->snapshot == snapshot_) {
      it->second->object = object;
      return;
    }
    auto node = std::make_shared<DizMemoryTableValue>();
    node->snapshot = snapshot_;
    node->object = object;
    if (it != dict.end()) {
      node->olderValue = std::move(it->second);
      it->second = std::move(node);
    } else {
      dict.emplace(key, std::move(node));
    }
    changedKeys_.insert(key);
  });
}

void DizMemoryTableTransaction::removeOnQueue(const Value& key) {
  auto& dict = table_->dict_;
  auto it = dict.find(key);
  if (it == dict.end()) return;
  if (it->second->snapshot == snapshot_) {
    if (it->second->olderValue) {
      it->second->object = Value();
    } else {  // made by this transaction: as if it had never been
      dict.erase(it);
      changedKeys_.erase(key);
    }
    return;
  }
  auto node = std::make_shared<DizMemoryTableValue>();
  node->snapshot = snapshot_;
  node->olderValue = std::move(it->second);
  it->second = std::move(node);
  changedKeys_.insert(key);
}

void DizMemoryTableTransaction::removeObjectForKey(const Value& key) {
  if (!isReadWriteTransaction_) return;
  table_->write([&] { removeOnQueue(key); });
}

void DizMemoryTableTransaction::removeObjectsForKeys(const std::vector<Value>& keys) {
  if (!isReadWriteTransaction_ || keys.empty()) return;
  table_->write([&] {
    for (const Value& key : keys) removeOnQueue(key);
  });
}

void DizMemoryTableTransaction::removeAllObjects() {
  if (!isReadWriteTransaction_) return;
  table_->write([&] {
    std::vector<Value> present;
    for (const auto& [key, chain] : table_->dict_) {
      const auto* node = DizMemoryTable::visible(chain.get(), snapshot_);
      if (node && !node->object.isNil()) present.push_back(key);
    }
    for (const Value& key : present) removeOnQueue(key);
  });
}

void DizMemoryTableTransaction::accessWithBlock(const std::function<void()>& block) const {
  if (block) table_->queue_->sync(block);
}

void DizMemoryTableTransaction::modifyWithBlock(const std::function<void()>& block) {
  if (block) table_->queue_->barrierSync(block);
}

bool DizMemoryTableTransaction::commit() {
  if (!isReadWriteTransaction_ || changedKeys_.empty() || committed_ || rolledBack_) return false;
  table_->recordCommit(snapshot_, changedKeys_);
  committed_ = true;
  return true;
}

void DizMemoryTableTransaction::rollback() {
  if (!isReadWriteTransaction_ || changedKeys_.empty() || rolledBack_) return;
  rolledBack_ = true;
  if (committed_) table_->forgetCommit(snapshot_);
  table_->asyncRollback(snapshot_, changedKeys_);
}
