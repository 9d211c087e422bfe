#pragma once

// ZRVMainArchivedCollectionViewItem: the list item of an archived event: its name, its date and
// how long the user waited for it (the span from its creation to its date), in the archived
// colours; no picture, no counter and no tick. Its action button deletes the event (action 3).
// Row height 45.
//
// Threads: main thread only.

#include <optional>
#include <string>

#include "app/ui/ZRVMainCollectionViewItem.h"

class ZRVMainArchivedCollectionViewItem : public ZRVMainCollectionViewItem {
  ZORVEL_CLASS(ZRVMainArchivedCollectionViewItem, ZRVMainCollectionViewItem)

 public:
  static std::optional<double> height() { return 45; }

  // Binds the labels only: the archived kind keeps no counter and follows no tick.
  void updateWithEvent(const std::shared_ptr<ZRVEvent>& event, const std::shared_ptr<ZRVMainTimer>& timer) override;
  void actionButtonDidTapped() override;

  // The span from the event's creation to its date as " <d>d <h>h <m>m <s>s", leaving out every
  // part that is 0 (2 days and 10 seconds: " 2d 10s"); "" when every part is 0 or a date is missing.
  static std::string waitedLStringForEvent(const ZRVEvent& event);

 protected:
  void viewDidLoad() override;

 private:
  ZRVMainArchivedCollectionViewItem() : ZRVMainCollectionViewItem(ZRVMainArchivedItemIdentifier, true) {}
};
