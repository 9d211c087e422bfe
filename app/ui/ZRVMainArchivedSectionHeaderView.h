#pragma once

// ZRVMainArchivedSectionHeaderView: the header above the list's archived section, a plain view
// with a title from its layout file in the archived title colour. Height 30.
//
// Threads: main thread only.

#include <memory>
#include <optional>

#include "app/ui/list/ZRVListItem.h"

class ZRVMainArchivedSectionHeaderView : public ZRVListItem {
  ZORVEL_CLASS(ZRVMainArchivedSectionHeaderView, ZRVListItem)

 public:
  static std::optional<double> height() { return 30; }
  // A header with its layout file loaded.
  static std::shared_ptr<ZRVMainArchivedSectionHeaderView> makeLoaded();

 private:
  ZRVMainArchivedSectionHeaderView() = default;
};
