#pragma once

// ZRVMainSummaryStackView: the panel's summary bar with the numbers of complete, active and
// archived events. Three stacks (complete, active, archived, in that order), each a name label and
// a value label; updateWithSummary() shows, in that order, only the stacks whose count is above 0,
// with the count as the value (no events at all: an empty bar).
//
// Made from a layout file: the bar's widget (a horizontal GtkBox) and its outlets by id:
// completeStackView, completeNameLabel, completeValueLabel, and the same for active and archived.
//
// Threads: main thread only.

#include <gtk/gtk.h>

#include <memory>
#include <string_view>
#include <vector>

#include "app/model/ZRVEventsSummary.h"
#include "platform/interface/view.h"
#include "platform/runtime/object.h"

class ZRVMainSummaryStackView;
using ZRVMainSummaryStackViewPtr = std::shared_ptr<ZRVMainSummaryStackView>;

class ZRVMainSummaryStackView : public platform::Object {
  ZORVEL_CLASS(ZRVMainSummaryStackView, platform::Object)

 public:
  // The bar from the builder's object `id` and the outlets above; nullptr when any is missing.
  static ZRVMainSummaryStackViewPtr fromBuilder(GtkBuilder* builder, std::string_view id);

  const platform::ViewPtr& view() const { return view_; }
  // The three stacks in their layout order (complete, active, archived).
  const std::vector<platform::ViewPtr>& allViews() const { return allViews_; }
  GtkWidget* valueLabel(std::size_t index) const { return valueLabels_[index]->widget(); }

  void updateWithSummary(const ZRVEventsSummary& summary);

 private:
  ZRVMainSummaryStackView() = default;
  // Colours the labels and takes the stacks as they are arranged.
  void awakeFromNib();

  platform::ViewPtr view_;
  std::vector<platform::ViewPtr> allViews_;
  std::vector<platform::ViewPtr> nameLabels_;
  std::vector<platform::ViewPtr> valueLabels_;
};
