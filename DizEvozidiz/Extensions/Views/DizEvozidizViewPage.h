#pragma once

// The pieces a view keeps its groups in: a group is an ordered chain of pages, a page an ordered
// run of rowids.
//
// DizEvozidizViewPage          ordered rowids (duplicates allowed), one contiguous buffer.
//   Stored form (the "data" column of the view's page table; a stored format): the rowids in page
//   order, each a signed 64-bit little-endian integer, no header, no count, no padding: 8 x n bytes.
//   Reading takes length / 8 rowids and ignores trailing bytes of a partial rowid; any blob is
//   accepted (bytes are never trusted to hold more than they say).
// DizEvozidizViewPageMetadata  one page's descriptor: key, previous page's key (none for a group's
//   first page), group, count, and whether the page's row is still to be inserted.
// DizEvozidizViewState         per group the ordered descriptors, and per page key the owning
//   group. Chain invariant (kept by the view's operations, checked when a state is loaded): a
//   group's first descriptor has no previous key, each later one names the one before it, and the
//   counts add up to the group's rows; a group without descriptors is removed.
//
// Copies of a state share what they can: a copy costs a pass over the groups, not over the pages,
// and a mutable state makes its own copy of a group's descriptors (and of the page-key index) the
// first time it reaches them for writing while another state still shares them. Descriptors must
// therefore be changed only through lists taken from the mutable state itself.
//
// Threads: none of these lock. Pages and mutable states belong to one view connection and are used
// on its queue; an immutable state (copy()) is a committed snapshot that nothing changes, readable
// from any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/runtime/value.h"

class DizEvozidizViewPage;
using DizEvozidizViewPagePtr = std::shared_ptr<DizEvozidizViewPage>;

class DizEvozidizViewPage {
 public:
  static constexpr std::uint64_t kEnumerationReverse = 2;

  DizEvozidizViewPage() = default;
  explicit DizEvozidizViewPage(std::size_t capacity) { rowids_.reserve(capacity); }

  DizEvozidizViewPagePtr copy() const { return std::make_shared<DizEvozidizViewPage>(*this); }

  platform::Bytes serialize() const;
  // Empties the page, then appends the blob's rowids in order.
  void deserialize(const void* bytes, std::size_t length);
  void deserialize(const platform::Bytes& data) { deserialize(data.data(), data.size()); }
  static DizEvozidizViewPagePtr deserialized(const void* bytes, std::size_t length);

  std::size_t count() const { return rowids_.size(); }
  // Throws std::out_of_range for an index at or past the end.
  std::int64_t rowidAtIndex(std::size_t index) const { return rowids_.at(index); }

  void addRowid(std::int64_t rowid) { rowids_.push_back(rowid); }
  // Before position `index`; `index` == count() appends. Throws std::out_of_range past the end.
  void insertRowid(std::int64_t rowid, std::size_t index);
  void removeRowidAtIndex(std::size_t index);
  // Nothing for length 0; the range is clamped to the page.
  void removeRange(std::size_t location, std::size_t length);
  void removeAllRowids() { rowids_.clear(); }

  void appendPage(const DizEvozidizViewPage& page);
  void prependPage(const DizEvozidizViewPage& page);
  void appendRange(std::size_t location, std::size_t length, const DizEvozidizViewPage& page);
  void prependRange(std::size_t location, std::size_t length, const DizEvozidizViewPage& page);

  // First occurrence from the front; false (and index 0) when absent.
  bool getIndex(std::size_t* index, std::int64_t rowid) const;

  using Block = std::function<void(std::int64_t rowid, std::size_t index, bool& stop)>;
  void enumerateRowidsUsingBlock(const Block& block) const { enumerateRowidsWithOptions(0, block); }
  void enumerateRowidsWithOptions(std::uint64_t options, const Block& block) const {
    enumerateRowidsWithOptions(options, 0, rowids_.size(), block);
  }
  // The caller keeps the range inside the page.
  void enumerateRowidsWithOptions(std::uint64_t options, std::size_t location, std::size_t length,
                                  const Block& block) const;

  const std::vector<std::int64_t>& rowids() const { return rowids_; }
  std::string debugDescription() const;

 private:
  std::vector<std::int64_t> rowids_;
};

struct DizEvozidizViewPageMetadata;
using DizEvozidizViewPageMetadataPtr = std::shared_ptr<DizEvozidizViewPageMetadata>;

struct DizEvozidizViewPageMetadata {
  std::string pageKey;
  std::optional<std::string> prevPageKey;
  std::string group;
  std::uint64_t count = 0;
  bool isNew = false;
  // The mutable state that may change this descriptor in place (0: none). Any other state shares it
  // and copies it before a change (see DizEvozidizViewState::ownPageMetadataAtIndex).
  std::uint64_t ownerTag = 0;

  // Same key, link, group and count; never new, owned by no state.
  DizEvozidizViewPageMetadataPtr copy() const;
  std::string description() const;
};

class DizEvozidizViewState;
using DizEvozidizViewStatePtr = std::shared_ptr<DizEvozidizViewState>;

class DizEvozidizViewState : public std::enable_shared_from_this<DizEvozidizViewState> {
 public:
  using PageList = std::vector<DizEvozidizViewPageMetadataPtr>;

  static DizEvozidizViewStatePtr make() { return std::make_shared<DizEvozidizViewState>(); }

  bool isImmutable() const { return isImmutable_; }
  // This very state when already immutable, else an immutable copy. Copies share the lists and
  // descriptors until one side changes them (each state then changes a copy of its own).
  DizEvozidizViewStatePtr copy() const;
  // Always a new mutable copy.
  DizEvozidizViewStatePtr mutableCopy() const;

  // Null when the group does not exist. The descriptors may be shared with other states: read them
  // only, and change one through ownPageMetadataAtIndex.
  const PageList* pagesMetadataForGroup(const std::string& group) const;
  // The descriptor at `index` of the group, this state's own: one another state may share is replaced
  // by a copy first (new stays new), so that changing it leaves every copy of the state as it was.
  // On an immutable state, which is never changed, the descriptor as it is. The group must exist and
  // hold `index` (std::out_of_range otherwise).
  // The group's list made this state's own: the pointer stays valid while the state is changed (until
  // a copy shares it). Its descriptors as above. Null when the group does not exist.
  const PageList* ownPagesMetadataForGroup(const std::string& group);
  const DizEvozidizViewPageMetadataPtr& ownPageMetadataAtIndex(std::size_t index, const std::string& group);
  const std::string* groupForPageKey(const std::string& pageKey) const;
  std::size_t numberOfGroups() const { return groups_.size(); }

  void enumerateGroupsWithBlock(const std::function<void(const std::string& group, bool& stop)>& block) const;
  void enumerateWithBlock(
      const std::function<void(const std::string& group, const PageList& pages, bool& stop)>& block) const;

  // The group's list, made empty first when the group is missing. The lists these return are the
  // state's own, their descriptors not necessarily: change those through ownPageMetadataAtIndex.
  PageList& createGroup(const std::string& group, std::size_t capacity = 0);
  // The group must exist (std::out_of_range otherwise).
  PageList& addPageMetadata(const DizEvozidizViewPageMetadataPtr& metadata, const std::string& group);
  PageList& insertPageMetadata(const DizEvozidizViewPageMetadataPtr& metadata, std::size_t index,
                               const std::string& group);
  PageList& removePageMetadataAtIndex(std::size_t index, const std::string& group);
  // Only a group whose list is empty is removed.
  void removeGroup(const std::string& group);
  void removeAllGroups();

  // Sum of the counts of the group's pages (0 for no group).
  std::uint64_t countForGroup(const std::string& group) const;

 private:
  using PageKeyGroups = std::unordered_map<std::string, std::string>;
  DizEvozidizViewStatePtr sharingCopy(bool immutable) const;
  // The group's list, owned by this state alone (its descriptors may still be shared).
  PageList& ownList(std::shared_ptr<PageList>& list);
  PageKeyGroups& ownPageKeyGroups();
  static std::uint64_t newOwnerTag();
  // A descriptor no state owns yet (one just made or loaded) becomes this mutable state's own.
  void stampIfUnowned(DizEvozidizViewPageMetadata& m) const {
    if (!isImmutable_ && m.ownerTag == 0) m.ownerTag = ownerTag_;
  }

  std::unordered_map<std::string, std::shared_ptr<PageList>> groups_;
  std::shared_ptr<PageKeyGroups> pageKeyGroups_ = std::make_shared<PageKeyGroups>();
  bool isImmutable_ = false;
  // Stamped on the descriptors this state may change in place. A mutable state takes a new one when
  // a copy starts sharing its descriptors (copies happen on the queue that owns the mutable state).
  mutable std::uint64_t ownerTag_ = newOwnerTag();
};
