#pragma once

// How an extension fills itself from the stored rows: every row of the collections an allow/deny
// list lets through (all collections without one), with only the values a closure's block type
// asks for (DizEvozidizBlockTypes.h; the others are nil). An optional filter sees (rowid,
// collection, key) first; a row it refuses has nothing read. Collections are walked one by one when
// there is a list, so rows of refused collections are never read.
//
// Threads: inside a transaction, on its connection's queue.

#include <cstdint>
#include <functional>
#include <string>

#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Utilities/DizWhitelistBlacklist.h"

using DizRowEnumerationBlock =
    std::function<void(std::int64_t rowid, const std::string& collection, const std::string& key,
                       const platform::Value& object, const platform::Value& metadata)>;

void DizEnumerateRowsForBlockType(DizEvozidizReadTransaction& transaction, std::uint64_t blockType,
                                  const DizWhitelistBlacklist* allowedCollections,
                                  const DizEvozidizReadTransaction::RowidCollectionKeyFilter& filter,
                                  const DizRowEnumerationBlock& block);
