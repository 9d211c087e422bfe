#pragma once

// DizFlatMap and DizFlatSet: hash tables kept in two flat arrays, for the change records of a
// read-write transaction (a bulk write records every row it touches; a node per entry cost more
// than the row's SQL).
//
// The entries sit packed in one vector, in no particular order; a separate table of small slots
// (open addressing, linear probing, at most half full) maps hashes to positions in that vector. An
// insertion appends, a removal moves the last entry into the freed place. So nothing is allocated
// per entry, iteration walks one array, and the memory is about that of the entries themselves.
//
// Their arrays are allocated through DizRecyclingAllocator: the large ones come from, and go back
// to, a small process-wide store of freed blocks. A bulk write's tables live until its changeset has
// reached every connection and then are dropped; without the store, the next bulk write would get
// its memory fresh from the system again, page by page.
//
// Iterators and element addresses do not survive an insertion or a removal (a removal through
// erase(iterator) returns where iteration goes on). Hash and Equal may be transparent, so that
// lookups take whatever they accept.
//
// DizFlatMap::assignLater appends an assignment without looking the key up; any other use of the
// table first files such pending assignments (the later one of two for a key wins). A bulk write
// appends its records one by one and has them filed in one go, which costs much less than a lookup
// per row between the row's SQL steps.
//
// Not thread-safe. A table that nobody changes may be read from several threads once it has no
// pending assignments (finishPending()): until then even its const members file them.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace diz_detail {

// Blocks of at least kRecycledBlockBytes are kept for reuse when freed, up to kRecycledBytesLimit
// bytes in all (any thread; a mutex guards the store).
inline constexpr std::size_t kRecycledBlockBytes = 16 * 1024;
inline constexpr std::size_t kRecycledBytesLimit = 32 * 1024 * 1024;
void* takeRecycledBlock(std::size_t bytes);
void giveRecycledBlock(void* block, std::size_t bytes);
// Bytes kept for reuse at the moment (for tests).
std::size_t recycledBytes();

}  // namespace diz_detail

template <class T>
struct DizRecyclingAllocator {
  using value_type = T;
  DizRecyclingAllocator() = default;
  template <class U>
  DizRecyclingAllocator(const DizRecyclingAllocator<U>&) {}

  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < diz_detail::kRecycledBlockBytes) return std::allocator<T>().allocate(n);
    return static_cast<T*>(diz_detail::takeRecycledBlock(bytes));
  }
  void deallocate(T* block, std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < diz_detail::kRecycledBlockBytes) return std::allocator<T>().deallocate(block, n);
    diz_detail::giveRecycledBlock(block, bytes);
  }
  template <class U>
  bool operator==(const DizRecyclingAllocator<U>&) const {
    return true;
  }
};

namespace diz_detail {

template <class Key, class Mapped, class Hash, class Equal, class Entry, class KeyOf>
class FlatTable {
 public:
  using iterator = typename std::vector<Entry, DizRecyclingAllocator<Entry>>::iterator;
  using const_iterator = typename std::vector<Entry, DizRecyclingAllocator<Entry>>::const_iterator;

  FlatTable() = default;

  std::size_t size() const {
    finishPending();
    return entries_.size();
  }
  bool empty() const { return entries_.empty(); }
  iterator begin() {
    finishPending();
    return entries_.begin();
  }
  iterator end() {
    finishPending();
    return entries_.end();
  }
  const_iterator begin() const {
    finishPending();
    return entries_.begin();
  }
  const_iterator end() const {
    finishPending();
    return entries_.end();
  }

  void clear() {
    entries_.clear();
    slots_.clear();
    mask_ = 0;
    filed_ = 0;
  }

  // Files the pending assignments (see above).
  void finishPending() const {
    if (filed_ == entries_.size()) return;
    while (entries_.size() * 2 > slots_.size()) grow();
    std::size_t kept = filed_;
    for (std::size_t i = filed_; i < entries_.size(); ++i) {
      const std::uint64_t hash = mixed(KeyOf()(entries_[i]));
      const std::uint32_t tag = tagOf(hash);
      std::size_t slot = homeOf(hash);
      bool merged = false;
      for (; slots_[slot].entry != 0; slot = (slot + 1) & mask_) {
        Entry& filed = entries_[slots_[slot].entry - 1];
        if (slots_[slot].tag == tag && equal_(KeyOf()(filed), KeyOf()(entries_[i]))) {
          if constexpr (!std::is_same_v<Entry, Key>) filed.second = std::move(entries_[i].second);
          merged = true;
          break;
        }
      }
      if (merged) continue;
      if (i != kept) entries_[kept] = std::move(entries_[i]);
      slots_[slot] = Slot{static_cast<std::uint32_t>(++kept), tag};
    }
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(kept), entries_.end());
    filed_ = kept;
  }

  template <class K>
  iterator find(const K& key) {
    const std::size_t slot = findSlot(key);
    return slot == kNone ? entries_.end() : entries_.begin() + (slots_[slot].entry - 1);
  }
  template <class K>
  const_iterator find(const K& key) const {
    const std::size_t slot = findSlot(key);
    return slot == kNone ? entries_.end() : entries_.begin() + (slots_[slot].entry - 1);
  }
  template <class K>
  bool contains(const K& key) const {
    return findSlot(key) != kNone;
  }
  template <class K>
  std::size_t count(const K& key) const {
    return contains(key) ? 1 : 0;
  }

  template <class K>
  std::size_t erase(const K& key) {
    const std::size_t slot = findSlot(key);  // files pending assignments first
    if (slot == kNone) return 0;
    removeAt(slot);
    return 1;
  }
  // Removes the entry at `position`; the entry that takes its place (the former last one) is next.
  iterator erase(iterator position) { return erase(const_iterator(position)); }
  iterator erase(const_iterator position) {
    // Positions come from begin() or find(), which filed everything.
    const std::size_t index = static_cast<std::size_t>(position - entries_.cbegin());
    removeAt(slotOfEntry(index));
    return entries_.begin() + index;
  }
  template <class Predicate>
  std::size_t eraseIf(Predicate&& predicate) {
    const std::size_t before = entries_.size();
    for (auto it = begin(); it != end();) it = predicate(*it) ? erase(it) : it + 1;
    return before - entries_.size();
  }

 protected:
  // The entry for the key, made with `make()` when missing; true when made.
  template <class Make>
  std::pair<iterator, bool> findOrAdd(const Key& key, Make&& make) {
    finishPending();
    if ((entries_.size() + 1) * 2 > slots_.size()) grow();
    const std::uint64_t hash = mixed(key);
    std::size_t slot = homeOf(hash);
    const std::uint32_t tag = tagOf(hash);
    for (; slots_[slot].entry != 0; slot = (slot + 1) & mask_) {
      const Slot& s = slots_[slot];
      if (s.tag == tag && equal_(KeyOf()(entries_[s.entry - 1]), key)) return {entries_.begin() + (s.entry - 1), false};
    }
    entries_.push_back(make());
    slots_[slot] = Slot{static_cast<std::uint32_t>(entries_.size()), tag};
    filed_ = entries_.size();
    return {entries_.end() - 1, true};
  }
  // Appends an entry that finishPending() files later.
  void addPending(Entry entry) { entries_.push_back(std::move(entry)); }

 private:
  struct Slot {
    std::uint32_t entry = 0;  // position in entries_ plus one; 0: free
    std::uint32_t tag = 0;    // the hash's low bits, compared before the keys
  };
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  static constexpr std::size_t kFirstSlotCount = 16;

  template <class K>
  std::uint64_t mixed(const K& key) const {
    // Fibonacci hashing: the home slot comes from the high bits, which every input bit reaches.
    return static_cast<std::uint64_t>(hash_(key)) * 0x9E3779B97F4A7C15ull;
  }
  std::size_t homeOf(std::uint64_t mixedHash) const {
    return static_cast<std::size_t>(mixedHash >> (64 - std::countr_zero(slots_.size())));
  }
  static std::uint32_t tagOf(std::uint64_t mixedHash) { return static_cast<std::uint32_t>(mixedHash); }

  template <class K>
  std::size_t findSlot(const K& key) const {
    finishPending();
    if (entries_.empty()) return kNone;
    const std::uint64_t hash = mixed(key);
    const std::uint32_t tag = tagOf(hash);
    for (std::size_t slot = homeOf(hash); slots_[slot].entry != 0; slot = (slot + 1) & mask_) {
      const Slot& s = slots_[slot];
      if (s.tag == tag && equal_(KeyOf()(entries_[s.entry - 1]), key)) return slot;
    }
    return kNone;
  }
  std::size_t slotOfEntry(std::size_t index) const {
    std::size_t slot = homeOf(mixed(KeyOf()(entries_[index])));
    while (slots_[slot].entry != index + 1) slot = (slot + 1) & mask_;
    return slot;
  }

  // Doubles the slots and files the filed entries again.
  void grow() const {
    const std::size_t count = slots_.empty() ? kFirstSlotCount : slots_.size() * 2;
    slots_.assign(count, Slot{});
    mask_ = count - 1;
    for (std::size_t i = 0; i < filed_; ++i) {
      const std::uint64_t hash = mixed(KeyOf()(entries_[i]));
      std::size_t slot = homeOf(hash);
      while (slots_[slot].entry != 0) slot = (slot + 1) & mask_;
      slots_[slot] = Slot{static_cast<std::uint32_t>(i + 1), tagOf(hash)};
    }
  }

  // Frees the slot (moving later slots of the same probe run back, so no marker of removal is
  // needed) and its entry (moving the last entry into its place).
  void removeAt(std::size_t slot) {
    const std::size_t index = slots_[slot].entry - 1;
    std::size_t hole = slot;
    for (std::size_t next = (hole + 1) & mask_; slots_[next].entry != 0; next = (next + 1) & mask_) {
      const std::size_t home = homeOf(mixed(KeyOf()(entries_[slots_[next].entry - 1])));
      // The slot at `next` may move into the hole unless its home lies after the hole (cyclically).
      const bool homeAfterHole = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
      if (homeAfterHole) continue;
      slots_[hole] = slots_[next];
      hole = next;
    }
    slots_[hole] = Slot{};
    const std::size_t last = entries_.size() - 1;
    if (index != last) {
      slots_[slotOfEntry(last)].entry = static_cast<std::uint32_t>(index + 1);
      entries_[index] = std::move(entries_[last]);
    }
    entries_.pop_back();
    filed_ = entries_.size();
  }

  // Mutable: const members file pending assignments (only ever on the owner's thread, see above).
  mutable std::vector<Entry, DizRecyclingAllocator<Entry>> entries_;
  mutable std::vector<Slot, DizRecyclingAllocator<Slot>> slots_;
  mutable std::size_t mask_ = 0;
  mutable std::size_t filed_ = 0;  // entries_[0, filed_) have slots; the rest are pending
  [[no_unique_address]] Hash hash_;
  [[no_unique_address]] Equal equal_;
};

template <class Key, class Mapped>
struct FirstOf {
  const Key& operator()(const std::pair<Key, Mapped>& entry) const { return entry.first; }
};
template <class Key>
struct Itself {
  const Key& operator()(const Key& key) const { return key; }
};

}  // namespace diz_detail

template <class Key, class Mapped, class Hash = std::hash<Key>, class Equal = std::equal_to<Key>>
class DizFlatMap
    : public diz_detail::FlatTable<Key, Mapped, Hash, Equal, std::pair<Key, Mapped>, diz_detail::FirstOf<Key, Mapped>> {
 public:
  using iterator = typename DizFlatMap::FlatTable::iterator;

  template <class M>
  std::pair<iterator, bool> insert_or_assign(const Key& key, M&& mapped) {
    auto [it, added] = this->findOrAdd(key, [&] { return std::pair<Key, Mapped>(key, std::forward<M>(mapped)); });
    if (!added) it->second = std::forward<M>(mapped);
    return {it, added};
  }
  template <class... Args>
  std::pair<iterator, bool> try_emplace(const Key& key, Args&&... args) {
    return this->findOrAdd(key, [&] {
      return std::pair<Key, Mapped>(std::piecewise_construct, std::forward_as_tuple(key),
                                    std::forward_as_tuple(std::forward<Args>(args)...));
    });
  }
  // insert_or_assign, filed later (see above).
  template <class M>
  void assignLater(const Key& key, M&& mapped) {
    this->addPending(std::pair<Key, Mapped>(key, std::forward<M>(mapped)));
  }
  template <class K>
  Mapped& at(const K& key) {
    auto it = this->find(key);
    if (it == this->end()) throw std::out_of_range("DizFlatMap::at: no such key");
    return it->second;
  }
  template <class K>
  const Mapped& at(const K& key) const {
    auto it = this->find(key);
    if (it == this->end()) throw std::out_of_range("DizFlatMap::at: no such key");
    return it->second;
  }
};

template <class Key, class Hash = std::hash<Key>, class Equal = std::equal_to<Key>>
class DizFlatSet : public diz_detail::FlatTable<Key, void, Hash, Equal, Key, diz_detail::Itself<Key>> {
 public:
  using iterator = typename DizFlatSet::FlatTable::iterator;

  std::pair<iterator, bool> insert(const Key& key) {
    return this->findOrAdd(key, [&] { return key; });
  }
};
