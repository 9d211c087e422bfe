#pragma once

// The numbers every row closure of the store's extensions carries (view grouping, sorting and
// filtering, secondary index handlers): its block type, a two-bit set of what part of the row it
// reads (1 the object, 2 the metadata: 0 key, 1 object, 2 metadata, 3 row), and its invoke
// options, the row changes on which it must run again. Stored with no row; plain constants.

#include <cstdint>

enum DizEvozidizBlockType : std::uint64_t {
  DizBlockTypeKey = 0,
  DizBlockTypeObject = 1,
  DizBlockTypeMetadata = 2,
  DizBlockTypeRow = 3,
};
inline constexpr std::uint64_t DizBlockTypeNeedsObject = 1;
inline constexpr std::uint64_t DizBlockTypeNeedsMetadata = 2;

enum DizEvozidizBlockInvokeOptions : std::uint64_t {
  DizBlockInvokeOnObjectModified = 1,
  DizBlockInvokeOnMetadataModified = 2,
  DizBlockInvokeOnObjectTouched = 4,
  DizBlockInvokeOnMetadataTouched = 8,
};

// The default invoke options of a block type: key 0, object 5, metadata 10, row 15.
constexpr std::uint64_t DizDefaultBlockInvokeOptions(std::uint64_t blockType) {
  switch (blockType) {
    case DizBlockTypeObject:
      return DizBlockInvokeOnObjectModified | DizBlockInvokeOnObjectTouched;
    case DizBlockTypeMetadata:
      return DizBlockInvokeOnMetadataModified | DizBlockInvokeOnMetadataTouched;
    case DizBlockTypeRow:
      return DizBlockInvokeOnObjectModified | DizBlockInvokeOnMetadataModified | DizBlockInvokeOnObjectTouched |
             DizBlockInvokeOnMetadataTouched;
    default:
      return 0;
  }
}
