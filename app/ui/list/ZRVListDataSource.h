#pragma once

// ZRVListDataSource: what the list container asks of its owner: the sections and rows, each
// row's identifier (its kind) and height, the items themselves, and the section headers. The
// container asks for a row's identifier and height when the row is loaded, inserted, moved or
// reloaded, and keeps them until then; it asks for an item when the row comes into view.
//
// Threads: every call comes on the main thread.

#include <compare>
#include <cstddef>
#include <string>

#include "app/ui/list/ZRVListItem.h"

class ZRVListView;

// A row of the list: its section and its position in the section.
struct ZRVIndexPath {
  std::size_t section = 0;
  std::size_t item = 0;
  auto operator<=>(const ZRVIndexPath&) const = default;
};

class ZRVListDataSource {
 public:
  virtual ~ZRVListDataSource() = default;

  virtual std::size_t numberOfSections(ZRVListView& list) = 0;
  virtual std::size_t numberOfItemsInSection(ZRVListView& list, std::size_t section) = 0;
  // The row's kind: the identifier under which its item class is registered with the container.
  virtual std::string itemIdentifier(ZRVListView& list, ZRVIndexPath indexPath) = 0;
  // The row's height in points.
  virtual double itemHeight(ZRVListView& list, ZRVIndexPath indexPath) = 0;
  // The item for the row, made with list.makeItem(itemIdentifier(...), indexPath) and bound to
  // the row's content.
  virtual ZRVListItemPtr itemForIndexPath(ZRVListView& list, ZRVIndexPath indexPath) = 0;

  // The height of the section's header; 0 (the default) for none.
  virtual double headerHeight(ZRVListView&, std::size_t /*section*/) { return 0; }
  // The section's header, made with list.makeHeader(identifier, section); asked only for sections
  // whose header height is above 0.
  virtual ZRVListItemPtr headerForSection(ZRVListView&, std::size_t /*section*/) { return nullptr; }
  // The item stopped being shown for the row (it was deleted, reloaded, moved or scrolled away);
  // it goes back to the reuse pool afterwards.
  virtual void didEndDisplayingItem(ZRVListView&, ZRVListItem&, ZRVIndexPath) {}
};
