#include "DizEvozidiz/Extensions/FilteredViews/DizEvozidizFilteredView.h"

#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/FilteredViews/DizEvozidizFilteredViewTransaction.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewInternal.h"

namespace {
constexpr const char* kFilteredViewLogFile = "DizEvozidiz/Extensions/FilteredViews/DizEvozidizFilteredView.cpp";
}

// ---- View ----

DizEvozidizFilteredView::DizEvozidizFilteredView(std::string parentViewName, DizEvozidizViewFiltering::Ptr filtering,
                                                 std::string versionTag, DizEvozidizViewOptions options)
    : DizEvozidizView(nullptr, nullptr, std::move(versionTag), std::move(options)),
      parentViewName_(std::move(parentViewName)),
      filtering_(std::move(filtering)) {}

DizEvozidizFilteredViewPtr DizEvozidizFilteredView::make(std::string parentViewName,
                                                         DizEvozidizViewFiltering::Ptr filtering,
                                                         std::optional<std::string> versionTag,
                                                         std::optional<DizEvozidizViewOptions> options) {
  if (!filtering) return nullptr;
  return platform::make<DizEvozidizFilteredView>(std::move(parentViewName), std::move(filtering),
                                                 versionTag.value_or(""), options.value_or(DizEvozidizViewOptions{}));
}

DizEvozidizViewFiltering::Ptr DizEvozidizFilteredView::filtering() const {
  std::lock_guard lock(filterMutex_);
  return filtering_;
}

void DizEvozidizFilteredView::getGroupingSortingFiltering(DizEvozidizViewGrouping::Ptr* grouping,
                                                          DizEvozidizViewSorting::Ptr* sorting,
                                                          DizEvozidizViewFiltering::Ptr* filtering) const {
  std::lock_guard lock(filterMutex_);
  getGroupingSorting(grouping, sorting);
  if (filtering) *filtering = filtering_;
}

bool DizEvozidizFilteredView::supportsDatabaseWithRegisteredExtensions(const DizEvozidizExtensionsByName& registered) {
  if (!DizEvozidizView::supportsDatabaseWithRegisteredExtensions(registered)) return false;
  auto it = registered.find(parentViewName_);
  if (it == registered.end()) {
    DIZ_LOG_IN(kDizLogFlagWarning, kFilteredViewLogFile, "%@: The specified parentViewName (%@) isn't registered",
               parentViewName_);
    return false;
  }
  auto parent = std::dynamic_pointer_cast<DizEvozidizView>(it->second);
  if (!parent) {
    DIZ_LOG_IN(kDizLogFlagWarning, kFilteredViewLogFile, "%@: The specified parentViewName (%@) isn't a view",
               parentViewName_);
    return false;
  }
  DizEvozidizViewGrouping::Ptr grouping;
  DizEvozidizViewSorting::Ptr sorting;
  parent->getGroupingSorting(&grouping, &sorting);
  adoptGroupingSorting(std::move(grouping), std::move(sorting));
  return true;
}

DizEvozidizExtensionConnectionPtr DizEvozidizFilteredView::newConnection(DizEvozidizConnection& connection) {
  return DizEvozidizFilteredViewConnection::make(std::static_pointer_cast<DizEvozidizFilteredView>(shared_from_this()),
                                                 &connection);
}

void DizEvozidizFilteredView::noteCommittedChangeset(const platform::Value& changeset,
                                                     const std::string& registeredName) {
  DizEvozidizView::noteCommittedChangeset(changeset, registeredName);
  const auto part = changeset["extensions"][registeredName].as<DizViewInternalChangeset>();
  if (part && part->filtering) {
    std::lock_guard lock(filterMutex_);
    filtering_ = part->filtering;
  }
}

// ---- Connection ----

DizEvozidizFilteredViewConnection::DizEvozidizFilteredViewConnection(DizEvozidizFilteredViewPtr view,
                                                                     DizEvozidizConnection* connection)
    : DizEvozidizViewConnection(std::move(view), connection) {}

DizEvozidizFilteredViewConnectionPtr DizEvozidizFilteredViewConnection::make(DizEvozidizFilteredViewPtr view,
                                                                             DizEvozidizConnection* connection) {
  return platform::make<DizEvozidizFilteredViewConnection>(std::move(view), connection);
}

DizEvozidizExtensionTransactionPtr DizEvozidizFilteredViewConnection::newReadTransaction(
    DizEvozidizReadTransaction& transaction) {
  return DizEvozidizFilteredViewTransaction::make(
      std::static_pointer_cast<DizEvozidizFilteredViewConnection>(shared_from_this()), &transaction);
}

DizEvozidizExtensionTransactionPtr DizEvozidizFilteredViewConnection::newReadWriteTransaction(
    DizEvozidizReadWriteTransaction& transaction) {
  auto t = DizEvozidizFilteredViewTransaction::make(
      std::static_pointer_cast<DizEvozidizFilteredViewConnection>(shared_from_this()), &transaction);
  prepareForReadWriteTransaction();
  return t;
}

DizEvozidizViewFiltering::Ptr DizEvozidizFilteredViewConnection::filtering() {
  if (!filtering_) filtering_ = filteredView()->filtering();
  return filtering_;
}

void DizEvozidizFilteredViewConnection::setFilteringVersionTag(DizEvozidizViewFiltering::Ptr filtering,
                                                               std::string versionTag) {
  DizEvozidizViewGrouping::Ptr grouping;
  DizEvozidizViewSorting::Ptr sorting;
  getGroupingSorting(&grouping, &sorting);
  // The tag travels as the view's does; grouping and sorting are re-sent unchanged with it.
  setGroupingSortingVersionTag(std::move(grouping), std::move(sorting), std::move(versionTag));
  filtering_ = std::move(filtering);
  filteringChanged_ = true;
}

void DizEvozidizFilteredViewConnection::getInternalChangeset(platform::Value& internal, platform::Value& external,
                                                             bool& hasDiskChanges) {
  DizEvozidizViewConnection::getInternalChangeset(internal, external, hasDiskChanges);
  if (!filteringChanged_) return;
  auto part = internal.as<DizViewInternalChangeset>();
  if (!part) {
    part = platform::make<DizViewInternalChangeset>();
    internal = platform::Value(part);
  }
  part->filtering = filtering_;
}

void DizEvozidizFilteredViewConnection::postCommitCleanup() {
  filtering_.reset();
  filteringChanged_ = false;
  DizEvozidizViewConnection::postCommitCleanup();
}

void DizEvozidizFilteredViewConnection::postRollbackCleanup() {
  filtering_.reset();
  filteringChanged_ = false;
  DizEvozidizViewConnection::postRollbackCleanup();
}
