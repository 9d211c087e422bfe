#include "app/ui/ZRVMainTinyCollectionViewItem.h"

void ZRVMainTinyCollectionViewItem::updateWithEvent(const std::shared_ptr<ZRVEvent>& event,
                                                    const std::shared_ptr<ZRVMainTimer>& timer) {
  ZRVMainCollectionViewItem::updateWithEvent(event, timer);
  fillNameDateAndSkin(false, "skinImageView");
}

void ZRVMainTinyCollectionViewItem::updateCounterLabels() {
  if (!counter_) return;
  updateLabelsWithYears(counter_->valueForUnitType(ZRVMainItemCounterUnitYears) > 0);
}

void ZRVMainTinyCollectionViewItem::updateLabelsWithYears(bool years) {
  if (!counter_) return;
  setLabelText("daysCounterLabel",
               counter_->stringValueForUnitType(years ? ZRVMainItemCounterUnitYears : ZRVMainItemCounterUnitDays));
  setLabelText("daysYearsLabel", years ? "YEARS" : "DAYS");
  if (GtkWidget* plus = outlet("plusLabel")) gtk_widget_set_visible(plus, years);
}
