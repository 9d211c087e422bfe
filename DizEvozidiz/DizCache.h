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

// The recency order of a cache's nodes, most recent first; owns nothing. Nodes carry prev/next.
template <class Node>
struct DizRecencyList {
  Node* head = nullptr;
  Node* tail = nullptr;

  void linkAtHead(Node* node) {
    node->prev = nullptr;
    node->next = head;
    if (head) head->prev = node;
    head = node;
    if (!tail) tail = node;
  }
  void moveToFront(Node* node) {
    if (node == head) return;
    unlink(node);
    linkAtHead(node);
  }
  void unlink(Node* node) {
    if (node == head)
      head = node->next;
    else
      node->prev->next = node->next;
    if (node == tail)
      tail = node->prev;
    else
      node->next->prev = node->prev;
  }
  void clear() { head = tail = nullptr; }
};

template <class Key, class Value, class Hash = std::hash<Key>, class Equal = std::equal_to<Key>>
class DizCache {
 public:
  static constexpr std::uint64_t kDefaultCountLimit = 40;

  // countLimit 0 means unlimited.
  explicit DizCache(std::uint64_t countLimit = kDefaultCountLimit, Hash hash = Hash(), Equal equal = Equal())
      : map_(0, std::move(hash), std::move(equal)), countLimit_(countLimit) {}
  DizCache(const DizCache&) = delete;
  DizCache& operator=(const DizCache&) = delete;

  // The value for the key, or nullptr; a hit makes the entry the most recent. With a transparent
  // Hash and Equal, any key type they accept will do.
  template <class K = Key>
  Value* objectForKey(const K& key) {
    auto it = map_.find(key);
    if (it == map_.end()) return nullptr;
    recency_.moveToFront(&it->second);
    return &it->second.value;
  }

  template <class K = Key>
  bool containsKey(const K& key) const {
    return map_.find(key) != map_.end();
  }

  // Inserts or replaces; the entry becomes the most recent. Replacing never evicts.
  void setObject(Value value, const Key& key) {
    auto it = map_.find(key);
    if (it != map_.end()) {
      it->second.value = std::move(value);
      recency_.moveToFront(&it->second);
      return;
    }
    Node* node;
    if (!spare_.empty()) {
      spare_.key() = key;
      spare_.mapped().value = std::move(value);
      auto inserted = map_.insert(std::move(spare_));
      node = &inserted.position->second;
      node->key = &inserted.position->first;
    } else {
      auto [pos, added] = map_.try_emplace(key);
      node = &pos->second;
      node->key = &pos->first;
      node->value = std::move(value);
    }
    recency_.linkAtHead(node);
    if (countLimit_ != 0 && map_.size() > countLimit_) evictLeastRecent();
  }

  std::size_t count() const { return map_.size(); }
  std::uint64_t countLimit() const { return countLimit_; }
  // Lowering the limit below the count evicts least recent entries until the count fits.
  void setCountLimit(std::uint64_t limit) {
    if (limit == countLimit_) return;
    countLimit_ = limit;
    if (limit == 0 || limit >= map_.size()) return;
    while (map_.size() > countLimit_) evictLeastRecent();
  }

  void removeObjectForKey(const Key& key) {
    auto it = map_.find(key);
    if (it == map_.end()) return;
    recency_.unlink(&it->second);
    map_.erase(it);
  }
  // Any range of keys; keys not in the cache are skipped.
  template <class Range>
  void removeObjectsForKeys(const Range& keys) {
    for (const auto& key : keys) removeObjectForKey(key);
  }
  // Also drops the spare node.
  void removeAllObjects() {
    map_.clear();
    spare_ = typename Map::node_type();
    recency_.clear();
  }

  // Table order, not recency order. Block: (const Key&, bool& stop).
  template <class Block>
  void enumerateKeysWithBlock(Block&& block) const {
    bool stop = false;
    for (const auto& entry : map_) {
      block(entry.first, stop);
      if (stop) break;
    }
  }
  // Block: (const Key&, const Value&, bool& stop).
  template <class Block>
  void enumerateKeysAndObjectsWithBlock(Block&& block) const {
    bool stop = false;
    for (const auto& entry : map_) {
      block(entry.first, entry.second.value, stop);
      if (stop) break;
    }
  }

  // Keys from most to least recent (what `description` lists); for inspection and tests.
  template <class Block>
  void enumerateKeysByRecency(Block&& block) const {
    for (const Node* n = recency_.head; n; n = n->next) block(*n->key);
  }

  // "DizCache, count=N, keys=\n" then "  i: <DizCacheItem[0x...] key(...)>\n" from most recent.
  std::string description() const {
    std::string out = platform::format("%@, count=%ld, keys=\n", "DizCache", static_cast<long>(map_.size()));
    unsigned long i = 0;
    for (const Node* n = recency_.head; n; n = n->next, ++i) {
      const std::string item = platform::format("<DizCacheItem[%p] key(%@)>", static_cast<const void*>(n), *n->key);
      out += platform::format("  %lu: %@\n", i, item);
    }
    return out;
  }

 private:
  struct Node {
    Node* prev = nullptr;  // more recent
    Node* next = nullptr;  // less recent
    const Key* key = nullptr;  // the table's key
    Value value{};
  };
  using Map = std::unordered_map<Key, Node, Hash, Equal>;

  void evictLeastRecent() {
    Node* victim = recency_.tail;
    if (!victim) return;
    recency_.unlink(victim);
    auto handle = map_.extract(map_.find(*victim->key));
    if (spare_.empty()) {
      handle.mapped() = Node{};
      handle.key() = Key{};
      spare_ = std::move(handle);
    }
  }

  Map map_;
  typename Map::node_type spare_;
  DizRecencyList<Node> recency_;
  std::uint64_t countLimit_;
};

template <class Key, class Object, class KeyHash = std::hash<Key>, class KeyEqual = std::equal_to<Key>,
          class ObjectHash = std::hash<Object>, class ObjectEqual = std::equal_to<Object>>
class DizBidirectionalCache {
 public:
  static constexpr std::uint64_t kDefaultCountLimit = 40;

  explicit DizBidirectionalCache(std::uint64_t countLimit = kDefaultCountLimit, KeyHash keyHash = KeyHash(),
                                 KeyEqual keyEqual = KeyEqual(), ObjectHash objectHash = ObjectHash(),
                                 ObjectEqual objectEqual = ObjectEqual())
      : keyObj_(0, std::move(keyHash), std::move(keyEqual)),
        objKey_(0, ObjPtrHash{objectHash}, ObjPtrEqual{objectEqual}),
        objectEqual_(std::move(objectEqual)),
        countLimit_(countLimit) {}
  DizBidirectionalCache(const DizBidirectionalCache&) = delete;
  DizBidirectionalCache& operator=(const DizBidirectionalCache&) = delete;

  // Lookups in either direction; a hit makes the entry the most recent.
  Object* objectForKey(const Key& key) {
    auto it = keyObj_.find(key);
    if (it == keyObj_.end()) return nullptr;
    recency_.moveToFront(&it->second);
    return &it->second.obj;
  }
  const Key* keyForObject(const Object& object) { return keyForObject(object, nullptr); }
  // Also for any type the object hash and equality accept (when they are transparent); `stored`,
  // when given, receives the cache's own object on a hit.
  template <class O>
  const Key* keyForObject(const O& object, const Object** stored) {
    auto it = findObject(object);
    if (it == objKey_.end()) return nullptr;
    recency_.moveToFront(it->second);
    if (stored) *stored = &it->second->obj;
    return it->second->key;
  }

  bool containsKey(const Key& key) const { return keyObj_.find(key) != keyObj_.end(); }
  bool containsObject(const Object& object) const { return objKey_.find(&object) != objKey_.end(); }

  // Stores the pair both ways. For a key already present with an equal object, only recency changes;
  // with a different object, the old object no longer maps back to the key.
  void setObject(Object object, const Key& key) {
    auto it = keyObj_.find(key);
    if (it != keyObj_.end()) {
      Node* node = &it->second;
      if (!objectEqual_(node->obj, object)) {
        unindexObject(node);
        node->obj = std::move(object);
        indexObject(node);
      }
      recency_.moveToFront(node);
      return;
    }
    Node* node;
    if (!spare_.empty()) {
      spare_.key() = key;
      spare_.mapped().obj = std::move(object);
      auto inserted = keyObj_.insert(std::move(spare_));
      node = &inserted.position->second;
      node->key = &inserted.position->first;
    } else {
      auto [pos, added] = keyObj_.try_emplace(key);
      node = &pos->second;
      node->key = &pos->first;
      node->obj = std::move(object);
    }
    indexObject(node);
    recency_.linkAtHead(node);
    if (countLimit_ != 0 && keyObj_.size() > countLimit_) evictLeastRecent();
  }

  std::size_t count() const { return keyObj_.size(); }
  std::uint64_t countLimit() const { return countLimit_; }
  void setCountLimit(std::uint64_t limit) {
    if (limit == countLimit_) return;
    countLimit_ = limit;
    if (limit == 0 || limit >= keyObj_.size()) return;
    while (keyObj_.size() > countLimit_) evictLeastRecent();
  }

  void removeObjectForKey(const Key& key) {
    auto it = keyObj_.find(key);
    if (it == keyObj_.end()) return;
    remove(&it->second);
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
    keyObj_.clear();
    spare_ = typename KeyMap::node_type();
    objSpare_ = typename ObjMap::node_type();
    recency_.clear();
  }

  // Table order. Blocks: (const Key&, bool&), (const Object&, bool&), (const Key&, const Object&, bool&).
  template <class Block>
  void enumerateKeysWithBlock(Block&& block) const {
    bool stop = false;
    for (const auto& entry : keyObj_) {
      block(entry.first, stop);
      if (stop) break;
    }
  }
  template <class Block>
  void enumerateObjectsWithBlock(Block&& block) const {
    bool stop = false;
    for (const auto& entry : keyObj_) {
      block(entry.second.obj, stop);
      if (stop) break;
    }
  }
  template <class Block>
  void enumerateKeysAndObjectsWithBlock(Block&& block) const {
    bool stop = false;
    for (const auto& entry : keyObj_) {
      block(entry.first, entry.second.obj, stop);
      if (stop) break;
    }
  }
  template <class Block>
  void enumerateKeysByRecency(Block&& block) const {
    for (const Node* n = recency_.head; n; n = n->next) block(*n->key);
  }

 private:
  struct Node {
    Node* prev = nullptr;
    Node* next = nullptr;
    const Key* key = nullptr;
    Object obj{};
  };
  using KeyMap = std::unordered_map<Key, Node, KeyHash, KeyEqual>;
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
  // into a node it does not map to. Index entries are recycled like the key map's nodes.
  void indexObject(Node* node) {
    auto it = objKey_.find(&node->obj);
    if (it != objKey_.end()) {
      it->second = node;
      // The entry's key must point into the node it maps to: swap it for one that does.
      auto handle = objKey_.extract(it);
      handle.key() = &node->obj;
      objKey_.insert(std::move(handle));
      return;
    }
    if (!objSpare_.empty()) {
      objSpare_.key() = &node->obj;
      objSpare_.mapped() = node;
      objKey_.insert(std::move(objSpare_));
    } else {
      objKey_.emplace(&node->obj, node);
    }
  }
  void unindexObject(Node* node) {
    auto it = objKey_.find(&node->obj);
    if (it == objKey_.end() || it->second != node) return;
    auto handle = objKey_.extract(it);
    if (objSpare_.empty()) objSpare_ = std::move(handle);
  }

  void remove(Node* node) {
    recency_.unlink(node);
    unindexObject(node);
    keyObj_.erase(keyObj_.find(*node->key));  // find first: the key lives inside the erased node
  }
  void evictLeastRecent() {
    Node* victim = recency_.tail;
    if (!victim) return;
    recency_.unlink(victim);
    unindexObject(victim);
    auto handle = keyObj_.extract(keyObj_.find(*victim->key));
    if (spare_.empty()) {
      handle.mapped() = Node{};
      handle.key() = Key{};
      spare_ = std::move(handle);
    }
  }

  KeyMap keyObj_;
  ObjMap objKey_;
  typename ObjMap::node_type objSpare_;
  ObjectEqual objectEqual_;
  typename KeyMap::node_type spare_;
  DizRecencyList<Node> recency_;
  std::uint64_t countLimit_;
};
