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

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "platform/format.h"

namespace diz_detail {

// What both caches are made of: a table from keys to nodes, the nodes' recency order (most recent
// first), the count limit, and one spare node kept from the last eviction. The caches differ only
// in what a node carries beside its key and in what they do when a node comes or goes (the
// bidirectional cache indexes its nodes by object too): they pass that in as hooks.
template <class Key, class Payload, class Hash, class Equal>
class LruTable {
 public:
  struct Node {
    Node* prev = nullptr;      // more recent
    Node* next = nullptr;      // less recent
    const Key* key = nullptr;  // the table's key
    Payload payload{};
  };

  LruTable(std::uint64_t countLimit, Hash hash, Equal equal)
      : map_(0, std::move(hash), std::move(equal)), countLimit_(countLimit) {}

  template <class K>
  Node* find(const K& key) {
    auto it = map_.find(key);
    return it == map_.end() ? nullptr : &it->second;
  }
  template <class K>
  bool contains(const K& key) const {
    return map_.find(key) != map_.end();
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
    Node* node;
    if (!spare_.empty()) {
      spare_.key() = key;
      spare_.mapped().payload = std::move(payload);
      auto inserted = map_.insert(std::move(spare_));
      node = &inserted.position->second;
      node->key = &inserted.position->first;
    } else {
      auto [pos, fresh] = map_.try_emplace(key);
      node = &pos->second;
      node->key = &pos->first;
      node->payload = std::move(payload);
    }
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
    map_.erase(map_.find(*node->key));  // find first: the key lives inside the erased node
  }

  std::size_t count() const { return map_.size(); }
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
    map_.clear();
    spare_ = typename Map::node_type();
    head_ = tail_ = nullptr;
  }

  // Table order. Block: (const Key&, const Payload&, bool& stop).
  template <class Block>
  void enumerate(Block&& block) const {
    bool stop = false;
    for (const auto& entry : map_) {
      block(entry.first, entry.second.payload, stop);
      if (stop) break;
    }
  }
  const Node* mostRecent() const { return head_; }

 private:
  using Map = std::unordered_map<Key, Node, Hash, Equal>;

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
    while (countLimit_ != 0 && map_.size() > countLimit_) {
      Node* victim = tail_;
      unlink(victim);
      evicting(victim);
      auto handle = map_.extract(map_.find(*victim->key));
      if (spare_.empty()) {
        handle.mapped() = Node{};
        handle.key() = Key{};
        spare_ = std::move(handle);
      }
    }
  }

  Map map_;
  typename Map::node_type spare_;
  Node* head_ = nullptr;
  Node* tail_ = nullptr;
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
    for (const Node* n = table_.mostRecent(); n; n = n->next) block(*n->key);
  }

  // "DizCache, count=N, keys=\n" then "  i: <DizCacheItem[0x...] key(...)>\n" from most recent.
  std::string description() const {
    std::string out = platform::format("%@, count=%ld, keys=\n", "DizCache", static_cast<long>(table_.count()));
    unsigned long i = 0;
    for (const Node* n = table_.mostRecent(); n; n = n->next, ++i) {
      const std::string item = platform::format("<DizCacheItem[%p] key(%@)>", static_cast<const void*>(n), *n->key);
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
        objKey_(0, ObjPtrHash{objectHash}, ObjPtrEqual{objectEqual}),
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
    auto it = findObject(object);
    if (it == objKey_.end()) return nullptr;
    table_.touch(it->second);
    if (stored) *stored = &it->second->payload;
    return it->second->key;
  }

  bool containsKey(const Key& key) const { return table_.contains(key); }
  bool containsObject(const Object& object) const { return objKey_.find(&object) != objKey_.end(); }

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
    auto it = objKey_.find(&object);
    if (it == objKey_.end()) return;
    remove(it->second);
  }
  template <class Range>
  void removeKeysForObjects(const Range& objects) {
    for (const auto& object : objects) removeKeyForObject(object);
  }
  void removeAllObjects() {
    objKey_.clear();
    objSpare_ = typename ObjMap::node_type();
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
    for (const Node* n = table_.mostRecent(); n; n = n->next) block(*n->key);
  }

 private:
  using Table = diz_detail::LruTable<Key, Object, KeyHash, KeyEqual>;
  using Node = typename Table::Node;
  // Transparent, so that the index can be searched with whatever the object hash and equality
  // accept (the object itself by address, or a borrowed stand-in).
  struct ObjPtrHash {
    using is_transparent = void;
    ObjectHash hash;
    std::size_t operator()(const Object* o) const { return static_cast<std::size_t>(hash(*o)); }
    template <class O>
    requires(!std::is_pointer_v<O>) std::size_t operator()(const O& o) const {
      return static_cast<std::size_t>(hash(o));
    }
  };
  struct ObjPtrEqual {
    using is_transparent = void;
    ObjectEqual equal;
    bool operator()(const Object* a, const Object* b) const { return equal(*a, *b); }
    template <class O>
    requires(!std::is_pointer_v<O>) bool operator()(const Object* a, const O& b) const { return equal(*a, b); }
    template <class O>
    requires(!std::is_pointer_v<O>) bool operator()(const O& a, const Object* b) const { return equal(*b, a); }
  };
  // Indexes nodes by their object; owns nothing.
  using ObjMap = std::unordered_map<const Object*, Node*, ObjPtrHash, ObjPtrEqual>;

  auto findObject(const Object& object) { return objKey_.find(&object); }
  template <class O>
  auto findObject(const O& object) {
    return objKey_.find(object);
  }

  // Two keys may hold equal objects: the index then answers the latest, and never keeps a pointer
  // into a node it does not map to. Index entries are recycled like the key table's nodes.
  void indexObject(Node* node) {
    auto it = objKey_.find(&node->payload);
    if (it != objKey_.end()) {
      it->second = node;
      // The entry's key must point into the node it maps to: swap it for one that does.
      auto handle = objKey_.extract(it);
      handle.key() = &node->payload;
      objKey_.insert(std::move(handle));
      return;
    }
    if (!objSpare_.empty()) {
      objSpare_.key() = &node->payload;
      objSpare_.mapped() = node;
      objKey_.insert(std::move(objSpare_));
    } else {
      objKey_.emplace(&node->payload, node);
    }
  }
  void unindexObject(Node* node) {
    auto it = objKey_.find(&node->payload);
    if (it == objKey_.end() || it->second != node) return;
    auto handle = objKey_.extract(it);
    if (objSpare_.empty()) objSpare_ = std::move(handle);
  }
  void remove(Node* node) {
    table_.remove(node, [this](Node* n) { unindexObject(n); });
  }

  Table table_;
  ObjMap objKey_;
  typename ObjMap::node_type objSpare_;
  ObjectEqual objectEqual_;
};
