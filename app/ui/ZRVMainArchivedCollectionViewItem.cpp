#include "app/ui/ZRVMainArchivedCollectionViewItem.h"

#include "app/DateUtilities.h"
#include "app/ui/ZRVMainViewColors.h"
#include "app/ui/ZRVStyleKit.h"
#include "platform/runtime/format.h"

void ZRVMainArchivedCollectionViewItem::viewDidLoad() {
  ZRVMainCollectionViewItem::viewDidLoad();
  for (const char* id : {"nameLabel", "dateLabel", "waitedLabel"})
    ZRVMainViewColors::setLabelTextColor(outlet(id), ZRVStyleKit::mainArchivedItemLabelsColor());
  ZRVMainViewColors::setLabelTextColor(outlet("daysLabel"), ZRVStyleKit::mainArchivedItemLabelsAltColor());
}

void ZRVMainArchivedCollectionViewItem::updateWithEvent(const std::shared_ptr<ZRVEvent>& event,
                                                        const std::shared_ptr<ZRVMainTimer>&) {
  event_ = event;
  counter_ = nullptr;
  setLabelText("nameLabel", event && event->name() ? *event->name() : std::string());
  setLabelText("dateLabel", event && event->date() ? DateUtilities::mediumDateString(*event->date()) : std::string());
  setLabelText("daysLabel", event && event->date() ? waitedLStringForEvent(*event) : std::string());
  if (GtkWidget* link = outlet("linkButton")) gtk_widget_set_visible(link, event && event->link().has_value());
}

void ZRVMainArchivedCollectionViewItem::actionButtonDidTapped() { sendAction(ZRVMainCollectionViewItemActionDelete); }

std::string ZRVMainArchivedCollectionViewItem::waitedLStringForEvent(const ZRVEvent& event) {
  const auto created = event.createdAt();
  const auto date = event.date();
  if (!created || !date) return {};
  using namespace DateUtilities;
  const std::int64_t days = daysBeforeDate(*created, *date);
  const platform::Date d1 = dateByAddingDays(*created, days).value_or(*created);
  const std::int64_t hours = hoursBeforeDate(d1, *date);
  const platform::Date d2 = dateByAddingHours(d1, hours);
  const std::int64_t minutes = minutesBeforeDate(d2, *date);
  const platform::Date d3 = dateByAddingMinutes(d2, minutes);
  const auto seconds = static_cast<std::int64_t>(date->timeIntervalSince(d3));
  std::string text;
  if (days > 0) text += platform::format(" %lldd", static_cast<long long>(days));
  if (hours > 0) text += platform::format(" %lldh", static_cast<long long>(hours));
  if (minutes > 0) text += platform::format(" %lldm", static_cast<long long>(minutes));
  if (seconds > 0) text += platform::format(" %llds", static_cast<long long>(seconds));
  return text;
}
