#pragma once

// The closures a view is configured with, each wrapped in a small immutable holder that records
// what part of a row the closure needs (its block type) and on which row changes it must run again
// (its invoke options):
//
//   DizEvozidizViewGrouping   (transaction, collection, key, [object], [metadata]) -> group or nullopt
//   DizEvozidizViewSorting    (transaction, group, row 1 ..., row 2 ...) -> -1 / 0 / 1
//   DizEvozidizViewFiltering  (transaction, group, collection, key, [object], [metadata]) -> keep?
//   DizEvozidizViewFind       (collection, key, [object], [metadata]) -> -1 before, 1 after, else inside
//
// Block types are a two-bit set: 1 the closure needs the object, 2 the metadata (0 key, 1 object,
// 2 metadata, 3 row). Callers test the bits when deciding what to fetch; values the type does not
// ask for reach the closure as nil. The short constructors pick the default invoke options of the
// type (key 0, object 5, metadata 10, row 15); the long ones store the given options unchanged.
// Every constructor returns null for an empty closure.
//
// Threads: holders never change once made; share and read them from any thread. The closures run
// only inside a transaction, on its connection's queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "DizEvozidiz/DizEvozidizBlockTypes.h"
#include "platform/runtime/value.h"

class DizEvozidizReadTransaction;

// One row as a closure sees it; object and metadata are nil unless the block type asks for them.
struct DizViewRow {
  const std::string& collection;
  const std::string& key;
  const platform::Value& object;
  const platform::Value& metadata;
};

// Holder template shared by the three row closures: `Full` is the closure over a whole row; the
// narrower closures of the short constructors are wrapped into it.
template <class Result, class... Lead>
class DizViewBlockHolder {
 public:
  using Block = std::function<Result(Lead..., const DizViewRow& row)>;
  using KeyBlock = std::function<Result(Lead..., const std::string& collection, const std::string& key)>;
  using ObjectBlock = std::function<Result(Lead..., const std::string& collection, const std::string& key,
                                           const platform::Value& object)>;
  using MetadataBlock = std::function<Result(Lead..., const std::string& collection, const std::string& key,
                                             const platform::Value& metadata)>;
  using RowBlock = std::function<Result(Lead..., const std::string& collection, const std::string& key,
                                        const platform::Value& object, const platform::Value& metadata)>;

  const Block& block() const { return block_; }
  std::uint64_t blockType() const { return blockType_; }
  std::uint64_t blockInvokeOptions() const { return blockInvokeOptions_; }
  bool needsObject() const { return blockType_ & DizBlockTypeNeedsObject; }
  bool needsMetadata() const { return blockType_ & DizBlockTypeNeedsMetadata; }

  DizViewBlockHolder(Block block, std::uint64_t blockType, std::uint64_t options)
      : block_(std::move(block)), blockType_(blockType), blockInvokeOptions_(options) {}

 protected:
  static Block wrap(KeyBlock b) {
    return [b = std::move(b)](Lead... lead, const DizViewRow& r) { return b(lead..., r.collection, r.key); };
  }
  static Block wrap(ObjectBlock b) {
    return [b = std::move(b)](Lead... lead, const DizViewRow& r) { return b(lead..., r.collection, r.key, r.object); };
  }
  static Block wrapMetadata(MetadataBlock b) {
    return
        [b = std::move(b)](Lead... lead, const DizViewRow& r) { return b(lead..., r.collection, r.key, r.metadata); };
  }
  static Block wrap(RowBlock b) {
    return [b = std::move(b)](Lead... lead, const DizViewRow& r) {
      return b(lead..., r.collection, r.key, r.object, r.metadata);
    };
  }

 private:
  Block block_;
  std::uint64_t blockType_;
  std::uint64_t blockInvokeOptions_;
};

// The eight constructors of one holder class.
#define DIZ_VIEW_BLOCK_CONSTRUCTORS(Holder)                                                                          \
  using Ptr = std::shared_ptr<const Holder>;                                                                         \
  using DizViewBlockHolder::DizViewBlockHolder;                                                                      \
  static Ptr withKeyBlock(KeyBlock b) { return withOptionsKeyBlock(DizDefaultBlockInvokeOptions(0), std::move(b)); } \
  static Ptr withObjectBlock(ObjectBlock b) {                                                                        \
    return withOptionsObjectBlock(DizDefaultBlockInvokeOptions(1), std::move(b));                                    \
  }                                                                                                                  \
  static Ptr withMetadataBlock(MetadataBlock b) {                                                                    \
    return withOptionsMetadataBlock(DizDefaultBlockInvokeOptions(2), std::move(b));                                  \
  }                                                                                                                  \
  static Ptr withRowBlock(RowBlock b) { return withOptionsRowBlock(DizDefaultBlockInvokeOptions(3), std::move(b)); } \
  static Ptr withOptionsKeyBlock(std::uint64_t options, KeyBlock b) {                                                \
    return b ? std::make_shared<const Holder>(wrap(std::move(b)), DizBlockTypeKey, options) : nullptr;               \
  }                                                                                                                  \
  static Ptr withOptionsObjectBlock(std::uint64_t options, ObjectBlock b) {                                          \
    return b ? std::make_shared<const Holder>(wrap(std::move(b)), DizBlockTypeObject, options) : nullptr;            \
  }                                                                                                                  \
  static Ptr withOptionsMetadataBlock(std::uint64_t options, MetadataBlock b) {                                      \
    return b ? std::make_shared<const Holder>(wrapMetadata(std::move(b)), DizBlockTypeMetadata, options) : nullptr;  \
  }                                                                                                                  \
  static Ptr withOptionsRowBlock(std::uint64_t options, RowBlock b) {                                                \
    return b ? std::make_shared<const Holder>(wrap(std::move(b)), DizBlockTypeRow, options) : nullptr;               \
  }

// Grouping: the group's name, or nullopt when the row is not in the view.
class DizEvozidizViewGrouping : public DizViewBlockHolder<std::optional<std::string>, DizEvozidizReadTransaction&> {
 public:
  DIZ_VIEW_BLOCK_CONSTRUCTORS(DizEvozidizViewGrouping)
};

// Row 1 is the row being placed, row 2 one already in the group.
class DizEvozidizViewSorting {
 public:
  using Ptr = std::shared_ptr<const DizEvozidizViewSorting>;
  using Block = std::function<int(DizEvozidizReadTransaction&, const std::string& group, const DizViewRow& row1,
                                  const DizViewRow& row2)>;
  using KeyBlock =
      std::function<int(DizEvozidizReadTransaction&, const std::string& group, const std::string& collection1,
                        const std::string& key1, const std::string& collection2, const std::string& key2)>;
  using ObjectBlock =
      std::function<int(DizEvozidizReadTransaction&, const std::string& group, const std::string& collection1,
                        const std::string& key1, const platform::Value& object1, const std::string& collection2,
                        const std::string& key2, const platform::Value& object2)>;
  using MetadataBlock = ObjectBlock;  // the value slots carry the metadata
  using RowBlock = std::function<int(
      DizEvozidizReadTransaction&, const std::string& group, const std::string& collection1, const std::string& key1,
      const platform::Value& object1, const platform::Value& metadata1, const std::string& collection2,
      const std::string& key2, const platform::Value& object2, const platform::Value& metadata2)>;

  DizEvozidizViewSorting(Block block, std::uint64_t blockType, std::uint64_t options)
      : block_(std::move(block)), blockType_(blockType), blockInvokeOptions_(options) {}

  static Ptr withKeyBlock(KeyBlock b);
  static Ptr withObjectBlock(ObjectBlock b);
  static Ptr withMetadataBlock(MetadataBlock b);
  static Ptr withRowBlock(RowBlock b);
  static Ptr withOptionsKeyBlock(std::uint64_t options, KeyBlock b);
  static Ptr withOptionsObjectBlock(std::uint64_t options, ObjectBlock b);
  static Ptr withOptionsMetadataBlock(std::uint64_t options, MetadataBlock b);
  static Ptr withOptionsRowBlock(std::uint64_t options, RowBlock b);

  const Block& block() const { return block_; }
  std::uint64_t blockType() const { return blockType_; }
  std::uint64_t blockInvokeOptions() const { return blockInvokeOptions_; }
  bool needsObject() const { return blockType_ & DizBlockTypeNeedsObject; }
  bool needsMetadata() const { return blockType_ & DizBlockTypeNeedsMetadata; }

 private:
  Block block_;
  std::uint64_t blockType_;
  std::uint64_t blockInvokeOptions_;
};

// Filtering a parent view's row: true keeps it.
class DizEvozidizViewFiltering : public DizViewBlockHolder<bool, DizEvozidizReadTransaction&, const std::string&> {
 public:
  DIZ_VIEW_BLOCK_CONSTRUCTORS(DizEvozidizViewFiltering)
};

#undef DIZ_VIEW_BLOCK_CONSTRUCTORS

// Locates a range in a sorted group: -1 the row lies before it, 1 after it, anything else inside.
class DizEvozidizViewFind {
 public:
  using Ptr = std::shared_ptr<const DizEvozidizViewFind>;
  using Block = std::function<int(const DizViewRow& row)>;
  using KeyBlock = std::function<int(const std::string& collection, const std::string& key)>;
  using ObjectBlock =
      std::function<int(const std::string& collection, const std::string& key, const platform::Value& object)>;
  using MetadataBlock = ObjectBlock;  // the value slot carries the metadata
  using RowBlock = std::function<int(const std::string& collection, const std::string& key,
                                     const platform::Value& object, const platform::Value& metadata)>;

  DizEvozidizViewFind(Block block, std::uint64_t blockType) : findBlock_(std::move(block)), findBlockType_(blockType) {}

  static Ptr withKeyBlock(KeyBlock b);
  static Ptr withObjectBlock(ObjectBlock b);
  static Ptr withMetadataBlock(MetadataBlock b);
  static Ptr withRowBlock(RowBlock b);

  const Block& findBlock() const { return findBlock_; }
  std::uint64_t findBlockType() const { return findBlockType_; }

  // Where a row lies against the range: -1 before, 1 after, 0 inside (any other answer is inside).
  static int position(int answer) { return answer == -1 || answer == 1 ? answer : 0; }

 private:
  Block findBlock_;
  std::uint64_t findBlockType_;
};
