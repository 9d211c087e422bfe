#pragma once

// Count-limited least-recently-used caches of the connections and extension connections.
//
// DizCache maps keys to values; DizBidirectionalCache maps keys to objects and objects back to keys
// (a connection's rowid <-> collection key cache). A hit in a lookup, and every insertion or update,
// makes the entry the most recent; when an insertion takes the count over a non-zero limit, the
// least recent entry is evicted (silently: there is no eviction callback). `contains...` and the
// enumerations never change recency.
//
// Both keep the node of the last eviction as a spare and reuse it for the next insertion of a new
// key, so a full cache in steady state allocates nothing per insertion.
//
// Not thread-safe: the owner (a connection, on its own serial queue) serialises every call.
// Pointers returned by lookups stay valid until the next call that changes the cache.
//
// Keys and values must be default-constructible (the spare node is emptied by assigning defaults).

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/runtime/format.h"

namespace diz_detail {

// The position a hash starts its probe at in a table of 2^(64 - shift) slots: the top bits of
// the hash times 2^64 / golden ratio, which depend on every bit of the hash, so that identity
// hashes (rowids) spread as well as mixed ones.
inline std::size_t probeStart(std::uint64_t hash, unsigned shift) {
  return static_cast<std::size_t>((hash * 0x9E3779B97F4A7C15ULL) >> shift);
}

// An index from hashes to nodes it does not own: open addressing with linear probing in a
// power-of-two array that is kept at most half full. A slot holds the node's full hash, so a
// lookup looks at a node only when the hashes agree; a removal moves the entries after the hole
// back into it, so no markers of removed entries slow later lookups down.
template <class Node>
class NodeIndex {
 public:
  // The node with this hash for which `matches(node)` holds, or null.
  template <class Matches>
  Node* find(std::uint64_t hash, Matches&& matches) const {
    if (count_ == 0) return nullptr;
    for (std::size_t i = probeStart(hash, shift_);; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (!slot.node) return nullptr;
      if (slot.hash == hash && matches(slot.node)) return slot.node;
    }
  }
  // Adds a node that nothing in the index matches.
  void insert(std::uint64_t hash, Node* node) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    std::size_t i = probeStart(hash, shift_);
    while (slots_[i].node) i = (i + 1) & mask_;
    slots_[i] = Slot{hash, node};
    ++count_;
  }
  // Points the entry of the node with this hash for which `matches` holds at `node` instead.
  template <class Matches>
  bool replace(std::uint64_t hash, Matches&& matches, Node* node) {
    if (count_ == 0) return false;
    for (std::size_t i = probeStart(hash, shift_);; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (!slot.node) return false;
      if (slot.hash == hash && matches(slot.node)) {
        slot.node = node;
        return true;
      }
    }
  }
  // Removes the entry of exactly this node, if there is one.
  void erase(std::uint64_t hash, const Node* node) {
    if (count_ == 0) return;
    std::size_t hole = probeStart(hash, shift_);
    for (; slots_[hole].node != node; hole = (hole + 1) & mask_)
      if (!slots_[hole].node) return;
    // Each later entry of the run whose probe passes the hole on its way moves back into it.
    for (std::size_t j = (hole + 1) & mask_; slots_[j].node; j = (j + 1) & mask_) {
      const std::size_t start = probeStart(slots_[j].hash, shift_);
      if (((j - start) & mask_) >= ((j - hole) & mask_)) {
        slots_[hole] = slots_[j];
        hole = j;
      }
    }
    slots_[hole] = Slot{};
    --count_;
  }
  std::size_t size() const { return count_; }
  void clear() {
    slots_ = {};
    count_ = 0;
    mask_ = 0;
    shift_ = 64;
  }
  // Every node, in slot order. Block: (Node*, bool& stop).
  template <class Block>
  void enumerate(Block&& block) const {
    bool stop = false;
    for (const Slot& slot : slots_) {
      if (!slot.node) continue;
      block(slot.node, stop);
      if (stop) return;
    }
  }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    Node* node = nullptr;  // null: empty
  };

  void grow() {
    const std::size_t capacity = std::max<std::size_t>(8, slots_.size() * 2);
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity));
    mask_ = slots_.size() - 1;
    shift_ = static_cast<unsigned>(64 - std::countr_zero(slots_.size()));
    for (const Slot& slot : old) {
      if (!slot.node) continue;
      std::size_t i = probeStart(slot.hash, shift_);
      while (slots_[i].node) i = (i + 1) & mask_;
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t count_ = 0;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
};

// What both caches are made of: nodes indexed by key, the nodes' recency order (most recent
// first), the count limit, and one spare node kept from the last eviction. The caches differ only
// in what a node carries beside its key and in what they do when a node comes or goes (the
// bidirectional cache indexes its nodes by object too): they pass that in as hooks.
template <class Key, class Payload, class Hash, class Equal>
class LruTable {
 public:
  struct Node {
    Node* prev = nullptr;    // more recent
    Node* next = nullptr;    // less recent
    std::uint64_t hash = 0;  // the key's
    Key key{};
    Payload payload{};
  };

  LruTable(std::uint64_t countLimit, Hash hash, Equal equal)
      : hash_(std::move(hash)), equal_(std::move(equal)), countLimit_(countLimit) {}
  ~LruTable() { clear(); }
  LruTable(const LruTable&) = delete;
  LruTable& operator=(const LruTable&) = delete;

  template <class K>
  Node* find(const K& key) const {
    return index_.find(hashOf(key), [&](const Node* node) { return equal_(node->key, key); });
  }
  template <class K>
  bool contains(const K& key) const {
    return find(key) != nullptr;
  }
  // Makes the node the most recent.
  void touch(Node* node) {
    if (node == head_) return;
    unlink(node);
    linkAtHead(node);
  }

  // Adds a node for a key that is not in the table, as the most recent, with the payload; then
  // `added(node)`, then evictions down to the limit (each announced through `evicting(node)` before
  // the node goes).
  template <class Added, class Evicting>
  Node* insert(const Key& key, Payload payload, Added&& added, Evicting&& evicting) {
    Node* node = spare_ ? std::exchange(spare_, nullptr) : new Node;
    node->hash = hashOf(key);
    node->key = key;
    node->payload = std::move(payload);
    index_.insert(node->hash, node);
    added(node);
    linkAtHead(node);
    trim(evicting);
    return node;
  }

  // Removes the node (which `removing(node)` hears of first); the node is freed.
  template <class Removing>
  void remove(Node* node, Removing&& removing) {
    unlink(node);
    removing(node);
    index_.erase(node->hash, node);
    delete node;
  }

  std::size_t count() const { return index_.size(); }
  std::uint64_t countLimit() const { return countLimit_; }
  // Lowering the limit below the count evicts least recent entries until the count fits.
  template <class Evicting>
  void setCountLimit(std::uint64_t limit, Evicting&& evicting) {
    if (limit == countLimit_) return;
    countLimit_ = limit;
    trim(evicting);
  }

  // Also drops the spare node.
  void clear() {
    for (Node* node = head_; node;) delete std::exchange(node, node->next);
    delete std::exchange(spare_, nullptr);
    index_.clear();
    head_ = tail_ = nullptr;
  }

  // Table order. Block: (const Key&, const Payload&, bool& stop).
  template <class Block>
  void enumerate(Block&& block) const {
    index_.enumerate([&](const Node* node, bool& stop) { block(node->key, node->payload, stop); });
  }
  const Node* mostRecent() const { return head_; }

 private:
  template <class K>
  std::uint64_t hashOf(const K& key) const {
    return static_cast<std::uint64_t>(hash_(key));
  }
  void linkAtHead(Node* node) {
    node->prev = nullptr;
    node->next = head_;
    if (head_) head_->prev = node;
    head_ = node;
    if (!tail_) tail_ = node;
  }
  void unlink(Node* node) {
    if (node == head_)
      head_ = node->next;
    else
      node->prev->next = node->next;
    if (node == tail_)
      tail_ = node->prev;
    else
      node->next->prev = node->prev;
  }
  template <class Evicting>
  void trim(Evicting& evicting) {
    while (countLimit_ != 0 && index_.size() > countLimit_) {
      Node* victim = tail_;
      unlink(victim);
      evicting(victim);
      index_.erase(victim->hash, victim);
      if (spare_) {
        delete victim;
      } else {
        *victim = Node{};  // releases the key and the payload
        spare_ = victim;
      }
    }
  }

  Hash hash_;
  Equal equal_;
  NodeIndex<Node> index_;
  Node* head_ = nullptr;
  Node* tail_ = nullptr;
  Node* spare_ = nullptr;
  std::uint64_t countLimit_;
};

// A hook that does nothing.
struct NoCacheHook {
  template <class Node>
  void operator()(Node*) const {}
};

}  // namespace diz_detail

template <class Key, class Value, class Hash = std::hash<Key>, class Equal = std::equal_to<Key>>
class DizCache {
 public:
  static constexpr std::uint64_t kDefaultCountLimit = 40;

  // countLimit 0 means unlimited.
  explicit DizCache(std::uint64_t countLimit = kDefaultCountLimit, Hash hash = Hash(), Equal equal = Equal())
      : table_(countLimit, std::move(hash), std::move(equal)) {}
  DizCache(const DizCache&) = delete;
  DizCache& operator=(const DizCache&) = delete;

  // The value for the key, or nullptr; a hit makes the entry the most recent. With a transparent
  // Hash and Equal, any key type they accept will do.
  template <class K = Key>
  Value* objectForKey(const K& key) {
    Node* node = table_.find(key);
    if (!node) return nullptr;
    table_.touch(node);
    return &node->payload;
  }

  template <class K = Key>
  bool containsKey(const K& key) const {
    return table_.contains(key);
  }

  // Inserts or replaces; the entry becomes the most recent. Replacing never evicts.
  void setObject(Value value, const Key& key) {
    if (Node* node = table_.find(key)) {
      node->payload = std::move(value);
      table_.touch(node);
      return;
    }
    table_.insert(key, std::move(value), diz_detail::NoCacheHook(), diz_detail::NoCacheHook());
  }

  std::size_t count() const { return table_.count(); }
  std::uint64_t countLimit() const { return table_.countLimit(); }
  // Lowering the limit below the count evicts least recent entries until the count fits.
  void setCountLimit(std::uint64_t limit) { table_.setCountLimit(limit, diz_detail::NoCacheHook()); }

  void removeObjectForKey(const Key& key) {
    if (Node* node = table_.find(key)) table_.remove(node, diz_detail::NoCacheHook());
  }
  // Any range of keys; keys not in the cache are skipped.
  template <class Range>
  void removeObjectsForKeys(const Range& keys) {
    for (const auto& key : keys) removeObjectForKey(key);
  }
  // Also drops the spare node.
  void removeAllObjects() { table_.clear(); }

  // Table order, not recency order. Block: (const Key&, bool& stop).
  template <class Block>
  void enumerateKeysWithBlock(Block&& block) const {
    table_.enumerate([&](const Key& key, const Value&, bool& stop) { block(key, stop); });
  }
  // Block: (const Key&, const Value&, bool& stop).
  template <class Block>
  void enumerateKeysAndObjectsWithBlock(Block&& block) const {
    table_.enumerate(block);
  }

  // Keys from most to least recent (what `description` lists); for inspection and tests.
  template <class Block>
  void enumerateKeysByRecency(Block&& block) const {
    for (const Node* n = table_.mostRecent(); n; n = n->next) block(n->key);
  }

  // "DizCache, count=N, keys=\n" then "  i: <DizCacheItem[0x...] key(...)>\n" from most recent.
  std::string description() const {
    std::string out = platform::format("%@, count=%ld, keys=\n", "DizCache", static_cast<long>(table_.count()));
    unsigned long i = 0;
    for (const Node* n = table_.mostRecent(); n; n = n->next, ++i) {
      const std::string item = platform::format("<DizCacheItem[%p] key(%@)>", static_cast<const void*>(n), n->key);
      out += platform::format("  %lu: %@\n", i, item);
    }
    return out;
  }

 private:
  using Table = diz_detail::LruTable<Key, Value, Hash, Equal>;
  using Node = typename Table::Node;

  Table table_;
};

template <class Key, class Object, class KeyHash = std::hash<Key>, class KeyEqual = std::equal_to<Key>,
          class ObjectHash = std::hash<Object>, class ObjectEqual = std::equal_to<Object>>
class DizBidirectionalCache {
 public:
  static constexpr std::uint64_t kDefaultCountLimit = 40;

  explicit DizBidirectionalCache(std::uint64_t countLimit = kDefaultCountLimit, KeyHash keyHash = KeyHash(),
                                 KeyEqual keyEqual = KeyEqual(), ObjectHash objectHash = ObjectHash(),
                                 ObjectEqual objectEqual = ObjectEqual())
      : table_(countLimit, std::move(keyHash), std::move(keyEqual)),
        objectHash_(std::move(objectHash)),
        objectEqual_(std::move(objectEqual)) {}
  DizBidirectionalCache(const DizBidirectionalCache&) = delete;
  DizBidirectionalCache& operator=(const DizBidirectionalCache&) = delete;

  // Lookups in either direction; a hit makes the entry the most recent.
  Object* objectForKey(const Key& key) {
    Node* node = table_.find(key);
    if (!node) return nullptr;
    table_.touch(node);
    return &node->payload;
  }
  const Key* keyForObject(const Object& object) { return keyForObject(object, nullptr); }
  // Also for any type the object hash and equality accept (when they are transparent); `stored`,
  // when given, receives the cache's own object on a hit.
  template <class O>
  const Key* keyForObject(const O& object, const Object** stored) {
    Node* node = findObject(object);
    if (!node) return nullptr;
    table_.touch(node);
    if (stored) *stored = &node->payload;
    return &node->key;
  }

  bool containsKey(const Key& key) const { return table_.contains(key); }
  bool containsObject(const Object& object) const { return findObject(object) != nullptr; }

  // Stores the pair both ways. For a key already present with an equal object, only recency changes;
  // with a different object, the old object no longer maps back to the key.
  void setObject(Object object, const Key& key) {
    if (Node* node = table_.find(key)) {
      if (!objectEqual_(node->payload, object)) {
        unindexObject(node);
        node->payload = std::move(object);
        indexObject(node);
      }
      table_.touch(node);
      return;
    }
    table_.insert(
        key, std::move(object), [this](Node* node) { indexObject(node); }, [this](Node* node) { unindexObject(node); });
  }

  std::size_t count() const { return table_.count(); }
  std::uint64_t countLimit() const { return table_.countLimit(); }
  void setCountLimit(std::uint64_t limit) {
    table_.setCountLimit(limit, [this](Node* node) { unindexObject(node); });
  }

  void removeObjectForKey(const Key& key) {
    if (Node* node = table_.find(key)) remove(node);
  }
  template <class Range>
  void removeObjectsForKeys(const Range& keys) {
    for (const auto& key : keys) removeObjectForKey(key);
  }
  void removeKeyForObject(const Object& object) {
    if (Node* node = findObject(object)) remove(node);
  }
  template <class Range>
  void removeKeysForObjects(const Range& objects) {
    for (const auto& object : objects) removeKeyForObject(object);
  }
  void removeAllObjects() {
    objects_.clear();
    table_.clear();
  }

  // Table order. Blocks: (const Key&, bool&), (const Object&, bool&), (const Key&, const Object&, bool&).
  template <class Block>
  void enumerateKeysWithBlock(Block&& block) const {
    table_.enumerate([&](const Key& key, const Object&, bool& stop) { block(key, stop); });
  }
  template <class Block>
  void enumerateObjectsWithBlock(Block&& block) const {
    table_.enumerate([&](const Key&, const Object& object, bool& stop) { block(object, stop); });
  }
  template <class Block>
  void enumerateKeysAndObjectsWithBlock(Block&& block) const {
    table_.enumerate(block);
  }
  template <class Block>
  void enumerateKeysByRecency(Block&& block) const {
    for (const Node* n = table_.mostRecent(); n; n = n->next) block(n->key);
  }

 private:
  using Table = diz_detail::LruTable<Key, Object, KeyHash, KeyEqual>;
  using Node = typename Table::Node;

  template <class O>
  std::uint64_t objectHashOf(const O& object) const {
    return static_cast<std::uint64_t>(objectHash_(object));
  }
  // Also for whatever the object hash and equality accept (when they are transparent).
  template <class O>
  Node* findObject(const O& object) const {
    return objects_.find(objectHashOf(object), [&](const Node* node) { return objectEqual_(node->payload, object); });
  }

  // Two keys may hold equal objects: the index then answers the latest, and an entry always refers
  // to a node that is in the cache.
  void indexObject(Node* node) {
    const std::uint64_t hash = objectHashOf(node->payload);
    auto equalObject = [&](const Node* other) { return objectEqual_(other->payload, node->payload); };
    if (!objects_.replace(hash, equalObject, node)) objects_.insert(hash, node);
  }
  void unindexObject(Node* node) { objects_.erase(objectHashOf(node->payload), node); }
  void remove(Node* node) {
    table_.remove(node, [this](Node* n) { unindexObject(n); });
  }

  Table table_;
  // Object -> the node that holds it.
  diz_detail::NodeIndex<Node> objects_;
  ObjectHash objectHash_;
  ObjectEqual objectEqual_;
};
