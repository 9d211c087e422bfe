#pragma once

// ZRVListView: the event list's container, a scrollable widget with sections of rows (GTK 4.8's
// list views have neither sections nor scrolling to a row). Put view() in a GtkScrolledWindow.
//
// Layout: rows fill the list's width (or the data source's item width) and are stacked top to
// bottom, section after section, each row followed by 1 point of line spacing; a section whose
// header height is above 0 has its header above its first row. The content height is therefore
// the sum over every row of its height plus 1, plus the header heights.
//
// Items: the list asks its data source for an item only for rows inside the visible rectangle
// plus a margin, and gives items back to a reuse pool per identifier (after didEndDisplayingItem)
// when their rows leave it or the list. makeItem() takes an item from the pool, or makes one with
// the factory registered for the identifier.
//
// Batch updates (performBatchUpdates): the changes are recorded in the block, in the platform's
// collection-view terms: section and row deletions and reloads name positions before the batch,
// insertions positions after it, a move both. The list applies them at once when the block
// returns, then animates for 0.25 s on the frame clock (inserted rows fade in, deleted rows fade
// out, the others slide to their new places; no animation when animations are off) and then runs
// the completion. A batch whose changes do not bring the list to the data source's counts, or that
// names positions that do not exist, is reported as a diagnostic and the list reloads everything
// from the data source instead, so it never shows rows that are not there.
//
// Threads: main thread only.

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/ui/list/ZRVAnimator.h"
#include "app/ui/list/ZRVListDataSource.h"
#include "app/ui/list/ZRVListItem.h"
#include "platform/interface/view.h"
#include "platform/runtime/geometry.h"
#include "platform/runtime/object.h"

typedef struct _GtkAdjustment GtkAdjustment;

class ZRVListView;
using ZRVListViewPtr = std::shared_ptr<ZRVListView>;

// The changes of one batch, recorded by performBatchUpdates' block.
class ZRVListBatch {
 public:
  void insertSection(std::size_t section) { insertedSections_.insert(section); }
  void deleteSection(std::size_t section) { deletedSections_.insert(section); }
  void insertItem(ZRVIndexPath newIndexPath) { insertedItems_.insert(newIndexPath); }
  void deleteItem(ZRVIndexPath indexPath) { deletedItems_.insert(indexPath); }
  void reloadItem(ZRVIndexPath indexPath) { reloadedItems_.insert(indexPath); }
  // The row keeps its place in the animation (it slides); its kind and item are asked for again.
  void moveItem(ZRVIndexPath indexPath, ZRVIndexPath newIndexPath) { moves_.emplace_back(indexPath, newIndexPath); }

  bool empty() const {
    return insertedSections_.empty() && deletedSections_.empty() && insertedItems_.empty() && deletedItems_.empty() &&
           reloadedItems_.empty() && moves_.empty();
  }

 private:
  friend class ZRVListView;
  std::set<std::size_t> insertedSections_;
  std::set<std::size_t> deletedSections_;
  std::set<ZRVIndexPath> insertedItems_;
  std::set<ZRVIndexPath> deletedItems_;
  std::set<ZRVIndexPath> reloadedItems_;
  std::vector<std::pair<ZRVIndexPath, ZRVIndexPath>> moves_;
};

class ZRVListView : public platform::Object {
  ZORVEL_CLASS(ZRVListView, platform::Object)

 public:
  using ItemFactory = std::function<ZRVListItemPtr()>;
  static constexpr double kLineSpacing = 1;
  static constexpr double kAnimationDuration = 0.25;
  // Rows this far above and below the visible rectangle get their items too.
  static constexpr double kVisibleMargin = 100;

  static ZRVListViewPtr make();
  ~ZRVListView() override;

  // The list's widget (a GtkScrollable).
  const platform::ViewPtr& view() const { return view_; }

  // The data source is held weakly.
  void setDataSource(std::weak_ptr<ZRVListDataSource> dataSource);
  // Registers the item class of an identifier (rows) or a header identifier.
  void registerItem(const std::string& identifier, ItemFactory factory);

  // An item for the row from the identifier's reuse pool, or a new one; nullptr for an identifier
  // that is not registered (reported as a diagnostic).
  ZRVListItemPtr makeItem(const std::string& identifier, ZRVIndexPath indexPath);
  ZRVListItemPtr makeHeader(const std::string& identifier, std::size_t section);

  // Drops every row and item (to the pools) and loads the sections and rows from the data source.
  void reloadData();
  // Records the changes with `updates` and applies them (see above). `completion` runs once the
  // animation is over, with true unless the batch was cut short by reloadData.
  void performBatchUpdates(const std::function<void(ZRVListBatch&)>& updates,
                           std::function<void(bool finished)> completion = nullptr);

  // --- What the list holds -------------------------------------------------------------------------
  std::size_t numberOfSections() const;
  std::size_t numberOfItemsInSection(std::size_t section) const;
  // The identifier and height the list keeps for the row ("" and 0 for a row that does not exist).
  std::string identifierAt(ZRVIndexPath indexPath) const;
  double heightAt(ZRVIndexPath indexPath) const;
  // The height of all rows and headers with the line spacing.
  double contentHeight() const { return contentHeight_; }
  // The row's rectangle in content coordinates (nullopt for a row that does not exist).
  std::optional<platform::Rect> frameForItem(ZRVIndexPath indexPath) const;

  // --- Items shown -----------------------------------------------------------------------------------
  // Items of the rows in the visible rectangle plus the margin, in row order.
  std::vector<ZRVListItemPtr> visibleItems() const;
  ZRVListItemPtr itemAtIndexPath(ZRVIndexPath indexPath) const;
  std::optional<ZRVIndexPath> indexPathForItem(const ZRVListItem& item) const;
  // The header item of a section while shown.
  ZRVListItemPtr headerForSection(std::size_t section) const;
  // Brings the items up to date with the scroll position and size at once (it also happens on
  // every scroll, resize and change).
  void updateVisibleItems();

  // --- Scrolling -----------------------------------------------------------------------------------
  GtkAdjustment* verticalAdjustment() const { return vadjustment_; }
  // Scrolls so that the row is at the top (as far as the content allows).
  void scrollToItem(ZRVIndexPath indexPath);

  // The running batch animation finishes at once (tests and shutdown).
  void finishAnimations();

  struct Row;
  struct Section;
  struct Glue;

 private:
  ZRVListView();

  std::optional<std::vector<Section>> applyBatch(const ZRVListBatch& batch);
  void layoutRows();
  void retireItem(const std::shared_ptr<Row>& row, ZRVIndexPath indexPath);
  void poolItem(const ZRVListItemPtr& item);
  void showItem(const ZRVListItemPtr& item);
  void setAdjustment(GtkAdjustment* adjustment);
  void allocate(int width, int height);
  void scrolled();
  void loadRow(Row& row, ZRVIndexPath indexPath);
  double itemWidth() const;

  platform::ViewPtr view_;
  std::weak_ptr<ZRVListDataSource> dataSource_;
  std::map<std::string, ItemFactory> factories_;
  std::map<std::string, std::vector<ZRVListItemPtr>> pool_;
  std::vector<Section> sections_;
  double contentHeight_ = 0;
  GtkAdjustment* vadjustment_ = nullptr;
  GtkAdjustment* hadjustment_ = nullptr;
  unsigned long valueHandler_ = 0;
  int width_ = 0;
  int height_ = 0;

  // The running batch animation: its progress, the rows leaving the list, the pending completions.
  struct Disappearing {
    ZRVListItemPtr item;
    ZRVIndexPath indexPath;
    double y = 0;
    double height = 0;
  };
  ZRVAnimationPtr animation_;
  double progress_ = 1;
  std::vector<Disappearing> disappearing_;
  bool updating_ = false;
};
