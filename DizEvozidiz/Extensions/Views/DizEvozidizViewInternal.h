#pragma once

#ifndef ZORVEL_INTERNAL_store
#error "DizEvozidiz/Extensions/Views/DizEvozidizViewInternal.h is internal to the store and its extensions"
#endif

// What a view's objects pass between them and keep in memory tables; not for the application.

#include <optional>
#include <string>
#include <unordered_map>

#include "DizEvozidiz/Extensions/Views/DizEvozidizViewBlocks.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewPage.h"
#include "platform/runtime/object.h"

// The view's part of a commit's internal changeset: what other connections apply to their caches
// and what the view object takes as its latest configuration and state. Never changed once made
// (pages are copies, the state is immutable), so every connection may read it at once.
class DizViewInternalChangeset final : public platform::Object {
  ZORVEL_CLASS(DizViewInternalChangeset, platform::Object)

 public:
  DizEvozidizViewStatePtr state;  // immutable; null when the commit did not touch the pages
  std::unordered_map<std::int64_t, std::optional<std::string>> dirtyMaps;
  std::unordered_map<std::string, DizEvozidizViewPagePtr> dirtyPages;  // null: dropped
  bool reset = false;
  DizEvozidizViewGrouping::Ptr grouping;
  DizEvozidizViewSorting::Ptr sorting;
  std::optional<std::string> versionTag;
  DizEvozidizViewFiltering::Ptr filtering;  // filtered views: a new filter
};

// A page or a page descriptor as a memory-table value; stored and read as copies, so no snapshot
// ever sees another's changes.
class DizViewPageValue final : public platform::Object {
  ZORVEL_CLASS(DizViewPageValue, platform::Object)

 public:
  DizEvozidizViewPagePtr page;
};

class DizViewPageMetadataValue final : public platform::Object {
  ZORVEL_CLASS(DizViewPageMetadataValue, platform::Object)

 public:
  DizEvozidizViewPageMetadataPtr metadata;
};
