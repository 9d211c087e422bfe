#pragma once

// The raw change log of a view: one record per elementary operation on a group while a read-write
// transaction changes it (a row inserted at an index, deleted from an index, updated in place; a
// group inserted, deleted or reset). The records of a commit travel in the view's changeset; later
// processing turns the records of one or more commits into the section and row changes a list
// animates, handing out records of the same two classes.
//
// Indexes and sections are unsigned; "not found" is DizViewNotFound (2^63 - 1). The op* indexes are
// those at the moment of the operation and never change; originalIndex/finalIndex and the sections
// are rewritten by the processing.
//
// Threads: a record is changed only by whoever made it or copied it; committed records are shared
// read-only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "DizEvozidiz/DizCollectionKey.h"
#include "platform/runtime/object.h"

inline constexpr std::uint64_t DizViewNotFound = 0x7FFFFFFFFFFFFFFFull;

enum DizEvozidizViewChangeType : std::int64_t {
  DizViewChangeInsert = 1,
  DizViewChangeDelete = 2,
  DizViewChangeMove = 3,
  DizViewChangeUpdate = 4,
};

enum DizEvozidizViewChangesBitMask : std::uint64_t {
  DizViewChangedObject = 1,
  DizViewChangedMetadata = 2,
  DizViewChangedDependency = 4,
};

struct DizIndexPath {
  std::uint64_t section = 0;
  std::uint64_t row = 0;
  friend bool operator==(const DizIndexPath&, const DizIndexPath&) = default;
};

class DizEvozidizViewRowChange;
using DizEvozidizViewRowChangePtr = std::shared_ptr<DizEvozidizViewRowChange>;
class DizEvozidizViewSectionChange;
using DizEvozidizViewSectionChangePtr = std::shared_ptr<DizEvozidizViewSectionChange>;

class DizEvozidizViewRowChange : public platform::Object {
  ZORVEL_CLASS(DizEvozidizViewRowChange, platform::Object)

 public:
  static DizEvozidizViewRowChangePtr insertCollectionKey(DizCollectionKeyPtr collectionKey, std::string group,
                                                         std::uint64_t index);
  static DizEvozidizViewRowChangePtr deleteCollectionKey(DizCollectionKeyPtr collectionKey, std::string group,
                                                         std::uint64_t index);
  static DizEvozidizViewRowChangePtr updateCollectionKey(DizCollectionKeyPtr collectionKey, std::string group,
                                                         std::uint64_t index, std::uint64_t changes);

  // Every field copied; the strings and the key shared.
  DizEvozidizViewRowChangePtr copyRecord() const;
  platform::ObjectPtr copy() const override { return copyRecord(); }

  std::int64_t type() const { return type_; }
  std::uint64_t changes() const { return changes_; }
  const DizCollectionKeyPtr& collectionKey() const { return collectionKey_; }
  const std::optional<std::string>& originalGroup() const { return originalGroup_; }
  const std::optional<std::string>& finalGroup() const { return finalGroup_; }
  std::uint64_t opOriginalIndex() const { return opOriginalIndex_; }
  std::uint64_t opFinalIndex() const { return opFinalIndex_; }
  std::uint64_t originalIndex() const { return originalIndex_; }
  std::uint64_t finalIndex() const { return finalIndex_; }
  std::uint64_t originalSection() const { return originalSection_; }
  std::uint64_t finalSection() const { return finalSection_; }
  // (original section, original index); none for an insert.
  std::optional<DizIndexPath> indexPath() const;
  // (final section, final index); none for a delete or an update.
  std::optional<DizIndexPath> newIndexPath() const;

  std::string description() const override;

  // For the processing that rewrites records.
  void setType(std::int64_t type) { type_ = type; }
  void setChanges(std::uint64_t changes) { changes_ = changes; }
  void setOriginalGroup(std::optional<std::string> group) { originalGroup_ = std::move(group); }
  void setFinalGroup(std::optional<std::string> group) { finalGroup_ = std::move(group); }
  void setOriginalIndex(std::uint64_t index) { originalIndex_ = index; }
  void setFinalIndex(std::uint64_t index) { finalIndex_ = index; }
  void setOriginalSection(std::uint64_t section) { originalSection_ = section; }
  void setFinalSection(std::uint64_t section) { finalSection_ = section; }
  void setCollectionKey(DizCollectionKeyPtr key) { collectionKey_ = std::move(key); }
  void setOpFinalIndex(std::uint64_t index) { opFinalIndex_ = index; }

 private:
  DizCollectionKeyPtr collectionKey_;
  std::optional<std::string> originalGroup_;
  std::optional<std::string> finalGroup_;
  std::int64_t type_ = 0;
  std::uint64_t changes_ = 0;
  std::uint64_t opOriginalIndex_ = DizViewNotFound;
  std::uint64_t opFinalIndex_ = DizViewNotFound;
  std::uint64_t originalIndex_ = DizViewNotFound;
  std::uint64_t finalIndex_ = DizViewNotFound;
  std::uint64_t originalSection_ = DizViewNotFound;
  std::uint64_t finalSection_ = DizViewNotFound;
};

class DizEvozidizViewSectionChange : public platform::Object {
  ZORVEL_CLASS(DizEvozidizViewSectionChange, platform::Object)

 public:
  static DizEvozidizViewSectionChangePtr insertGroup(std::string group);
  static DizEvozidizViewSectionChangePtr deleteGroup(std::string group);
  // A delete standing for the removal of every row of the group at once.
  static DizEvozidizViewSectionChangePtr resetGroup(std::string group);

  DizEvozidizViewSectionChangePtr copyRecord() const;
  platform::ObjectPtr copy() const override { return copyRecord(); }

  std::int64_t type() const { return type_; }
  const std::string& group() const { return group_; }
  bool isReset() const { return isReset_; }
  std::uint64_t originalSection() const { return originalSection_; }
  std::uint64_t finalSection() const { return finalSection_; }
  // The final section of an insert, the original section otherwise.
  std::uint64_t index() const { return type_ == DizViewChangeInsert ? finalSection_ : originalSection_; }

  std::string description() const override;

  void setOriginalSection(std::uint64_t section) { originalSection_ = section; }
  void setFinalSection(std::uint64_t section) { finalSection_ = section; }

 private:
  std::string group_;
  std::int64_t type_ = 0;
  bool isReset_ = false;
  std::uint64_t originalSection_ = DizViewNotFound;
  std::uint64_t finalSection_ = DizViewNotFound;
};
