#include "app/ui/ZRVMainMediumCollectionViewItem.h"

void ZRVMainMediumCollectionViewItem::updateWithEvent(const std::shared_ptr<ZRVEvent>& event,
                                                      const std::shared_ptr<ZRVMainTimer>& timer) {
  ZRVMainCollectionViewItem::updateWithEvent(event, timer);
  fillNameDateAndSkin(true, "skinImageView");
}

void ZRVMainMediumCollectionViewItem::updateCounterLabels() {
  if (!counter_) return;
  setLabelText("daysCounterLabel", counter_->stringValueForUnitType(ZRVMainItemCounterUnitDays));
  setLabelText("hoursCounterLabel", counter_->stringValueForUnitType(ZRVMainItemCounterUnitHours));
  setLabelText("minutesCounterLabel", counter_->stringValueForUnitType(ZRVMainItemCounterUnitMinutes));
  setLabelText("secondsCounterLabel", counter_->stringValueForUnitType(ZRVMainItemCounterUnitSeconds));
}
