#include "DizEvozidiz/Extensions/Views/DizEvozidizViewBlocks.h"

// ---- Sorting ----

using Sorting = DizEvozidizViewSorting;

Sorting::Ptr Sorting::withKeyBlock(KeyBlock b) {
  return withOptionsKeyBlock(DizDefaultBlockInvokeOptions(0), std::move(b));
}
Sorting::Ptr Sorting::withObjectBlock(ObjectBlock b) {
  return withOptionsObjectBlock(DizDefaultBlockInvokeOptions(1), std::move(b));
}
Sorting::Ptr Sorting::withMetadataBlock(MetadataBlock b) {
  return withOptionsMetadataBlock(DizDefaultBlockInvokeOptions(2), std::move(b));
}
Sorting::Ptr Sorting::withRowBlock(RowBlock b) {
  return withOptionsRowBlock(DizDefaultBlockInvokeOptions(3), std::move(b));
}

Sorting::Ptr Sorting::withOptionsKeyBlock(std::uint64_t options, KeyBlock b) {
  if (!b) return nullptr;
  return std::make_shared<const Sorting>(
      [b = std::move(b)](DizEvozidizReadTransaction& t, const std::string& g, const DizViewRow& r1,
                         const DizViewRow& r2) { return b(t, g, r1.collection, r1.key, r2.collection, r2.key); },
      DizBlockTypeKey, options);
}

Sorting::Ptr Sorting::withOptionsObjectBlock(std::uint64_t options, ObjectBlock b) {
  if (!b) return nullptr;
  return std::make_shared<const Sorting>(
      [b = std::move(b)](DizEvozidizReadTransaction& t, const std::string& g, const DizViewRow& r1,
                         const DizViewRow& r2) {
        return b(t, g, r1.collection, r1.key, r1.object, r2.collection, r2.key, r2.object);
      },
      DizBlockTypeObject, options);
}

Sorting::Ptr Sorting::withOptionsMetadataBlock(std::uint64_t options, MetadataBlock b) {
  if (!b) return nullptr;
  return std::make_shared<const Sorting>(
      [b = std::move(b)](DizEvozidizReadTransaction& t, const std::string& g, const DizViewRow& r1,
                         const DizViewRow& r2) {
        return b(t, g, r1.collection, r1.key, r1.metadata, r2.collection, r2.key, r2.metadata);
      },
      DizBlockTypeMetadata, options);
}

Sorting::Ptr Sorting::withOptionsRowBlock(std::uint64_t options, RowBlock b) {
  if (!b) return nullptr;
  return std::make_shared<const Sorting>(
      [b = std::move(b)](DizEvozidizReadTransaction& t, const std::string& g, const DizViewRow& r1,
                         const DizViewRow& r2) {
        return b(t, g, r1.collection, r1.key, r1.object, r1.metadata, r2.collection, r2.key, r2.object, r2.metadata);
      },
      DizBlockTypeRow, options);
}

// ---- Find ----

using Find = DizEvozidizViewFind;

Find::Ptr Find::withKeyBlock(KeyBlock b) {
  if (!b) return nullptr;
  return std::make_shared<const Find>([b = std::move(b)](const DizViewRow& r) { return b(r.collection, r.key); },
                                      DizBlockTypeKey);
}
Find::Ptr Find::withObjectBlock(ObjectBlock b) {
  if (!b) return nullptr;
  return std::make_shared<const Find>(
      [b = std::move(b)](const DizViewRow& r) { return b(r.collection, r.key, r.object); }, DizBlockTypeObject);
}
Find::Ptr Find::withMetadataBlock(MetadataBlock b) {
  if (!b) return nullptr;
  return std::make_shared<const Find>(
      [b = std::move(b)](const DizViewRow& r) { return b(r.collection, r.key, r.metadata); }, DizBlockTypeMetadata);
}
Find::Ptr Find::withRowBlock(RowBlock b) {
  if (!b) return nullptr;
  return std::make_shared<const Find>(
      [b = std::move(b)](const DizViewRow& r) { return b(r.collection, r.key, r.object, r.metadata); },
      DizBlockTypeRow);
}
