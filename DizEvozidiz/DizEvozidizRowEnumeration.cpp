#include "DizEvozidiz/DizEvozidizRowEnumeration.h"

#include "DizEvozidiz/DizEvozidizBlockTypes.h"

using platform::Value;

void DizEnumerateRowsForBlockType(DizEvozidizReadTransaction& t, std::uint64_t blockType,
                                  const DizWhitelistBlacklist* allowedCollections,
                                  const DizEvozidizReadTransaction::RowidCollectionKeyFilter& filter,
                                  const DizRowEnumerationBlock& block) {
  static const Value nil{};
  const bool needsObject = blockType & DizBlockTypeNeedsObject;
  const bool needsMetadata = blockType & DizBlockTypeNeedsMetadata;
  auto run = [&](const std::vector<std::string>* collections) {
    if (!needsObject && !needsMetadata) {
      auto each = [&](std::int64_t r, const std::string& c, const std::string& k, bool&) {
        if (!filter || filter(r, c, k)) block(r, c, k, nil, nil);
      };
      collections ? t._enumerateKeysInCollections(*collections, each)
                  : t._enumerateKeysInAllCollectionsUsingBlock(each);
    } else if (!needsObject) {
      auto each = [&](std::int64_t r, const std::string& c, const std::string& k, const Value& m, bool&) {
        block(r, c, k, nil, m);
      };
      collections ? t._enumerateKeysAndMetadataInCollections(*collections, each, filter)
                  : t._enumerateKeysAndMetadataInAllCollectionsUsingBlock(each, filter);
    } else if (!needsMetadata) {
      auto each = [&](std::int64_t r, const std::string& c, const std::string& k, const Value& o, bool&) {
        block(r, c, k, o, nil);
      };
      collections ? t._enumerateKeysAndObjectsInCollections(*collections, each, filter)
                  : t._enumerateKeysAndObjectsInAllCollectionsUsingBlock(each, filter);
    } else {
      auto each = [&](std::int64_t r, const std::string& c, const std::string& k, const Value& o, const Value& m,
                      bool&) { block(r, c, k, o, m); };
      collections ? t._enumerateRowsInCollections(*collections, each, filter)
                  : t._enumerateRowsInAllCollectionsUsingBlock(each, filter);
    }
  };
  if (!allowedCollections) return run(nullptr);
  std::vector<std::string> names;
  t.enumerateCollectionsUsingBlock([&](const std::string& c, bool&) {
    if (allowedCollections->isAllowed(c)) names.push_back(c);
  });
  for (const auto& name : names) {
    const std::vector<std::string> one{name};
    run(&one);
  }
}
