#pragma once

// DizEvozidizFilteredView: a view derived from another registered view, its parent. It has the
// parent's groups in the parent's order but holds only the rows its filter accepts; it never
// groups or sorts by closures of its own. At registration it takes the parent's grouping and
// sorting, declares the parent as its dependency (so it is registered, and hears every row change,
// after the parent) and fills itself by walking the parent's groups. Afterwards it follows the
// parent row by row; a new grouping/sorting or filter of the parent reaches it in the same
// transaction (viewDidRepopulate) and is passed down to its own dependants, so chains of filtered
// views stay in step.
//
// Storage: a view's tables (DizEvozidizView.h), plus values under its registered name:
// "classVersion" 3 and "parentViewName" (persistent), "versionTag" (persistent for a persistent
// view, in memory otherwise); an older "tag" is read once and replaced by "versionTag". A different
// parent, tag or class version refills it from the parent at registration.
//
// Threads: the filter is read under the view's lock from any thread and replaced only when a
// commit is applied (snapshot queue). The connection runs on its database connection's queue.

#include <memory>
#include <optional>
#include <string>

#include "DizEvozidiz/Extensions/Views/DizEvozidizView.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewConnection.h"

class DizEvozidizFilteredView;
using DizEvozidizFilteredViewPtr = std::shared_ptr<DizEvozidizFilteredView>;

class DizEvozidizFilteredView : public DizEvozidizView {
  DIZ_EXTENSION_CLASS(DizEvozidizFilteredView, DizEvozidizView)

 public:
  // A missing tag is the empty tag; missing options are the defaults. Null for an empty filter.
  static DizEvozidizFilteredViewPtr make(std::string parentViewName, DizEvozidizViewFiltering::Ptr filtering,
                                         std::optional<std::string> versionTag = std::nullopt,
                                         std::optional<DizEvozidizViewOptions> options = std::nullopt);

  const std::string& parentViewName() const { return parentViewName_; }
  DizEvozidizViewFiltering::Ptr filtering() const;
  // The three as one commit left them.
  void getGroupingSortingFiltering(DizEvozidizViewGrouping::Ptr* grouping, DizEvozidizViewSorting::Ptr* sorting,
                                   DizEvozidizViewFiltering::Ptr* filtering) const;

  static std::vector<std::string> previousClassNames() { return {}; }

  // ---- Store calls ----
  // False (logged) when the parent is not registered or is not a view; else takes its closures.
  bool supportsDatabaseWithRegisteredExtensions(const DizEvozidizExtensionsByName& registeredExtensions) override;
  std::set<std::string> dependencies() const override { return {parentViewName_}; }
  DizEvozidizExtensionConnectionPtr newConnection(DizEvozidizConnection& connection) override;
  void noteCommittedChangeset(const platform::Value& changeset, const std::string& registeredName) override;

 protected:
  DizEvozidizFilteredView(std::string parentViewName, DizEvozidizViewFiltering::Ptr filtering, std::string versionTag,
                          DizEvozidizViewOptions options);

 private:
  const std::string parentViewName_;
  mutable std::mutex filterMutex_;
  DizEvozidizViewFiltering::Ptr filtering_;
};

class DizEvozidizFilteredViewConnection;
using DizEvozidizFilteredViewConnectionPtr = std::shared_ptr<DizEvozidizFilteredViewConnection>;

class DizEvozidizFilteredViewConnection : public DizEvozidizViewConnection {
  DIZ_EXTENSION_CLASS(DizEvozidizFilteredViewConnection, DizEvozidizViewConnection)

 public:
  static DizEvozidizFilteredViewConnectionPtr make(DizEvozidizFilteredViewPtr view, DizEvozidizConnection* connection);

  DizEvozidizFilteredViewPtr filteredView() const { return std::static_pointer_cast<DizEvozidizFilteredView>(view()); }

  DizEvozidizExtensionTransactionPtr newReadTransaction(DizEvozidizReadTransaction& transaction) override;
  DizEvozidizExtensionTransactionPtr newReadWriteTransaction(DizEvozidizReadWriteTransaction& transaction) override;
  void getInternalChangeset(platform::Value& internal, platform::Value& external, bool& hasDiskChanges) override;
  void postCommitCleanup() override;
  void postRollbackCleanup() override;

  // The filter in force: this transaction's new one, else the view's.
  DizEvozidizViewFiltering::Ptr filtering();
  void setFilteringVersionTag(DizEvozidizViewFiltering::Ptr filtering, std::string versionTag);

 protected:
  DizEvozidizFilteredViewConnection(DizEvozidizFilteredViewPtr view, DizEvozidizConnection* connection);

 private:
  DizEvozidizViewFiltering::Ptr filtering_;
  bool filteringChanged_ = false;
};
