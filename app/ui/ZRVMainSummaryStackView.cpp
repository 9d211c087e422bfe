#include "app/ui/ZRVMainSummaryStackView.h"

#include <string>

#include "app/ui/ZRVMainViewColors.h"
#include "app/ui/ZRVStyleKit.h"
#include "platform/runtime/format.h"
#include "platform/system/diagnostics.h"

ZRVMainSummaryStackViewPtr ZRVMainSummaryStackView::fromBuilder(GtkBuilder* builder, std::string_view id) {
  auto widget = [builder](std::string_view name) -> GtkWidget* {
    GObject* object = gtk_builder_get_object(builder, std::string(name).c_str());
    return object && GTK_IS_WIDGET(object) ? GTK_WIDGET(object) : nullptr;
  };
  GtkWidget* bar = widget(id);
  if (!bar || !GTK_IS_BOX(bar)) {
    ZORVEL_DIAGNOSTIC_ERROR(platform::format("The summary bar \"%s\" is missing", std::string(id).c_str()));
    return nullptr;
  }
  auto summary = platform::make<ZRVMainSummaryStackView>();
  summary->view_ = platform::View::forWidget(bar);
  for (const char* group : {"complete", "active", "archived"}) {
    GtkWidget* name = widget(std::string(group) + "NameLabel");
    GtkWidget* value = widget(std::string(group) + "ValueLabel");
    if (!widget(std::string(group) + "StackView") || !name || !value) {
      ZORVEL_DIAGNOSTIC_ERROR(platform::format("The summary bar's %s outlets are missing", group));
      return nullptr;
    }
    summary->nameLabels_.push_back(platform::View::forWidget(name));
    summary->valueLabels_.push_back(platform::View::forWidget(value));
  }
  summary->awakeFromNib();
  return summary;
}

void ZRVMainSummaryStackView::awakeFromNib() {
  for (const auto& label : nameLabels_)
    ZRVMainViewColors::setLabelTextColor(label->widget(), ZRVStyleKit::mainSummaryNameColor());
  for (const auto& label : valueLabels_)
    ZRVMainViewColors::setLabelTextColor(label->widget(), ZRVStyleKit::mainSummaryValueColor());
  allViews_.clear();
  for (GtkWidget* child = gtk_widget_get_first_child(view_->widget()); child;
       child = gtk_widget_get_next_sibling(child))
    allViews_.push_back(platform::View::forWidget(child));
}

void ZRVMainSummaryStackView::updateWithSummary(const ZRVEventsSummary& summary) {
  GtkWidget* bar = view_->widget();
  while (GtkWidget* child = gtk_widget_get_first_child(bar)) gtk_box_remove(GTK_BOX(bar), child);
  const std::int64_t counts[] = {summary.completeEventsCount(), summary.activeEventsCount(),
                                 summary.archiveEventsCount()};
  for (std::size_t i = 0; i < 3 && i < allViews_.size(); ++i) {
    if (counts[i] <= 0) continue;
    gtk_box_append(GTK_BOX(bar), allViews_[i]->widget());
    gtk_label_set_text(GTK_LABEL(valueLabels_[i]->widget()),
                       platform::format("%lld", static_cast<long long>(counts[i])).c_str());
  }
}
