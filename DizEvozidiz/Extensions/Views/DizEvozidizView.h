#pragma once

// DizEvozidizView: a view of the stored rows. Every row its grouping closure puts in a group stays
// in that group in the order of its sorting closure; each group is a chain of pages of rowids
// (DizEvozidizViewPage.h) kept in the view's own tables, updated inside every write.
//
// This object is what the application registers (DizEvozidiz::registerExtension) under a name: the
// configuration (grouping, sorting, version tag, options), the names of its tables, and the state
// last committed, which connections at that snapshot take instead of reading the tables. The work
// is done per connection (DizEvozidizViewConnection) and per transaction (DizEvozidizViewTransaction).
//
// Storage (a stored format), per registered name N, quoted as SQL identifiers (any name works):
//   persistent view   tables "view_N_map" (rowid -> page key) and "view_N_page" (the pages and
//                     their links), defined in DizEvozidizViewTransaction.h;
//   in-memory view    memory tables "view_N_map", "view_N_page" and "view_N_pageMetadata",
//                     filled anew whenever the view is registered in a process.
//   Values under extension N: "classVersion" 3 (persistent), "versionTag" (persistent for a
//   persistent view, a memory value otherwise); "version" (an integer) is an older form of the tag
//   read once and replaced. A changed class version or tag makes the registration rebuild the view
//   from the stored rows; otherwise the view is loaded from its tables.
//
// Threads: the configuration and the latest state are changed only when commits are applied (on
// the database's snapshot queue) and read under the view's own lock from any thread; they are
// handed out together, so a reader never sees a grouping of one commit with a sorting of another.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "DizEvozidiz/DizEvozidizExtension.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewBlocks.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewPage.h"
#include "DizEvozidiz/Utilities/DizWhitelistBlacklist.h"

struct DizEvozidizViewOptions {
  // True: pages and rowid map in SQL tables; false: in memory tables, rebuilt at each registration.
  bool isPersistent = true;
  // When set, only rows of collections it allows reach the grouping closure (shared, not copied).
  std::shared_ptr<const DizWhitelistBlacklist> allowedCollections;
  // True: a first registration does not fill the view from the rows already stored.
  bool skipInitialViewPopulation = false;
};

class DizEvozidizView;
using DizEvozidizViewPtr = std::shared_ptr<DizEvozidizView>;

class DizEvozidizView : public DizEvozidizExtension {
  DIZ_EXTENSION_CLASS(DizEvozidizView, DizEvozidizExtension)

 public:
  // The layout of the view's tables.
  static constexpr int kClassVersion = 3;

  // A nil version tag is the empty tag; the options are copied.
  static DizEvozidizViewPtr make(DizEvozidizViewGrouping::Ptr grouping, DizEvozidizViewSorting::Ptr sorting,
                                 std::optional<std::string> versionTag = std::nullopt,
                                 std::optional<DizEvozidizViewOptions> options = std::nullopt);

  // ---- Configuration (any thread) ----
  DizEvozidizViewGrouping::Ptr grouping() const;
  DizEvozidizViewSorting::Ptr sorting() const;
  // Both at once, as one commit left them.
  void getGroupingSorting(DizEvozidizViewGrouping::Ptr* grouping, DizEvozidizViewSorting::Ptr* sorting) const;
  std::string versionTag() const;
  // A copy.
  DizEvozidizViewOptions options() const { return options_; }
  bool isPersistent() const override { return options_.isPersistent; }
  // The options' allowed collections, without copying the options (null: all collections).
  const std::shared_ptr<const DizWhitelistBlacklist>& allowedCollections() const { return options_.allowedCollections; }

  // ---- Table names ----
  std::string mapTableName() const { return mapTableNameForRegisteredName(registeredName()); }
  std::string pageTableName() const { return pageTableNameForRegisteredName(registeredName()); }
  std::string pageMetadataTableName() const { return pageMetadataTableNameForRegisteredName(registeredName()); }
  static std::string mapTableNameForRegisteredName(const std::string& name) { return "view_" + name + "_map"; }
  static std::string pageTableNameForRegisteredName(const std::string& name) { return "view_" + name + "_page"; }
  static std::string pageMetadataTableNameForRegisteredName(const std::string& name) {
    return "view_" + name + "_pageMetadata";
  }

  // ---- Class operations ----
  static std::vector<std::string> previousClassNames() { return {"VizUruzozorizuDatabaseView"}; }
  // Drops the SQL tables (persistent) or unregisters the memory tables; failures are logged.
  static void dropTablesForRegisteredName(const std::string& registeredName,
                                          DizEvozidizReadWriteTransaction& transaction, bool wasPersistent);
  // The tag an earlier registration stored: "versionTag", else a filtered view's "tag", else the
  // decimal text of an integer "version"; nullopt when none.
  static std::optional<std::string> previousVersionTagForRegisteredViewName(const std::string& name,
                                                                            DizEvozidizReadTransaction& transaction);

  // ---- State hand-over (connection queues) ----
  // The committed state for a connection at `snapshot`: true (with the state, possibly null) only
  // when it is the state of exactly that snapshot; false tells the caller to read the tables.
  bool getState(DizEvozidizViewStatePtr* state, std::uint64_t snapshot) const;

  // ---- Store calls ----
  DizEvozidizExtensionConnectionPtr newConnection(DizEvozidizConnection& connection) override;
  void noteCommittedChangeset(const platform::Value& changeset, const std::string& registeredName) override;

 protected:
  DizEvozidizView(DizEvozidizViewGrouping::Ptr grouping, DizEvozidizViewSorting::Ptr sorting, std::string versionTag,
                  DizEvozidizViewOptions options);
  // A derived view takes the closures of the view it follows.
  void adoptGroupingSorting(DizEvozidizViewGrouping::Ptr grouping, DizEvozidizViewSorting::Ptr sorting);

 private:
  mutable std::mutex mutex_;
  DizEvozidizViewGrouping::Ptr grouping_;
  DizEvozidizViewSorting::Ptr sorting_;
  std::string versionTag_;
  const DizEvozidizViewOptions options_;
  DizEvozidizViewStatePtr latestState_;
  // The snapshot latestState_ belongs to; none before the first commit this view heard of.
  std::optional<std::uint64_t> latestSnapshot_;
};
